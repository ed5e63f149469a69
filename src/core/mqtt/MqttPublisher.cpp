#include "core/mqtt/MqttPublisher.h"

#include <QDebug>

#include <mosquitto.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

using SteadyClock = std::chrono::steady_clock;

const QByteArray kOnline = QByteArrayLiteral("online");
const QByteArray kOffline = QByteArrayLiteral("offline");

int msUntil(SteadyClock::time_point t)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(t - SteadyClock::now());
    return int(std::max<qint64>(0, left.count()));
}

} // namespace

namespace MqttLibrary {

void init()
{
    static std::once_flag once;
    std::call_once(once, [] {
        mosquitto_lib_init();
        // A write to a socket the broker has closed must come back as an error, not end the
        // program; TLS writes do not ask the kernel to spare the signal.
        struct sigaction current = {};
        if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
            std::signal(SIGPIPE, SIG_IGN);
    });
}

QString errorText(int rc)
{
    if (rc == MOSQ_ERR_ERRNO)
        return QString::fromLocal8Bit(std::strerror(errno));
    return QString::fromUtf8(mosquitto_strerror(rc));
}

} // namespace MqttLibrary

MqttPublisher::MqttPublisher(MqttSettingsValues settings, QString outboxPath, qsizetype outboxCapacity,
                             QObject* parent)
    : QObject(parent), m_settings(std::move(settings)), m_topic(m_settings.Topic),
      m_outboxPath(std::move(outboxPath)), m_outboxCapacity(outboxCapacity)
{
    qRegisterMetaType<MqttPublisher::State>();
}

MqttPublisher::~MqttPublisher()
{
    // No signal from here: whoever listened may already be gone.
    blockSignals(true);
    stop();
}

void MqttPublisher::setTiming(const Timing& timing)
{
    m_timing = timing;
}

