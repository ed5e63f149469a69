#pragma once

#include "core/alerts/AlertMessage.h"
#include "core/alerts/AlertOutbox.h"
#include "core/alerts/AlertsSettings.h"
#include "core/alerts/Hl7.h"

#include <QObject>
#include <QString>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

// Delivers the outbox to the alert manager over MLLP, one message at a time, in order.
//
// A message is done on the acknowledgement AA or CA. On AE or CE, or with no acknowledgement within
// AckTimeoutSec, the same message (same control id) goes again after RetrySec; a connection that fails,
// closes, or sends what cannot be read is dropped and made again after a delay that starts at RetrySec
// and doubles up to a minute. On AR or CR the message is reported as rejected, with the alert manager's
// text, and the next one goes. While nothing waits, a keep-alive message goes every WatchdogSec.
//
// Everything runs on the thread that owns the object, on Qt's asynchronous socket: a call never waits
// for the network, and a peer that never answers, closes at once or sends garbage only delays the
// messages, never the caller.
class AlertSender : public QObject
{
    Q_OBJECT
public:
    enum class State { Stopped, Connecting, Connected, Unreachable, Rejected };
    Q_ENUM(State)

    AlertSender(AlertsSettingsValues settings, QString outboxPath, QObject* parent = nullptr);
    ~AlertSender() override;

    // Tests and benchmarks: how many milliseconds a second of the settings lasts, and the longest delay
    // between two connection attempts.
    void setSecondMs(int ms) { m_secondMs = ms; }
    void setMaxBackoffMs(int ms) { m_maxBackoffMs = ms; }

    // Opens the outbox and starts connecting. False, with errorText(), when reporting is off or the
    // settings cannot be used. An outbox that cannot be written does not stop it: the messages then
    // wait in memory only, and errorText() says why.
    bool start();
    // Drops the connection; what is not acknowledged stays in the outbox for the next start.
    void stop();

    // Queues one message of an alert's life; the alert counts as reported once this returns. The
    // alert's start and end are recorded in the outbox too. Returns the message's control id.
    QString report(const AlertEvent& event);

    AlertOutbox* outbox() { return m_outbox.get(); }
    const AlertsSettingsValues& settings() const { return m_settings; }
    State state() const { return m_state; }
    // The state as one line ("" when stopped): changes only with the state.
    QString stateText() const { return m_stateText; }
    // The line with the count of messages waiting, for the status bar.
    QString panelText() const;
    QString errorText() const { return m_errorText; }
    qsizetype pendingCount() const { return m_outbox ? m_outbox->pendingCount() : 0; }

signals:
    // stateText() changed: one line per change, with the messages waiting at that moment (the panel's
    // text then).
    void stateChanged(AlertSender::State state, const QString& line);
    // panelText() changed.
    void panelChanged(const QString& text);
    // A message was acknowledged (AA, CA) or rejected (AR, CR).
    void delivered(const QString& controlId);
    void rejected(const QString& controlId, const QString& text);

private:
    void connectNow();
    void sendNext();
    void sendWatchdog();
    void transmit(const QString& controlId, const QByteArray& message);
    void readReplies();
    void handleReply(const QByteArray& message);
    void fail(const QString& reason);
    void setState(State state, const QString& text);
    void updatePanel();
    QString address() const;
    int seconds(int n) const { return n * m_secondMs; }

    const AlertsSettingsValues m_settings;
    const QString m_outboxPath;
    std::unique_ptr<AlertOutbox> m_outbox;
    QTcpSocket* m_socket = nullptr;
    Hl7::MllpReader m_reader;
    QTimer m_connectTimer;
    QTimer m_ackTimer;
    QTimer m_retryTimer;
    QTimer m_watchdogTimer;
    int m_secondMs = 1000;
    int m_maxBackoffMs = 60000;
    int m_backoffMs = 0;
    bool m_running = false;
    bool m_connected = false;
    bool m_failing = false;
    bool m_sendPosted = false;
    QString m_inFlight; // control id of the message sent and not answered; "" for none
    bool m_inFlightWatchdog = false;
    bool m_resendDue = false; // AE/CE: the message in flight goes again when the retry timer fires
    State m_state = State::Stopped;
    QString m_stateText;
    QString m_panelText;
    QString m_errorText;
};
