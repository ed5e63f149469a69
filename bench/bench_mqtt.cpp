// What the MQTT publisher delivers, against a mosquitto started here on 127.0.0.1 at a free port.
//
//   build/bench/bench_mqtt burst [N]          N events (default 1000) queued at once: time until
//                                             the broker has acknowledged all and the subscriber
//                                             has received all
//   build/bench/bench_mqtt outage [SECONDS]   the broker away for SECONDS (default 60) while 10
//                                             events a second are queued; time from the broker's
//                                             return until the outbox is empty, split into the
//                                             wait for the reconnection and the sending
//
// The events are synthetic calls; the press-to-subscriber latency needs the ward engine and is
// measured once the publisher is wired to it.

#include "MosquittoBroker.h"

#include "core/mqtt/MqttPublisher.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <cstdio>

namespace {

MqttEvent syntheticCall(int n)
{
    return MqttEvent::call(QDateTime::currentDateTime(),
                           QStringLiteral("b%1").arg(n, 4, 10, QLatin1Char('0')), QStringLiteral("8"),
                           QStringLiteral("Койка № %1").arg(n % 40), QStringLiteral("Палата %1").arg(n % 8),
                           QStringLiteral("Иванова"));
}

void spin(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
}

MqttSettingsValues settingsFor(quint16 port)
{
    MqttSettingsValues s;
    s.Host = QStringLiteral("127.0.0.1");
    s.Port = port;
    return s;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QString mode = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("burst");
    QTemporaryDir dir;
    MosquittoBroker broker(dir.path());
    if (!broker.start()) {
        std::fprintf(stderr, "cannot start %s\n", qPrintable(MosquittoBroker::binary()));
        return 1;
    }
    MqttTestSubscriber::Options persistent;
    persistent.clientId = QStringLiteral("bench-sub"); // keeps its session over the broker's restart
    MqttTestSubscriber sub(broker.port(), QStringLiteral("halvane/ward/events"), persistent);
    spin([&] { return sub.subscribed(); }, 5000);
    MqttPublisher publisher(settingsFor(broker.port()), dir.filePath(QStringLiteral("bench.mqtt-outbox")));
    publisher.start();
    spin([&] { return publisher.state() == MqttPublisher::State::Connected; }, 5000);
    const auto received = [&] { return sub.payloads(QStringLiteral("halvane/ward/events")).size(); };

    if (mode == QLatin1String("burst")) {
        const int n = argc > 2 ? QByteArray(argv[2]).toInt() : 1000;
        QElapsedTimer t;
        t.start();
        for (int i = 0; i < n; ++i)
            publisher.publish(syntheticCall(i));
        const double queued = t.nsecsElapsed() / 1e6;
        spin([&] { return publisher.pendingCount() == 0; }, 60000);
        const double acked = t.nsecsElapsed() / 1e6;
        spin([&] { return received() >= n; }, 60000);
        std::printf("%d events: queued in %.1f ms (%.1f us each on the caller's thread), all acknowledged "
                    "after %.1f ms, all received after %.1f ms (%lld received)\n",
                    n, queued, queued * 1000 / n, acked, t.nsecsElapsed() / 1e6,
                    static_cast<long long>(received()));
        return received() >= n ? 0 : 1;
    }

    const int seconds = argc > 2 ? QByteArray(argv[2]).toInt() : 60;
    broker.stop();
    spin([&] { return publisher.state() == MqttPublisher::State::Unreachable; }, 10000);
    QElapsedTimer outage;
    outage.start();
    int queued = 0;
    while (outage.elapsed() < seconds * 1000) {
        while (queued < outage.elapsed() / 100) // 10 a second
            publisher.publish(syntheticCall(queued++));
        spin([] { return false; }, 20);
    }
    const qsizetype waiting = publisher.pendingCount();
    QElapsedTimer back;
    back.start();
    broker.start();
    spin([&] { return publisher.state() == MqttPublisher::State::Connected; }, 60000);
    const double reconnect = back.nsecsElapsed() / 1e6;
    spin([&] { return publisher.pendingCount() == 0; }, 60000);
    const double drained = back.nsecsElapsed() / 1e6;
    spin([&] { return received() >= queued; }, 60000);
    std::printf(
        "%d s outage, %lld events waiting: reconnected %.0f ms after the broker's return, outbox empty "
        "after %.0f ms (sending %.0f ms), %lld of %d received\n",
        seconds, static_cast<long long>(waiting), reconnect, drained, drained - reconnect,
        static_cast<long long>(received()), queued);
    return received() >= queued ? 0 : 1;
}
