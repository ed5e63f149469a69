#pragma once

#include "core/calls/OpenCalls.h"
#include "core/mqtt/MqttPublisher.h"

#include <QDateTime>
#include <QObject>
#include <QString>

#include <memory>

class WardServer;
struct NoticedEvent;

// Hands what the ward engine reports to the MQTT publisher: every call and cancel the moment its
// notice goes out (whether or not the journal can take it yet), every repeated notice, escalation
// and antenna falling silent or heard again as one event, and the open calls as the retained list.
// The publisher only stores and wakes its own network thread, so nothing here waits for the broker.
//
// Lives on the engine's thread; the engine makes it at start when a broker host is set.
class MqttBridge : public QObject
{
    Q_OBJECT
public:
    MqttBridge(WardServer& server, const MqttSettingsValues& settings, const QString& outboxPath,
               QObject* parent = nullptr);
    ~MqttBridge() override;

    // The publisher's start, with the engine's open calls as the retained list to give the broker
    // on every connection; false with the reason when the settings cannot be used. True with a
    // reason when it publishes but the outbox file cannot be written (the events then wait in
    // memory only).
    bool start(QString* errorText);
    // Publishes "offline" and waits at most a second for the events in flight.
    void stop();

    MqttPublisher& publisher() { return m_publisher; }

    // Reconnection delays for the tests; before start().
    static void setTimingForTests(const MqttPublisher::Timing* timing);

    static MqttOpenCall openCall(const OpenCall& call);
    static QList<MqttOpenCall> openCalls(const QList<OpenCall>& calls);
    static QString levelName(CallLevel level);

signals:
    // The line for the status bar; "" once stopped.
    void statusChanged(const QString& text);

private:
    void noticed(const NoticedEvent& event);

    WardServer& m_server;
    MqttPublisher m_publisher;
};
