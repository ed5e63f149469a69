// The journal under load: a burst of presses, and a long write lock held by another program.
//
//   flock /tmp/halvane_udp.lock build/bench/bench_journal
//
// The ward engine runs alone (no window) in a temporary directory whose journal holds 1000 places,
// with synchronous writing on, as in production.
//
// 1. Burst: 1000 presses, one from each place, arrive at once; the engine's own timers then run. It
//    prints the time until the last of them is written and the presses journaled per second.
// 2. The same 1000 presses written one per tick, so that each has a transaction and a disk flush
//    of its own: what a press cost when every press was written on its own.
// 3. Lock: a display station on 127.0.0.1 says hello; another connection holds BEGIN EXCLUSIVE for
//    8 s while 100 presses arrive. It prints the worst gap between the pings the station received,
//    and the time from the lock's end until every waiting event is written.
// The lock part binds the fixed UDP ports: run it under the lock file as above.

#include "core/db/Database.h"
#include "core/db/Schema.h"
#include "core/engine/WardServer.h"
#include "core/net/UdpSender.h"
#include "core/settings/AppState.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <QUdpSocket>

#include <sqlite3.h>

#include <cstdio>

namespace {

constexpr int kPlaces = 1000;

// Runs the event loop for a while.
void wait(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

QString placeCode(int i)
{
    return QStringLiteral("w%1").arg(i, 4, 10, QLatin1Char('0'));
}

void addPlaces(const QString& dbPath)
{
    auto db = db::Database::openDatabase(dbPath);
    db::runSchema(*db);
    db->executeStatement(QStringLiteral("BEGIN"));
    for (int i = 0; i < kPlaces; ++i)
        db->executeStatement(
            QStringLiteral("INSERT INTO buts (abcde, btnclr, name, comm) VALUES (?, ?, ?, '')"),
            {placeCode(i), QStringLiteral("v%1").arg(i, 4, 10, QLatin1Char('0')),
             QStringLiteral("Койка %1").arg(i)});
    db->executeStatement(QStringLiteral("COMMIT"));
    db->closeDatabase();
}

qint64 journalRows(WardServer& server)
{
    return server.db().query(QStringLiteral("SELECT count(*) FROM logs")).fieldAsInteger(0);
}

// A fresh engine over a fresh journal of 1000 places.
struct Engine
{
    QTemporaryDir dir;
    WardServer server;
    Engine()
    {
        App::setExePathOverride(dir.filePath(QStringLiteral("HalvaneServer")));
        addPlaces(dir.filePath(QStringLiteral("orv_med.db")));
        server.create();
        server.db().setSynchronous(true);
    }
};

bool burst()
{
    Engine engine;
    WardServer& server = engine.server;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < kPlaces; ++i)
        server.antenna().IdUDPServerAntUDPRead((placeCode(i) + u'8').toUtf8());
    server.TimerObr.start();
    while (journalRows(server) < kPlaces && timer.elapsed() < 60000)
        wait(5);
    const qint64 ms = timer.elapsed();
    server.TimerObr.stop();
    const qint64 rows = journalRows(server);
    std::printf("burst of %d presses at once: %lld journaled in %lld ms, %.0f presses/s%s\n", kPlaces,
                static_cast<long long>(rows), static_cast<long long>(ms), rows * 1000.0 / qMax<qint64>(ms, 1),
                rows == kPlaces && ms <= 2000 ? "" : "  ** NOT within 2 s **");
    return rows == kPlaces && ms <= 2000;
}

void onePerTick()
{
    Engine engine;
    WardServer& server = engine.server;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < kPlaces; ++i) {
        server.antenna().IdUDPServerAntUDPRead((placeCode(i) + u'8').toUtf8());
        server.TimerObrTimer();
    }
    const qint64 ms = timer.elapsed();
    std::printf("the same presses, one transaction and one disk flush each: %lld journaled in %lld ms, "
                "%.0f presses/s\n",
                static_cast<long long>(journalRows(server)), static_cast<long long>(ms),
                kPlaces * 1000.0 / qMax<qint64>(ms, 1));
}

bool lock()
{
    Engine engine;
    WardServer& server = engine.server;
    const MainSettingsValues& cfg = server.cfg();
    QUdpSocket station;
    if (!station.bind(QHostAddress::LocalHost, UdpSender::portFromSetting(cfg.ToClientsPort))) {
        std::fprintf(stderr, "cannot bind the display station's port\n");
        return false;
    }
    QString error;
    if (!server.start(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return false;
    }
    QElapsedTimer clock;
    clock.start();
    QList<qint64> pings;
    QObject::connect(&station, &QUdpSocket::readyRead, [&] {
        while (station.hasPendingDatagrams()) {
            QByteArray data(qMax<qint64>(station.pendingDatagramSize(), 0), Qt::Uninitialized);
            const qint64 n = station.readDatagram(data.data(), data.size());
            if (QString::fromUtf8(data.left(qMax<qint64>(n, 0))) == cfg.sToClient)
                pings << clock.elapsed();
        }
    });
    station.writeDatagram(cfg.sFromClient.toUtf8(), QHostAddress::LocalHost,
                          UdpSender::portFromSetting(cfg.FromClientsPort));
    while (pings.isEmpty() && clock.elapsed() < 5000)
        wait(10);

    sqlite3* other = nullptr;
    sqlite3_open(QFile::encodeName(engine.dir.filePath(QStringLiteral("orv_med.db"))).constData(), &other);
    if (sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) != SQLITE_OK) {
        std::fprintf(stderr, "cannot take the lock\n");
        return false;
    }
    const qint64 lockStart = clock.elapsed();
    QUdpSocket antenna;
    const quint16 antennaPort = UdpSender::portFromSetting(cfg.FromAntPort);
    const int presses = 100;
    int sent = 0;
    while (clock.elapsed() - lockStart < 8000) {
        if (sent < presses && clock.elapsed() - lockStart >= sent * 70) {
            antenna.writeDatagram((placeCode(sent) + u'8').toUtf8(), QHostAddress::LocalHost, antennaPort);
            ++sent;
        }
        wait(5);
    }
    const int waiting = server.pendingJournalEvents();
    sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    QElapsedTimer drained;
    drained.start();
    while (server.pendingJournalEvents() > 0 && drained.elapsed() < 30000)
        wait(1);
    const qint64 drainMs = drained.elapsed();
    wait(1000);
    const qint64 end = clock.elapsed();
    server.stop();

    qint64 worst = 0;
    for (qsizetype i = 1; i < pings.size(); ++i) {
        if (pings[i] >= lockStart && pings[i - 1] <= end)
            worst = qMax(worst, pings[i] - pings[i - 1]);
    }
    std::printf("8 s write lock by another connection, %d presses during it (%d waiting at its end): "
                "%lld pings, worst gap %lld ms; every waiting event written %lld ms after the lock's end\n",
                sent, waiting, static_cast<long long>(pings.size()), static_cast<long long>(worst),
                static_cast<long long>(drainMs));
    auto db = db::Database::openDatabase(engine.dir.filePath(QStringLiteral("orv_med.db")));
    const qint64 rows = db->query(QStringLiteral("SELECT count(*) FROM logs")).fieldAsInteger(0);
    db->closeDatabase();
    std::printf("journal entries after the lock: %lld of %d\n", static_cast<long long>(rows), sent);
    return rows == sent;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    UdpSender::setBroadcastAddressForTests(QHostAddress(QHostAddress::LocalHost));
    bool ok = burst();
    onePerTick();
    ok = lock() && ok;
    return ok ? 0 : 1;
}