bool MqttPublisher::start()
{
    if (m_thread.joinable())
        return true;
    if (!m_settings.enabled()) {
        std::lock_guard lock(m_mutex);
        m_errorText = QStringLiteral("publishing is off: no broker host is set");
        return false;
    }
    if (const QString problem = m_settings.problem(); !problem.isEmpty()) {
        std::lock_guard lock(m_mutex);
        m_errorText = problem;
        return false;
    }
    MqttLibrary::init();
    m_outbox = std::make_unique<MqttOutbox>(m_outboxPath, m_outboxCapacity);
    if (!m_outbox->open()) {
        std::lock_guard lock(m_mutex);
        m_errorText = m_outboxProblem = m_outbox->problem();
        qWarning("MQTT outbox: %s: events wait in memory", qUtf8Printable(m_errorText));
    }
    if (::pipe2(m_wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        std::lock_guard lock(m_mutex);
        m_errorText = QString::fromLocal8Bit(std::strerror(errno));
        m_outbox.reset();
        return false;
    }
    m_stop = false;
    report(State::Connecting, QStringLiteral("MQTT: подключение к брокеру %1").arg(address()));
    m_thread = std::thread([this] { run(); });
    return true;
}

void MqttPublisher::stop()
{
    if (!m_thread.joinable())
        return;
    m_stop = true;
    wake();
    m_thread.join();
    ::close(m_wake[0]);
    ::close(m_wake[1]);
    m_wake[0] = m_wake[1] = -1;
    report(State::Stopped, QString());
}

qint64 MqttPublisher::publish(const MqttEvent& event)
{
    if (!m_outbox || !m_thread.joinable())
        return 0;
    const qint64 seq = m_outbox->append(event);
    wake();
    return seq;
}

void MqttPublisher::setOpenCalls(const QList<MqttOpenCall>& calls)
{
    setOpenCallsJson(MqttJson::openCalls(calls));
}

void MqttPublisher::setOpenCallsJson(const QByteArray& jsonArray)
{
    {
        std::lock_guard lock(m_mutex);
        m_openJson = jsonArray;
        m_openDirty = true;
    }
    wake();
}

MqttPublisher::State MqttPublisher::state() const
{
    std::lock_guard lock(m_mutex);
    return m_state;
}

QString MqttPublisher::stateText() const
{
    std::lock_guard lock(m_mutex);
    return stateTextLocked();
}

QString MqttPublisher::stateTextLocked() const
{
    if (m_outboxProblem.isEmpty())
        return m_stateText;
    const QString outbox = QStringLiteral("MQTT: очередь событий не записывается, события ждут в памяти");
    return m_stateText.isEmpty() ? outbox : m_stateText + QStringLiteral("; ") + outbox;
}

void MqttPublisher::syncOutbox()
{
    m_outbox->sync();
    QString problem = m_outbox->problem();
    // A file that cannot be written is tried again once a second, not at every wake.
    if (!problem.isEmpty() && SteadyClock::now() >= m_outboxRetryAt) {
        m_outboxRetryAt = SteadyClock::now() + std::chrono::seconds(1);
        if (m_outbox->retry())
            problem.clear();
    }
    State state;
    QString text;
    {
        std::lock_guard lock(m_mutex);
        if (problem == m_outboxProblem)
            return;
        m_outboxProblem = problem;
        state = m_state;
        text = stateTextLocked();
    }
    if (problem.isEmpty())
        qWarning("MQTT outbox: written again; the events that waited in memory are in it");
    else
        qWarning("MQTT outbox: %s: events wait in memory", qUtf8Printable(problem));
    emit stateChanged(state, text);
}

QString MqttPublisher::errorText() const
{
    std::lock_guard lock(m_mutex);
    return m_errorText;
}

qsizetype MqttPublisher::pendingCount() const
{
    return m_outbox ? m_outbox->pendingCount() : 0;
}

qint64 MqttPublisher::droppedCount() const
{
    return m_outbox ? m_outbox->droppedCount() : 0;
}

QString MqttPublisher::address() const
{
    return QStringLiteral("%1:%2").arg(m_settings.Host).arg(m_settings.Port);
}

void MqttPublisher::report(State state, const QString& text)
{
    QString shown;
    {
        std::lock_guard lock(m_mutex);
        if (m_state == state && m_stateText == text)
            return;
        m_state = state;
        m_stateText = text;
        shown = stateTextLocked();
    }
    emit stateChanged(state, shown);
}

void MqttPublisher::wake()
{
    if (m_wake[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_wake[1], &byte, 1); // a full pipe wakes as well
    }
}

void MqttPublisher::drainWake()
{
    char buffer[256];
    while (::read(m_wake[0], buffer, sizeof buffer) > 0) {
    }
}

void MqttPublisher::waitMs(int ms)
{
    const auto until = SteadyClock::now() + std::chrono::milliseconds(ms);
    while (!m_stop) {
        const int left = msUntil(until);
        if (left == 0)
            return;
        pollfd fd = {m_wake[0], POLLIN, 0};
        if (::poll(&fd, 1, left) > 0)
            drainWake();
        syncOutbox(); // what publish() appended meanwhile reaches the disk
    }
}

void MqttPublisher::run()
{
    int delay = m_timing.firstRetryMs;
    while (!m_stop) {
        if (session())
            delay = m_timing.firstRetryMs;
        if (m_stop)
            break;
        waitMs(delay);
        delay = std::min(delay * 2, m_timing.maxRetryMs);
    }
    syncOutbox();
}

bool MqttPublisher::session()
{
    const QByteArray clientId = m_settings.ClientId.toUtf8();
    mosquitto* mosq = mosquitto_new(clientId.isEmpty() ? nullptr : clientId.constData(), true, this);
    if (!mosq) {
        report(State::Unreachable, QStringLiteral("MQTT: не удалось создать клиент"));
        return false;
    }
    m_connected = false;
    m_refused = 0;
    m_inFlight.clear();
    m_lastSent = 0;
    m_offlineMid = -1;

    const QByteArray statusTopic = this->statusTopic().toUtf8();
    const QByteArray host = m_settings.Host.toUtf8();
    mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_max_inflight_messages_set(mosq, unsigned(m_timing.window));
    mosquitto_connect_callback_set(mosq, &MqttPublisher::onConnect);
    mosquitto_disconnect_callback_set(mosq, &MqttPublisher::onDisconnect);
    mosquitto_publish_callback_set(mosq, &MqttPublisher::onPublish);
    mosquitto_will_set(mosq, statusTopic.constData(), int(kOffline.size()), kOffline.constData(), 1, true);

    int rc = MOSQ_ERR_SUCCESS;
    if (!m_settings.Username.isEmpty()) {
        rc = mosquitto_username_pw_set(mosq, m_settings.Username.toUtf8().constData(),
                                       m_settings.Password.toUtf8().constData());
    }
    if (rc == MOSQ_ERR_SUCCESS && m_settings.Tls) {
        const QByteArray caFile = m_settings.CaFile.toLocal8Bit();
        rc = mosquitto_tls_set(mosq, caFile.isEmpty() ? nullptr : caFile.constData(),
                               caFile.isEmpty() ? "/etc/ssl/certs" : nullptr, nullptr, nullptr, nullptr);
    }
    if (rc == MOSQ_ERR_SUCCESS)
        rc = mosquitto_connect_async(mosq, host.constData(), m_settings.Port, m_timing.keepAliveSec);

    QString reason;
    if (rc != MOSQ_ERR_SUCCESS)
        reason = MqttLibrary::errorText(rc);
    const auto connectDeadline = SteadyClock::now() + std::chrono::milliseconds(m_timing.connectTimeoutMs);
    SteadyClock::time_point stopDeadline{};
    bool stopping = false;

    while (reason.isEmpty()) {
        if (m_stop && !stopping) {
            if (!m_connected)
                break;
            stopping = true;
            stopDeadline = SteadyClock::now() + std::chrono::seconds(1);
            mosquitto_publish(mosq, &m_offlineMid, statusTopic.constData(), int(kOffline.size()),
                              kOffline.constData(), 1, true);
        }
        if (stopping && ((m_offlineMid < 0 && m_inFlight.empty()) || msUntil(stopDeadline) == 0)) {
            mosquitto_disconnect(mosq);
            mosquitto_loop_write(mosq, 1);
            break;
        }

        const int sock = mosquitto_socket(mosq);
        if (sock < 0) {
            reason = QStringLiteral("connection lost");
            break;
        }
        pollfd fds[2] = {{sock, short(POLLIN | (mosquitto_want_write(mosq) ? POLLOUT : 0)), 0},
                         {m_wake[0], POLLIN, 0}};
        const int timeout = m_connected ? 1000 : std::min(1000, msUntil(connectDeadline) + 1);
        if (::poll(fds, 2, stopping ? 50 : timeout) < 0 && errno != EINTR) {
            reason = MqttLibrary::errorText(MOSQ_ERR_ERRNO);
            break;
        }
        if (fds[1].revents)
            drainWake();
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR))
            rc = mosquitto_loop_read(mosq, 1);
        if (rc == MOSQ_ERR_SUCCESS && (fds[0].revents & POLLOUT))
            rc = mosquitto_loop_write(mosq, 1);
        if (rc == MOSQ_ERR_SUCCESS)
            rc = mosquitto_loop_misc(mosq);
        if (m_refused) { // the broker's own reason says more than the library's error code
            reason = QString::fromUtf8(mosquitto_connack_string(m_refused));
            break;
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            reason = MqttLibrary::errorText(rc);
            break;
        }
        if (!m_connected && msUntil(connectDeadline) == 0) {
            reason = QStringLiteral("no answer within %1 s").arg(m_timing.connectTimeoutMs / 1000);
            break;
        }
        // Records reach the disk before their events leave: a number the broker has seen is never
        // given again after a power loss.
        syncOutbox();
        if (m_connected && !stopping)
            sendWaiting(mosq);
    }

    const bool established = m_connected;
    mosquitto_destroy(mosq);
    m_connected = false;
    m_inFlight.clear();
    if (!reason.isEmpty() && !m_stop) {
        report(State::Unreachable, QStringLiteral("MQTT: брокер %1 недоступен (%2)").arg(address(), reason));
    }
    return established;
}

