#include "core/base/DurableFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

using Durable::AppendLog;
using Durable::Step;

namespace {

QByteArray contentOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeRaw(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

QList<QByteArray> readAll(AppendLog& log, AppendLog::ReadResult* result, bool* ok = nullptr)
{
    QList<QByteArray> records;
    const bool read = log.read(
        [&](QByteArrayView payload) {
            records.append(payload.toByteArray());
            return true;
        },
        result);
    if (ok)
        *ok = read;
    return records;
}

const QByteArray kMagic("TEST-LOG 1 ");
const QByteArray kHeader("TEST-LOG 1 token");

// Fails exactly the given step (for paths holding the given text).
struct FailAt
{
    FailAt(Step step, QString pathPart = {})
    {
        Durable::setFailureSeam([step, pathPart](Step s, const QString& path) {
            return s == step && (pathPart.isEmpty() || path.contains(pathPart));
        });
    }
    ~FailAt() { Durable::setFailureSeam({}); }
};

} // namespace

class TestDurableFile : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void replaceWritesWholeFileAndKeepsMode();
    void replaceFailingAtAnyStepKeepsTheOldFile_data();
    void replaceFailingAtAnyStepKeepsTheOldFile();
    void strayTemporariesAreOnlyOurOwn();
    void logAppendsAndReadsBack();
    void damagedRecordsAreSkippedCountedAndKeptAside();
    void tornTailIsCutBeforeTheNextAppend();
    void overlongLinesAreDamageNeverHeldWhole();
    void foreignFileIsRefusedUntouched();
    void compactionReplacesTheLog();
    void failedAppendLeavesNothingToJoin();
    void sequenceNumbersAreReadAsUntrusted_data();
    void sequenceNumbersAreReadAsUntrusted();
    void sequenceMarkKeepsItsNumber();
    void endOfTheLogWithoutReadingItWhole();
};

void TestDurableFile::replaceWritesWholeFileAndKeepsMode()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("a.ini"));
    QString error;
    QVERIFY2(Durable::replaceFile(path, "first", &error), qPrintable(error));
    QCOMPARE(contentOf(path), QByteArray("first"));
    QVERIFY(::chmod(QFile::encodeName(path).constData(), 0640) == 0);
    QVERIFY(Durable::replaceFile(path, "second", &error));
    QCOMPARE(contentOf(path), QByteArray("second"));
    struct stat st;
    QVERIFY(::stat(QFile::encodeName(path).constData(), &st) == 0);
    QCOMPARE(int(st.st_mode & 0777), 0640);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("a.ini")});
}

void TestDurableFile::replaceFailingAtAnyStepKeepsTheOldFile_data()
{
    QTest::addColumn<int>("step");
    QTest::addColumn<QByteArray>("expected"); // what the target holds after the failure
    QTest::newRow("create") << int(Step::CreateTemporary) << QByteArray("old");
    QTest::newRow("write") << int(Step::WriteTemporary) << QByteArray("old");
    QTest::newRow("flush") << int(Step::SyncTemporary) << QByteArray("old");
    QTest::newRow("rename") << int(Step::Rename) << QByteArray("old");
    // The rename is done: the new file is in place, only its durability is unknown.
    QTest::newRow("folder flush") << int(Step::SyncDirectory) << QByteArray("new");
}

void TestDurableFile::replaceFailingAtAnyStepKeepsTheOldFile()
{
    QFETCH(int, step);
    QFETCH(QByteArray, expected);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("a.ini"));
    QVERIFY(Durable::replaceFile(path, "old"));
    QString error;
    {
        FailAt fail{static_cast<Step>(step)};
        QVERIFY(!Durable::replaceFile(path, "new", &error));
    }
    QVERIFY(!error.isEmpty());
    QCOMPARE(contentOf(path), expected);
    // No temporary is left behind whatever failed.
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("a.ini")});
}

