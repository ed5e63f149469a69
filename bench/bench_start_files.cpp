// How soon a headless server pings its display stations, and how much memory it has taken by then,
// when it starts beside a big file: a 50 MB settings file, or a 300 MB spool of events an earlier run
// could not journal.
//
//   flock /tmp/halvane_udp.lock build/bench/bench_start_files build/HalvaneServer settings [runs]
//   flock /tmp/halvane_udp.lock build/bench/bench_start_files build/HalvaneServer spool [runs]
//
// Each run copies the server into a temporary directory with a journal of 100 places and the big
// file, starts the copy with --headless, says hello on the display stations' port 5566 from 5567
// every 20 ms and times the first ping; at that ping it reads the server's peak resident memory
// (VmHWM of /proc/<pid>/status). It then ends the copy with SIGTERM. The settings file holds the
// sections a first start writes (the server writes them itself in a first run) followed by 50 MB of
// lines of 100 bytes; the spool holds 300 MB of calls. Prints the median and the slowest of the runs
// (3 by default).

#include "BenchServer.h"
#include "core/journal/EventSpool.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <vector>

namespace {

qint64 peakKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

struct Run
{
    qint64 firstPingMs = -1; // -1: none came
    qint64 peakKiB = -1;
};

// Starts the copy, greets it until it pings, and ends it.
Run startAndPing(const QTemporaryDir& dir)
{
    Run run;
    QUdpSocket station;
    if (!station.bind(QHostAddress::LocalHost, 5567)) {
        std::fprintf(stderr, "port 5567 is taken\n");
        return run;
    }
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    process.setProcessEnvironment(env);
    QElapsedTimer timer;
    timer.start();
    process.start(dir.filePath(QStringLiteral("HalvaneServer")), {QStringLiteral("--headless")});
    if (!process.waitForStarted())
        return run;
    while (timer.elapsed() < 60000 && process.state() == QProcess::Running) {
        station.writeDatagram(QByteArrayLiteral("#ToOrvikLiteServer"), QHostAddress::LocalHost, 5566);
        if (station.waitForReadyRead(20)) {
            run.firstPingMs = timer.elapsed();
            run.peakKiB = peakKiB(process.processId());
            break;
        }
    }
    ::kill(pid_t(process.processId()), SIGTERM);
    if (!process.waitForFinished(60000))
        process.kill();
    return run;
}

bool bigSettingsFile(const QTemporaryDir& dir)
{
    // The server's own first start writes the file; 50 MB of lines follow its sections.
    if (startAndPing(dir).firstPingMs < 0)
        return false;
    QFile ini(dir.filePath(QStringLiteral("HalvaneServer.ini")));
    if (!ini.open(QIODevice::Append))
        return false;
    ini.write("[Notes]\r\n");
    QByteArray chunk;
    for (int i = 0; i < 10000; ++i)
        chunk += "note" + QByteArray::number(i).rightJustified(6, '0') + '=' + QByteArray(88, 'x') + "\r\n";
    for (qint64 written = 0; written < 50LL * 1024 * 1024; written += chunk.size())
        ini.write(chunk);
    return true;
}

bool bigSpool(const QTemporaryDir& dir)
{
    EventSpool spool(dir.filePath(QStringLiteral("orv_med.db.spool")));
    JournalEvent event;
    event.time = QDateTime::currentDateTime();
    event.f = QStringLiteral("8");
    event.names = {QStringLiteral("Палата интенсивной терапии, койка у окна"), QStringLiteral("Отделение 3"),
                   QStringLiteral("Ответственная медицинская сестра смены")};
    qint64 bytes = 0;
    for (int i = 0; bytes < 300LL * 1024 * 1024; ++i) {
        event.code = QStringLiteral("q%1").arg(i % 100, 4, 10, QLatin1Char('0'));
        spool.number(event);
        if (!spool.append(event))
            return false;
        if (i % 10000 == 0)
            bytes = QFile(spool.path()).size();
    }
    return spool.sync();
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3 ||
        (args.at(2) != QLatin1String("settings") && args.at(2) != QLatin1String("spool"))) {
        std::fprintf(stderr, "usage: bench_start_files <HalvaneServer> settings|spool [runs]\n");
        return 2;
    }
    const QString server = args.at(1);
    const bool settings = args.at(2) == QLatin1String("settings");
    const int runs = args.size() > 3 ? args.at(3).toInt() : 3;
    std::vector<Run> done;
    for (int i = 0; i < runs; ++i) {
        QTemporaryDir dir;
        if (!prepareServerDir(dir, server) || !(settings ? bigSettingsFile(dir) : bigSpool(dir))) {
            std::fprintf(stderr, "could not prepare the directory\n");
            return 1;
        }
        const Run run = startAndPing(dir);
        std::printf("run %d: first ping %lld ms, peak memory %lld MiB\n", i + 1,
                    static_cast<long long>(run.firstPingMs), static_cast<long long>(run.peakKiB / 1024));
        std::fflush(stdout);
        if (run.firstPingMs < 0) {
            std::printf("no ping within 60 s\n");
            return 1;
        }
        done.push_back(run);
    }
    std::sort(done.begin(), done.end(),
              [](const Run& a, const Run& b) { return a.firstPingMs < b.firstPingMs; });
    const auto peak = std::max_element(done.begin(), done.end(),
                                       [](const Run& a, const Run& b) { return a.peakKiB < b.peakKiB; });
    std::printf(
        "%s: first ping median %lld ms, slowest %lld ms; peak memory at the first ping up to %lld MiB\n",
        settings ? "50 MB settings file" : "300 MB spool",
        static_cast<long long>(done[done.size() / 2].firstPingMs),
        static_cast<long long>(done.back().firstPingMs), static_cast<long long>(peak->peakKiB / 1024));
    return 0;
}
