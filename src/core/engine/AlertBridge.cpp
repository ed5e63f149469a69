#include "core/engine/AlertBridge.h"

#include "core/base/Clock.h"
#include "core/engine/WardServer.h"

#include <QSet>

namespace {
int secondMsForTests = 0;
} // namespace

AlertBridge::AlertBridge(WardServer& server, const AlertsSettingsValues& settings, const QString& outboxPath,
                         QObject* parent)
    : QObject(parent), m_server(server), m_sender(settings, outboxPath)
{
    if (secondMsForTests > 0)
        m_sender.setSecondMs(secondMsForTests);
    connect(&m_sender, &AlertSender::panelChanged, this, &AlertBridge::panelChanged);
    connect(&m_sender, &AlertSender::stateChanged, this,
            [this](AlertSender::State, const QString& line) { emit stateChanged(line); });
    connect(&server, &WardServer::openCallsChanged, this,
            [this](const QList<OpenCall>& calls) { callsChanged(calls); });
    connect(&server, &WardServer::callEscalated, this, [this](const OpenCall& call, CallLevel level) {
        const AlertSubject subject = subjectOf(call);
        const auto it = m_reported.find(subject.key);
        if (it == m_reported.end())
            return;
        *it = priorityOf(subject.kind, level);
        report(subject, AlertEvent::Phase::Update, *it);
    });
    connect(&server, &WardServer::antennaSilenceChanged, this,
            [this](const QString& antenna, bool silent, const QDateTime& since) {
                antennaChanged(antenna, silent, since);
            });
}

void AlertBridge::setSecondMsForTests(int ms)
{
    secondMsForTests = ms;
}

bool AlertBridge::start(QString* errorText)
{
    const bool started = m_sender.start();
    if (errorText)
        *errorText = m_sender.errorText();
    if (!started)
        return false;
    QMap<QString, AlertSubject> live = m_sender.outbox()->live();
    const QList<OpenCall> calls = m_server.openCalls() ? m_server.openCalls()->calls() : QList<OpenCall>();
    for (const OpenCall& call : calls) {
        const AlertSubject subject = subjectOf(call);
        m_reported.insert(subject.key, priorityOf(subject.kind, call.level));
        if (!live.remove(subject.key))
            report(subject, AlertEvent::Phase::Start, m_reported.value(subject.key));
    }
    for (const AlertSubject& gone : std::as_const(live))
        report(gone, AlertEvent::Phase::End, priorityOf(gone.kind, CallLevel::Normal));
    return true;
}

void AlertBridge::stop()
{
    m_sender.stop();
}

AlertEvent::Priority AlertBridge::priorityOf(AlertSubject::Kind kind, CallLevel level)
{
    switch (kind) {
    case AlertSubject::Kind::Reception:
        return AlertEvent::Priority::Low;
    case AlertSubject::Kind::Call:
    case AlertSubject::Kind::KBCall:
        return level == CallLevel::Alarm ? AlertEvent::Priority::High : AlertEvent::Priority::Medium;
    case AlertSubject::Kind::AntennaSilent:
        return AlertEvent::Priority::Medium;
    case AlertSubject::Kind::Watchdog:
        break;
    }
    return AlertEvent::Priority::None;
}

QString AlertBridge::alertKeyOf(const OpenCall& call)
{
    // The open call's own key: the same from its notice on, before the journal has the entry and
    // after a restart that takes the call again from the journal.
    return call.key.isEmpty() ? Pcd04::callKey(call.id) : QStringLiteral("C") + call.key;
}

AlertSubject AlertBridge::subjectOf(const OpenCall& call)
{
    AlertSubject subject;
    subject.key = alertKeyOf(call);
    subject.kind = Pcd04::kindOfFunction(call.f);
    subject.code = call.code;
    subject.place = call.notice.place; // without the key number the journal adds for a KB unit
    subject.ward = call.ward;
    subject.staff = call.staff;
    subject.time = call.time;
    return subject;
}

void AlertBridge::report(const AlertSubject& subject, AlertEvent::Phase phase, AlertEvent::Priority priority)
{
    AlertEvent event;
    event.subject = subject;
    event.phase = phase;
    event.priority = priority;
    event.at = Clock::now();
    m_sender.report(event);
}

void AlertBridge::callsChanged(const QList<OpenCall>& calls)
{
    QSet<QString> listed;
    listed.reserve(calls.size());
    for (const OpenCall& call : calls) {
        const AlertSubject subject = subjectOf(call);
        listed.insert(subject.key);
        if (!m_reported.contains(subject.key)) {
            const AlertEvent::Priority priority = priorityOf(subject.kind, call.level);
            m_reported.insert(subject.key, priority);
            report(subject, AlertEvent::Phase::Start, priority);
        }
    }
    const QMap<QString, AlertSubject>& live = m_sender.outbox()->live();
    for (auto it = m_reported.begin(); it != m_reported.end();) {
        if (listed.contains(it.key())) {
            ++it;
            continue;
        }
        const auto subject = live.constFind(it.key());
        if (subject != live.cend())
            report(*subject, AlertEvent::Phase::End, it.value());
        it = m_reported.erase(it);
    }
}

void AlertBridge::antennaChanged(const QString& antenna, bool silent, const QDateTime& since)
{
    if (silent) {
        AlertSubject subject;
        subject.key = Pcd04::antennaKey(antenna, since);
        subject.kind = AlertSubject::Kind::AntennaSilent;
        subject.code = antenna;
        subject.time = since;
        report(subject, AlertEvent::Phase::Start, priorityOf(subject.kind, CallLevel::Normal));
        return;
    }
    const QList<AlertSubject> live = m_sender.outbox()->live().values();
    for (const AlertSubject& subject : live) {
        if (subject.kind == AlertSubject::Kind::AntennaSilent && subject.code == antenna)
            report(subject, AlertEvent::Phase::End, priorityOf(subject.kind, CallLevel::Normal));
    }
}
