#include "core/base/AppError.h"
#include "core/calls/OpenCalls.h"
#include "core/db/Database.h"
#include "core/db/Schema.h"
#include "core/journal/JournalWriter.h"

#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

QDateTime at(int h, int mi, int s, int dayOffset = 0)
{
    return QDateTime(QDate(2017, 12, 3).addDays(dayOffset), QTime(h, mi, s));
}

// A moment of clocks that ran alike: the wall clock was never set.
Clock::Moment even(const QDateTime& wall)
{
    return {wall, wall.toMSecsSinceEpoch()};
}

QString describe(const OpenCall& c)
{
    return QStringLiteral("%1|%2|%3|%4|%5|%6")
        .arg(c.code, c.f, c.place, c.ward, c.staff, c.time.toString(QStringLiteral("hh:mm:ss")));
}

QStringList describe(const OpenCalls& calls)
{
    QStringList rows;
    for (const OpenCall& c : calls.calls())
        rows << describe(c);
    return rows;
}

QString noticeText(const EventNotice& n)
{
    return QStringLiteral("#%1;%2;%3;%4;").arg(n.code, n.f, n.staff, n.place);
}

} // namespace

class TestOpenCalls : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void followsTheJournal_data();
    void followsTheJournal();
    void levelsAndRepeats_data();
    void levelsAndRepeats();
    void rebuiltAtStart();
    void openFromTheNotice();
    void keyIsNeverGivenTwice();
    void removalIsKeptForGood();
    void waitingTime_data();
    void waitingTime();

private:
    void addPlace(const QString& abcde, const QString& btnclr, const QString& name, bool withWard = true);
    qint64 addEntry(const QString& timest, const QString& abcde, const QString& f, const QString& place,
                    const QString& timestr = {});
    QStringList journal();
    QStringList rowsOf(const QString& sql);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<db::Database> m_db;
};

void TestOpenCalls::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_db = db::Database::openDatabase(m_dir->filePath(QStringLiteral("orv_med.db")));
    m_db->executeStatement(QStringLiteral("PRAGMA synchronous = OFF"));
    db::runSchema(*m_db);
    db::ensureIndexes(*m_db);
}

void TestOpenCalls::cleanup()
{
    m_db.reset();
    m_dir.reset();
}

void TestOpenCalls::addPlace(const QString& abcde, const QString& btnclr, const QString& name, bool withWard)
{
    m_db->executeStatement(
        QStringLiteral("INSERT INTO buts (abcde, btnclr, name, groupsid, workersid, comm) "
                       "VALUES (?, ?, ?, ?, ?, '')"),
        {abcde, btnclr, name, withWard ? QVariant(1) : QVariant(), withWard ? QVariant(1) : QVariant()});
}

qint64 TestOpenCalls::addEntry(const QString& timest, const QString& abcde, const QString& f,
                               const QString& place, const QString& timestr)
{
    m_db->executeStatement(
        QStringLiteral("INSERT INTO logs (timest, timestr, abcde, f, butsname, groupsname, workersname, "
                       "reactiontime) VALUES (?, ?, ?, ?, ?, 'Палата 1', 'Тестова Анна', ?)"),
        {timest, timestr, abcde, f, place, timestr.isEmpty() ? QString() : QStringLiteral("00:01:00")});
    return m_db->query(QStringLiteral("SELECT max(id) FROM logs")).fieldAsInteger(0);
}

QStringList TestOpenCalls::journal()
{
    return rowsOf(QStringLiteral("SELECT * FROM logs ORDER BY id"));
}

QStringList TestOpenCalls::rowsOf(const QString& sql)
{
    QStringList rows;
    for (db::ResultTable t = m_db->query(sql); !t.endOfRows(); t.nextRow()) {
        QStringList fields;
        for (int c = 0; c < t.columnCount(); ++c)
            fields << t.fieldAsText(c);
        rows << fields.join(u'|');
    }
    return rows;
}