void MqttPublisher::sendWaiting(mosquitto* mosq)
{
    QByteArray open;
    {
        std::lock_guard lock(m_mutex);
        if (m_openDirty) {
            open = m_openJson;
            m_openDirty = false;
        }
    }
    if (!open.isNull()) {
        const QByteArray topic = openTopic().toUtf8();
        if (mosquitto_publish(mosq, nullptr, topic.constData(), int(open.size()), open.constData(), 1,
                              true) != MOSQ_ERR_SUCCESS) {
            std::lock_guard lock(m_mutex);
            m_openDirty = true; // sent with the next connection
        }
    }

    const QByteArray topic = eventsTopic().toUtf8();
    while (int(m_inFlight.size()) < m_timing.window) {
        const std::optional<MqttOutbox::Entry> next = m_outbox->nextAfter(m_lastSent);
        if (!next)
            break;
        int mid = 0;
        const int rc = mosquitto_publish(mosq, &mid, topic.constData(), int(next->json.size()),
                                         next->json.constData(), 1, false);
        if (rc != MOSQ_ERR_SUCCESS)
            break; // the loop learns of a lost connection on its next turn
        m_inFlight[mid] = next->seq;
        m_lastSent = next->seq;
    }
}

void MqttPublisher::onConnect(mosquitto* mosq, void* self, int rc)
{
    auto* p = static_cast<MqttPublisher*>(self);
    if (rc != 0) {
        p->m_refused = rc;
        return;
    }
    p->m_connected = true;
    const QByteArray statusTopic = p->statusTopic().toUtf8();
    mosquitto_publish(mosq, nullptr, statusTopic.constData(), int(kOnline.size()), kOnline.constData(), 1,
                      true);
    {
        std::lock_guard lock(p->m_mutex);
        p->m_openDirty = !p->m_openJson.isNull(); // a restarted broker may have lost it
    }
    p->report(State::Connected, QStringLiteral("MQTT: связь с брокером %1").arg(p->address()));
}

void MqttPublisher::onDisconnect(mosquitto*, void*, int)
{
    // The loop sees the lost connection in the result of its next library call.
}

void MqttPublisher::onPublish(mosquitto*, void* self, int mid)
{
    auto* p = static_cast<MqttPublisher*>(self);
    if (mid == p->m_offlineMid) {
        p->m_offlineMid = -1;
        return;
    }
    const auto it = p->m_inFlight.find(mid);
    if (it == p->m_inFlight.end())
        return; // the status or the open calls
    p->m_outbox->acknowledge(it->second);
    p->m_inFlight.erase(it);
}
