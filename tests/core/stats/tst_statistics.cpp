// The statistics' definitions on small hand-made journals: the period's bounds, answered, missed and
// open calls at the bound, nearest-rank percentiles, function "4" apart, KB calls, the groupings by
// stored names, hours and weekdays, the exceptions, unreadable entries, the read-only connection and
// the computation on its own thread.

#include "StatsTestSupport.h"

#include "core/base/AppError.h"
#include "core/journal/RemovedCalls.h"
#include "core/stats/Statistics.h"
#include "core/stats/StatsRunner.h"
#include "core/stats/StatsSource.h"

#include <QCryptographicHash>
#include <QFile>
#include <QSignalSpy>
#include <QtTest>

#include <random>

using statstest::Journal;

namespace {

Stats::Options march()
{
    Stats::Options options;
    options.first = QDate(2024, 3, 1);
    options.last = QDate(2024, 3, 31);
    return options;
}

Stats::Report computeOn(Journal& journal, const Stats::Options& options = march())
{
    const std::unique_ptr<db::Database> database = Stats::openJournal(journal.path());
    return Stats::compute(*database, options);
}

QString reactionText(int seconds)
{
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600, 2, 10, QLatin1Char('0'))
        .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QByteArray digest(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256);
}

const Stats::GroupRow* findGroup(const QList<Stats::GroupRow>& rows, const QString& name)
{
    for (const Stats::GroupRow& row : rows)
        if (row.name == name)
            return &row;
    return nullptr;
}

} // namespace

class TestStatistics : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void periodBounds_data();
    void periodBounds();
    void classification_data();
    void classification();
    void removedCallsCountApart();
    void percentiles_data();
    void percentiles();
    void groupsByStoredNamesHoursAndWeekdays();
    void namesInNaturalOrder_data();
    void namesInNaturalOrder();
    void exceptionsNewestFirst();
    void unreadableEntriesAreSkippedAndCounted();
    void badOptions_data();
    void badOptions();
    void readsWithoutChangingOrCreatingTheFile();
    void runnerDeliversOnItsOwnThreadAndCancels();
};

void TestStatistics::periodBounds_data()
{
    QTest::addColumn<QString>("timest");
    QTest::addColumn<int>("calls");
    QTest::newRow("first day at midnight") << "2024.03.01 00:00:00" << 1;
    QTest::newRow("last second before the period") << "2024.02.29 23:59:59" << 0;
    QTest::newRow("last day's last second") << "2024.03.31 23:59:59" << 1;
    QTest::newRow("midnight after the last day") << "2024.04.01 00:00:00" << 0;
    QTest::newRow("a year earlier") << "2023.03.15 12:00:00" << 0;
}

void TestStatistics::periodBounds()
{
    QFETCH(QString, timest);
    QFETCH(int, calls);
    Journal journal;
    journal.add(timest, QStringLiteral("8"), QStringLiteral("00:01:00"));
    const Stats::Report report = computeOn(journal);
    QCOMPARE(report.total.calls, calls);
    QCOMPARE(report.callsPerDay.size(), 31);
    qint64 perDay = 0;
    for (qint64 n : report.callsPerDay)
        perDay += n;
    QCOMPARE(perDay, calls);
}

