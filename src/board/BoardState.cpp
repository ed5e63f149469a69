#include "board/BoardState.h"

BoardState::BoardState(const QHostAddress& configuredServer, const QString& pingText, CallList::Limits limits,
                       ServerLink::Timing timing)
    : m_pingText(pingText), m_link(configuredServer, timing), m_calls(limits)
{
}

BoardState::Effect BoardState::receive(const QByteArray& datagram, const QHostAddress& sender,
                                       quint16 senderPort, qint64 nowMs)
{
    if (Stations::isCallsAnswer(datagram)) {
        if (m_link.classifyAnswer(sender, senderPort) != ServerLink::Verdict::Answer)
            return {};
        return receiveAnswer(datagram, nowMs);
    }
    Effect effect;
    const Notice notice = parseNotice(datagram, m_pingText);
    switch (m_link.classify(notice, sender, senderPort, nowMs)) {
    case ServerLink::Verdict::Drop:
    case ServerLink::Verdict::Answer:
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
        if (applied.newCall)
            m_link.wantCalls();
        break;
    }
    }
    return effect;
}

BoardState::Effect BoardState::receiveAnswer(const QByteArray& datagram, qint64 nowMs)
{
    Effect effect;
    const Stations::CallsAnswer answer = Stations::parseCallsAnswer(datagram);
    if (!answer.valid)
        return effect;
    // A part of another list starts the gathering anew: parts of two lists are never mixed.
    if (answer.list != m_answerList || answer.parts != m_answerParts) {
        m_answerList = answer.list;
        m_answerParts = answer.parts;
        m_parts = QList<QList<Stations::ListedCall>>(answer.parts);
        m_heardParts = QList<bool>(answer.parts, false);
    }
    m_parts[answer.part - 1] = answer.calls;
    m_heardParts[answer.part - 1] = true;
    if (m_heardParts.contains(false))
        return effect;

    m_heardParts.fill(false);
    // A list taken already, heard again (a datagram the network doubled): it was built before calls
    // heard since, and must not take their tiles away.
    if (m_appliedAny && answer.list == m_appliedList)
        return effect;
    m_appliedAny = true;
    m_appliedList = answer.list;
    QList<Stations::ListedCall> calls;
    for (const QList<Stations::ListedCall>& part : std::as_const(m_parts))
        calls += part;
    m_link.answered(nowMs);
    // A list of the most parts there can be may have been cut by the server: its newest calls are
    // missing from it, not over.
    const bool complete = answer.parts < Stations::kMaxAnswerParts;
    const CallList::Effect applied = m_calls.applyServerList(calls, answer.warnSec, answer.alarmSec, nowMs,
                                                             m_link.roundStartMs(), complete);
    effect.changed = applied.changed;
    effect.newCall = applied.newCall;
    return effect;
}

BoardState::Effect BoardState::tick(qint64 nowMs)
{
    Effect effect;
    const ServerLink::TickResult link = m_link.tick(nowMs, m_calls.callCount() > 0);
    if (link.becameLost)
        m_calls.markAllStale();
    const bool lost = m_link.isLost(nowMs);
    effect.changed = lost != m_shownLost;
    m_shownLost = lost;
    effect.sayHello = link.sayHello;
    effect.askCalls = link.askCalls;
    const CallList::TickEffect calls = m_calls.tick(nowMs);
    effect.alarmsReached = calls.alarmsReached;
    effect.changed = effect.changed || calls.changed;
    return effect;
}
