#include "central/BrokerLink.h"

#include "central/EventInbox.h"
#include "central/WardMessage.h"
#include "core/mqtt/MqttPublisher.h"

#include <mosquitto.h>

#include <QDeadlineTimer>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <unistd.h>

namespace {

const char* const kKinds[] = {"/events", "/status", "/open"};

} // namespace

BrokerLink::BrokerLink(BrokerSettings settings, EventInbox& inbox, Report report, Timing timing)
    : m_settings(std::move(settings)), m_filters(m_settings.topicFilters()), m_inbox(inbox),
      m_report(std::move(report)), m_timing(timing)
{
}

BrokerLink::~BrokerLink()
{
    stop();
}

QString BrokerLink::reason(int rc, int errnoValue)
{
    const QString library = QString::fromUtf8(mosquitto_strerror(rc));
    switch (rc) {
    case MOSQ_ERR_CONN_LOST:
    case MOSQ_ERR_NO_CONN:
        return QStringLiteral("связь с брокером прервана");
    case MOSQ_ERR_ERRNO:
        switch (errnoValue) {
        case ECONNREFUSED:
            return QStringLiteral("брокер не принимает подключения на этом порту");
        case ETIMEDOUT:
            return QStringLiteral("брокер не отвечает");
        case EHOSTUNREACH:
        case EHOSTDOWN:
            return QStringLiteral("узел брокера недоступен");
        case ENETUNREACH:
        case ENETDOWN:
            return QStringLiteral("сеть до брокера недоступна");
        case ECONNRESET:
        case ECONNABORTED:
        case EPIPE:
            return QStringLiteral("брокер разорвал соединение");
        case EADDRNOTAVAIL:
            return QStringLiteral("адрес брокера недоступен с этой машины");
        case ENOMEM:
        case ENOBUFS:
            return QStringLiteral("не хватило памяти");
        case EMFILE:
        case ENFILE:
            return QStringLiteral("исчерпаны файловые дескрипторы");
        default:
            return QStringLiteral("системная ошибка: %1")
                .arg(QString::fromLocal8Bit(std::strerror(errnoValue)));
        }
    case MOSQ_ERR_EAI:
    case MOSQ_ERR_LOOKUP:
        return QStringLiteral("имя узла брокера не найдено");
    case MOSQ_ERR_TLS:
    case MOSQ_ERR_TLS_HANDSHAKE:
    case MOSQ_ERR_OCSP:
        return QStringLiteral("соединение TLS не установлено: проверьте сертификат брокера и CaFile");
    case MOSQ_ERR_AUTH:
        return QStringLiteral("брокер не принял имя пользователя или пароль");
    case MOSQ_ERR_ACL_DENIED:
        return QStringLiteral("брокер не дал прав");
    case MOSQ_ERR_CONN_REFUSED:
        return QStringLiteral("брокер отказал в подключении");
    case MOSQ_ERR_KEEPALIVE:
    case MOSQ_ERR_TIMEOUT:
        return QStringLiteral("брокер перестал отвечать");
    case MOSQ_ERR_NOMEM:
        return QStringLiteral("не хватило памяти");
    case MOSQ_ERR_INVAL:
        return QStringLiteral("неверные параметры подключения (Host, Port, ClientId)");
    case MOSQ_ERR_ADMINISTRATIVE_ACTION:
        return QStringLiteral("администратор брокера закрыл соединение");
    case MOSQ_ERR_PROTOCOL:
    case MOSQ_ERR_MALFORMED_PACKET:
    case MOSQ_ERR_MALFORMED_UTF8:
    case MOSQ_ERR_DUPLICATE_PROPERTY:
    case MOSQ_ERR_OVERSIZE_PACKET:
        return QStringLiteral("брокер нарушил протокол MQTT: %1").arg(library);
    default:
        return QStringLiteral("ошибка библиотеки MQTT: %1").arg(library);
    }
}

QString BrokerLink::refusal(int code)
{
    switch (code) {
    case 1:
        return QStringLiteral("брокер не поддерживает протокол MQTT 3.1.1");
    case 2:
        return QStringLiteral("брокер отверг идентификатор клиента ClientId");
    case 3:
        return QStringLiteral("брокер временно не принимает подключения");
    case 4:
        return QStringLiteral("брокер не принял имя пользователя или пароль");
    case 5:
        return QStringLiteral("брокер не дал прав на подключение");
    default:
        return QStringLiteral("брокер отказал в подключении (код %1)").arg(code);
    }
}

QString BrokerLink::address() const
{
    return QStringLiteral("%1:%2").arg(m_settings.Host).arg(m_settings.Port);
}

