#include "core/alerts/AlertSender.h"

#include "core/base/Clock.h"

#include <algorithm>

AlertSender::AlertSender(AlertsSettingsValues settings, QString outboxPath, QObject* parent)
    : QObject(parent), m_settings(std::move(settings)), m_outboxPath(std::move(outboxPath))
{
    qRegisterMetaType<AlertSender::State>();
    for (QTimer* timer : {&m_connectTimer, &m_ackTimer, &m_retryTimer, &m_watchdogTimer})
        timer->setSingleShot(true);
    connect(&m_connectTimer, &QTimer::timeout, this,
            [this] { fail(QStringLiteral("no connection within %1 s").arg(m_settings.AckTimeoutSec)); });
    connect(&m_ackTimer, &QTimer::timeout, this,
            [this] { fail(QStringLiteral("no acknowledgement within %1 s").arg(m_settings.AckTimeoutSec)); });
    connect(&m_watchdogTimer, &QTimer::timeout, this, [this] { sendWatchdog(); });
    connect(&m_retryTimer, &QTimer::timeout, this, [this] {
        if (!m_running)
            return;
        if (!m_connected) {
            connectNow();
            return;
        }
        if (m_resendDue) {
            m_resendDue = false;
            const AlertOutbox::Message* head = m_outbox->head();
            if (head && head->controlId == m_inFlight) {
                transmit(head->controlId, head->bytes);
                return;
            }
            m_inFlight.clear();
        }
        sendNext();
    });
}

AlertSender::~AlertSender()
{
    blockSignals(true); // whoever listened may already be gone
    stop();
}

QString AlertSender::address() const
{
    return QStringLiteral("%1:%2").arg(m_settings.Host).arg(m_settings.Port);
}

bool AlertSender::start()
{
    if (m_running)
        return true;
    if (!m_settings.enabled()) {
        m_errorText = QStringLiteral("reporting is off: no alert manager host is set");
        return false;
    }
    if (const QString problem = m_settings.problem(); !problem.isEmpty()) {
        m_errorText = problem;
        return false;
    }
    m_outbox = std::make_unique<AlertOutbox>(m_outboxPath);
    if (!m_outbox->open())
        m_errorText = QStringLiteral("outbox %1: %2").arg(m_outboxPath, m_outbox->errorString());
    m_running = true;
    m_backoffMs = seconds(m_settings.RetrySec);
    setState(State::Connecting,
             QStringLiteral("Оповещения: подключение к менеджеру оповещений %1").arg(address()));
    connectNow();
    return true;
}

void AlertSender::stop()
{
    if (!m_running)
        return;
    m_running = false;
    for (QTimer* timer : {&m_connectTimer, &m_ackTimer, &m_retryTimer, &m_watchdogTimer})
        timer->stop();
    if (m_socket) {
        disconnect(m_socket, nullptr, this, nullptr);
        m_socket->abort();
        delete m_socket;
        m_socket = nullptr;
    }
    m_connected = false;
    m_inFlight.clear();
    m_outbox->sync();
    setState(State::Stopped, QString());
}

QString AlertSender::report(const AlertEvent& event)
{
    if (!m_running)
        return QString();
    const QString id = m_outbox->append(
        [&](const QString& controlId) { return Pcd04::build(m_settings, event, controlId); });
    // After the message: a crash between the two sends the start again rather than never.
    if (event.phase == AlertEvent::Phase::Start)
        m_outbox->started(event.subject);
    else if (event.phase == AlertEvent::Phase::End)
        m_outbox->ended(event.subject.key);
    updatePanel();
    // Once per turn of the event loop: the messages of one tick reach the disk in one flush.
    if (!m_sendPosted) {
        m_sendPosted = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                m_sendPosted = false;
                sendNext();
            },
            Qt::QueuedConnection);
    }
    return id;
}

void AlertSender::connectNow()
{
    if (m_socket) {
        disconnect(m_socket, nullptr, this, nullptr);
        m_socket->abort();
        m_socket->deleteLater();
    }
    m_reader.clear();
    m_connected = false;
    m_inFlight.clear();
    m_inFlightWatchdog = false;
    m_resendDue = false;
    m_socket = new QTcpSocket(this);
    connect(m_socket, &QTcpSocket::connected, this, [this] {
        m_connectTimer.stop();
        m_connected = true;
        if (m_state != State::Rejected)
            setState(State::Connected,
                     QStringLiteral("Оповещения: связь с менеджером оповещений %1").arg(address()));
        sendNext();
    });
    connect(m_socket, &QTcpSocket::readyRead, this, [this] { readReplies(); });
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this] { fail(m_socket->errorString()); });
    connect(m_socket, &QTcpSocket::disconnected, this,
            [this] { fail(QStringLiteral("the alert manager closed the connection")); });
    m_connectTimer.start(seconds(m_settings.AckTimeoutSec));
    m_socket->connectToHost(m_settings.Host, m_settings.port());
}

