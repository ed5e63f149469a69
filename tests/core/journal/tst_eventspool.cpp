// The journal's spool file on its own: what earlier versions wrote, damaged and hostile lines, and
// the end of the process at every step of a rewrite.

#include "core/base/DurableFile.h"
#include "core/journal/EventSpool.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/wait.h>
#include <unistd.h>

namespace {

using Durable::Step;

const QByteArray kToken("0b8a3c44-5d1e-4f8a-9c2b-1234567890ab");

JournalEvent callAt(int second)
{
    JournalEvent event;
    event.kind = JournalEvent::Kind::Entry;
    event.time = QDateTime(QDate(2017, 12, 3), QTime(10, 0, second));
    event.code = QStringLiteral("f6186");
    event.f = QStringLiteral("8");
    event.names = {QStringLiteral("Койка № 1"), QStringLiteral("Палата 1"), QStringLiteral("Тестова Анна")};
    return event;
}

void writeRaw(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray readRaw(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Everything the previous run left, read a small part at a time.
QList<JournalEvent> backlogOf(EventSpool& spool)
{
    QList<JournalEvent> events;
    while (!spool.backlogDone()) {
        if (!spool.readBacklog(2, events))
            break;
    }
    return events;
}

QList<qint64> seqsOf(const QList<JournalEvent>& events)
{
    QList<qint64> seqs;
    for (const JournalEvent& e : events)
        seqs << e.seq;
    return seqs;
}

QStringList temporariesIn(const QString& dir)
{
    return QDir(dir).entryList({QStringLiteral("*.partial-*")}, QDir::Files | QDir::Hidden);
}

} // namespace

class TestEventSpool : public QObject
{
    Q_OBJECT

private slots:
    void spoolOfTheEarlierVersionIsTakenUp();
    void damagedLinesAreKeptAsideAndTheRestReplayed();
    void crashAtEachStepOfARewrite_data();
    void crashAtEachStepOfARewrite();
    void everyKindOfEventRoundTrips_data();
    void everyKindOfEventRoundTrips();
};

void TestEventSpool::spoolOfTheEarlierVersionIsTakenUp()
{
    // Bytes as the earlier version wrote them: the records are framed as they were, byte for byte.
    const QByteArray first =
        "1\tE\t2017-12-03T10:00:00.000\tf6186\t8\tКойка № 1\tПалата 1\tТестова Анна\td8f4\n";
    const QByteArray second =
        "2\tC\t2017-12-03T10:00:42.500\tf6186\t2\tКойка № 1\tПалата 1\tТестова Анна\t7d20\n";
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("orv_med.db.spool"));
    writeRaw(path, "HALVANE-SPOOL 1 " + kToken + '\n' + first + second);

    EventSpool spool(path);
    QVERIFY(spool.open());
    QCOMPARE(spool.token(), QString::fromLatin1(kToken));
    const QList<JournalEvent> events = backlogOf(spool);
    QCOMPARE(seqsOf(events), (QList<qint64>{1, 2}));
    QCOMPARE(events[0].names.S, QStringLiteral("Тестова Анна"));
    QCOMPARE(events[1].kind, JournalEvent::Kind::Close);
    QCOMPARE(events[1].time, QDateTime(QDate(2017, 12, 3), QTime(10, 0, 42, 500)));
    QCOMPARE(spool.damagedLines(), qint64(0));
    QCOMPARE(Durable::recordLine(EventSpool::encodeEvent(events[0])), first);
    QCOMPARE(Durable::recordLine(EventSpool::encodeEvent(events[1])), second);

    // The next event follows them in the same file.
    JournalEvent next = callAt(50);
    spool.number(next);
    QCOMPARE(next.seq, qint64(3));
    QVERIFY(spool.append(next));
    QVERIFY(readRaw(path).startsWith("HALVANE-SPOOL 1 " + kToken + '\n' + first + second + "3\tE\t"));
}

void TestEventSpool::damagedLinesAreKeptAsideAndTheRestReplayed()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("orv_med.db.spool"));
    QByteArray lines;
    for (int i = 1; i <= 20; ++i) {
        JournalEvent e = callAt(i);
        e.seq = i;
        lines += Durable::recordLine(EventSpool::encodeEvent(e));
    }
    // A file transfer turned every line end into CR LF.
    QByteArray content = "HALVANE-SPOOL 1 " + kToken + '\n' + lines;
    content.replace("\n", "\r\n");
    // Lines nothing can read: a number no counter reaches (checksum intact), a number that goes
    // back, a garbled line, a line far beyond the bound of a record, and a last line cut short.
    JournalEvent huge = callAt(30);
    huge.seq = 21;
    QByteArray hugeLine = Durable::recordLine(EventSpool::encodeEvent(huge));
    hugeLine.replace(0, 2, "9223372036854775807");
    hugeLine = Durable::recordLine(hugeLine.first(hugeLine.size() - 6));
    JournalEvent back = callAt(31);
    back.seq = 5;
    const QByteArray tooLong = "21\tE\t" + QByteArray(Durable::AppendLog::kDefaultMaxRecord + 10, 'x') + "\n";
    JournalEvent last = callAt(40);
    last.seq = 22;
    content.insert(content.indexOf("\r\n1\t") + 2, hugeLine);
    content += Durable::recordLine(EventSpool::encodeEvent(back)) + "garbled\tline\n" + tooLong +
               Durable::recordLine(EventSpool::encodeEvent(last));
    content += "23\tE\t2017-12-03T10:0";
    writeRaw(path, content);

    EventSpool spool(path);
    QVERIFY(spool.open());
    const QList<JournalEvent> events = backlogOf(spool);
    QList<qint64> expected;
    for (qint64 i = 1; i <= 20; ++i)
        expected << i;
    expected << 22;
    QCOMPARE(seqsOf(events), expected);
    QCOMPARE(spool.mendedLines(), qint64(20));
    QCOMPARE(spool.damagedLines(), qint64(5));
    QVERIFY(spool.tornTail());
    QCOMPARE(spool.keptAside(), path + QStringLiteral(".damaged"));
    const QByteArray aside = readRaw(spool.keptAside());
    QCOMPARE(aside.count('\n'), 5);
    QVERIFY(aside.contains("9223372036854775807\tE\t"));
    QVERIFY(aside.contains("garbled\tline\n"));
    QVERIFY(aside.contains("23\tE\t2017-12-03T10:0\n"));

    // New events go on after the last readable one, never from the hostile number.
    JournalEvent next = callAt(50);
    spool.number(next);
    QCOMPARE(next.seq, qint64(23));
    QVERIFY(spool.append(next));
    EventSpool again(path);
    QVERIFY(again.open());
    QCOMPARE(seqsOf(backlogOf(again)).last(), qint64(23));
}

