// What the open-call list costs with a long journal.
//
//   QT_QPA_PLATFORM=offscreen build/bench/bench_opencalls 1000000 500
//
// Builds a journal of the given number of entries in a temporary directory (five years of closed
// calls, then the given number of open calls spread over the last seven hours), with the indexes the
// program creates at start. Then it measures, each as the median of repeated runs:
// - the start-up rebuild of the list from the journal;
// - the one-second refresh: the tick (levels and repeats) and the repaint of the open-calls window
//   showing every call (the window is made tall enough to show as many rows as a screen can);
// - the catch-up with the journal after a press (one look-up per listed call, then the new entries).

#include "core/base/Clock.h"
#include "core/calls/AntennaWatch.h"
#include "core/calls/OpenCalls.h"
#include "core/db/Database.h"
#include "core/db/Schema.h"
#include "core/settings/AppState.h"
#include "gui/calls/OpenCallsModel.h"
#include "gui/calls/TFormCalls.h"
#include "gui/kit/StringGrid.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

const QString kTs = QStringLiteral("yyyy.MM.dd hh:mm:ss");

void fillJournal(db::Database& db, qint64 entries, int open, const QDateTime& now)
{
    db.executeStatement(QStringLiteral("BEGIN"));
    db::Statement insert(db,
                         QStringLiteral("INSERT INTO logs (timest, timestr, abcde, f, butsname, groupsname, "
                                        "workersname, reactiontime) VALUES (?, ?, ?, '8', ?, 'Палата 1', "
                                        "'Тестова Анна', ?)"));
    const qint64 closed = std::max<qint64>(0, entries - open);
    const QDateTime start = now.addDays(-5 * 365);
    const qint64 span = start.secsTo(now.addSecs(-8 * 3600));
    for (qint64 n = 0; n < closed; ++n) {
        const QDateTime t = start.addSecs(n * span / std::max<qint64>(closed, 1));
        const int place = static_cast<int>(n % 100);
        insert.reset();
        insert.bindAll({t.toString(kTs), t.addSecs(95).toString(kTs),
                        QStringLiteral("p%1").arg(place, 4, 10, QLatin1Char('0')),
                        QStringLiteral("Койка %1").arg(place), QStringLiteral("00:01:35")});
        insert.step();
    }
    for (int i = 0; i < open; ++i) {
        const QDateTime t = now.addSecs(-qint64(open - i) * 7 * 3600 / std::max(open, 1));
        insert.reset();
        insert.bindAll({t.toString(kTs), QString(), QStringLiteral("o%1").arg(i, 4, 10, QLatin1Char('0')),
                        QStringLiteral("Койка %1").arg(i), QString()});
        insert.step();
    }
    db.executeStatement(QStringLiteral("COMMIT"));
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const qint64 entries = argc > 1 ? QString::fromLocal8Bit(argv[1]).toLongLong() : 1000000;
    const int open = argc > 2 ? QString::fromLocal8Bit(argv[2]).toInt() : 500;

    QTemporaryDir dir;
    App::setExePath(dir.filePath(QStringLiteral("HalvaneServer")));
    const QDateTime now(QDate(2026, 3, 2), QTime(12, 0, 0));
    Clock::setNowOverride([&now] { return now; });
    // Both clocks run alike here: the steady clock reads as the wall clock.
    Clock::setElapsedOverride([&now] { return now.toMSecsSinceEpoch(); });
    const auto moment = [](const QDateTime& wall) { return Clock::Moment{wall, wall.toMSecsSinceEpoch()}; };

    auto db = db::Database::openDatabase(dir.filePath(QStringLiteral("orv_med.db")));
    db::runSchema(*db);
    db::ensureIndexes(*db);
    QElapsedTimer fillTimer;
    fillTimer.start();
    fillJournal(*db, entries, open, now);
    std::printf("journal: %lld entries, %d open in the last 7 hours (built in %.1f s)\n",
                static_cast<long long>(entries), open, fillTimer.elapsed() / 1000.0);

    const EscalationValues settings;
    OpenCalls calls(db.get(), settings);
    std::vector<double> rebuilds;
    for (int i = 0; i < 7; ++i) {
        QElapsedTimer t;
        t.start();
        calls.rebuild(moment(now));
        rebuilds.push_back(t.nsecsElapsed() / 1e6);
    }
    std::printf("start-up rebuild of the list (%d calls): median %.1f ms, first run %.1f ms\n", calls.count(),
                median(rebuilds), rebuilds.front());

    AntennaWatch antennas(settings.AntennaSilentSec);
    TFormCalls form(calls, antennas, settings, LogConst{}, JournalTypeTexts{"вызов", "прием", "вызов отв."});
    form.InitSection();
    form.resize(700, 1000);
    form.show();
    QCoreApplication::processEvents();

    std::vector<double> ticks, refreshes;
    int repeats = 0;
    for (int s = 1; s <= 200; ++s) {
        const QDateTime at = now.addSecs(s);
        QElapsedTimer t;
        t.start();
        repeats += static_cast<int>(calls.tick(moment(at)).size());
        ticks.push_back(t.nsecsElapsed() / 1e6);
        form.StringGrid1->viewport()->repaint();
        QCoreApplication::processEvents();
        refreshes.push_back(t.nsecsElapsed() / 1e6);
    }
    std::printf("one-second refresh, tick alone: median %.3f ms\n", median(ticks));
    std::printf(
        "one-second refresh, tick and window repainted (%d rows visible): median %.2f ms, max %.2f ms\n",
        form.StringGrid1->rowAt(form.StringGrid1->viewport()->height() - 1) + 1, median(refreshes),
        *std::max_element(refreshes.begin(), refreshes.end()));
    std::printf("repeats sent in 200 s: %d (all %d calls at 180 s)\n", repeats, calls.count());

    std::vector<double> syncs;
    for (int i = 0; i < 50; ++i) {
        QElapsedTimer t;
        t.start();
        calls.syncWithJournal(moment(now.addSecs(200)));
        syncs.push_back(t.nsecsElapsed() / 1e6);
    }
    std::printf("catch-up with the journal after a press: median %.2f ms\n", median(syncs));
    Clock::setNowOverride({});
    Clock::setElapsedOverride({});
    return repeats == calls.count() ? 0 : 1;
}
