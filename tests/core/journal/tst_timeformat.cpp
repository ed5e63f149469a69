#include "core/base/AppError.h"
#include "core/journal/TimeFormat.h"

#include <QScopeGuard>
#include <QTest>

#include <ctime>

namespace {

QDateTime at(int y, int mo, int d, int h, int mi, int s, int ms = 0)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms));
}

// Runs the conversion and returns the message of the AppError it throws ("" when it does not).
template <typename F> QString errorOf(F&& convert)
{
    try {
        convert();
    } catch (const AppError& e) {
        return e.message();
    }
    return {};
}

} // namespace

class TestTimeFormat : public QObject
{
    Q_OBJECT

private slots:
    void timestampRoundTrip_data();
    void timestampRoundTrip();
    void unreadableTimestamp_data();
    void unreadableTimestamp();
    void elapsed_data();
    void elapsed();
    void dateColumn_data();
    void dateColumn();
    void timeColumn_data();
    void timeColumn();
    void reactionColumn_data();
    void reactionColumn();
    void elapsedAcrossDaylightSaving_data();
    void elapsedAcrossDaylightSaving();
};

void TestTimeFormat::timestampRoundTrip_data()
{
    QTest::addColumn<QDateTime>("moment");
    QTest::addColumn<QString>("ts");

    QTest::newRow("milliseconds cut") << at(2017, 12, 3, 14, 5, 9, 870) << "2017.12.03 14:05:09";
    QTest::newRow("leading zeros") << at(2017, 1, 2, 3, 4, 5) << "2017.01.02 03:04:05";
    QTest::newRow("last second of the day") << at(2020, 2, 29, 23, 59, 59, 999) << "2020.02.29 23:59:59";
    QTest::newRow("midnight") << at(2018, 1, 1, 0, 0, 0) << "2018.01.01 00:00:00";
}

void TestTimeFormat::timestampRoundTrip()
{
    QFETCH(QDateTime, moment);
    QFETCH(QString, ts);

    QCOMPARE(sTSFromDateTime(moment), ts);
    const QDateTime back = DateTimeFromTS(ts);
    QCOMPARE(back, moment.addMSecs(-moment.time().msec()));
    QCOMPARE(back.time().msec(), 0);
    QCOMPARE(back.timeSpec(), Qt::LocalTime);
}

void TestTimeFormat::unreadableTimestamp_data()
{
    QTest::addColumn<QString>("ts");

    QTest::newRow("empty") << "";
    QTest::newRow("letters") << "abc";
    QTest::newRow("other date separator") << "2017-12-03 14:05:09";
    QTest::newRow("date only") << "2017.12.03";
    QTest::newRow("no seconds") << "2017.12.03 14:05";
    QTest::newRow("month 13") << "2017.13.03 14:05:09";
    QTest::newRow("30 February") << "2017.02.30 10:00:00";
    QTest::newRow("hour 24") << "2017.12.03 24:00:00";
    QTest::newRow("trailing garbage") << "2017.12.03 14:05:09x";
    QTest::newRow("letter in a field") << "2017.12.0a 14:05:09";
}

void TestTimeFormat::unreadableTimestamp()
{
    QFETCH(QString, ts);
    QCOMPARE(errorOf([&] { DateTimeFromTS(ts); }),
             QStringLiteral("'%1' is not a valid date and time").arg(ts));
}