void AlertSender::sendNext()
{
    if (!m_running || !m_connected || !m_inFlight.isEmpty() || m_retryTimer.isActive())
        return;
    if (const AlertOutbox::Message* head = m_outbox->head()) {
        m_watchdogTimer.stop();
        m_outbox->sync();
        transmit(head->controlId, head->bytes);
        return;
    }
    if (m_settings.WatchdogSec > 0 && !m_watchdogTimer.isActive())
        m_watchdogTimer.start(seconds(m_settings.WatchdogSec));
}

void AlertSender::sendWatchdog()
{
    if (!m_running || !m_connected || !m_inFlight.isEmpty())
        return;
    if (m_outbox->head()) {
        sendNext();
        return;
    }
    AlertEvent event;
    event.subject.key = QStringLiteral("WATCHDOG");
    event.subject.kind = AlertSubject::Kind::Watchdog;
    event.subject.time = Clock::now();
    event.phase = AlertEvent::Phase::Present;
    event.priority = AlertEvent::Priority::None;
    event.at = event.subject.time;
    // Not kept: a keep-alive matters only while it is fresh.
    const QString id = QStringLiteral("K%1").arg(QDateTime::currentMSecsSinceEpoch());
    m_inFlightWatchdog = true;
    transmit(id, Pcd04::build(m_settings, event, id));
}

void AlertSender::transmit(const QString& controlId, const QByteArray& message)
{
    m_inFlight = controlId;
    m_socket->write(Hl7::frame(message));
    m_ackTimer.start(seconds(m_settings.AckTimeoutSec));
}

void AlertSender::readReplies()
{
    if (!m_socket)
        return;
    const QByteArray bytes = m_socket->readAll();
    if (!m_reader.feed(bytes)) {
        fail(QStringLiteral("a reply longer than %1 bytes").arg(Hl7::MllpReader::kDefaultMaxFrame));
        return;
    }
    QByteArray message;
    while (m_connected && m_reader.next(&message))
        handleReply(message);
}

void AlertSender::handleReply(const QByteArray& message)
{
    const Hl7::Ack ack = Hl7::parseAck(message);
    // Not an acknowledgement, or one of a message no longer in flight: the timeout decides.
    if (!ack.ok || m_inFlight.isEmpty() || ack.controlId != m_inFlight || m_resendDue)
        return;
    m_ackTimer.stop();
    const QString id = m_inFlight;
    const bool watchdog = m_inFlightWatchdog;
    if (ack.retry() && !watchdog) {
        m_resendDue = true;
        m_retryTimer.start(seconds(m_settings.RetrySec));
        return;
    }
    m_inFlight.clear();
    m_inFlightWatchdog = false;
    m_backoffMs = seconds(m_settings.RetrySec);
    if (!watchdog) {
        m_outbox->done(id);
        m_outbox->compactIfWorthIt();
    }
    if (ack.rejected()) {
        const QString text = ack.text.isEmpty() ? ack.code : ack.text;
        setState(State::Rejected,
                 QStringLiteral("Оповещения: менеджер оповещений %1 отклонил сообщение %2 (%3)")
                     .arg(address(), id, text));
        emit rejected(id, text);
    } else {
        if (ack.accepted())
            setState(State::Connected,
                     QStringLiteral("Оповещения: связь с менеджером оповещений %1").arg(address()));
        emit delivered(id);
    }
    updatePanel();
    sendNext();
}

void AlertSender::fail(const QString& reason)
{
    if (m_failing || !m_running)
        return;
    m_failing = true;
    for (QTimer* timer : {&m_connectTimer, &m_ackTimer, &m_watchdogTimer})
        timer->stop();
    m_connected = false;
    m_inFlight.clear();
    m_inFlightWatchdog = false;
    m_resendDue = false;
    if (m_socket) {
        disconnect(m_socket, nullptr, this, nullptr);
        m_socket->abort();
        m_socket->deleteLater();
        m_socket = nullptr;
    }
    m_reader.clear();
    setState(State::Unreachable,
             QStringLiteral("Оповещения: менеджер оповещений %1 недоступен (%2)").arg(address(), reason));
    m_retryTimer.start(m_backoffMs);
    m_backoffMs = std::min(m_backoffMs * 2, std::max(m_maxBackoffMs, seconds(m_settings.RetrySec)));
    m_failing = false;
}

void AlertSender::setState(State state, const QString& text)
{
    if (state == m_state && text == m_stateText)
        return;
    m_state = state;
    m_stateText = text;
    updatePanel();
    emit stateChanged(state, panelText());
}

QString AlertSender::panelText() const
{
    const qsizetype waiting = pendingCount();
    if (m_stateText.isEmpty() || waiting == 0)
        return m_stateText;
    return m_stateText + QStringLiteral("; ожидают отправки: %1").arg(waiting);
}

void AlertSender::updatePanel()
{
    const QString text = panelText();
    if (text == m_panelText)
        return;
    m_panelText = text;
    emit panelChanged(text);
}