void TestDurableFile::strayTemporariesAreOnlyOurOwn()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("HalvaneServer.ini"));
    writeRaw(path, "x");
    const QStringList ours = {QStringLiteral("HalvaneServer.ini.partial-a1B2c3"),
                              QStringLiteral("HalvaneServer.ini.partial-zzzzzz")};
    const QStringList people = {
        QStringLiteral("HalvaneServer.ini.old123"), QStringLiteral("HalvaneServer.ini.backup"),
        QStringLiteral("HalvaneServer.ini.partial-1234567"), QStringLiteral("HalvaneServer.ini.partial-abc"),
        QStringLiteral("other.ini.partial-a1B2c3")};
    for (const QString& name : ours + people)
        writeRaw(dir.filePath(name), "y");
    QCOMPARE(Durable::removeStrayTemporaries(path), 2);
    for (const QString& name : people)
        QVERIFY2(QFile::exists(dir.filePath(name)), qPrintable(name));
    for (const QString& name : ours)
        QVERIFY(!QFile::exists(dir.filePath(name)));
}

void TestDurableFile::logAppendsAndReadsBack()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log"));
    {
        AppendLog log(path, kMagic);
        AppendLog::ReadResult result;
        QVERIFY(readAll(log, &result).isEmpty());
        QVERIFY(!result.exists);
        QVERIFY(log.append("one\ttwo", kHeader));
        QVERIFY(log.append("", kHeader));
        QVERIFY(log.append("три", kHeader));
        QVERIFY(log.sync());
        QVERIFY(!log.append("no\nline feeds", kHeader));
    }
    AppendLog log(path, kMagic);
    AppendLog::ReadResult result;
    QCOMPARE(readAll(log, &result), (QList<QByteArray>{"one\ttwo", "", "три"}));
    QVERIFY(result.exists);
    QCOMPARE(result.header, kHeader);
    QCOMPARE(result.records, 3);
    QCOMPARE(result.damaged, 0);
    QVERIFY(result.keptAside.isEmpty());
}

void TestDurableFile::damagedRecordsAreSkippedCountedAndKeptAside()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log"));
    const QByteArray crlf = Durable::recordLine("crlf").replace("\n", "\r\n");
    const QByteArray badSum = QByteArray("bad\t0000\n");
    writeRaw(path, kHeader + '\n' + Durable::recordLine("a") + badSum + crlf + Durable::recordLine("b"));
    AppendLog log(path, kMagic);
    AppendLog::ReadResult result;
    // A line whose end became CR LF is whole: it is read as it was written, not damage.
    QCOMPARE(readAll(log, &result), (QList<QByteArray>{"a", "crlf", "b"}));
    QCOMPARE(result.damaged, 1);
    QCOMPARE(result.mended, 1);
    QCOMPARE(result.keptAside, path + QStringLiteral(".damaged"));
    QCOMPARE(contentOf(result.keptAside), badSum);
    QVERIFY(!result.tornTail);
}

void TestDurableFile::tornTailIsCutBeforeTheNextAppend()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log"));
    const QByteArray whole = kHeader + '\n' + Durable::recordLine("a");
    writeRaw(path, whole + "torn-reco");
    {
        AppendLog log(path, kMagic);
        AppendLog::ReadResult result;
        QCOMPARE(readAll(log, &result), QList<QByteArray>{"a"});
        QVERIFY(result.tornTail);
        QCOMPARE(result.damaged, 1);
        QVERIFY(log.append("b", kHeader));
    }
    QCOMPARE(contentOf(path), whole + Durable::recordLine("b"));
    // A log appended to without being read first still starts its record on a line of its own.
    writeRaw(path, whole + "torn");
    {
        AppendLog log(path, kMagic);
        QVERIFY(log.append("c", kHeader));
    }
    AppendLog log(path, kMagic);
    AppendLog::ReadResult result;
    QCOMPARE(readAll(log, &result), (QList<QByteArray>{"a", "c"}));
    QCOMPARE(result.damaged, 1);
}