bool BrokerLink::start(QString* why)
{
    if (m_thread.joinable())
        return true;
    if (const QString problem = m_settings.problem(); !problem.isEmpty()) {
        *why = problem;
        return false;
    }
    MqttLibrary::init();
    if (::pipe2(m_wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        *why = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    m_stop = false;
    m_thread = std::thread([this] { run(); });
    return true;
}

void BrokerLink::stop()
{
    if (!m_thread.joinable())
        return;
    m_stop = true;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_wake[1], &byte, 1);
    m_thread.join();
    ::close(m_wake[0]);
    ::close(m_wake[1]);
    m_wake[0] = m_wake[1] = -1;
}

void BrokerLink::setState(State state, const QString& line)
{
    if (state == m_state)
        return;
    m_state = state;
    if (m_report && !line.isEmpty())
        m_report(line);
}

void BrokerLink::drainWake()
{
    char buffer[64];
    while (::read(m_wake[0], buffer, sizeof buffer) > 0) {
    }
}

void BrokerLink::waitMs(int ms)
{
    pollfd fd = {m_wake[0], POLLIN, 0};
    if (!m_stop && ::poll(&fd, 1, ms) > 0)
        drainWake();
}

void BrokerLink::run()
{
    setState(State::Connecting, QStringLiteral("MQTT: подключение к брокеру %1").arg(address()));
    int delay = m_timing.firstRetryMs;
    while (!m_stop) {
        if (m_inbox.full()) {
            setState(
                State::Paused,
                QStringLiteral("MQTT: приём приостановлен, %1 событий ждут записи в базу; остальные ждут на "
                               "брокере")
                    .arg(m_inbox.pending()));
            while (!m_stop && !m_inbox.halfEmpty())
                waitMs(200);
            continue;
        }
        if (session())
            delay = m_timing.firstRetryMs;
        if (m_stop)
            break;
        if (m_inbox.full())
            continue;
        waitMs(delay);
        delay = std::min(delay * 2, m_timing.maxRetryMs);
    }
}

bool BrokerLink::session()
{
    const QByteArray clientId = m_settings.ClientId.toUtf8();
    // A persistent session needs a fixed id; without one the broker would forget us at each end.
    mosquitto* mosq =
        mosquitto_new(clientId.isEmpty() ? nullptr : clientId.constData(), clientId.isEmpty(), this);
    if (!mosq) {
        setState(State::Unreachable, QStringLiteral("MQTT: не удалось создать клиент"));
        return false;
    }
    m_connected = false;
    m_refused = 0;
    m_logFailed = false;
    m_appended = false;
    // Writes only queue; the loop below sends them once the log is synced.
    mosquitto_threaded_set(mosq, true);
    mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(mosq, &BrokerLink::onConnect);
    mosquitto_subscribe_callback_set(mosq, &BrokerLink::onSubscribe);
    mosquitto_message_callback_set(mosq, &BrokerLink::onMessage);

    int rc = MOSQ_ERR_SUCCESS;
    if (!m_settings.Username.isEmpty())
        rc = mosquitto_username_pw_set(mosq, m_settings.Username.toUtf8().constData(),
                                       m_settings.Password.toUtf8().constData());
    if (rc == MOSQ_ERR_SUCCESS && m_settings.Tls) {
        const QByteArray caFile = m_settings.CaFile.toLocal8Bit();
        rc = mosquitto_tls_set(mosq, caFile.isEmpty() ? nullptr : caFile.constData(),
                               caFile.isEmpty() ? "/etc/ssl/certs" : nullptr, nullptr, nullptr, nullptr);
    }
    if (rc == MOSQ_ERR_SUCCESS)
        rc = mosquitto_connect_async(mosq, m_settings.Host.toUtf8().constData(), m_settings.Port,
                                     m_timing.keepAliveSec);
    QString reason;
    if (rc != MOSQ_ERR_SUCCESS)
        reason = BrokerLink::reason(rc, errno);
    const QDeadlineTimer connectDeadline(m_timing.connectTimeoutMs);
    bool paused = false;

    while (reason.isEmpty() && !m_stop && !paused) {
        const int sock = mosquitto_socket(mosq);
        if (sock < 0) {
            reason = BrokerLink::reason(MOSQ_ERR_CONN_LOST, 0);
            break;
        }
        pollfd fds[2] = {{sock, short(POLLIN | (mosquitto_want_write(mosq) ? POLLOUT : 0)), 0},
                         {m_wake[0], POLLIN, 0}};
        const int timeout =
            m_connected ? 1000 : int(std::min<qint64>(1000, connectDeadline.remainingTime() + 1));
        if (::poll(fds, 2, timeout) < 0 && errno != EINTR) {
            reason = BrokerLink::reason(MOSQ_ERR_ERRNO, errno);
            break;
        }
        if (fds[1].revents)
            drainWake();
        rc = MOSQ_ERR_SUCCESS;
        int readErrno = 0;
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            rc = readBurst(mosq, sock);
            readErrno = errno;
        }
        if (m_refused) {
            reason = refusal(m_refused);
            break;
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            reason = BrokerLink::reason(rc, readErrno);
            break;
        }
        if (m_appended) {
            // The events just read reach the disk before their acknowledgements leave.
            m_appended = false;
            if (!m_inbox.sync())
                m_logFailed = true;
        }
        if (m_logFailed) {
            // Their acknowledgements stay unsent: the broker delivers them again.
            reason = QStringLiteral("журнал центра не записывается: %1").arg(m_inbox.errorString());
            break;
        }
        if (mosquitto_want_write(mosq))
            rc = mosquitto_loop_write(mosq, 1);
        if (rc == MOSQ_ERR_SUCCESS)
            rc = mosquitto_loop_misc(mosq);
        if (rc != MOSQ_ERR_SUCCESS) {
            reason = BrokerLink::reason(rc, errno);
            break;
        }
        if (!m_connected && connectDeadline.hasExpired()) {
            reason = QStringLiteral("нет ответа за %1 с").arg(m_timing.connectTimeoutMs / 1000);
            break;
        }
        paused = m_connected && m_inbox.full();
    }

    const bool established = m_connected;
    if (m_connected && reason.isEmpty()) {
        // A stop or a full inbox: the acknowledgements already queued go out, then a clean end.
        mosquitto_disconnect(mosq);
        mosquitto_loop_write(mosq, 1);
    }
    mosquitto_destroy(mosq);
    m_connected = false;
    if (!reason.isEmpty() && !m_stop)
        setState(State::Unreachable,
                 QStringLiteral("MQTT: брокер %1 недоступен (%2)").arg(address(), reason));
    return established;
}

