#include "core/engine/MqttBridge.h"

#include "core/base/Clock.h"
#include "core/engine/WardServer.h"

namespace {
const MqttPublisher::Timing* timingForTests = nullptr;
} // namespace

MqttBridge::MqttBridge(WardServer& server, const MqttSettingsValues& settings, const QString& outboxPath,
                       QObject* parent)
    : QObject(parent), m_server(server), m_publisher(settings, outboxPath)
{
    if (timingForTests)
        m_publisher.setTiming(*timingForTests);
    // The publisher reports from its network thread; queued, the text reaches the engine's thread.
    connect(&m_publisher, &MqttPublisher::stateChanged, this,
            [this](MqttPublisher::State, const QString& text) { emit statusChanged(text); });
    connect(&server, &WardServer::noticed, this, [this](const NoticedEvent& e) { noticed(e); });
    connect(&server, &WardServer::callRepeated, this, [this](const OpenCall& call) {
        MqttEvent event = MqttEvent::repeat(Clock::now(), call.notice.code, call.notice.f, call.notice.place,
                                            call.ward, call.notice.staff, call.time);
        event.callKey = call.key;
        event.id = call.id;
        m_publisher.publish(event);
    });
    connect(&server, &WardServer::callEscalated, this, [this](const OpenCall& call, CallLevel level) {
        if (level == CallLevel::Normal)
            return;
        MqttEvent event =
            MqttEvent::escalation(Clock::now(), levelName(level), call.notice.code, call.notice.f,
                                  call.notice.place, call.ward, call.notice.staff, call.time);
        event.callKey = call.key;
        event.id = call.id;
        m_publisher.publish(event);
    });
    connect(&server, &WardServer::antennaSilenceChanged, this,
            [this](const QString& antenna, bool silent, const QDateTime&) {
                m_publisher.publish(MqttEvent::antennaSupervision(Clock::now(), antenna, silent));
            });
    connect(&server, &WardServer::openCallsChanged, this,
            [this](const QList<OpenCall>& calls) { m_publisher.setOpenCalls(openCalls(calls)); });
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
    // Kept by the publisher and sent on every connection, also before the first change: a broker
    // that comes up late, or lost its retained messages, learns the open calls at once.
    const OpenCalls* calls = m_server.openCalls();
    m_publisher.setOpenCalls(calls ? openCalls(calls->calls()) : QList<MqttOpenCall>());
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
    open.call = call.key;
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

QList<MqttOpenCall> MqttBridge::openCalls(const QList<OpenCall>& calls)
{
    QList<MqttOpenCall> list;
    list.reserve(calls.size());
    for (const OpenCall& call : calls)
        list << openCall(call);
    return list;
}

void MqttBridge::noticed(const NoticedEvent& e)
{
    if (!e.cancel) {
        MqttEvent event = MqttEvent::call(e.time, e.code, e.f, e.names.P, e.names.G, e.names.S);
        event.callKey = e.call.key;
        m_publisher.publish(event);
        return;
    }
    QList<MqttReaction> closed;
    closed.reserve(e.closed.size());
    for (const OpenCall& call : e.closed)
        closed << MqttReaction{call.id, call.time, OpenCalls::reactionSeconds(call.time, e.time), call.key};
    m_publisher.publish(MqttEvent::cancel(e.time, e.code, e.f, e.names.P, e.names.G, e.names.S, closed));
}