void TestStatistics::classification_data()
{
    QTest::addColumn<QString>("f");
    QTest::addColumn<QString>("reaction");
    QTest::addColumn<QString>("bound");
    // calls, answered, missed, open, function "4" entries; the exception's reason or "" for none
    QTest::addColumn<QList<int>>("counts");
    QTest::addColumn<QString>("exception");

    const QString hour = QStringLiteral("01:00:00");
    QTest::newRow("at the bound") << "8"
                                  << "01:00:00" << hour << QList<int>{1, 1, 0, 0, 0} << "дольше порога";
    QTest::newRow("a second above") << "8"
                                    << "01:00:01" << hour << QList<int>{1, 0, 1, 0, 0} << "пропущен";
    QTest::newRow("open") << "8"
                          << "" << hour << QList<int>{1, 0, 0, 1, 0} << "открыт";
    QTest::newRow("at the threshold") << "8"
                                      << "00:05:00" << hour << QList<int>{1, 1, 0, 0, 0} << "";
    QTest::newRow("above the threshold")
        << "8"
        << "00:05:01" << hour << QList<int>{1, 1, 0, 0, 0} << "дольше порога";
    QTest::newRow("edited bound, at it") << "8"
                                         << "00:10:00"
                                         << "00:10:00" << QList<int>{1, 1, 0, 0, 0} << "дольше порога";
    QTest::newRow("edited bound, above") << "8"
                                         << "00:10:01"
                                         << "00:10:00" << QList<int>{1, 0, 1, 0, 0} << "пропущен";
    // The journal compares with the bound as text, so a bound written without the leading zero lets
    // two hours pass as answered; the statistics agree with what the journal shows.
    QTest::newRow("bound without leading zero") << "8"
                                                << "02:00:00"
                                                << "1:00:00" << QList<int>{1, 1, 0, 0, 0} << "дольше порога";
    QTest::newRow("KB call") << "b"
                             << "00:00:30" << hour << QList<int>{1, 1, 0, 0, 0} << "";
    QTest::newRow("KB call missed") << "b"
                                    << "02:00:00" << hour << QList<int>{1, 0, 1, 0, 0} << "пропущен";
    QTest::newRow("function 4 is no call") << "4"
                                           << "02:00:00" << hour << QList<int>{0, 0, 0, 0, 1} << "";
    QTest::newRow("function 4 open") << "4"
                                     << "" << hour << QList<int>{0, 0, 0, 0, 1} << "";
    QTest::newRow("a cancel is not counted") << "2"
                                             << "00:00:30" << hour << QList<int>{0, 0, 0, 0, 0} << "";
}

void TestStatistics::classification()
{
    QFETCH(QString, f);
    QFETCH(QString, reaction);
    QFETCH(QString, bound);
    QFETCH(QList<int>, counts);
    QFETCH(QString, exception);

    Journal journal;
    journal.add(QStringLiteral("2024.03.10 10:00:00"), f, reaction);
    Stats::Options options = march();
    options.maxReactionTime = bound;
    const Stats::Report report = computeOn(journal, options);

    const Stats::GroupRow& t = report.total;
    QCOMPARE((QList<int>{int(t.calls), int(t.answered), int(t.missed), int(t.open), int(t.function4)}),
             counts);
    // Every grouping sees the same entry.
    for (int g = 0; g < Stats::GroupingCount; ++g) {
        qint64 calls = 0;
        qint64 function4 = 0;
        for (const Stats::GroupRow& row : report.groups[std::size_t(g)]) {
            calls += row.calls;
            function4 += row.function4;
        }
        QCOMPARE(calls, t.calls);
        QCOMPARE(function4, t.function4);
    }
    if (exception.isEmpty()) {
        QVERIFY(report.exceptions.isEmpty());
    } else {
        QCOMPARE(report.exceptions.size(), 1);
        QCOMPARE(Stats::exceptionKindText(report.exceptions.first().kind), exception);
        QCOMPARE(report.exceptions.first().reaction.has_value(), !reaction.isEmpty());
    }
}

