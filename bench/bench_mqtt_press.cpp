// From a press at the antenna to its event at a subscriber, through the whole ward engine, against
// a mosquitto started here on 127.0.0.1 at a free port.
//
//   flock /tmp/halvane_udp.lock build/bench/bench_mqtt_press [N] [GAP_MS]
//
// The engine starts as on a first start in a temporary directory (the sample places of the new
// database), with the broker's section filled in. N presses (default 1000) go as datagrams to the
// antenna port 127.0.0.1:5556, GAP_MS apart (default 160, with up to 20 ms more at random so that the
// presses fall at every moment of the 300 ms dispatcher tick), calls and cancels of the two sample
// places in turn: "f61868", "ba5ac8", "f61862", "ba5ac2". An antenna repeats its message, so the
// engine drops a text it has seen in the current or the last tick: the same text comes back only
// every 4 * GAP_MS. Each event is timed at the subscriber's callback against the moment its press
// was sent; events come in the order of the presses. Prints the median, the 99th percentile and
// the largest latency. It binds the fixed UDP ports: run it under the lock.

#include "MosquittoBroker.h"

#include "core/engine/WardServer.h"
#include "core/mqtt/MqttSettings.h"
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
#include <mutex>
#include <vector>

namespace {

using SteadyClock = std::chrono::steady_clock;

// Stamps every event as its message callback runs.
class TimingSubscriber
{
public:
    TimingSubscriber(quint16 port, const QByteArray& topic) : m_topic(topic)
    {
        mosquitto_lib_init();
        m_mosq = mosquitto_new(nullptr, true, this);
        mosquitto_connect_callback_set(m_mosq, [](mosquitto* m, void* self, int rc) {
            if (rc == 0)
                mosquitto_subscribe(m, nullptr, static_cast<TimingSubscriber*>(self)->m_topic.constData(), 1);
        });
        mosquitto_subscribe_callback_set(m_mosq, [](mosquitto*, void* self, int, int, const int*) {
            auto* s = static_cast<TimingSubscriber*>(self);
            std::lock_guard lock(s->m_mutex);
            s->m_subscribed = true;
        });
        mosquitto_message_callback_set(m_mosq, [](mosquitto*, void* self, const mosquitto_message*) {
            const SteadyClock::time_point at = SteadyClock::now();
            auto* s = static_cast<TimingSubscriber*>(self);
            std::lock_guard lock(s->m_mutex);
            s->m_times.push_back(at);
        });
        mosquitto_connect(m_mosq, "127.0.0.1", port, 30);
        mosquitto_loop_start(m_mosq);
    }
    ~TimingSubscriber()
    {
        mosquitto_disconnect(m_mosq);
        mosquitto_loop_stop(m_mosq, true);
        mosquitto_destroy(m_mosq);
    }
    bool subscribed()
    {
        std::lock_guard lock(m_mutex);
        return m_subscribed;
    }
    std::vector<SteadyClock::time_point> times()
    {
        std::lock_guard lock(m_mutex);
        return m_times;
    }

private:
    QByteArray m_topic;
    mosquitto* m_mosq = nullptr;
    std::mutex m_mutex;
    bool m_subscribed = false;
    std::vector<SteadyClock::time_point> m_times;
};

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

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int n = argc > 1 ? QByteArray(argv[1]).toInt() : 1000;
    const int gapMs = argc > 2 ? QByteArray(argv[2]).toInt() : 160;
    QTemporaryDir dir;
    QDir(dir.path()).mkdir(QStringLiteral("broker"));
    MosquittoBroker broker(dir.filePath(QStringLiteral("broker")));
    if (!broker.start()) {
        std::fprintf(stderr, "cannot start %s\n", qPrintable(MosquittoBroker::binary()));
        return 1;
    }
    TimingSubscriber sub(broker.port(), "halvane/ward/events");
    spin([&] { return sub.subscribed(); }, 5000);

    App::setExePathOverride(dir.filePath(QStringLiteral("HalvaneServer")));
    UdpSender::setBroadcastAddressForTests(QHostAddress(QHostAddress::LocalHost));
    WardServer server;
    QObject::connect(&server, &WardServer::errorRaised,
                     [](const QString& m) { std::fprintf(stderr, "error: %s\n", qPrintable(m)); });
    server.create();
    {
        IniFile ini = App::settings();
        ini.writeString(MqttSettings::kSection, QStringLiteral("Host"), QStringLiteral("127.0.0.1"));
        ini.writeInteger(MqttSettings::kSection, QStringLiteral("Port"), broker.port());
    }
    QString error;
    if (!server.start(&error)) {
        std::fprintf(stderr, "cannot start the server: %s\n", qPrintable(error));
        return 1;
    }
    spin([&] { return server.mqttStatus().contains(QStringLiteral("связь")); }, 5000);

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
    spin([&] { return sub.times().size() >= std::size_t(n); }, 10000);
    const std::vector<SteadyClock::time_point> got = sub.times();
    server.finish();
    if (got.size() != std::size_t(n)) {
        std::fprintf(stderr, "%d presses, %zu events: the order cannot be matched\n", n, got.size());
        return 1;
    }
    std::vector<double> latency(n);
    for (int i = 0; i < n; ++i)
        latency[i] = ms(got[i] - sent[i]);
    std::sort(latency.begin(), latency.end());
    std::printf("%d presses, %d ms apart: press to subscriber median %.1f ms, 99th percentile %.1f ms, "
                "largest %.1f ms\n",
                n, gapMs, latency[n / 2], latency[std::min(n - 1, n * 99 / 100)], latency[n - 1]);
    return 0;
}
