#pragma once

#include "core/antenna/AntennaLink.h"
#include "core/antenna/Dispatcher.h"
#include "core/calls/AntennaWatch.h"
#include "core/calls/OpenCalls.h"
#include "core/clients/ClientLink.h"
#include "core/journal/JournalWriter.h"
#include "core/net/UdpListener.h"
#include "core/net/UdpSender.h"
#include "core/settings/MainSettings.h"

#include <QObject>
#include <QStringList>
#include <QTimer>
#include <QVariantList>

#include <atomic>
#include <functional>
#include <memory>

namespace db {
class Database;
}
class MqttBridge;
class AlertBridge;

// A press whose notice has just gone out, as the open calls took it: a call with the open call it
// made, or a cancel with the open calls it closed (oldest first). The names are the notice's.
struct NoticedEvent
{
    QDateTime time;
    QString code;
    QString f;
    ButsNames names;
    bool cancel = false;
    OpenCall call;
    QList<OpenCall> closed;
};

// The ward engine: everything the server does whether or not a window shows it. It owns the one
// database connection, the sending socket, the antenna and client listeners with their links, the
// dispatcher, the journal writer, the four timers, the mode flags and the journal filter. It runs on
// the thread that creates it (the user-interface thread when there are windows); only the two
// listeners have threads of their own.
//
// It tells whoever shows it what happened through signals; a window never reaches into it except
// through the operations below. An error that ends one operation (a database error during a tick,
// say) is reported by errorRaised: the windows show it in the error box, the headless server writes
// it to standard error.
class WardServer : public QObject, public DispatchTarget
{
    Q_OBJECT
public:
    using AddButsReceiver = std::function<void(const QString& abcde, const QString& btnclr)>;
    using AddKBReceiver = std::function<void(const QString& ab)>;
    using SearchReceiver = std::function<void(const QString& abcde)>;

    explicit WardServer(QObject* parent = nullptr);
    ~WardServer() override;

    // Creation: decides the first start (the settings file does not exist yet), writes the main
    // sections' comment keys and defaults on a first start, reads them, opens the database (created
    // when missing) and makes the links. The start's own work on the file (synchronous writing, the
    // schema step, the indexes, the program's own tables) is done now when the file lets it; while
    // another program holds the file it is retried at every dispatcher tick instead of holding up the
    // start. Nothing is received, sent or timed yet. Raises AppError (settings file, or a database
    // that cannot be opened or used for another reason than a lock); nothing is left open then.
    void create();

    // After every window's section: the features' sections, "Escalation", "Mqtt" and the open-calls
    // window's "CallsForm", then "Alerts", each key the file lacks (all of them on a first start); then
    // everything the start added goes to the file in one replace. A later start whose file cannot take them
    // keeps them in memory, so they read as their defaults, and start() reports it in one line; a
    // first start raises the write's error. The windows' start-up and the headless one call it once
    // every window's section is there; start() calls it too (nothing to write by then).
    void finishSettings();

    // The settings, finished as above. Then the open calls: those the journal holds open (taken later
    // when the file cannot be read now) and those a previous run left waiting in the spool, and the
    // antenna watch; then the sending socket, the "@REG" beacon, both listeners, when a broker host is
    // set the publishing of the ward's events to it (a publisher that cannot start is reported by
    // errorRaised and the ward runs on without it), likewise the reports to the alert manager when
    // its host is set, and the timers, in this order. The open calls found are announced once:
    // openCallsChanged, and callEscalated for each call already past a level. False with the network
    // layer's error text when a socket could not be opened or a port bound (typically a second copy
    // holds it); everything started is stopped again then.
    bool start(QString* errorText);

    // Stops the timers and the listeners, writes the events the journal writer still holds (those the
    // file cannot take now stay in the spool for the next start, after one short wait for a lock)
    // and closes the database: nothing ticks or touches the database afterwards. The publisher then
    // says "offline" to the broker, waiting at most a second. Harmless when called twice.
    void stop();
    // Events the last stop() could keep neither in the journal nor in the spool: they are lost.
    int lostAtStop() const { return m_lostAtStop; }
    // The orderly end of a running server: the listeners stop, the presses already received are
    // handed out in one last tick, then stop().
    void finish();

