#include "core/calls/AntennaWatch.h"
#include "core/calls/StatusTexts.h"

#include <QTest>

namespace {
const QDateTime kStart(QDate(2017, 12, 3), QTime(14, 0, 0));

// A moment of clocks that ran alike: the wall clock was never set.
Clock::Moment even(const QDateTime& wall)
{
    return {wall, wall.toMSecsSinceEpoch()};
}

QString describe(const QList<AntennaWatch::Silent>& silent)
{
    QStringList parts;
    for (const AntennaWatch::Silent& s : silent)
        parts << s.id + u'@' + QString::number(kStart.secsTo(s.lastHeard));
    return parts.join(u' ');
}
} // namespace

class TestAntennaWatch : public QObject
{
    Q_OBJECT

private slots:
    void silenceRaisesAndClears_data();
    void silenceRaisesAndClears();
    void strangersNeverPushOutARealAntenna();
    void texts();
};

void TestAntennaWatch::silenceRaisesAndClears_data()
{
    // Steps at seconds after the start: "h<s> <ids>" antennas heard, "c<s>" a check, "w<s> <n>" the
    // wall clock set forward (back when negative) by n seconds from then on, with no time passing;
    // expected gives, for every check, whether the list changed and the silent antennas as
    // "id@last heard second" on the wall clock.
    QTest::addColumn<int>("silentSec");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("never heard, nothing to watch")
        << 60 << QStringList{"c0", "c3600"} << QStringList{"same:", "same:"};
    QTest::newRow("silent after the bound, not before") << 60 << QStringList{"h0 A1", "c59", "c60", "c61"}
                                                        << QStringList{"same:", "changed:A1@0", "same:A1@0"};
    QTest::newRow("heard again clears; letter case aside")
        << 60 << QStringList{"h0 A1", "c70", "h75 a1", "c76", "c134", "c135"}
        << QStringList{"changed:A1@0", "changed:", "same:", "changed:A1@75"};
    QTest::newRow("only the silent one, longest silent first")
        << 60 << QStringList{"h0 B2", "h10 A1,C3", "h50 C3", "h100 C3", "c100"}
        << QStringList{"changed:B2@0 A1@10"};
    QTest::newRow("switched off") << 0 << QStringList{"h0 A1", "c3600"} << QStringList{"same:"};
    QTest::newRow("clock set back: silent at the bound all the same")
        << 60 << QStringList{"h0 A1", "w30 -600", "c59", "c60"} << QStringList{"same:", "changed:A1@0"};
    QTest::newRow("clock set forward: not silent before the bound")
        << 60 << QStringList{"h0 A1", "w30 600", "c31", "c59", "c60"}
        << QStringList{"same:", "same:", "changed:A1@0"};
    QTest::newRow("heard after a set back: shown at the clock's time")
        << 60 << QStringList{"h0 A1", "w10 -600", "h20 A1", "c79", "c80"}
        << QStringList{"same:", "changed:A1@-580"};
}

void TestAntennaWatch::silenceRaisesAndClears()
{
    QFETCH(int, silentSec);
    QFETCH(QStringList, steps);
    QFETCH(QStringList, expected);

    AntennaWatch watch(silentSec);
    QStringList seen;
    qint64 wallShift = 0;
    for (const QString& step : std::as_const(steps)) {
        const QStringList parts = step.mid(1).split(u' ');
        const qint64 second = parts.at(0).toInt();
        const Clock::Moment now{kStart.addSecs(second + wallShift),
                                kStart.toMSecsSinceEpoch() + second * 1000};
        if (step.startsWith(u'w')) {
            wallShift += parts.at(1).toInt();
        } else if (step.startsWith(u'h')) {
            watch.heard(parts.at(1).split(u','), now);
        } else {
            const bool changed = watch.check(now);
            seen << (changed ? QStringLiteral("changed:") : QStringLiteral("same:")) +
                        describe(watch.silent());
        }
    }
    QCOMPARE(seen, expected);
}

void TestAntennaWatch::strangersNeverPushOutARealAntenna()
{
    // Two real antennas heard at every status update; B2 all along, A1 until second 10 and again at
    // 100 only. Floods of made-up names, each heard once, far beyond the bound: before A1 falls
    // silent, while it is silent, and after it was heard again.
    AntennaWatch watch(60);
    const auto flood = [&watch](int second, const QString& prefix) {
        QStringList names;
        for (int i = 0; i < 4 * AntennaWatch::kMaxAntennas; ++i)
            names << prefix + QString::number(i);
        watch.heard(names, even(kStart.addSecs(second)));
    };
    const auto silentSince = [&watch](const QString& id) {
        for (const AntennaWatch::Silent& s : watch.silent()) {
            if (s.id == id)
                return kStart.secsTo(s.lastHeard);
        }
        return qint64(-1);
    };
    for (int second = 0; second <= 220; second += 2) {
        if (second <= 10 || second == 100)
            watch.heard({QStringLiteral("A1")}, even(kStart.addSecs(second)));
        watch.heard({QStringLiteral("B2")}, even(kStart.addSecs(second)));
        if (second == 20 || second == 80 || second == 102)
            flood(second + 1, QStringLiteral("x%1-").arg(second));
        watch.check(even(kStart.addSecs(second + 1)));
        const qint64 expected = second >= 70 && second < 100 ? 10 : second >= 160 ? 100 : -1;
        QVERIFY2(silentSince(QStringLiteral("A1")) == expected, qPrintable(QString::number(second)));
        QCOMPARE(silentSince(QStringLiteral("B2")), -1);
    }
}

void TestAntennaWatch::texts()
{
    const EscalationValues settings;
    const LogConst logConst;
    const AntennaWatch::Silent antenna{QStringLiteral("A1"), kStart.addSecs(5)};
    QCOMPARE(StatusTexts::silentAntenna(antenna, settings, kStart.addSecs(90), logConst),
             QStringLiteral("Нет сигнала от антенны A1 с 14:00:05"));
    QCOMPARE(StatusTexts::silentAntenna(antenna, settings, kStart.addDays(1), logConst),
             QStringLiteral("Нет сигнала от антенны A1 с 3 дек 14:00:05"));
    QCOMPARE(StatusTexts::alarmCount(2, settings), QStringLiteral("Вызовов в тревоге: 2"));
    QCOMPARE(StatusTexts::alarmCount(0, settings), QString());
}

QTEST_GUILESS_MAIN(TestAntennaWatch)
#include "tst_antennawatch.moc"