int BrokerLink::readBurst(mosquitto* mosq, int sock)
{
    // Several reads before one sync: the broker has up to its in-flight window of messages on the
    // way, and a sync per message would bound the rate by the disk. On a failure errno stays as the
    // read left it.
    for (int i = 0; i < m_timing.readBurst && !m_logFailed; ++i) {
        if (const int rc = mosquitto_loop_read(mosq, 1); rc != MOSQ_ERR_SUCCESS)
            return rc;
        if (mosquitto_socket(mosq) < 0)
            return MOSQ_ERR_CONN_LOST;
        pollfd fd = {sock, POLLIN, 0};
        if (::poll(&fd, 1, 0) <= 0)
            break;
    }
    return MOSQ_ERR_SUCCESS;
}

void BrokerLink::onConnect(mosquitto* mosq, void* self, int rc)
{
    auto* link = static_cast<BrokerLink*>(self);
    if (rc != 0) {
        link->m_refused = rc;
        return;
    }
    link->m_connected = true;
    // Again on every connection: the session keeps the subscriptions, and each subscription brings
    // the retained status and open list of every ward anew.
    for (const QString& filter : link->m_filters) {
        for (const char* kind : kKinds) {
            const QByteArray topic = filter.toUtf8() + kind;
            mosquitto_subscribe(mosq, nullptr, topic.constData(), 1);
        }
    }
    link->setState(State::Connected, QStringLiteral("MQTT: связь с брокером %1").arg(link->address()));
}

void BrokerLink::onSubscribe(mosquitto*, void* self, int, int count, const int* granted)
{
    auto* link = static_cast<BrokerLink*>(self);
    for (int i = 0; i < count; ++i) {
        if (granted[i] > 2 && link->m_report)
            link->m_report(QStringLiteral("MQTT: брокер %1 отказал в подписке на топики отделений (%2)")
                               .arg(link->address(), link->m_settings.Topics));
    }
}

void BrokerLink::onMessage(mosquitto*, void* self, const mosquitto_message* message)
{
    static_cast<BrokerLink*>(self)->message(message);
}

void BrokerLink::message(const mosquitto_message* m)
{
    if (m_logFailed)
        return;
    const QString topic = QString::fromUtf8(m->topic);
    const std::optional<WardMessage::Topic> t = WardMessage::parseTopic(topic, m_filters);
    if (!t)
        return;
    const QByteArray payload(static_cast<const char*>(m->payload), m->payloadlen);
    QString why;
    switch (t->kind) {
    case WardMessage::Kind::Events:
        if (const std::optional<WardEvent> e = WardEvent::parse(t->ward, payload, &why)) {
            if (m_inbox.append(*e))
                m_appended = true;
            else
                m_logFailed = true;
            return;
        }
        break;
    case WardMessage::Kind::Status:
        if (payload.isEmpty())
            return; // a cleared retained status: nothing to say
        if (const std::optional<QString> status = WardMessage::parseStatus(payload)) {
            m_inbox.setStatus(t->ward, *status);
            return;
        }
        why = QStringLiteral("не online и не offline");
        break;
    case WardMessage::Kind::Open:
        if (payload.isEmpty())
            return;
        if (const std::optional<QList<WardOpenCall>> calls = WardMessage::parseOpen(payload, &why)) {
            m_inbox.setOpen(t->ward, *calls);
            return;
        }
        break;
    }
    if (m_report)
        m_report(QStringLiteral("MQTT: сообщение %1 пропущено: %2").arg(topic, why));
}