void TestStatistics::removedCallsCountApart()
{
    Journal journal;
    journal.add(QStringLiteral("2024.03.10 10:00:00"), QStringLiteral("8"), QString());
    // Taken off the list and then closed by a later cancel, as an earlier version did: the reaction is
    // no nurse's.
    journal.add(QStringLiteral("2024.03.10 10:05:00"), QStringLiteral("8"), QStringLiteral("00:03:00"));
    journal.add(QStringLiteral("2024.03.10 10:10:00"), QStringLiteral("8"), QStringLiteral("00:01:00"));
    RemovedCalls::ensureTable(journal.db());
    RemovedCalls::mark(journal.db(), 1, QStringLiteral("2024.03.10 10:01:00"));
    RemovedCalls::mark(journal.db(), 2, QString());
    const Stats::Report report = computeOn(journal);
    const Stats::GroupRow& t = report.total;
    QCOMPARE((QList<int>{int(t.calls), int(t.answered), int(t.missed), int(t.open), int(t.removed)}),
             (QList<int>{3, 1, 0, 0, 2}));
    QCOMPARE(t.longest, 60);
    QCOMPARE(report.exceptions.size(), 2);
    for (const Stats::ExceptionRow& e : report.exceptions) {
        QCOMPARE(e.kind, Stats::ExceptionRow::Removed);
        QVERIFY(!e.reaction);
    }
    QCOMPARE(Stats::exceptionKindText(Stats::ExceptionRow::Removed), QStringLiteral("убран из активных"));
}

void TestStatistics::percentiles_data()
{
    QTest::addColumn<QList<int>>("times");
    QTest::addColumn<int>("median");
    QTest::addColumn<int>("p90");
    QTest::addColumn<int>("longest");
    QTest::newRow("n = 1") << QList<int>{42} << 42 << 42 << 42;
    QTest::newRow("n = 2") << QList<int>{20, 10} << 10 << 20 << 20;
    QTest::newRow("n = 10") << QList<int>{70, 10, 100, 30, 90, 20, 50, 40, 80, 60} << 50 << 90 << 100;
    QTest::newRow("n = 11") << QList<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 3600} << 6 << 10 << 3600;
}

void TestStatistics::percentiles()
{
    QFETCH(QList<int>, times);
    QFETCH(int, median);
    QFETCH(int, p90);
    QFETCH(int, longest);

    Journal journal;
    int second = 0;
    for (int t : times)
        journal.add(QStringLiteral("2024.03.05 08:00:%1").arg(second++, 2, 10, QLatin1Char('0')),
                    QStringLiteral("8"), reactionText(t));
    // Open, missed and function "4" entries take no part in the times.
    journal.add(QStringLiteral("2024.03.05 08:01:00"), QStringLiteral("8"), QString());
    journal.add(QStringLiteral("2024.03.05 08:01:01"), QStringLiteral("8"), QStringLiteral("05:00:00"));
    journal.add(QStringLiteral("2024.03.05 08:01:02"), QStringLiteral("4"), QStringLiteral("00:00:01"));
    const Stats::Report report = computeOn(journal);

    const Stats::GroupRow* ward = findGroup(report.groups[Stats::ByWard], QStringLiteral("Палата 1"));
    QVERIFY(ward);
    QCOMPARE(ward->answered, times.size());
    QCOMPARE(ward->median, median);
    QCOMPARE(ward->percentile90, p90);
    QCOMPARE(ward->longest, longest);
    const Stats::GroupRow& eight = report.groups[Stats::ByHour].at(8);
    QCOMPARE(eight.median, median);
    QCOMPARE(eight.percentile90, p90);
}

