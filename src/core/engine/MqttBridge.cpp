#include "core/engine/MqttBridge.h"

#include "core/base/Clock.h"
#include "core/engine/WardServer.h"
#include "core/journal/JournalWriter.h"

#include <algorithm>

namespace {
const MqttPublisher::Timing* timingForTests = nullptr;
// More open entries than a ward ever has; beyond it the oldest are timed back from their reaction.
constexpr std::size_t kMaxCallTimes = 100000;
} // namespace

MqttBridge::MqttBridge(WardServer& server, const MqttSettingsValues& settings, const QString& outboxPath,
                       QObject* parent)
    : QObject(parent), m_publisher(settings, outboxPath)
{
    if (timingForTests)
        m_publisher.setTiming(*timingForTests);
    // The publisher reports from its network thread; queued, the text reaches the engine's thread.
    connect(&m_publisher, &MqttPublisher::stateChanged, this,
            [this](MqttPublisher::State, const QString& text) { emit statusChanged(text); });
    connect(&server, &WardServer::journaled, this, [this](const JournaledEvent& e) { journaled(e); });
    connect(&server, &WardServer::callRepeated, this, [this](const OpenCall& call) {
        m_publisher.publish(MqttEvent::repeat(Clock::now(), call.notice.code, call.notice.f,
                                              call.notice.place, call.ward, call.notice.staff, call.time));
    });
    connect(&server, &WardServer::callEscalated, this, [this](const OpenCall& call, CallLevel level) {
        if (level == CallLevel::Normal)
            return;
        m_publisher.publish(MqttEvent::escalation(Clock::now(), levelName(level), call.notice.code,
                                                  call.notice.f, call.notice.place, call.ward,
                                                  call.notice.staff, call.time));
    });
    connect(&server, &WardServer::antennaSilenceChanged, this,
            [this](const QString& antenna, bool silent, const QDateTime&) {
                m_publisher.publish(MqttEvent::antennaSupervision(Clock::now(), antenna, silent));
            });
    connect(&server, &WardServer::openCallsChanged, this, [this](const QList<OpenCall>& calls) {
        QList<MqttOpenCall> list;
        list.reserve(calls.size());
        for (const OpenCall& call : calls)
            list << openCall(call);
        m_publisher.setOpenCalls(list);
    });
}

MqttBridge::~MqttBridge()
{
    stop();
}

void MqttBridge::setTimingForTests(const MqttPublisher::Timing* timing)
{
    timingForTests = timing;
}

bool MqttBridge::start(QString* errorText)
{
    const bool started = m_publisher.start();
    if (errorText)
        *errorText = m_publisher.errorText();
    return started;
}

void MqttBridge::stop()
{
    m_publisher.stop();
}

QString MqttBridge::levelName(CallLevel level)
{
    switch (level) {
    case CallLevel::Warning:
        return QStringLiteral("warning");
    case CallLevel::Alarm:
        return QStringLiteral("alarm");
    case CallLevel::Normal:
        break;
    }
    return QString();
}

MqttOpenCall MqttBridge::openCall(const OpenCall& call)
{
    MqttOpenCall open;
    open.id = call.id;
    open.code = call.code;
    open.function = call.f;
    open.place = call.place;
    open.ward = call.ward;
    open.staff = call.staff;
    open.time = call.time;
    open.level = levelName(call.level);
    return open;
}

void MqttBridge::journaled(const JournaledEvent& e)
{
    if (!e.cancel) {
        if (e.id > 0) {
            m_callTimes[e.id] = e.time;
            if (m_callTimes.size() > kMaxCallTimes)
                m_callTimes.erase(m_callTimes.begin());
        }
        m_publisher.publish(MqttEvent::call(e.time, e.code, e.f, e.names.P, e.names.G, e.names.S));
        return;
    }
    QList<MqttReaction> closed;
    closed.reserve(e.closed.size());
    for (const ClosedEntry& entry : e.closed) {
        QDateTime callTime = e.time.addSecs(-entry.reactionSeconds);
        if (const auto it = m_callTimes.find(entry.id); it != m_callTimes.end()) {
            callTime = it->second;
            m_callTimes.erase(it);
        }
        closed << MqttReaction{entry.id, callTime, entry.reactionSeconds};
    }
    std::sort(closed.begin(), closed.end(),
              [](const MqttReaction& a, const MqttReaction& b) { return a.callTime < b.callTime; });
    m_publisher.publish(MqttEvent::cancel(e.time, e.code, e.f, e.names.P, e.names.G, e.names.S, closed));
}