void TestOpenCalls::followsTheJournal_data()
{
    QTest::addColumn<QStringList>("presses"); // "<message>" (code and function), or "clear" for a clearing
    QTest::addColumn<QStringList>("expected");

    // Places besides the seed ones (f6186 and ba5ac, "Койка № 1" and "Койка № 2", ward "Палата 1",
    // staff "Тестова Анна"): aaaaa cancelled by ccccc; s0001 and s0002 sharing the cancel code
    // sh000; KB unit 0A; n0001 without ward or staff.
    const QString w = QStringLiteral("|Палата 1|Тестова Анна|");
    QTest::newRow("call stays open") << QStringList{"f61868"}
                                     << QStringList{"f6186|8|Койка № 1" + w + "10:00:00"};
    QTest::newRow("cancel closes both calls of the place")
        << QStringList{"f61868", "f61864", "ba5ac8", "f61862"}
        << QStringList{"ba5ac|8|Койка № 2" + w + "10:00:20"};
    QTest::newRow("call and cancel by the cancel code")
        << QStringList{"ccccc8", "aaaaa4", "ccccc2"} << QStringList{};
    QTest::newRow("call by the cancel code carries the call code")
        << QStringList{"ccccc8"} << QStringList{"aaaaa|8|Место А" + w + "10:00:00"};
    QTest::newRow("shared cancel code closes both places")
        << QStringList{"s00018", "s00028", "f61868", "sh0002"}
        << QStringList{"f6186|8|Койка № 1" + w + "10:00:20"};
    QTest::newRow("cancel of one sharing place leaves the other")
        << QStringList{"s00018", "s00028", "s00012"} << QStringList{"s0002|8|Место 2" + w + "10:00:10"};
    QTest::newRow("kb call, cancel of another key leaves it")
        << QStringList{"0A1F0b", "0A200d"} << QStringList{"0A1F|b|Пульт (31)" + w + "10:00:00"};
    QTest::newRow("kb cancel of the same key closes it") << QStringList{"0A1F0b", "0A1F0d"} << QStringList{};
    QTest::newRow("unregistered code") << QStringList{"zzzzz8"} << QStringList{};
    QTest::newRow("place without ward or staff")
        << QStringList{"n00018"} << QStringList{"n0001|8|Без палаты|||10:00:00"};
    QTest::newRow("journal clearing removes its entries")
        << QStringList{"f61868", "ba5ac8", "clear"} << QStringList{};
}

void TestOpenCalls::followsTheJournal()
{
    QFETCH(QStringList, presses);
    QFETCH(QStringList, expected);

    addPlace(QStringLiteral("aaaaa"), QStringLiteral("ccccc"), QStringLiteral("Место А"));
    addPlace(QStringLiteral("s0001"), QStringLiteral("sh000"), QStringLiteral("Место 1"));
    addPlace(QStringLiteral("s0002"), QStringLiteral("sh000"), QStringLiteral("Место 2"));
    addPlace(QStringLiteral("0A"), QStringLiteral("0A"), QStringLiteral("Пульт"));
    addPlace(QStringLiteral("n0001"), QStringLiteral("n0001"), QStringLiteral("Без палаты"), false);

    QStringList sent; // every notice the writer sent for a call, in order
    JournalWriter writer(
        *m_db,
        [&sent](const QString& code, const QString& f, const QString& staff, const QString& place) {
            if (OpenCalls::isCallFunction(f))
                sent << noticeText({code, f, staff, place});
        },
        {});

    OpenCalls calls(m_db.get(), EscalationValues{});
    QDateTime now = at(10, 0, 0);
    calls.rebuild(even(now));
    for (const QString& press : std::as_const(presses)) {
        if (press == QLatin1String("clear")) {
            m_db->executeStatement(QStringLiteral("DELETE FROM logs"));
        } else {
            const QString f = press.mid(5, 1);
            if (f == QLatin1String("b") || f == QLatin1String("d"))
                writer.InLogKB(now, press.left(4), f);
            else if (writer.IsRegistredButs(press.left(5)))
                writer.InLogButs(now, press.left(5), f);
            // The writer journals what a tick gathered in one transaction at the tick's end.
            writer.flushQueue();
        }
        calls.syncWithJournal(even(now));
        now = now.addSecs(10);
    }
    QCOMPARE(describe(calls), expected);

    // Each listed call carries the very notice the writer sent when it journaled it.
    for (const OpenCall& c : calls.calls())
        QVERIFY2(sent.contains(noticeText(c.notice)), qPrintable(noticeText(c.notice)));

    // A start from the same journal lists the same calls.
    OpenCalls restarted(m_db.get(), EscalationValues{});
    restarted.rebuild(even(now));
    QCOMPARE(describe(restarted), expected);
    for (int row = 0; row < restarted.count(); ++row)
        QCOMPARE(restarted.at(row).notice, calls.at(row).notice);
}

