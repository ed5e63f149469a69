// How soon a headless server pings its display stations after a start while another program holds
// the database.
//
//   flock /tmp/halvane_udp.lock build/bench/bench_start_lock build/HalvaneServer [runs]
//
// For each kind of lock (none, a write lock as "BEGIN IMMEDIATE" takes it, an exclusive lock as a
// write inside "BEGIN EXCLUSIVE" takes it) it copies the server into a temporary directory with a
// journal of 100 places, takes the lock from a connection of its own, starts the copy with
// --headless, says hello on the display stations' port 5566 from 5567 every 20 ms and times the
// first ping; then it ends the copy with SIGTERM, waits for it, and lets the lock go. It prints the
// median and the slowest of the runs (5 by default), and the runs in which the server did not ping
// within 20 s or exited on its own.

#include "BenchServer.h"
#include "core/db/Database.h"
#include "core/db/Schema.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <sqlite3.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <vector>

namespace {

struct Lock
{
    const char* name;
    const char* begin; // nullptr: no lock
    bool write;        // a write inside the transaction, for the exclusive lock
};

// Milliseconds from the start to the first ping; -1 when none came or the server ended.
qint64 firstPing(const QString& server, const Lock& lock)
{
    QTemporaryDir dir;
    if (!prepareServerDir(dir, server))
        return -1;
    sqlite3* other = nullptr;
    sqlite3_open(QFile::encodeName(dir.filePath(QStringLiteral("orv_med.db"))).constData(), &other);
    if (lock.begin) {
        sqlite3_exec(other, lock.begin, nullptr, nullptr, nullptr);
        if (lock.write)
            sqlite3_exec(other, "UPDATE buts SET comm = comm", nullptr, nullptr, nullptr);
    }
    QUdpSocket station;
    if (!station.bind(QHostAddress::LocalHost, 5567)) {
        std::fprintf(stderr, "port 5567 is taken\n");
        return -1;
    }
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer timer;
    timer.start();
    process.start(dir.filePath(QStringLiteral("HalvaneServer")), {QStringLiteral("--headless")});
    qint64 ms = -1;
    while (timer.elapsed() < 20000 && process.state() != QProcess::NotRunning) {
        station.writeDatagram(QByteArrayLiteral("#ToOrvikLiteServer"), QHostAddress::LocalHost, 5566);
        if (station.waitForReadyRead(20)) {
            ms = timer.elapsed();
            break;
        }
    }
    if (process.state() != QProcess::NotRunning) {
        ::kill(pid_t(process.processId()), SIGTERM);
        process.waitForFinished(5000);
    }
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    return ms;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_start_lock PATH/TO/HalvaneServer [runs]\n");
        return 2;
    }
    const QString server = QString::fromLocal8Bit(argv[1]);
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    const Lock locks[] = {{"no lock", nullptr, false},
                          {"write lock", "BEGIN IMMEDIATE", false},
                          {"exclusive lock", "BEGIN EXCLUSIVE", true}};
    for (const Lock& lock : locks) {
        std::vector<qint64> times;
        int failed = 0;
        for (int r = 0; r < runs; ++r) {
            const qint64 ms = firstPing(server, lock);
            if (ms < 0)
                ++failed;
            else
                times.push_back(ms);
        }
        std::sort(times.begin(), times.end());
        if (times.empty()) {
            std::printf("%-15s first ping: none in %d runs\n", lock.name, runs);
            continue;
        }
        std::printf("%-15s first ping: median %lld ms, slowest %lld ms, no ping in %d of %d runs\n",
                    lock.name, static_cast<long long>(times[times.size() / 2]),
                    static_cast<long long>(times.back()), failed, runs);
    }
    return 0;
}