void TestStatistics::groupsByStoredNamesHoursAndWeekdays()
{
    Journal journal;
    // Friday 1 March and Sunday 3 March 2024.
    journal.add("2024.03.01 07:15:00", "8", "00:01:00", "Палата 1", "Койка № 1", "Тестова Анна");
    journal.add("2024.03.01 07:45:00", "8", "00:03:00", "Палата 1", "Койка № 1", "Тестова Анна");
    // The place was renamed since: old entries keep the old name and form their own group.
    journal.add("2024.03.03 23:10:00", "8", "00:02:00", "Палата 1", "Койка у окна", "Петрова Мария");
    journal.add("2024.03.03 23:20:00", "b", "", "Палата 2", "Пульт (31)", "Петрова Мария");
    journal.add("2024.03.03 23:30:00", "4", "", "", "Койка № 1", "");
    const Stats::Report report = computeOn(journal);

    const QList<Stats::GroupRow>& wards = report.groups[Stats::ByWard];
    QCOMPARE(wards.size(), 3);
    QCOMPARE(wards.at(0).name, QStringLiteral("Палата 1"));
    QCOMPARE(wards.at(0).calls, 3);
    QCOMPARE(wards.at(0).median, 120);
    QCOMPARE(wards.at(1).name, QStringLiteral("Палата 2"));
    QCOMPARE(wards.at(1).open, 1);
    QCOMPARE(wards.at(2).name, Stats::emptyName()); // no ward comes last
    QCOMPARE(wards.at(2).calls, 0);
    QCOMPARE(wards.at(2).function4, 1);

    const QList<Stats::GroupRow>& places = report.groups[Stats::ByPlace];
    QStringList placeNames;
    for (const Stats::GroupRow& row : places)
        placeNames << row.name;
    // By character code: "№" sorts after the letters.
    QCOMPARE(placeNames, (QStringList{"Койка у окна", "Койка № 1", "Пульт (31)"}));
    QCOMPARE(findGroup(places, "Койка № 1")->calls, 2);
    QCOMPARE(findGroup(places, "Койка № 1")->function4, 1);

    const QList<Stats::GroupRow>& staff = report.groups[Stats::ByStaff];
    QCOMPARE(findGroup(staff, "Петрова Мария")->calls, 2);
    QCOMPARE(findGroup(staff, "Тестова Анна")->longest, 180);

    const QList<Stats::GroupRow>& hours = report.groups[Stats::ByHour];
    QCOMPARE(hours.size(), 24);
    QCOMPARE(hours.at(7).name, QStringLiteral("07:00–07:59"));
    QCOMPARE(hours.at(7).calls, 2);
    QCOMPARE(hours.at(23).calls, 2);
    QCOMPARE(hours.at(23).function4, 1);
    QCOMPARE(hours.at(12).calls, 0);
    QVERIFY(!hours.at(12).median);

    const QList<Stats::GroupRow>& weekdays = report.groups[Stats::ByWeekday];
    QCOMPARE(weekdays.size(), 7);
    QCOMPARE(weekdays.at(0).name, QStringLiteral("Понедельник"));
    QCOMPARE(weekdays.at(4).name, QStringLiteral("Пятница"));
    QCOMPARE(weekdays.at(4).calls, 2);
    QCOMPARE(weekdays.at(6).calls, 2);
    QCOMPARE(weekdays.at(6).function4, 1);

    QCOMPARE(report.callsPerDay.mid(0, 4), (QList<qint64>{2, 0, 2, 0}));
}

void TestStatistics::namesInNaturalOrder_data()
{
    QTest::addColumn<QStringList>("sorted");
    QTest::newRow("numbers by value") << QStringList{"Койка № 1", "Койка № 2", "Койка № 10", "Койка № 101"};
    QTest::newRow("numbers within the text")
        << QStringList{"Палата 2, окно", "Палата 2А", "Палата 10 (реанимация)", "Палата 11"};
    QTest::newRow("letter case aside") << QStringList{"бокс 3", "Бокс 4", "БОКС 20"};
    QTest::newRow("leading zeros") << QStringList{"№ 007", "№ 7", "№ 08"};
    QTest::newRow("text before numbers") << QStringList{"Койка у окна", "Койка № 1", "Пульт (31)"};
    QTest::newRow("longer after its beginning") << QStringList{"Койка", "Койка 1", "Койка 1а"};
}