void TestOpenCalls::levelsAndRepeats_data()
{
    QTest::addColumn<int>("warn");
    QTest::addColumn<int>("alarm");
    QTest::addColumn<int>("repeat");
    QTest::addColumn<int>("cancelAt"); // second of the cancel, -1 for none
    QTest::addColumn<QString>("expected");

    QTest::newRow("defaults") << 180 << 300 << 180 << -1
                              << "180:warning 180:repeat 300:alarm 360:repeat 540:repeat";
    QTest::newRow("nothing after the cancel") << 180 << 300 << 180 << 200 << "180:warning 180:repeat";
    QTest::newRow("repeats off") << 180 << 300 << 0 << -1 << "180:warning 300:alarm";
    QTest::newRow("short repeat") << 180 << 300 << 100 << 250 << "100:repeat 180:warning 200:repeat";
    QTest::newRow("no warning colour") << 0 << 300 << 0 << -1 << "300:alarm";
    QTest::newRow("no colours") << 0 << 0 << 0 << -1 << "";
}

void TestOpenCalls::levelsAndRepeats()
{
    QFETCH(int, warn);
    QFETCH(int, alarm);
    QFETCH(int, repeat);
    QFETCH(int, cancelAt);
    QFETCH(QString, expected);

    EscalationValues settings;
    settings.WarnSec = warn;
    settings.AlarmSec = alarm;
    settings.RepeatSec = repeat;
    OpenCalls calls(nullptr, settings);

    const QDateTime start = at(10, 0, 0);
    const EventNotice notice{QStringLiteral("f6186"), QStringLiteral("8"), QStringLiteral("Тестова Анна"),
                             QStringLiteral("Койка № 1")};
    calls.callJournaled({7, start, QStringLiteral("f6186"), QStringLiteral("8"), QStringLiteral("Койка № 1"),
                         QStringLiteral("Палата 1"), QStringLiteral("Тестова Анна"), notice},
                        even(start));
    // A second call half a minute later runs half a minute behind.
    calls.callJournaled({8,
                         start.addSecs(30),
                         QStringLiteral("ba5ac"),
                         QStringLiteral("4"),
                         QStringLiteral("Койка № 2"),
                         {},
                         {},
                         {}},
                        even(start.addSecs(30)));

    QStringList events;
    CallLevel level = CallLevel::Normal;
    for (int s = 1; s <= 600; ++s) {
        const QDateTime now = start.addSecs(s);
        if (s == cancelAt)
            calls.entriesClosed({7});
        const QList<EventNotice> due = calls.tick(even(now));
        const int row = calls.rowOf(7);
        if (row >= 0 && calls.at(row).level != level) {
            level = calls.at(row).level;
            events << QStringLiteral("%1:%2").arg(s).arg(level == CallLevel::Alarm ? "alarm" : "warning");
        }
        for (const EventNotice& n : due) {
            if (n == notice)
                events << QStringLiteral("%1:repeat").arg(s);
        }
        // The count of calls in alarm follows the levels: the second call lags 30 seconds.
        if (alarm > 0 && s == alarm + 15)
            QCOMPARE(calls.alarmCount(), cancelAt >= 0 && cancelAt <= s ? 0 : 1);
    }
    QCOMPARE(events.join(u' '), expected);
}