void TestTimeFormat::elapsed_data()
{
    QTest::addColumn<QDateTime>("start");
    QTest::addColumn<QDateTime>("end");
    QTest::addColumn<QString>("expected");

    QTest::newRow("zero") << at(2017, 12, 3, 10, 0, 0) << at(2017, 12, 3, 10, 0, 0) << "00:00:00";
    QTest::newRow("milliseconds dropped")
        << at(2017, 12, 3, 10, 0, 0) << at(2017, 12, 3, 10, 2, 0, 400) << "00:02:00";
    QTest::newRow("just under a second")
        << at(2017, 12, 3, 10, 0, 0) << at(2017, 12, 3, 10, 0, 0, 999) << "00:00:00";
    QTest::newRow("over midnight") << at(2017, 12, 3, 23, 59, 50) << at(2017, 12, 4, 0, 0, 3, 300)
                                   << "00:00:13";
    QTest::newRow("end before start") << at(2017, 12, 3, 10, 1, 5) << at(2017, 12, 3, 10, 0, 0) << "00:01:05";
    // A day or more must not wrap round to a short reaction.
    QTest::newRow("25 hours") << at(2017, 12, 3, 10, 0, 0) << at(2017, 12, 4, 11, 3, 4, 500) << "25:03:04";
    QTest::newRow("exactly one day") << at(2017, 12, 3, 10, 0, 0) << at(2017, 12, 4, 10, 0, 0) << "24:00:00";
    QTest::newRow("one day before start")
        << at(2017, 12, 4, 10, 0, 3) << at(2017, 12, 3, 10, 0, 0) << "24:00:03";
    QTest::newRow("largest shown") << at(2017, 12, 1, 0, 0, 0) << at(2017, 12, 5, 3, 59, 59, 999)
                                   << "99:59:59";
    QTest::newRow("100 hours capped") << at(2017, 12, 1, 0, 0, 0) << at(2017, 12, 5, 4, 0, 0) << "99:59:59";
    QTest::newRow("a year capped") << at(2017, 1, 1, 0, 0, 0) << at(2018, 1, 1, 0, 0, 0) << "99:59:59";
}

void TestTimeFormat::elapsed()
{
    QFETCH(QDateTime, start);
    QFETCH(QDateTime, end);
    QFETCH(QString, expected);
    QCOMPARE(sElapsedFromDateTimes(start, end), expected);
}

void TestTimeFormat::dateColumn_data()
{
    QTest::addColumn<QString>("ts");
    QTest::addColumn<QString>("expected"); // a text starting with "!" is the expected error
    QTest::newRow("december") << "2017.12.03 14:05:09"
                              << "3 дек";
    QTest::newRow("january, two-digit day") << "2017.01.15 00:00:00"
                                            << "15 янв";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("month 13 has no word") << "2017.13.03 14:05:09"
                                          << "3 ";
    QTest::newRow("month 00 has no word") << "2017.00.21 14:05:09"
                                          << "21 ";
    QTest::newRow("month not a number") << "2017.xx.03 14:05:09"
                                        << "!'xx' is not a valid integer value";
    QTest::newRow("day not a number") << "2017.12.3a 14:05:09"
                                      << "!'3a' is not a valid integer value";
    QTest::newRow("too short for a day") << "2017.12"
                                         << "!'' is not a valid integer value";
}

void TestTimeFormat::dateColumn()
{
    QFETCH(QString, ts);
    QFETCH(QString, expected);
    const LogConst texts;
    if (expected.startsWith(QLatin1Char('!')))
        QCOMPARE(errorOf([&] { sDateFromTS(ts, texts); }), expected.mid(1));
    else
        QCOMPARE(sDateFromTS(ts, texts), expected);
}

void TestTimeFormat::timeColumn_data()
{
    QTest::addColumn<QString>("ts");
    QTest::addColumn<QString>("expected");
    QTest::newRow("full") << "2017.12.03 14:05:09"
                          << "14:05:09";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("short") << "2017.12.03 14:05"
                           << "14:05";
    QTest::newRow("date only") << "2017.12.03"
                               << "";
}

void TestTimeFormat::timeColumn()
{
    QFETCH(QString, ts);
    QFETCH(QString, expected);
    QCOMPARE(sTimeFromTS(ts), expected);
}

