// What a year's statistics cost over a large journal.
//
//   build/bench/bench_stats 1000000
//   build/bench/bench_stats 1000000 /tmp/stats-bench      (keeps the journal there for later runs)
//
// Builds (or reuses) a journal of the given number of entries spread over 2024 in a directory with
// a settings file beside a would-be executable: 100 places in 10 wards with 20 staff members, about
// 93 % calls "8", 2 % KB calls "b", 5 % entries "4"; most calls closed within four minutes, a
// tenth later, 1 % missed, 0.5 % open (about 11 % of the calls are exceptions at the default five
// minutes). Then it times, each once:
//   - the window's computation: a Stats::Runner started and waited for on an event loop, as the
//     window runs it (its own thread and read-only connection);
//   - the command line: runStatisticsCommand for the whole year, report file included;
// and prints the process's peak resident memory after each (building the journal itself stays small:
// it streams rows into SQLite).

#include "core/db/Database.h"
#include "core/db/Schema.h"
#include "core/stats/StatsCommand.h"
#include "core/stats/StatsRunner.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTextStream>

#include <sys/resource.h>

#include <cstdio>
#include <random>

namespace {

long peakRssMb()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

QString ts(const QDateTime& t)
{
    return t.toString(QStringLiteral("yyyy.MM.dd hh:mm:ss"));
}

void buildJournal(const QString& path, qint64 entries)
{
    const std::unique_ptr<db::Database> database = db::Database::openDatabase(path);
    db::runSchema(*database);
    db::ensureIndexes(*database);
    database->executeStatement(QStringLiteral("BEGIN"));
    db::Statement insert(*database,
                         QStringLiteral("INSERT INTO logs (timest, timestr, abcde, f, butsname, groupsname, "
                                        "workersname, reactiontime) VALUES (?, ?, ?, ?, ?, ?, ?, ?)"));
    std::mt19937 random(2024);
    const QDateTime start(QDate(2024, 1, 1), QTime(0, 0));
    const qint64 span = 366LL * 24 * 3600;
    for (qint64 n = 0; n < entries; ++n) {
        const QDateTime t = start.addSecs(n * span / std::max<qint64>(entries, 1));
        const int place = static_cast<int>(random() % 100);
        const unsigned kind = random() % 100;
        const QString f = kind < 93   ? QStringLiteral("8")
                          : kind < 95 ? QStringLiteral("b")
                                      : QStringLiteral("4");
        // Most calls answered within four minutes, a tail up to the hour, 1 % missed, 0.5 % open.
        const unsigned fate = random() % 1000;
        int seconds = static_cast<int>(random() % 240);
        if (fate < 10)
            seconds = 3601 + static_cast<int>(random() % 7200);
        else if (fate < 50)
            seconds = 900 + static_cast<int>(random() % 2700);
        else if (fate < 150)
            seconds = 240 + static_cast<int>(random() % 660);
        const bool open = fate >= 995;
        const QString reaction = open ? QString()
                                      : QStringLiteral("%1:%2:%3")
                                            .arg(seconds / 3600, 2, 10, QLatin1Char('0'))
                                            .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
                                            .arg(seconds % 60, 2, 10, QLatin1Char('0'));
        QString placeName = QStringLiteral("Койка № %1").arg(place);
        if (f == QStringLiteral("b"))
            placeName += QStringLiteral(" (%1)").arg(place % 16, 2, 10, QLatin1Char('0'));
        insert.reset();
        insert.bindAll({ts(t), open ? QString() : ts(t.addSecs(seconds)), QStringLiteral("p%1").arg(place), f,
                        placeName, QStringLiteral("Палата %1").arg(place / 10),
                        QStringLiteral("Сотрудник %1").arg(place % 20), reaction});
        insert.step();
    }
    database->executeStatement(QStringLiteral("COMMIT"));
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const qint64 entries = argc > 1 ? QString::fromLocal8Bit(argv[1]).toLongLong() : 1000000;
    QTemporaryDir temporary;
    const QString dir = argc > 2 ? QString::fromLocal8Bit(argv[2]) : temporary.path();
    QDir().mkpath(dir);
    const QString exe = dir + QStringLiteral("/HalvaneServer");
    const QString database = dir + QStringLiteral("/orv_med.db");

    if (!QFileInfo::exists(database)) {
        QElapsedTimer timer;
        timer.start();
        buildJournal(database, entries);
        std::printf("journal: %lld entries built in %.1f s (peak %ld MB)\n", static_cast<long long>(entries),
                    timer.elapsed() / 1000.0, peakRssMb());
    } else {
        std::printf("journal: reusing %s\n", qPrintable(database));
    }

    Stats::Options options;
    options.first = QDate(2024, 1, 1);
    options.last = QDate(2024, 12, 31);
    {
        Stats::Runner runner;
        QEventLoop loop;
        qint64 calls = -1;
        QObject::connect(&runner, &Stats::Runner::finished, &loop,
                         [&](std::shared_ptr<const Stats::Report> report) {
                             calls = report->total.calls;
                             loop.quit();
                         });
        QObject::connect(&runner, &Stats::Runner::failed, &loop, [&](const QString& message) {
            std::fprintf(stderr, "failed: %s\n", qPrintable(message));
            loop.quit();
        });
        QElapsedTimer timer;
        timer.start();
        runner.start(database, options);
        loop.exec();
        std::printf("window's computation (a year): %lld ms, %lld calls (peak %ld MB)\n",
                    static_cast<long long>(timer.elapsed()), static_cast<long long>(calls), peakRssMb());
    }
    {
        QString errors;
        QTextStream err(&errors);
        QElapsedTimer timer;
        timer.start();
        const int status =
            Stats::runStatisticsCommand({QStringLiteral("2024-01-01"), QStringLiteral("2024-12-31"),
                                         dir + QStringLiteral("/report.xlsx")},
                                        err, exe);
        std::printf(
            "--statistics 2024-01-01 2024-12-31 (report file included): %lld ms, status %d %s(peak %ld MB)\n",
            static_cast<long long>(timer.elapsed()), status, qPrintable(errors), peakRssMb());
    }
    return 0;
}