    bool isRunning() const { return m_running; }
    bool databaseOpen() const { return m_db != nullptr; }
    // The open database; raises AppError "Database is closed" otherwise.
    db::Database& db();

    // The main window's settings as read at creation. The export file name is the one value that
    // changes while running.
    const MainSettingsValues& cfg() const { return m_cfg; }
    void setExcelFileName(const QString& name) { m_cfg.excelFileName = name; }

    AntennaLink& antenna() { return m_antenna; }
    ClientLink& clients();
    std::atomic<qint16>& btn_add() { return m_antenna.btn_add; }

    // Adding mode (presses go to the button-adding window) and search mode (to the places window's
    // search). Adding wins when both are on.
    bool rButs() const { return m_rButs; }
    bool sButs() const { return m_sButs; }
    void setRButs(bool on);
    void setSButs(bool on);

    // Receivers of the presses in adding and search mode. Without a receiver such a press does
    // nothing. A receiver may raise AppError; it is reported and the batch goes on.
    void setAddReceivers(AddButsReceiver addButs, AddKBReceiver addKB);
    void setSearchReceiver(SearchReceiver search);

    // The journal filter: the clause (empty for none) and its bound values, always set together.
    const QString& sWHERE() const { return m_sWHERE; }
    const QVariantList& sWHEREParams() const { return m_sWHEREParams; }
    void setFilter(const QString& clause, const QVariantList& params);

    // "" while the journal can be written; otherwise what the status bar shows: the journal is
    // unavailable and how many events wait.
    QString journalStatus() const;
    // Whether the start's own work on the file is done (see create()).
    bool filePrepared() const { return m_filePrepared; }
    // Events handled but not yet in the journal.
    int pendingJournalEvents() const;

    // What the status bar shows of the broker the events are published to: "" while publishing is
    // off, otherwise whether it is connected, being connected to, or cannot be reached.
    QString mqttStatus() const { return m_mqttStatus; }
    // The same for the alert manager the calls are reported to: "" while reporting is off; otherwise
    // its state and how many messages wait.
    QString alertsStatus() const { return m_alertsStatus; }
    // The reporting to the alert manager while it runs; null otherwise.
    AlertBridge* alerts() { return m_alerts.get(); }

    // After entries were deleted from the journal by the operator.
    void journalCleared();

    // The calls waiting for their cancel and the antenna watch, made by start() and kept until the
    // engine goes; null before the first start. The values of the section "Escalation" as start()
    // read them (the defaults before).
    OpenCalls* openCalls() { return m_openCalls.get(); }
    AntennaWatch* antennaWatch() { return m_antennaWatch.get(); }
    const EscalationValues& escalation() const { return m_escalation; }
    // The operator changed the list (took a call off): openCallsChanged tells whoever shows it. The
    // removal itself goes to the journal writer, which marks the entry at its next write.
    void openCallsEdited();
    // Once a second: levels, repeated notices and the antenna watch, at Clock::now().
    void TimerCallsTimer();

    // Sending.
    void SendToAntUDP(const QString& str);
    void BroadcastUDP(const QString& text, qint32 port);
    void SendToClientsUDP(const QString& str);
    void SendEventToClients(const QString& code, const QString& f, const QString& staff,
                            const QString& place);

    // The journal writer, as the dispatcher calls it in normal operation.
    bool IsRegistredButs(const QString& abcde) override;
    void InLogButs(const QDateTime& time_, const QString& abcde_, const QString& f_) override;
    void InLogKB(const QDateTime& time_, const QString& abcd_, const QString& f_) override;

    // Timer handlers.
    void TimerToAntTimer();
    void TimerObrTimer();
    void TimerFromClientsTimer();
    // Pings the listed stations, then answers the requests for the open calls that are due.
    void TimerToClientsTimer();

    // The status texts the last TimerFromClients tick computed: the mode (panel 0) and the antennas
    // heard (panel 1). Empty before the first tick.
    static QString antennaStatus(QStringList heard, const MainSettingsValues& cfg);
    QString modeStatus() const;