void TestTimeFormat::reactionColumn_data()
{
    QTest::addColumn<QString>("reaction");
    QTest::addColumn<QString>("bound");
    QTest::addColumn<QString>("expected"); // a text starting with "!" is the expected error

    const QString std = QStringLiteral("01:00:00");
    QTest::newRow("open entry") << "" << std << "";
    QTest::newRow("minutes and seconds") << "00:03:07" << std << "3 мин 7 сек";
    QTest::newRow("seconds only") << "00:00:05" << std << "5 сек";
    QTest::newRow("zero") << "00:00:00" << std << "0 сек";
    QTest::newRow("at the bound") << "01:00:00" << std << "60 мин 0 сек";
    QTest::newRow("just above the bound") << "01:00:01" << std << "пропущено";
    QTest::newRow("far above the bound") << "23:59:59" << std << "пропущено";
    QTest::newRow("beyond a day") << "25:03:04" << std << "пропущено";
    QTest::newRow("hours into minutes") << "01:30:00"
                                        << "02:00:00"
                                        << "90 мин 0 сек";
    // The bound is compared as text: "0" sorts before "1", so 02:00:00 is not above 1:00:00.
    QTest::newRow("seven-character bound") << "02:00:00"
                                           << "1:00:00"
                                           << "120 мин 0 сек";
    QTest::newRow("ten-minute bound, at it") << "00:10:00"
                                             << "00:10:00"
                                             << "10 мин 0 сек";
    QTest::newRow("ten-minute bound, above") << "00:10:01"
                                             << "00:10:00"
                                             << "пропущено";
    QTest::newRow("minutes not a number") << "00:x1:00" << std << "!'x1' is not a valid integer value";
    QTest::newRow("seconds missing") << "00:01" << std << "!'' is not a valid integer value";
}

void TestTimeFormat::reactionColumn()
{
    QFETCH(QString, reaction);
    QFETCH(QString, bound);
    QFETCH(QString, expected);
    LogConst texts;
    texts.s_maxreactiontime = bound;
    if (expected.startsWith(QLatin1Char('!')))
        QCOMPARE(errorOf([&] { sReactionTime(reaction, texts); }), expected.mid(1));
    else
        QCOMPARE(sReactionTime(reaction, texts), expected);
}

void TestTimeFormat::elapsedAcrossDaylightSaving_data()
{
    QTest::addColumn<QString>("startTs");
    QTest::addColumn<QDateTime>("end");
    QTest::addColumn<QString>("expected");

    // Europe/Berlin: clocks go forward at 02:00 on 26 March 2023 and back at 03:00 on 29 October.
    QTest::newRow("spring forward") << "2023.03.26 01:59:00" << at(2023, 3, 26, 3, 1, 0) << "00:02:00";
    QTest::newRow("fall back") << "2023.10.29 01:59:00" << at(2023, 10, 29, 3, 1, 0) << "02:02:00";
}

void TestTimeFormat::elapsedAcrossDaylightSaving()
{
    QFETCH(QString, startTs);
    QFETCH(QDateTime, end);
    QFETCH(QString, expected);

    const QByteArray savedTz = qgetenv("TZ");
    const bool hadTz = qEnvironmentVariableIsSet("TZ");
    qputenv("TZ", "Europe/Berlin");
    tzset();
    const auto restore = qScopeGuard([&] {
        if (hadTz)
            qputenv("TZ", savedTz);
        else
            qunsetenv("TZ");
        tzset();
    });
    if (at(2023, 7, 1, 12, 0, 0).offsetFromUtc() != 7200 || at(2023, 1, 1, 12, 0, 0).offsetFromUtc() != 3600)
        QSKIP("the Europe/Berlin time zone is not available here");

    // end was built before the zone switch, so rebuild it in the zone under test.
    const QDateTime localEnd(end.date(), end.time());
    QCOMPARE(sTSFromDateTime(localEnd).mid(11), end.time().toString(QStringLiteral("hh:mm:ss")));
    QCOMPARE(sElapsedFromDateTimes(DateTimeFromTS(startTs), localEnd), expected);
}

QTEST_GUILESS_MAIN(TestTimeFormat)
#include "tst_timeformat.moc"
