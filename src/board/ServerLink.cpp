#include "board/ServerLink.h"

#include <algorithm>

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
        if (isServer(sender, senderPort) || mayBecomeServer(sender, nowMs)) {
            if (isLost(nowMs)) {
                // Connected again: what the board shows is checked against the server's list.
                m_needCalls = true;
                m_roundAfterConnect = true;
                m_asks = 0;
            }
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

bool ServerLink::mayBecomeServer(const QHostAddress& sender, qint64 nowMs) const
{
    if (!m_configured.isNull() && sender != m_configured)
        return false;
    if (m_server.isNull())
        return true;
    // The same machine on another port: the server restarted.
    if (sender == m_server)
        return isLost(nowMs);
    // Another machine: only the configured one, or after a long silence of the one found.
    return !m_configured.isNull() ? isLost(nowMs) : nowMs - m_lastPingMs >= m_timing.forgetAfterMs;
}

ServerLink::Verdict ServerLink::classifyAnswer(const QHostAddress& sender, quint16 senderPort) const
{
    return isServer(sender, senderPort) ? Verdict::Answer : Verdict::Drop;
}

void ServerLink::wantCalls()
{
    if (m_needCalls)
        return;
    m_needCalls = true;
    m_roundAfterConnect = false;
    m_asks = 0;
}

void ServerLink::answered(qint64 nowMs)
{
    m_needCalls = false;
    m_answeredMs = nowMs;
}

ServerLink::TickResult ServerLink::tick(qint64 nowMs, bool callsShown)
{
    TickResult result;
    const bool lost = isLost(nowMs);
    // The next round: after an answer, soon while calls are shown (one whose cancel notice was lost
    // must not stay for minutes); after a round nobody answered, only as seldom as the refresh.
    const bool unanswered = m_needCalls && m_asks >= m_timing.asksPerLink;
    const qint64 period = !unanswered && callsShown ? m_timing.refreshShownMs : m_timing.refreshMs;
    if (!lost && (!m_needCalls || unanswered) && m_asks > 0 &&
        nowMs - std::max(m_answeredMs, m_lastAskMs) >= period) {
        m_needCalls = true;
        m_roundAfterConnect = false;
        m_asks = 0;
    }
    if (!lost && m_needCalls && m_asks < m_timing.asksPerLink &&
        (nowMs - m_lastAskMs >= m_timing.askAgainMs || (m_asks == 0 && m_roundAfterConnect))) {
        if (m_asks == 0)
            m_roundStartMs = nowMs;
        ++m_asks;
        m_lastAskMs = nowMs;
        result.askCalls = true;
    }
    result.becameLost = lost && !m_wasLost;
    m_wasLost = lost;
    if (lost && (!m_helloSaid || nowMs - m_lastHelloMs >= m_timing.helloEveryMs)) {
        m_helloSaid = true;
        m_lastHelloMs = nowMs;
        result.sayHello = true;
    }
    return result;
}
