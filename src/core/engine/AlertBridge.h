#pragma once

#include "core/alerts/AlertSender.h"
#include "core/calls/OpenCalls.h"

#include <QHash>
#include <QObject>
#include <QString>

class WardServer;

// Tells the hospital's alert manager what the ward engine reports: every open call is one alert that
// starts when the call is listed, is updated at its warning and alarm, and ends when the call leaves
// the list (its cancel, the operator taking it off, the journal cleared); an antenna that falls silent
// is a technical alert until it is heard again. The sender only stores and goes on, so nothing here
// waits for the alert manager.
//
// At start it compares the alerts the outbox says were started with the open calls: a call never
// reported (a crash in between, or reporting just switched on) is started, an alert whose call is gone
// (or a silence from before the restart, which this run cannot see end) is ended.
//
// Lives on the engine's thread; the engine makes it at start when an alert manager host is set.
class AlertBridge : public QObject
{
    Q_OBJECT
public:
    AlertBridge(WardServer& server, const AlertsSettingsValues& settings, const QString& outboxPath,
                QObject* parent = nullptr);

    // False with the reason when the settings cannot be used; true with a reason when the outbox file
    // cannot be written (the messages then wait in memory only).
    bool start(QString* errorText);
    void stop();

    AlertSender& sender() { return m_sender; }

    // Tests: how long a second of the settings lasts.
    static void setSecondMsForTests(int ms);

    // PL for a reception ("4"); PM for a call ("8", "b"), PH once it is in alarm.
    static AlertEvent::Priority priorityOf(AlertSubject::Kind kind, CallLevel level);
    // The one place that names an open call's alert: its OBR-3 is Pcd04::alertIdentifier() of this key
    // (the ward's name from the settings, then the key): the open call's own key, fixed from its notice on.
    static QString alertKeyOf(const OpenCall& call);
    static AlertSubject subjectOf(const OpenCall& call);

signals:
    // The status bar's text, and one line per change of the state.
    void panelChanged(const QString& text);
    void stateChanged(const QString& line);

private:
    void report(const AlertSubject& subject, AlertEvent::Phase phase, AlertEvent::Priority priority);
    void callsChanged(const QList<OpenCall>& calls);
    void antennaChanged(const QString& antenna, bool silent, const QDateTime& since);

    WardServer& m_server;
    AlertSender m_sender;
    // The open calls reported as started, by key, with the priority last sent.
    QHash<QString, AlertEvent::Priority> m_reported;
};
