// The wall clock set back or forward while calls wait (by an administrator, by a time server):
// warnings, alarms and repeats keep to the time that really passed, the list stays longest waiting
// first, calls taken from the journal at a start are placed by their age at that moment, and each
// step of the wall clock is told in one line.

#include "core/base/Clock.h"
#include "core/calls/OpenCalls.h"
#include "core/db/Database.h"
#include "core/db/Schema.h"

#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

const QDateTime kStart(QDate(2017, 12, 3), QTime(10, 0, 0));
// Any reading of the steady clock: it has nothing to do with the wall clock's.
constexpr qint64 kElapsedStart = 86'400'000;

// Both clocks `second` seconds after the start, the wall clock stepped by stepSec at second stepAt.
Clock::Moment clocksAt(int second, int stepAt, int stepSec)
{
    const qint64 stepMs = second >= stepAt ? qint64(stepSec) * 1000 : 0;
    return {kStart.addMSecs(qint64(second) * 1000 + stepMs), kElapsedStart + qint64(second) * 1000};
}

JournaledCall callOf(qint64 id, const QDateTime& time, const QString& code, const QString& place)
{
    const EventNotice notice{code, QStringLiteral("8"), QStringLiteral("Тестова Анна"), place};
    return {id,
            time,
            code,
            QStringLiteral("8"),
            place,
            QStringLiteral("Палата 1"),
            QStringLiteral("Тестова Анна"),
            notice};
}

QString levelName(CallLevel level)
{
    return level == CallLevel::Alarm     ? QStringLiteral("alarm")
           : level == CallLevel::Warning ? QStringLiteral("warning")
                                         : QStringLiteral("normal");
}

} // namespace

class TestClockSteps : public QObject
{
    Q_OBJECT

private slots:
    void levelsAndRepeatsKeepToTheTimePassed_data();
    void levelsAndRepeatsKeepToTheTimePassed();
    void journalCallsTakeTheirAgeAtTheStart();
    void stepIsToldOnce_data();
    void stepIsToldOnce();
};

void TestClockSteps::levelsAndRepeatsKeepToTheTimePassed_data()
{
    QTest::addColumn<int>("stepAt");  // second of the step
    QTest::addColumn<int>("stepSec"); // how far the wall clock moved (back when negative)

    QTest::newRow("clock never set") << 0 << 0;
    QTest::newRow("set back 10 minutes before the warning") << 30 << -600;
    QTest::newRow("set forward 10 minutes before the warning") << 30 << 600;
    QTest::newRow("set back 10 minutes between warning and alarm") << 200 << -600;
    QTest::newRow("set forward an hour between warning and alarm") << 200 << 3600;
    QTest::newRow("set back 10 minutes a second before a repeat") << 119 << -600;
    QTest::newRow("set forward 10 minutes a second before a repeat") << 119 << 600;
    QTest::newRow("set back a day") << 30 << -86400;
}

// A call noticed at second 0 of the steady clock; the wall clock is stepped once; a second call
// comes the second after the step. Whatever the step, the first call warns at WarnSec, alarms at
// AlarmSec and repeats every RepeatSec of time passed; the second call waits behind the first.
void TestClockSteps::levelsAndRepeatsKeepToTheTimePassed()
{
    QFETCH(int, stepAt);
    QFETCH(int, stepSec);

    EscalationValues settings;
    settings.WarnSec = 180;
    settings.AlarmSec = 300;
    settings.RepeatSec = 120;
    OpenCalls calls(nullptr, settings);

    const JournaledCall first = callOf(0, kStart, QStringLiteral("f6186"), QStringLiteral("Койка № 1"));
    const QString firstKey = calls.callNoticed(first, 1, clocksAt(0, stepAt, stepSec));
    QString secondKey;
    int secondAt = 0;

    QStringList events;
    CallLevel level = CallLevel::Normal;
    for (int s = 1; s <= 600; ++s) {
        const Clock::Moment now = clocksAt(s, stepAt, stepSec);
        if (s == stepAt + 1) {
            // Its time is what the stepped wall clock says.
            secondAt = s;
            secondKey = calls.callNoticed(
                callOf(0, now.wall, QStringLiteral("ba5ac"), QStringLiteral("Койка № 2")), 2, now);
        }
        const QList<EventNotice> due = calls.tick(now);
        const int row = calls.rowOfKey(firstKey);
        QVERIFY2(row == 0, qPrintable(QStringLiteral("second %1: row %2").arg(s).arg(row)));
        if (calls.at(row).level != level) {
            level = calls.at(row).level;
            events << QStringLiteral("%1:%2").arg(s).arg(levelName(level));
        }
        for (const EventNotice& n : due) {
            if (n == first.notice)
                events << QStringLiteral("%1:repeat").arg(s);
        }
        QCOMPARE(OpenCalls::waitingMs(calls.at(row), now.elapsedMs), qint64(s) * 1000);
    }
    QCOMPARE(events.join(u' '),
             QStringLiteral("120:repeat 180:warning 240:repeat 300:alarm 360:repeat 480:repeat 600:repeat"));

    // The call that came after the step has waited since it came, in its row behind the first.
    const int row = calls.rowOfKey(secondKey);
    QCOMPARE(row, 1);
    const qint64 waited = 600 - secondAt;
    QCOMPARE(OpenCalls::waitingMs(calls.at(row), clocksAt(600, stepAt, stepSec).elapsedMs), waited * 1000);
    QCOMPARE(levelName(calls.at(row).level), levelName(calls.levelFor(waited)));
}