// Places and wards are listed as the ward reads them: № 2 before № 101.
void TestStatistics::namesInNaturalOrder()
{
    QFETCH(QStringList, sorted);
    Journal journal;
    // Journaled in reverse, so that the order comes from the sort.
    for (qsizetype i = sorted.size() - 1; i >= 0; --i)
        journal.add("2024.03.05 10:00:00", "8", "00:01:00", sorted.at(i), sorted.at(i));
    const Stats::Report report = computeOn(journal);
    for (const Stats::Grouping g : {Stats::ByWard, Stats::ByPlace}) {
        QStringList names;
        for (const Stats::GroupRow& row : report.groups[std::size_t(g)])
            names << row.name;
        QCOMPARE(names, sorted);
    }
    // The order is a strict one: each pair compares the same both ways round.
    for (qsizetype i = 0; i + 1 < sorted.size(); ++i) {
        QVERIFY(Stats::compareNames(sorted.at(i), sorted.at(i + 1)) < 0);
        QVERIFY(Stats::compareNames(sorted.at(i + 1), sorted.at(i)) > 0);
        QCOMPARE(Stats::compareNames(sorted.at(i), sorted.at(i)), 0);
    }
}

void TestStatistics::exceptionsNewestFirst()
{
    Journal journal;
    journal.add("2024.03.02 09:00:00", "8", "00:10:00", "Палата 1", "Койка № 1");
    journal.add("2024.03.02 09:00:00", "8", "02:00:00", "Палата 1", "Койка № 2"); // same moment, later entry
    journal.add("2024.03.20 18:00:00", "b", "", "Палата 2", "Пульт (05)");
    journal.add("2024.03.10 12:00:00", "8", "00:01:00"); // quick: not an exception
    Stats::Options options = march();
    options.thresholdSeconds = 9 * 60;
    const Stats::Report report = computeOn(journal, options);

    QCOMPARE(report.exceptions.size(), 3);
    QCOMPARE(report.exceptions.at(0).timest, QStringLiteral("2024.03.20 18:00:00"));
    QCOMPARE(report.exceptions.at(0).f, 'b');
    QCOMPARE(report.exceptions.at(0).place, QStringLiteral("Пульт (05)"));
    QCOMPARE(Stats::typeText(options, report.exceptions.at(0).f), QStringLiteral("вызов отв."));
    QCOMPARE(report.exceptions.at(1).place, QStringLiteral("Койка № 2"));
    QCOMPARE(report.exceptions.at(1).kind, Stats::ExceptionRow::Missed);
    QCOMPARE(report.exceptions.at(2).place, QStringLiteral("Койка № 1"));
    QCOMPARE(report.exceptions.at(2).kind, Stats::ExceptionRow::Slow);
    QCOMPARE(report.exceptions.at(2).reaction, 600);
}

void TestStatistics::unreadableEntriesAreSkippedAndCounted()
{
    Journal journal;
    journal.add("2024.03.05 10:00:00", "8", "00:01:00");
    journal.add("2024.03.05 12:61:00", "8", "00:01:00"); // no such minute
    journal.add("2024.03.05 10:00:01", "8", "0:1:00");   // reaction not of the form hh:nn:ss
    journal.add("2024.03.05 10:00:02", "4", "junk");     // a "4" entry's reaction is never read
    const Stats::Report report = computeOn(journal);
    QCOMPARE(report.total.calls, 1);
    QCOMPARE(report.total.function4, 1);
    QCOMPARE(report.unreadable, 2);
}

void TestStatistics::badOptions_data()
{
    QTest::addColumn<QDate>("first");
    QTest::addColumn<QDate>("last");
    QTest::addColumn<QString>("message");
    QTest::newRow("invalid first") << QDate() << QDate(2024, 1, 1) << "Первый день периода — не дата";
    QTest::newRow("invalid last") << QDate(2024, 1, 1) << QDate() << "Последний день периода — не дата";
    QTest::newRow("reversed") << QDate(2024, 2, 1) << QDate(2024, 1, 1)
                              << "Первый день периода (2024-02-01) позже последнего (2024-01-01)";
    QTest::newRow("too long") << QDate(1900, 1, 1) << QDate(2024, 1, 1) << "Период длиннее 100 лет";
}