void TestOpenCalls::rebuiltAtStart()
{
    const QDateTime now = at(9, 0, 0, 1); // 4 December 2017, 09:00:00
    const qint64 old = addEntry(QStringLiteral("2017.12.03 20:59:59"), QStringLiteral("f6186"),
                                QStringLiteral("8"), QStringLiteral("Койка № 1"));
    const qint64 edge = addEntry(QStringLiteral("2017.12.03 21:00:00"), QStringLiteral("f6186"),
                                 QStringLiteral("8"), QStringLiteral("Койка № 1"));
    addEntry(QStringLiteral("2017.12.04 08:58:00"), QStringLiteral("ba5ac"), QStringLiteral("8"),
             QStringLiteral("Койка № 2"), QStringLiteral("2017.12.04 08:59:00"));
    // Written later than the next one but earlier in time: the list goes by waiting time.
    addEntry(QStringLiteral("2017.12.04 08:59:50"), QStringLiteral("0A1F"), QStringLiteral("b"),
             QStringLiteral("Пульт (31)"));
    addEntry(QStringLiteral("2017.12.04 08:57:00"), QStringLiteral("ba5ac"), QStringLiteral("4"),
             QStringLiteral("Койка № 2"));
    addEntry(QStringLiteral("2017.12.04 08:59:00"), QStringLiteral("ba5ac"), QStringLiteral("2"),
             QStringLiteral("Койка № 2"));
    addEntry(QStringLiteral("2017.13.04 08:59:00"), QStringLiteral("ba5ac"), QStringLiteral("8"),
             QStringLiteral("Койка № 2"));

    EscalationValues settings;
    OpenCalls calls(m_db.get(), settings);
    calls.rebuild(even(now));
    const QString w = QStringLiteral("|Палата 1|Тестова Анна|");
    QCOMPARE(describe(calls),
             QStringList({"f6186|8|Койка № 1" + w + "21:00:00", "ba5ac|4|Койка № 2" + w + "08:57:00",
                          "0A1F|b|Пульт (31)" + w + "08:59:50"}));
    QCOMPARE(calls.at(0).id, edge);
    QCOMPARE(calls.at(0).level, CallLevel::Alarm);
    QCOMPARE(calls.at(1).level, CallLevel::Warning);
    QCOMPARE(calls.at(2).level, CallLevel::Normal);
    QCOMPARE(calls.alarmCount(), 1);
    QCOMPARE(noticeText(calls.at(2).notice), QStringLiteral("#0A1F;b;Тестова Анна;Пульт;"));

    // The first repeat falls RepeatSec after the start, not at once: no station has said hello yet.
    QVERIFY(calls.tick(even(now.addSecs(179))).isEmpty());
    QCOMPARE(calls.tick(even(now.addSecs(180))).size(), 3);

    // A longer window reaches the older entry; none reaches nothing.
    settings.WindowHours = 13;
    OpenCalls wider(m_db.get(), settings);
    wider.rebuild(even(now));
    QCOMPARE(wider.at(0).id, old);
    settings.WindowHours = 0;
    OpenCalls none(m_db.get(), settings);
    none.rebuild(even(now));
    QCOMPARE(none.count(), 0);
}

void TestOpenCalls::openFromTheNotice()
{
    EscalationValues settings;
    settings.WarnSec = 60;
    OpenCalls calls(m_db.get(), settings);
    const QDateTime t0 = at(10, 0, 0);
    const EventNotice notice{QStringLiteral("f6186"), QStringLiteral("8"), QStringLiteral("Тестова Анна"),
                             QStringLiteral("Койка № 1")};
    const JournaledCall noticed{0,
                                t0,
                                QStringLiteral("f6186"),
                                QStringLiteral("8"),
                                QStringLiteral("Койка № 1"),
                                QStringLiteral("Палата 1"),
                                QStringLiteral("Тестова Анна"),
                                notice};

    // Listed the moment the notice goes out, before the journal has it; a second call of the same
    // second and place is another call with a key of its own.
    const QString first = calls.callNoticed(noticed, 1, even(t0));
    const QString second = calls.callNoticed(noticed, 2, even(t0.addMSecs(700)));
    QCOMPARE(first, QStringLiteral("20171203T100000-f6186-8"));
    QCOMPARE(second, QStringLiteral("20171203T100000-f6186-8-2"));
    QCOMPARE(calls.count(), 2);
    QVERIFY(!calls.at(0).journaled());
    // It ages like any call.
    calls.tick(even(t0.addSecs(60)));
    QCOMPARE(calls.at(0).level, CallLevel::Warning);

    // The journal's id follows; the key stays.
    QVERIFY(!calls.callJournaled(7, 40));
    QVERIFY(calls.callJournaled(1, 41));
    QCOMPARE(calls.at(calls.rowOfKey(first)).id, 41);
    QVERIFY(calls.at(calls.rowOfKey(first)).journaled());
    QCOMPARE(calls.rowOf(41), calls.rowOfKey(first));

    // A cancel's notice closes both at once, oldest first.
    const QList<OpenCall> closed = calls.cancelNoticed(QStringLiteral("f6186"));
    QCOMPARE(closed.size(), 2);
    QCOMPARE(closed.at(0).key, first);
    QCOMPARE(closed.at(1).key, second);
    QCOMPARE(calls.count(), 0);
    QCOMPARE(OpenCalls::reactionSeconds(t0.addMSecs(700), t0.addSecs(95).addMSecs(300)), 95);

    // After a restart the journal's call has the key it had, and a call the previous run left waiting
    // in its spool that the journal took just before that run ended is that same call, listed once.
    const qint64 id = addEntry(QStringLiteral("2017.12.03 10:00:00"), QStringLiteral("f6186"),
                               QStringLiteral("8"), QStringLiteral("Койка № 1"));
    OpenCalls seededFirst(m_db.get(), settings);
    seededFirst.callWaiting(noticed, 1, even(t0.addSecs(5)));
    QCOMPARE(seededFirst.rebuild(even(t0.addSecs(5))).size(), 0);
    QCOMPARE(seededFirst.count(), 1);
    QCOMPARE(seededFirst.at(0).id, id);
    QCOMPARE(seededFirst.at(0).key, first);
    OpenCalls journalFirst(m_db.get(), settings);
    QCOMPARE(journalFirst.rebuild(even(t0.addSecs(5))).size(), 1);
    QCOMPARE(journalFirst.callWaiting(noticed, 1, even(t0.addSecs(5))), first);
    QCOMPARE(journalFirst.count(), 1);
    QCOMPARE(journalFirst.at(0).id, id);
}

