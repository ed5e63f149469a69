// The reports to the alert manager, against the tests' alert manager on 127.0.0.1 at a free port, in
// this process:
//
//   flock /tmp/halvane_udp.lock build/bench/bench_alerts [N] [GAP_MS] [BACKLOG]
//
// 1. From a press at the antenna to its ORU^R40 message at the alert manager, through the whole ward
//    engine started as on a first start in a temporary directory (the sample places of the new
//    database) with the Alerts section filled in: N presses (default 1000) GAP_MS apart (default 160,
//    with up to 20 ms more at random so that they fall at every moment of the 300 ms dispatcher tick),
//    calls and cancels of the two sample places in turn, each the start or the end of one alert.
//    Messages come in the order of the presses. Prints the median, the 99th percentile and the largest.
// 2. Draining a backlog: an outbox holding BACKLOG messages (default 6000: ten minutes of calls at ten a
//    second) left by an earlier run; the time from the sender's start until the last acknowledgement.
//
// It binds the fixed UDP ports: run it under the lock.

#include "TestAlertManager.h"

#include "core/alerts/AlertMessage.h"
#include "core/alerts/AlertOutbox.h"
#include "core/alerts/AlertSender.h"
#include "core/alerts/AlertsSettings.h"
#include "core/engine/WardServer.h"
#include "core/net/UdpSender.h"
#include "core/settings/AppState.h"
#include "core/settings/IniFile.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

using SteadyClock = std::chrono::steady_clock;

void spin(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
}

double ms(SteadyClock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

int pressToMessage(int n, int gapMs)
{
    QTemporaryDir dir;
    TestAlertManager manager;
    if (!manager.start()) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1\n");
        return 1;
    }
    std::vector<SteadyClock::time_point> got;
    got.reserve(n);
    manager.onMessage = [&](const QByteArray& m) {
        if (!m.contains("HLV_WATCHDOG"))
            got.push_back(SteadyClock::now());
    };

    App::setExePathOverride(dir.filePath(QStringLiteral("HalvaneServer")));
    UdpSender::setBroadcastAddressForTests(QHostAddress(QHostAddress::LocalHost));
    WardServer server;
    QObject::connect(&server, &WardServer::errorRaised,
                     [](const QString& m) { std::fprintf(stderr, "error: %s\n", qPrintable(m)); });
    server.create();
    {
        IniFile ini = App::settings();
        ini.writeString(AlertsSettings::kSection, QStringLiteral("Host"), QStringLiteral("127.0.0.1"));
        ini.writeInteger(AlertsSettings::kSection, QStringLiteral("Port"), manager.port());
        ini.writeString(AlertsSettings::kSection, QStringLiteral("PointOfCare"), QStringLiteral("ward"));
    }
    QString error;
    if (!server.start(&error)) {
        std::fprintf(stderr, "cannot start the server: %s\n", qPrintable(error));
        return 1;
    }
    spin([&] { return manager.connections() > 0; }, 5000);

    const QByteArray presses[] = {"f61868", "ba5ac8", "f61862", "ba5ac2"};
    QUdpSocket antenna;
    std::vector<SteadyClock::time_point> sent;
    sent.reserve(n);
    for (int i = 0; i < n; ++i) {
        sent.push_back(SteadyClock::now());
        antenna.writeDatagram(presses[i % 4], QHostAddress::LocalHost, 5556);
        const int gap = gapMs + int(QRandomGenerator::global()->bounded(21));
        spin([] { return false; }, gap);
    }
    spin([&] { return got.size() >= std::size_t(n); }, 10000);
    server.finish();
    if (got.size() != std::size_t(n)) {
        std::fprintf(stderr, "%d presses, %zu messages: the order cannot be matched\n", n, got.size());
        return 1;
    }
    std::vector<double> latency(n);
    for (int i = 0; i < n; ++i)
        latency[i] = ms(got[i] - sent[i]);
    std::sort(latency.begin(), latency.end());
    std::printf("%d presses, %d ms apart: press to alert manager median %.1f ms, 99th percentile %.1f ms, "
                "largest %.1f ms\n",
                n, gapMs, latency[n / 2], latency[std::min(n - 1, n * 99 / 100)], latency[n - 1]);
    return 0;
}

int drain(int backlog)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("orv_med.db.alerts-outbox"));
    TestAlertManager manager;
    if (!manager.start()) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1\n");
        return 1;
    }
    AlertsSettingsValues settings;
    settings.Host = QStringLiteral("127.0.0.1");
    settings.Port = manager.port();
    settings.PointOfCare = QStringLiteral("ward");
    settings.WatchdogSec = 0;
    QElapsedTimer fill;
    fill.start();
    {
        AlertOutbox outbox(path);
        if (!outbox.open()) {
            std::fprintf(stderr, "outbox: %s\n", qPrintable(outbox.errorString()));
            return 1;
        }
        for (int i = 0; i < backlog; ++i) {
            AlertEvent e;
            e.subject.key = Pcd04::callKey(i / 2 + 1);
            e.subject.code = QStringLiteral("f6186");
            e.subject.place = QStringLiteral("Койка № 1");
            e.subject.ward = QStringLiteral("Палата 1");
            e.subject.staff = QStringLiteral("Тестова Анна");
            e.subject.time = QDateTime::currentDateTime();
            e.at = e.subject.time;
            e.phase = i % 2 ? AlertEvent::Phase::End : AlertEvent::Phase::Start;
            outbox.append([&](const QString& id) { return Pcd04::build(settings, e, id); });
        }
        outbox.sync();
    }
    const qint64 fillMs = fill.elapsed();
    AlertSender sender(settings, path);
    QElapsedTimer t;
    t.start();
    if (!sender.start()) {
        std::fprintf(stderr, "cannot start the sender: %s\n", qPrintable(sender.errorText()));
        return 1;
    }
    const qint64 opened = t.elapsed();
    spin([&] { return sender.pendingCount() == 0; }, 600000);
    const qint64 drained = t.elapsed();
    if (sender.pendingCount() != 0 || manager.alerts().size() != backlog) {
        std::fprintf(stderr, "%lld messages left, %lld received\n", qint64(sender.pendingCount()),
                     qint64(manager.alerts().size()));
        return 1;
    }
    std::printf("backlog of %d messages (written in %lld ms): outbox read in %lld ms, drained in %lld ms "
                "(%.0f messages a second)\n",
                backlog, fillMs, opened, drained, backlog * 1000.0 / std::max<qint64>(drained, 1));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int n = argc > 1 ? QByteArray(argv[1]).toInt() : 1000;
    const int gapMs = argc > 2 ? QByteArray(argv[2]).toInt() : 160;
    const int backlog = argc > 3 ? QByteArray(argv[3]).toInt() : 6000;
    if (const int rc = drain(backlog))
        return rc;
    return pressToMessage(n, gapMs);
}