    // 500 ms beacon, 300 ms dispatcher, 2100 ms status, 500 ms ping, 1 s open calls.
    QTimer TimerToAnt;
    QTimer TimerObr;
    QTimer TimerFromClients;
    QTimer TimerToClients;
    QTimer TimerCalls;

signals:
    // The journal has changed: a press was handled, or entries were deleted.
    void journalChanged();
    // Entries were deleted: a shown journal must count its entries again.
    void journalShrank();
    // The filter changed; whoever shows the journal reloads it through the new clause.
    void filterChanged();
    // Adding mode or search mode was switched on or off.
    void modeChanged();
    // One call written or one cancel applied, as the notice told the display stations.
    void journaled(const JournaledEvent& event);
    // A press's notice went out to the display stations (before the journal has it).
    void noticed(const NoticedEvent& event);
    // Every 2100 ms: the identities heard since the last update (sorted as shown) and the two
    // status texts.
    void antennasHeard(const QStringList& identities);
    void statusTexts(const QString& mode, const QString& antennas);
    // mqttStatus() changed.
    void mqttStatusChanged(const QString& text);
    // alertsStatus() changed; and the line of the alert manager's state, once per change of it.
    void alertsStatusChanged(const QString& text);
    void alertsStateChanged(const QString& line);
    // An error ended one operation; the message is as the error box shows it before the full stop.
    // The start of a journal outage is reported here too.
    void errorRaised(const QString& message);
    // Values of the settings file the start could not use as they stand, one line each, saying what
    // is used instead. Each line has gone to standard error already; a program with windows shows
    // them to its operator.
    void settingsFallbacks(const QStringList& lines);
    // journalStatus() changed ("" when the events waiting have all been written).
    void journalStatusChanged(const QString& text);

    // The open calls changed: a call was added or removed, or a call's level changed. Carries the
    // whole list, longest waiting first.
    void openCallsChanged(const QList<OpenCall>& calls);
    // A call's notice was just sent again to the display stations.
    void callRepeated(const OpenCall& call);
    // A call reached the warning or the alarm level.
    void callEscalated(const OpenCall& call, CallLevel level);
    // An antenna heard before fell silent (silent true, since: when it was last heard), or was heard
    // again (silent false, since: now).
    void antennaSilenceChanged(const QString& antenna, bool silent, const QDateTime& since);

private:
    void ProcessAddButs(const QString& abcde, const QString& btnclr) override;
    void ProcessAddKB(const QString& ab) override;
    void ObrabSearch(const QString& abcde) override;
    void stopTimersAndListeners();
    void startOpenCalls();
    bool prepareFile(int busyTimeoutMs);
    void finishStartWork();
    bool takeJournalCalls();
    void announceCalls(const QList<OpenCall>& calls);
    void followNotice(const AcceptedEvent& event);
    void followJournal(const JournaledEvent& event);
    void reportOpenCallsError(const QString& message);
    void startMqtt();
    void stopMqtt();
    void startAlerts();
    void stopAlerts();
    void answerCallsRequests();

    MainSettingsValues m_cfg;
    std::unique_ptr<db::Database> m_db;
    UdpSender m_sender;
    UdpListener m_antListener;
    UdpListener m_clientListener;
    AntennaLink m_antenna;
    std::unique_ptr<ClientLink> m_clients;
    std::unique_ptr<JournalWriter> m_writer;
    int m_lostAtStop = 0;
    std::unique_ptr<Dispatcher> m_dispatcher;

    bool m_rButs = false;
    bool m_sButs = false;
    QString m_sWHERE;
    QVariantList m_sWHEREParams;
    AddButsReceiver m_addButs;
    AddKBReceiver m_addKB;
    SearchReceiver m_search;
    bool m_running = false;

    EscalationValues m_escalation;
    std::unique_ptr<OpenCalls> m_openCalls;
    std::unique_ptr<AntennaWatch> m_antennaWatch;
    // A step of the wall clock, told once on standard error.
    Clock::StepWatch m_clockSteps;
    QStringList m_startProblems; // what the start could not do with the settings file, said at start()
    QStringList m_silent;        // the antennas silent at the last check, as the watch spells them
    bool m_filePrepared = false;
    bool m_journalCallsTaken = false;
    QString m_startWorkError; // the last error of the start's work on the file, reported once
    QString m_dbPath;
    std::unique_ptr<MqttBridge> m_mqtt;
    QString m_mqttStatus;
    std::unique_ptr<AlertBridge> m_alerts;
    QString m_alertsStatus;
    quint32 m_answerNumber = 0;
};