void TestDurableFile::overlongLinesAreDamageNeverHeldWhole()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log"));
    const QByteArray longPayload(300 * 1024, 'x');
    writeRaw(path, kHeader + '\n' + Durable::recordLine("a") + Durable::recordLine(longPayload) +
                       Durable::recordLine("b"));
    AppendLog log(path, kMagic, 1024);
    AppendLog::ReadResult result;
    QCOMPARE(readAll(log, &result), (QList<QByteArray>{"a", "b"}));
    QCOMPARE(result.damaged, 1);
    QCOMPARE(contentOf(result.keptAside), Durable::recordLine(longPayload));
}

void TestDurableFile::foreignFileIsRefusedUntouched()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log"));
    const QByteArray foreign = "something else\n" + Durable::recordLine("a");
    writeRaw(path, foreign);
    AppendLog log(path, kMagic);
    AppendLog::ReadResult result;
    bool ok = true;
    QVERIFY(readAll(log, &result, &ok).isEmpty());
    QVERIFY(!ok);
    QVERIFY(!log.errorString().isEmpty());
    QCOMPARE(contentOf(path), foreign);
}

void TestDurableFile::compactionReplacesTheLog()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log"));
    AppendLog log(path, kMagic);
    for (const char* record : {"a", "b", "c"})
        QVERIFY(log.append(record, kHeader));
    {
        // A compaction that fails leaves the old log whole, and appending goes on in it.
        FailAt fail(Step::Rename);
        QVERIFY(!log.compact(kHeader, {"c"}));
    }
    QVERIFY(log.append("d", kHeader));
    QVERIFY(log.compact(QByteArray("TEST-LOG 1 other"), {"c", "d"}));
    QVERIFY(log.append("e", kHeader));
    AppendLog again(path, kMagic);
    AppendLog::ReadResult result;
    QCOMPARE(readAll(again, &result), (QList<QByteArray>{"c", "d", "e"}));
    QCOMPARE(result.header, QByteArray("TEST-LOG 1 other"));
    QVERIFY(log.remove());
    QVERIFY(!QFile::exists(path));
}

void TestDurableFile::failedAppendLeavesNothingToJoin()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log"));
    AppendLog log(path, kMagic);
    QVERIFY(log.append("a", kHeader));
    {
        FailAt fail(Step::Append);
        QVERIFY(!log.append("lost", kHeader));
        QVERIFY(!log.errorString().isEmpty());
    }
    {
        FailAt fail(Step::Sync);
        QVERIFY(log.append("b", kHeader));
        QVERIFY(!log.sync());
    }
    QVERIFY(log.append("c", kHeader));
    QVERIFY(log.sync());
    AppendLog again(path, kMagic);
    AppendLog::ReadResult result;
    QCOMPARE(readAll(again, &result), (QList<QByteArray>{"a", "b", "c"}));
    QCOMPARE(result.damaged, 0);
}

void TestDurableFile::sequenceNumbersAreReadAsUntrusted_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<qint64>("value"); // 0: no number
    QTest::newRow("one") << QByteArray("1") << qint64(1);
    QTest::newRow("largest") << QByteArray("9007199254740991") << Durable::kMaxSequence;
    QTest::newRow("leading zeros") << QByteArray("0042") << qint64(42);
    QTest::newRow("zero") << QByteArray("0") << qint64(0);
    QTest::newRow("one beyond") << QByteArray("9007199254740992") << qint64(0);
    QTest::newRow("int64 max") << QByteArray("9223372036854775807") << qint64(0);
    QTest::newRow("beyond int64") << QByteArray("99999999999999999999") << qint64(0);
    QTest::newRow("negative") << QByteArray("-3") << qint64(0);
    QTest::newRow("plus") << QByteArray("+3") << qint64(0);
    QTest::newRow("blank") << QByteArray(" 3") << qint64(0);
    QTest::newRow("empty") << QByteArray() << qint64(0);
    QTest::newRow("hex") << QByteArray("0x10") << qint64(0);
}