void TestEventSpool::crashAtEachStepOfARewrite_data()
{
    QTest::addColumn<int>("step");
    QTest::addColumn<bool>("replaced");
    QTest::newRow("create temporary") << int(Step::CreateTemporary) << false;
    QTest::newRow("write temporary") << int(Step::WriteTemporary) << false;
    QTest::newRow("sync temporary") << int(Step::SyncTemporary) << false;
    QTest::newRow("rename") << int(Step::Rename) << false;
    QTest::newRow("sync directory") << int(Step::SyncDirectory) << true;
}

void TestEventSpool::crashAtEachStepOfARewrite()
{
    QFETCH(int, step);
    QFETCH(bool, replaced);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("orv_med.db.spool"));
    QString token;
    {
        EventSpool spool(path);
        QVERIFY(spool.open());
        for (int i = 1; i <= 5; ++i) {
            JournalEvent e = callAt(i);
            spool.number(e);
            QVERIFY(spool.append(e));
        }
        token = spool.token();
    }

    // The journal took the first two; the spool is rewritten with the other three, and the process
    // ends at the step, as a kill or a power cut ends it.
    const pid_t child = ::fork();
    if (child == 0) {
        EventSpool spool(path);
        if (!spool.open())
            ::_exit(2);
        const QList<JournalEvent> waiting = backlogOf(spool).mid(2);
        Durable::setFailureSeam([step](Step at, const QString&) {
            if (at == Step(step))
                ::_exit(0);
            return false;
        });
        spool.rewrite(waiting);
        ::_exit(3);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 0);

    // The next start finds the old file or the new one, whole, under the same token (so the journal
    // knows which of its events it holds), and no temporary is left.
    EventSpool after(path);
    QVERIFY(after.open());
    QCOMPARE(after.token(), token);
    QVERIFY(temporariesIn(dir.path()).isEmpty());
    const QList<qint64> seqs = seqsOf(backlogOf(after));
    QCOMPARE(seqs, replaced ? (QList<qint64>{3, 4, 5}) : (QList<qint64>{1, 2, 3, 4, 5}));
    QCOMPARE(after.damagedLines(), qint64(0));
    JournalEvent next = callAt(9);
    after.number(next);
    QCOMPARE(next.seq, qint64(6));
}

void TestEventSpool::everyKindOfEventRoundTrips_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("f");
    QTest::addColumn<QByteArray>("letter");
    QTest::newRow("entry") << int(JournalEvent::Kind::Entry) << "f6186"
                           << "8" << QByteArray("\tE\t");
    QTest::newRow("cancel") << int(JournalEvent::Kind::Close) << "f6186"
                            << "2" << QByteArray("\tC\t");
    QTest::newRow("place press as it came") << int(JournalEvent::Kind::PlacePress) << "c0de1"
                                            << "8" << QByteArray("\tP\t");
    QTest::newRow("unit press as it came") << int(JournalEvent::Kind::UnitPress) << "ab01"
                                           << "b" << QByteArray("\tK\t");
}

void TestEventSpool::everyKindOfEventRoundTrips()
{
    QFETCH(int, kind);
    QFETCH(QString, code);
    QFETCH(QString, f);
    QFETCH(QByteArray, letter);
    JournalEvent event = callAt(7);
    event.seq = 3;
    event.kind = JournalEvent::Kind(kind);
    event.code = code;
    event.f = f;
    const QByteArray record = EventSpool::encodeEvent(event);
    QVERIFY2(record.contains(letter), record.constData());
    JournalEvent read;
    QVERIFY(EventSpool::decodeEvent(record, read));
    QCOMPARE(int(read.kind), kind);
    QCOMPARE(read.seq, 3);
    QCOMPARE(read.code, code);
    QCOMPARE(read.f, f);
    QCOMPARE(read.time, event.time);
    QCOMPARE(read.names.P, event.names.P);
    // A kind no version writes is damage.
    QByteArray unknown = record;
    unknown.replace(letter, "\tX\t");
    QVERIFY(!EventSpool::decodeEvent(unknown, read));
}

QTEST_GUILESS_MAIN(TestEventSpool)
#include "tst_eventspool.moc"
