#include "board/ServerLink.h"

ServerLink::ServerLink(const QHostAddress& configured, Timing timing)
    : m_configured(configured), m_timing(timing)
{
}

QHostAddress ServerLink::helloAddress() const
{
    return m_configured.isNull() ? QHostAddress(QHostAddress::Broadcast) : m_configured;
}

bool ServerLink::isServer(const QHostAddress& sender, quint16 senderPort) const
{
    return !m_server.isNull() && sender == m_server && senderPort == m_serverPort;
}

bool ServerLink::isLost(qint64 nowMs) const
{
    return !m_everPinged || nowMs - m_lastPingMs >= m_timing.lostAfterMs;
}

ServerLink::Verdict ServerLink::classify(const Notice& notice, const QHostAddress& sender, quint16 senderPort,
                                         qint64 nowMs)
{
    switch (notice.kind) {
    case Notice::Kind::Invalid:
        return Verdict::Drop;
    case Notice::Kind::Ping:
        if (m_server.isNull() || isServer(sender, senderPort) || isLost(nowMs)) {
            m_server = sender;
            m_serverPort = senderPort;
            m_everPinged = true;
            m_lastPingMs = nowMs;
            return Verdict::Ping;
        }
        return Verdict::Drop;
    case Notice::Kind::Call:
    case Notice::Kind::Cancel:
    case Notice::Kind::Place:
        return isServer(sender, senderPort) ? Verdict::Notice : Verdict::Drop;
    }
    return Verdict::Drop;
}

ServerLink::TickResult ServerLink::tick(qint64 nowMs)
{
    TickResult result;
    const bool lost = isLost(nowMs);
    result.becameLost = lost && !m_wasLost;
    m_wasLost = lost;
    if (lost && (!m_helloSaid || nowMs - m_lastHelloMs >= m_timing.helloEveryMs)) {
        m_helloSaid = true;
        m_lastHelloMs = nowMs;
        result.sayHello = true;
    }
    return result;
}
