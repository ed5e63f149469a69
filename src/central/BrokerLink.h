#pragma once

#include "central/CentralSettings.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <thread>

struct mosquitto;
struct mosquitto_message;
class EventInbox;

// The waits of the broker link.
struct BrokerTiming
{
    int firstRetryMs = 1000;
    int maxRetryMs = 30000;
    int connectTimeoutMs = 10000;
    int keepAliveSec = 30;
    int readBurst = 1000; // messages read before the log is synced and acknowledged
};

// Receives the wards' messages from the broker on a thread of its own and hands them to the inbox:
// <prefix>/events with QoS 1 under a fixed client id and a persistent session (the broker keeps
// what is published while the centre is away), <prefix>/status and <prefix>/open likewise.
//
// When an event counts as received: libmosquitto answers a QoS 1 message with its PUBACK from inside
// the read that delivers it, before the message callback runs, and writes it to the socket at once
// unless the client is marked threaded. So the client is marked threaded (its writes only queue), the
// callback appends each event to the inbox's log, and after each read the loop syncs the log and
// only then lets the queued acknowledgements out. An event the broker counts as delivered is on disk;
// when the log cannot be written the connection is dropped with its acknowledgements unsent, and the
// broker delivers the events again.
//
// It reconnects with a delay growing from 1 to 30 seconds, reports every change of its state as one
// line, and stops taking events while the inbox is full (disconnecting: the broker keeps them).
class BrokerLink
{
public:
    using Report = std::function<void(const QString& line)>;

    using Timing = BrokerTiming;

    BrokerLink(BrokerSettings settings, EventInbox& inbox, Report report, Timing timing = {});
    ~BrokerLink();
    BrokerLink(const BrokerLink&) = delete;
    BrokerLink& operator=(const BrokerLink&) = delete;

    // Starts the thread; false with *why when the settings cannot be used.
    bool start(QString* why);
    // Sends what is acknowledged, disconnects and ends the thread.
    void stop();

    QString address() const;

    // The reason in a line "MQTT: брокер … недоступен (…)": Russian words for a libmosquitto result
    // (errnoValue: errno just after a MOSQ_ERR_ERRNO), the library's own text only where it adds
    // something.
    static QString reason(int rc, int errnoValue);
    // The same for a refusal in the broker's answer to the connection (MQTT 3.1.1 codes 1 to 5).
    static QString refusal(int code);

private:
    enum class State { Idle, Connecting, Connected, Unreachable, Paused };

    void run();
    // One connection from the attempt to its end; true when it was established.
    bool session();
    // A libmosquitto result: not MOSQ_ERR_SUCCESS when the connection broke.
    int readBurst(mosquitto* mosq, int sock);
    void waitMs(int ms);
    void drainWake();
    void setState(State state, const QString& line);

    static void onConnect(mosquitto* mosq, void* self, int rc);
    static void onSubscribe(mosquitto* mosq, void* self, int mid, int count, const int* granted);
    static void onMessage(mosquitto* mosq, void* self, const mosquitto_message* message);
    void message(const mosquitto_message* message);

    const BrokerSettings m_settings;
    const QStringList m_filters;
    EventInbox& m_inbox;
    const Report m_report;
    const Timing m_timing;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    int m_wake[2] = {-1, -1};

    // Network thread only.
    State m_state = State::Idle;
    bool m_connected = false;
    int m_refused = 0;
    bool m_logFailed = false;
    bool m_appended = false;
};
