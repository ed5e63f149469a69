// What a handled press costs as the journal grows.
//
//   QT_QPA_PLATFORM=offscreen build/bench/bench_press 0
//   QT_QPA_PLATFORM=offscreen build/bench/bench_press 1000000
//   QT_QPA_PLATFORM=offscreen build/bench/bench_press 1000000 nosync
//
// "nosync" keeps synchronous writing off during the presses, so the figures show the work of the
// program alone, without the wait for the disk that dominates a press in production.
//
// Each run builds a journal of the given number of entries in a temporary directory (100 places,
// five years of calls, nearly all closed), shows the main window, then hands the dispatcher 1000
// presses one tick at a time (calls and their cancels, alternating over the places) and waits after
// each until the grid has painted its new top row. It prints the mean and median cost of a press,
// the time of a bare "SELECT * FROM logs ORDER BY timest DESC" read to its end on the same file, and
// the process's peak resident memory. Run it once per size: the peak is the process's own.

#include "app/Forms.h"
#include "app/Windows.h"
#include "core/db/Database.h"
#include "core/settings/AppState.h"
#include "gui/journal/TMF.h"
#include "gui/kit/Dialogs.h"
#include "gui/kit/StringGrid.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {
// No box may wait for a person in a benchmark: count what would have been shown.
class CountingDialogs : public DialogProvider
{
public:
    int shown = 0;
    void message(QWidget*, const QString&) override { ++shown; }
    bool question(QWidget*, const QString&, const QString&) override
    {
        ++shown;
        return false;
    }
    void error(QWidget*, const QString&, const QString& text) override
    {
        ++shown;
        std::fprintf(stderr, "error: %s\n", qPrintable(text));
    }
    QString saveFileName(QWidget*, const QString&, const QString&, const QString&) override { return {}; }
    bool openWithDesktop(const QString&) override { return false; }
};

QString placeCode(int i)
{
    return QStringLiteral("p%1").arg(i, 4, 10, QLatin1Char('0'));
}

void fillJournal(db::Database& db, qint64 entries)
{
    db.executeStatement(QStringLiteral("BEGIN"));
    for (int i = 0; i < 100; ++i)
        db.executeStatement(
            QStringLiteral("INSERT INTO buts (abcde, btnclr, name, groupsid, workersid, comm) "
                           "VALUES (?, ?, ?, 1, 1, '')"),
            {placeCode(i), placeCode(i), QStringLiteral("Койка %1").arg(i)});
    const QDateTime start(QDate(2021, 12, 1), QTime(0, 0));
    db::Statement insert(db,
                         QStringLiteral("INSERT INTO logs (timest, timestr, abcde, f, butsname, groupsname, "
                                        "workersname, reactiontime) VALUES (?, ?, ?, '8', ?, 'Палата 1', "
                                        "'Тестова Анна', ?)"));
    const qint64 span = 5LL * 365 * 24 * 3600;
    for (qint64 n = 0; n < entries; ++n) {
        const QDateTime t = start.addSecs(n * span / std::max<qint64>(entries, 1));
        const int place = static_cast<int>(n % 100);
        insert.reset();
        insert.bindAll({t.toString(QStringLiteral("yyyy.MM.dd hh:mm:ss")),
                        t.addSecs(95).toString(QStringLiteral("yyyy.MM.dd hh:mm:ss")), placeCode(place),
                        QStringLiteral("Койка %1").arg(place), QStringLiteral("00:01:35")});
        insert.step();
    }
    db.executeStatement(QStringLiteral("COMMIT"));
}

double bareFullRead(db::Database& db)
{
    QElapsedTimer timer;
    timer.start();
    db::Statement all(db, QStringLiteral("SELECT * FROM logs ORDER BY timest DESC"));
    qint64 rows = 0;
    while (all.step())
        ++rows;
    return timer.nsecsElapsed() / 1e6;
}

// The time this thread spent on the processor: steadier than the wall clock on a shared machine.
double threadCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

long peakRssMb()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}
} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const qint64 entries = argc > 1 ? QString::fromLocal8Bit(argv[1]).toLongLong() : 0;
    CountingDialogs dialogs;
    Dialogs::setProvider(&dialogs);

    QTemporaryDir dir;
    App::setExePathOverride(dir.filePath(QStringLiteral("HalvaneServer")));
    createWindows();
    TMF* mf = forms().MF;
    mf->server().db().setSynchronous(false);
    QElapsedTimer fillTimer;
    fillTimer.start();
    fillJournal(mf->server().db(), entries);
    const bool sync = !(argc > 2 && QString::fromLocal8Bit(argv[2]) == QStringLiteral("nosync"));
    mf->server().db().setSynchronous(sync);
    std::fprintf(stdout, "journal: %lld entries (built in %.1f s)\n", static_cast<long long>(entries),
                 fillTimer.elapsed() / 1000.0);

    mf->show();
    mf->RefreshLog();
    QCoreApplication::processEvents();

    std::vector<double> costs;
    std::vector<double> cpuCosts;
    const int presses = 1000;
    for (int i = 0; i < presses; ++i) {
        // Calls and cancels alternate; a place is not pressed again before the repeat filter forgets it.
        const int place = (i / 2) % 100;
        const QString text = placeCode(place) + (i % 2 == 0 ? u'8' : u'2');
        QElapsedTimer timer;
        timer.start();
        const double cpuStart = threadCpuMs();
        mf->server().antenna().IdUDPServerAntUDPRead(text.toUtf8());
        mf->server().TimerObrTimer();
        mf->StringGrid1->viewport()->repaint();
        QCoreApplication::processEvents();
        costs.push_back(timer.nsecsElapsed() / 1e6);
        cpuCosts.push_back(threadCpuMs() - cpuStart);
        if (mf->StringGrid1->Cells(4, 1) != QStringLiteral("Койка %1").arg(place)) {
            std::fprintf(stderr, "the grid does not show the press at its top\n");
            return 1;
        }
    }
    std::sort(costs.begin(), costs.end());
    std::sort(cpuCosts.begin(), cpuCosts.end());
    double sum = 0;
    for (double c : costs)
        sum += c;
    std::fprintf(stdout,
                 "press (dispatch, journal write with synchronous %s, grid painted): mean %.2f ms, "
                 "median %.2f ms, max %.2f ms over %d presses\n",
                 sync ? "on" : "off", sum / costs.size(), costs[costs.size() / 2], costs.back(), presses);
    std::fprintf(stdout, "press, processor time of the user-interface thread: median %.2f ms\n",
                 cpuCosts[cpuCosts.size() / 2]);
    std::fprintf(stdout, "bare SELECT * FROM logs ORDER BY timest DESC, read to the end: %.1f ms\n",
                 bareFullRead(mf->server().db()));
    std::fprintf(stdout, "peak resident memory: %ld MB\n", peakRssMb());
    std::fprintf(stdout, "boxes shown: %d\n", dialogs.shown);
    destroyWindows();
    return dialogs.shown == 0 ? 0 : 1;
}