void TestDurableFile::sequenceNumbersAreReadAsUntrusted()
{
    QFETCH(QByteArray, text);
    QFETCH(qint64, value);
    QCOMPARE(Durable::parseSequence(text).value_or(0), value);
}

void TestDurableFile::sequenceMarkKeepsItsNumber()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("x.seq"));
    Durable::SequenceMark mark(path);
    QVERIFY(mark.load());
    QVERIFY(!mark.exists());
    QVERIFY(mark.store(1000, "token-a"));
    QCOMPARE(contentOf(path), QByteArray("HALVANE-SEQ 1 token-a\n1000\n"));
    Durable::SequenceMark again(path);
    QVERIFY(again.load());
    QVERIFY(again.exists());
    QCOMPARE(again.value(), qint64(1000));
    QCOMPARE(again.owner(), QByteArray("token-a"));
    {
        // A mark that cannot be recorded is not taken as recorded.
        const FailAt full(Step::WriteTemporary);
        QVERIFY(!again.store(2000, "token-a"));
    }
    QCOMPARE(contentOf(path), QByteArray("HALVANE-SEQ 1 token-a\n1000\n"));
    // Anything but a whole mark is refused and left as it is.
    for (const QByteArray& bad : {QByteArray("HALVANE-SEQ 1 t\n9223372036854775807\n"),
                                  QByteArray("HALVANE-SEQ 1 t\n12"), QByteArray("garbage\n5\n")}) {
        writeRaw(path, bad);
        Durable::SequenceMark damaged(path);
        QVERIFY2(!damaged.load(), bad.constData());
        QVERIFY(!damaged.errorString().isEmpty());
        QCOMPARE(contentOf(path), bad);
    }
}

void TestDurableFile::endOfTheLogWithoutReadingItWhole()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log"));
    const QByteArray records = Durable::recordLine("1") + Durable::recordLine("2") + Durable::recordLine("x");
    writeRaw(path, kHeader + '\n' + records + "3\ttorn");
    const auto numeric = [](QByteArrayView payload) { return payload != "x"; };
    AppendLog log(path, kMagic);
    AppendLog::End end;
    QVERIFY(log.inspectEnd(numeric, &end));
    QVERIFY(end.exists);
    QCOMPARE(end.header, kHeader);
    // The last record the check accepts, searched backwards past one it refuses.
    QCOMPARE(end.lastRecord.value_or("none"), QByteArray("2"));
    QCOMPARE(end.end, qint64(kHeader.size() + 1 + records.size()));
    QVERIFY(end.tornTail);
    QCOMPARE(contentOf(end.keptAside), QByteArray("3\ttorn\n"));
    // The torn line goes before the next append; the records before are read a part at a time.
    QVERIFY(log.append("4", kHeader));
    QCOMPARE(contentOf(path), kHeader + '\n' + records + Durable::recordLine("4"));
    Durable::LogReader reader(path, kMagic, AppendLog::kDefaultMaxRecord);
    QVERIFY(reader.open());
    reader.stopAt(end.end);
    QList<QByteArray> read;
    const auto take = [&read](QByteArrayView payload) {
        read << payload.toByteArray();
        return payload != "x";
    };
    QVERIFY(reader.read(2, take));
    QCOMPARE(read, (QList<QByteArray>{"1", "2"}));
    QVERIFY(!reader.atEnd());
    QVERIFY(reader.read(2, take));
    QVERIFY(reader.atEnd());
    QCOMPARE(read.size(), 3);
    QCOMPARE(reader.damaged(), qint64(1));
}

QTEST_GUILESS_MAIN(TestDurableFile)
#include "tst_durablefile.moc"