// A call, its cancel and a new call at the same place within one second are two calls: the second
// never takes the first one's key (the alert manager and the house's journal would join them), and
// a restart gives it the key it had.
void TestOpenCalls::keyIsNeverGivenTwice()
{
    EscalationValues settings;
    OpenCalls calls(m_db.get(), settings);
    const QDateTime t0 = at(10, 0, 0);
    const JournaledCall noticed{
        0,         t0, QStringLiteral("f6186"), QStringLiteral("8"), QStringLiteral("Койка № 1"), QString(),
        QString(), {}};
    const QString first = calls.callNoticed(noticed, 1, even(t0));
    QCOMPARE(calls.cancelNoticed(QStringLiteral("f6186")).size(), 1);
    const QString second = calls.callNoticed(noticed, 2, even(t0.addMSecs(400)));
    QCOMPARE(first, QStringLiteral("20171203T100000-f6186-8"));
    QCOMPARE(second, QStringLiteral("20171203T100000-f6186-8-2"));
    QCOMPARE(calls.cancelNoticed(QStringLiteral("f6186")).size(), 1);
    QCOMPARE(calls.callNoticed(noticed, 3, even(t0.addMSecs(800))),
             QStringLiteral("20171203T100000-f6186-8-3"));

    // The journal holds the first call answered and the second open: rebuilt, the second has its key.
    addEntry(QStringLiteral("2017.12.03 10:00:00"), QStringLiteral("f6186"), QStringLiteral("8"),
             QStringLiteral("Койка № 1"), QStringLiteral("2017.12.03 10:00:00"));
    const qint64 open = addEntry(QStringLiteral("2017.12.03 10:00:00"), QStringLiteral("f6186"),
                                 QStringLiteral("8"), QStringLiteral("Койка № 1"));
    OpenCalls restarted(m_db.get(), settings);
    QCOMPARE(restarted.rebuild(even(t0.addSecs(5))).size(), 1);
    QCOMPARE(restarted.at(0).id, open);
    QCOMPARE(restarted.at(0).key, second);
    // A new call of that second after the restart takes the next key, not the first one's.
    QCOMPARE(restarted.callNoticed(noticed, 1, even(t0.addSecs(5))),
             QStringLiteral("20171203T100000-f6186-8-3"));

    // The same call left waiting in the previous run's spool is found again under its own key.
    OpenCalls replayed(m_db.get(), settings);
    QCOMPARE(replayed.callWaiting(noticed, 7, even(t0.addSecs(5))), first);
    QCOMPARE(replayed.callWaiting(noticed, 8, even(t0.addSecs(5))), second);
    QCOMPARE(replayed.rebuild(even(t0.addSecs(5))).size(), 0);
    QCOMPARE(replayed.count(), 2);
    QCOMPARE(replayed.at(replayed.rowOfKey(second)).id, open);
}

