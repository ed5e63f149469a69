#pragma once

#include "core/mqtt/MqttEvent.h"
#include "core/mqtt/MqttOutbox.h"
#include "core/mqtt/MqttSettings.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

struct mosquitto;

// What every user of libmosquitto in this program shares.
namespace MqttLibrary {
// Initialises the library once per process, and makes a write to a socket the broker closed an
// error rather than the end of the program (SIGPIPE ignored unless someone set a handler).
void init();
// The text of a libmosquitto result code (errno's text for MOSQ_ERR_ERRNO).
QString errorText(int rc);
} // namespace MqttLibrary

// Publishes the ward's events to an MQTT broker:
//   <Topic>/events  every event, QoS 1, not retained, in seq order, each once the broker has
//                   acknowledged it (at least once: an event in flight when the connection breaks is
//                   sent again, so a consumer drops a seq it has already seen);
//   <Topic>/open    the JSON array of the open calls, retained, QoS 1, after every change;
//   <Topic>/status  "online", retained, while connected; "offline" as the last will and on stop.
//
// publish() and setOpenCalls() only store and wake the publisher's own network thread: the caller
// never waits for the broker, nor for the disk beyond one write() to the outbox. The network thread
// owns the libmosquitto client; it makes a new one for every connection attempt, so nothing of a
// broken connection lingers in the library, and it retries with a delay that doubles from
// firstRetryMs up to maxRetryMs while the broker cannot be reached.
//
// stateChanged is emitted on the network thread; connect with the default connection type and the
// slot runs on the receiver's thread.
class MqttPublisher : public QObject
{
    Q_OBJECT

public:
    enum class State { Stopped, Connecting, Connected, Unreachable };
    Q_ENUM(State)

    struct Timing
    {
        int firstRetryMs = 1000;
        int maxRetryMs = 16000;
        int connectTimeoutMs = 10000;
        int keepAliveSec = 30;
        int window = 100; // events sent and not yet acknowledged, at most
    };

    MqttPublisher(MqttSettingsValues settings, QString outboxPath,
                  qsizetype outboxCapacity = MqttOutbox::kDefaultCapacity, QObject* parent = nullptr);
    ~MqttPublisher() override;

    void setTiming(const Timing& timing); // before start()

    // Opens the outbox and starts the network thread. False, with errorText(), when publishing is
    // off (Host empty) or the settings cannot be used. An outbox that cannot be written does not
    // stop it: the events then wait in memory only, and errorText() says why.
    bool start();

    // Publishes "offline" to the status topic, waits up to a second for it and for the events in
    // flight, and ends the network thread. Events not acknowledged stay in the outbox.
    void stop();

    // Queues the event with the next seq and returns that seq; 0 when not started, or while the
    // outbox cannot be written (the event then waits in memory, in order, for its number).
    qint64 publish(const MqttEvent& event);

    // The open calls, longest waiting first; only the newest list is kept until it can be sent.
    // Nothing goes to the open topic before the first call.
    void setOpenCalls(const QList<MqttOpenCall>& calls);
    void setOpenCallsJson(const QByteArray& jsonArray);

    State state() const;
    // A line for the status bar: the connection, and whether the outbox cannot be written.
    QString stateText() const;
    QString errorText() const;
    qsizetype pendingCount() const; // events not yet acknowledged
    qint64 droppedCount() const;    // events dropped because the outbox was full
    QString eventsTopic() const { return m_topic + QStringLiteral("/events"); }
    QString openTopic() const { return m_topic + QStringLiteral("/open"); }
    QString statusTopic() const { return m_topic + QStringLiteral("/status"); }

signals:
    void stateChanged(MqttPublisher::State state, const QString& text);

private:
    void run();
    bool session(); // one connection, from the attempt to its end; true when it was established
    void waitMs(int ms);
    void wake();
    void drainWake();
    void report(State state, const QString& text);
    // Flushes the outbox; while it cannot be written, tries again now and then and says so.
    void syncOutbox();
    QString stateTextLocked() const;
    void sendWaiting(mosquitto* mosq);
    QString address() const;

    static void onConnect(mosquitto* mosq, void* self, int rc);
    static void onDisconnect(mosquitto* mosq, void* self, int rc);
    static void onPublish(mosquitto* mosq, void* self, int mid);

    const MqttSettingsValues m_settings;
    const QString m_topic;
    const QString m_outboxPath;
    const qsizetype m_outboxCapacity;
    Timing m_timing;
    std::unique_ptr<MqttOutbox> m_outbox;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    int m_wake[2] = {-1, -1};

    mutable std::mutex m_mutex; // guards the fields below
    State m_state = State::Stopped;
    QString m_stateText;
    QString m_errorText;
    QString m_outboxProblem; // "" while the outbox is written
    std::chrono::steady_clock::time_point m_outboxRetryAt{};
    QByteArray m_openJson;
    bool m_openDirty = false;

    // Network thread only.
    bool m_connected = false;
    int m_refused = 0;
    std::map<int, qint64> m_inFlight; // message id -> seq
    qint64 m_lastSent = 0;
    int m_offlineMid = -1;
};
