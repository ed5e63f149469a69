#include "board/BoardState.h"

BoardState::BoardState(const QHostAddress& configuredServer, const QString& pingText, CallList::Limits limits,
                       ServerLink::Timing timing)
    : m_pingText(pingText), m_link(configuredServer, timing), m_calls(limits)
{
}

BoardState::Effect BoardState::receive(const QByteArray& datagram, const QHostAddress& sender,
                                       quint16 senderPort, qint64 nowMs)
{
    Effect effect;
    const Notice notice = parseNotice(datagram, m_pingText);
    switch (m_link.classify(notice, sender, senderPort, nowMs)) {
    case ServerLink::Verdict::Drop:
        break;
    case ServerLink::Verdict::Ping:
        effect.pinged = true;
        if (m_shownLost) {
            m_shownLost = false; // the banner goes
            effect.changed = true;
        }
        break;
    case ServerLink::Verdict::Notice: {
        const CallList::Effect applied = m_calls.apply(notice, nowMs);
        effect.changed = applied.changed;
        effect.newCall = applied.newCall;
        break;
    }
    }
    return effect;
}

BoardState::Effect BoardState::tick(qint64 nowMs)
{
    Effect effect;
    const ServerLink::TickResult link = m_link.tick(nowMs);
    if (link.becameLost)
        m_calls.markAllStale();
    const bool lost = m_link.isLost(nowMs);
    effect.changed = lost != m_shownLost;
    m_shownLost = lost;
    effect.sayHello = link.sayHello;
    const CallList::TickEffect calls = m_calls.tick(nowMs);
    effect.alarmsReached = calls.alarmsReached;
    effect.changed = effect.changed || calls.changed;
    return effect;
}