void TestOpenCalls::removalIsKeptForGood()
{
    const QDateTime now = at(10, 0, 0);
    const qint64 first = addEntry(QStringLiteral("2017.12.03 09:50:00"), QStringLiteral("f6186"),
                                  QStringLiteral("8"), QStringLiteral("Койка № 1"));
    const qint64 second = addEntry(QStringLiteral("2017.12.03 09:55:00"), QStringLiteral("ba5ac"),
                                   QStringLiteral("8"), QStringLiteral("Койка № 2"));
    // A table of removals as an earlier version kept it: ids only.
    m_db->executeStatement(QStringLiteral("CREATE TABLE dismissedcalls (id INTEGER PRIMARY KEY)"));
    const QStringList journalBefore = journal();

    OpenCalls calls(m_db.get(), EscalationValues{});
    calls.rebuild(even(now));
    calls.dismiss(calls.at(0).key, now);
    QCOMPARE(calls.count(), 1);
    QCOMPARE(calls.at(0).id, second);
    QCOMPARE(journal(), journalBefore);
    QCOMPARE(rowsOf(QStringLiteral("SELECT id, removedat FROM dismissedcalls")),
             QStringList{QStringLiteral("%1|2017.12.03 10:00:00").arg(first)});
    calls.syncWithJournal(even(now)); // the journal still holds it open; it stays off the list
    QCOMPARE(calls.count(), 1);

    // Closed for good: a later start does not list it, and does not forget the removal even once its
    // entry is closed (the statistics tell it apart by it).
    m_db->executeStatement(QStringLiteral("UPDATE logs SET timestr = '2017.12.03 10:01:00' WHERE id = ?"),
                           {QVariant(qlonglong(first))});
    OpenCalls restarted(m_db.get(), EscalationValues{});
    restarted.rebuild(even(now));
    QCOMPARE(restarted.count(), 1);
    QCOMPARE(restarted.at(0).id, second);
    QCOMPARE(m_db->query(QStringLiteral("SELECT count(*) FROM dismissedcalls")).fieldAsInteger(0), 1);

    // A removal goes to its sink when there is one; a sink that fails leaves the call listed.
    QList<qint64> sunk;
    restarted.setRemovalSink([&sunk](const OpenCall& call, const QDateTime&) {
        if (!sunk.isEmpty())
            throw AppError(QStringLiteral("busy"));
        sunk << call.id;
    });
    const QString key = restarted.at(0).key;
    restarted.callNoticed({0, now, QStringLiteral("ba5ac"), QStringLiteral("8"), {}, {}, {}, {}}, 3,
                          even(now));
    restarted.dismiss(key, now);
    QCOMPARE(sunk, QList<qint64>{second});
    QVERIFY_THROWS_EXCEPTION(AppError, restarted.dismiss(restarted.at(0).key, now));
    QCOMPARE(restarted.count(), 1);

    // Without a database, and for a call the journal does not have, the operator hears why.
    OpenCalls detached(nullptr, EscalationValues{});
    detached.callJournaled({5, now, QStringLiteral("f6186"), QStringLiteral("8"), {}, {}, {}, {}}, even(now));
    QVERIFY_THROWS_EXCEPTION(AppError, detached.dismiss(detached.at(0).key, now));
    QCOMPARE(detached.count(), 1);
}

void TestOpenCalls::waitingTime_data()
{
    QTest::addColumn<int>("seconds");
    QTest::addColumn<QString>("expected");
    QTest::newRow("at once") << 0 << "0 сек";
    QTest::newRow("seconds") << 5 << "5 сек";
    QTest::newRow("minutes") << 134 << "2 мин 14 сек";
    QTest::newRow("past the journal's missed bound") << 2 * 3600 + 1 << "120 мин 1 сек";
    QTest::newRow("clock set back") << -30 << "0 сек";
}

void TestOpenCalls::waitingTime()
{
    QFETCH(int, seconds);
    QFETCH(QString, expected);
    const QDateTime start = at(10, 0, 0);
    QCOMPARE(
        OpenCalls::sWaitingTime(start, start.addSecs(seconds).addMSecs(seconds >= 0 ? 700 : 0), LogConst{}),
        expected);
}

QTEST_GUILESS_MAIN(TestOpenCalls)
#include "tst_opencalls.moc"