void TestStatistics::badOptions()
{
    QFETCH(QDate, first);
    QFETCH(QDate, last);
    QFETCH(QString, message);
    Journal journal;
    Stats::Options options;
    options.first = first;
    options.last = last;
    try {
        computeOn(journal, options);
        QFAIL("no error");
    } catch (const AppError& e) {
        QCOMPARE(e.message(), message);
    }
}

void TestStatistics::readsWithoutChangingOrCreatingTheFile()
{
    Journal journal;
    journal.add("2024.03.05 10:00:00", "8", "00:01:00");
    const QByteArray before = digest(journal.path());
    computeOn(journal);
    QCOMPARE(digest(journal.path()), before);

    // The connection cannot write, whatever is asked of it.
    const std::unique_ptr<db::Database> reader = Stats::openJournal(journal.path());
    QVERIFY_THROWS_EXCEPTION(AppError, reader->executeStatement(QStringLiteral("DELETE FROM logs")));
    QCOMPARE(digest(journal.path()), before);

    const QString missing = journal.dir() + QStringLiteral("/none.db");
    try {
        Stats::openJournal(missing);
        QFAIL("no error");
    } catch (const AppError& e) {
        QVERIFY2(e.message().contains(QStringLiteral("does not exist")), qPrintable(e.message()));
    }
    QVERIFY(!QFile::exists(missing));

    // A database without a journal table.
    const QString other = journal.dir() + QStringLiteral("/other.db");
    db::Database::openDatabase(other)->executeStatement(QStringLiteral("CREATE TABLE t (x)"));
    QVERIFY_THROWS_EXCEPTION(AppError, Stats::openJournal(other));
}

void TestStatistics::runnerDeliversOnItsOwnThreadAndCancels()
{
    Journal journal;
    journal.db().executeStatement(QStringLiteral("BEGIN"));
    std::mt19937 random(7);
    for (int i = 0; i < 3000; ++i) {
        const QDate day = QDate(2024, 1, 1).addDays(i % 366);
        journal.add(day.toString(QStringLiteral("yyyy.MM.dd")) +
                        QStringLiteral(" 10:%1:00").arg(i % 60, 2, 10, QLatin1Char('0')),
                    QStringLiteral("8"), reactionText(int(random() % 600)));
    }
    journal.db().executeStatement(QStringLiteral("COMMIT"));
    Stats::Options options;
    options.first = QDate(2024, 1, 1);
    options.last = QDate(2024, 12, 31);

    Stats::Runner runner;
    QSignalSpy finished(&runner, &Stats::Runner::finished);
    QSignalSpy failed(&runner, &Stats::Runner::failed);
    QSignalSpy progress(&runner, &Stats::Runner::progress);
    runner.start(journal.path(), options);
    QVERIFY(runner.running());
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 20000);
    QVERIFY(!runner.running());
    QVERIFY(failed.isEmpty());
    QVERIFY(!progress.isEmpty());
    QCOMPARE(progress.last().at(0).toInt(), 366);
    const auto report = finished.first().at(0).value<std::shared_ptr<const Stats::Report>>();
    QCOMPARE(report->total.calls, computeOn(journal, options).total.calls);
    QCOMPARE(report->total.calls, 3000);

    // A cancelled run never reports. The failure of the run after it arrives as a message, and
    // whatever the cancelled one had handed back was posted before it.
    finished.clear();
    runner.start(journal.path(), options);
    runner.cancel();
    QVERIFY(!runner.running());
    runner.start(journal.dir() + QStringLiteral("/none.db"), options);
    QTRY_COMPARE(failed.size(), 1);
    QVERIFY(failed.first().at(0).toString().contains(QStringLiteral("does not exist")));
    QVERIFY(finished.isEmpty());
}

QTEST_GUILESS_MAIN(TestStatistics)
#include "tst_statistics.moc"