// At a start the journal's open calls are placed by their age on the wall clock at that moment; a
// step afterwards changes nothing. A call the wall clock puts after now (the clock was set back since
// it was written) starts waiting at the start, not some minutes later.
void TestClockSteps::journalCallsTakeTheirAgeAtTheStart()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const std::unique_ptr<db::Database> database =
        db::Database::openDatabase(dir.filePath(QStringLiteral("orv_med.db")));
    db::runSchema(*database);
    db::ensureIndexes(*database);
    for (const QString& timest :
         {QStringLiteral("2017.12.03 09:56:00"), QStringLiteral("2017.12.03 10:05:00")})
        database->executeStatement(
            QStringLiteral("INSERT INTO logs (timest, timestr, abcde, f, butsname, groupsname, workersname, "
                           "reactiontime) VALUES (?, '', 'f6186', '8', 'Койка № 1', 'Палата 1', '', '')"),
            {timest});

    EscalationValues settings;
    settings.WarnSec = 180;
    settings.AlarmSec = 300;
    settings.RepeatSec = 0;
    OpenCalls calls(database.get(), settings);
    constexpr int stepAt = 1;
    constexpr int stepSec = -600;
    QCOMPARE(calls.rebuild(clocksAt(0, stepAt, stepSec)).size(), 2);
    QCOMPARE(calls.at(0).time.toString(QStringLiteral("hh:mm:ss")), QStringLiteral("09:56:00"));
    QCOMPARE(calls.at(0).level, CallLevel::Warning);
    QCOMPARE(calls.at(1).time.toString(QStringLiteral("hh:mm:ss")), QStringLiteral("10:05:00"));
    QCOMPARE(calls.at(1).level, CallLevel::Normal);

    QStringList events;
    QList<CallLevel> levels{calls.at(0).level, calls.at(1).level};
    for (int s = 1; s <= 320; ++s) {
        calls.tick(clocksAt(s, stepAt, stepSec));
        for (int row = 0; row < 2; ++row) {
            if (calls.at(row).level != levels[row]) {
                levels[row] = calls.at(row).level;
                events << QStringLiteral("%1:%2:%3").arg(row).arg(s).arg(levelName(levels[row]));
            }
        }
    }
    // Four minutes old at the start: the alarm a minute later. Written "in the future": from the start.
    QCOMPARE(events.join(u' '), QStringLiteral("0:60:alarm 1:180:warning 1:300:alarm"));
}

void TestClockSteps::stepIsToldOnce_data()
{
    // Per look after the first: how far the steady clock and the wall clock moved since the last.
    QTest::addColumn<QList<int>>("elapsedMs");
    QTest::addColumn<QList<int>>("wallMs");
    QTest::addColumn<QStringList>("expected"); // "<look>:<line>"

    const QString tail =
        QStringLiteral("; ожидание вызовов, тревоги и повторы отсчитываются без учёта перевода");
    QTest::newRow("running evenly") << QList<int>{1000, 1000, 1000} << QList<int>{1000, 1000, 1000}
                                    << QStringList{};
    QTest::newRow("a late tick is no step")
        << QList<int>{1000, 9000, 1000} << QList<int>{1000, 9000, 1000} << QStringList{};
    QTest::newRow("a time server's small correction")
        << QList<int>{1000, 1000, 1000} << QList<int>{1000, 3900, -1900} << QStringList{};
    QTest::newRow("set back 10 minutes")
        << QList<int>{1000, 1000, 1000, 1000} << QList<int>{1000, -599000, 1000, 1000}
        << QStringList{
               QStringLiteral("2:Системные часы переведены назад на 10 мин 0 сек (было 10:00:02, стало "
                              "09:50:02)") +
               tail};
    QTest::newRow("set forward 90 seconds")
        << QList<int>{1000, 1000, 1000} << QList<int>{91000, 1000, 1000}
        << QStringList{QStringLiteral("1:Системные часы переведены вперёд на 1 мин 30 сек (было 10:00:01, "
                                      "стало 10:01:31)") +
                       tail};
    QTest::newRow("two steps, two lines")
        << QList<int>{1000, 1000, 1000, 1000} << QList<int>{-4000, 1000, 1000, 21000}
        << QStringList{
               QStringLiteral("1:Системные часы переведены назад на 5 сек (было 10:00:01, стало 09:59:56)") +
                   tail,
               QStringLiteral(
                   "4:Системные часы переведены вперёд на 20 сек (было 09:59:59, стало 10:00:19)") +
                   tail};
}

void TestClockSteps::stepIsToldOnce()
{
    QFETCH(QList<int>, elapsedMs);
    QFETCH(QList<int>, wallMs);
    QFETCH(QStringList, expected);

    Clock::StepWatch watch;
    Clock::Moment now{kStart, kElapsedStart};
    QCOMPARE(watch.look(now), QString());
    QStringList lines;
    for (int i = 0; i < elapsedMs.size(); ++i) {
        now = {now.wall.addMSecs(wallMs.at(i)), now.elapsedMs + elapsedMs.at(i)};
        const QString line = watch.look(now);
        if (!line.isEmpty())
            lines << QString::number(i + 1) + u':' + line;
    }
    QCOMPARE(lines, expected);
}

QTEST_GUILESS_MAIN(TestClockSteps)
#include "tst_clocksteps.moc"
