#include "core/engine/WardServer.h"

#include "core/alerts/AlertOutbox.h"
#include "core/alerts/AlertsSettings.h"
#include "core/base/AppError.h"
#include "core/base/Clock.h"
#include "core/clients/ClientLink.h"
#include "core/db/Database.h"
#include "core/db/DatabaseError.h"
#include "core/db/Schema.h"
#include "core/engine/AlertBridge.h"
#include "core/engine/MqttBridge.h"
#include "core/journal/RemovedCalls.h"
#include "core/mqtt/MqttSettings.h"
#include "core/net/StationNotice.h"
#include "core/settings/AppState.h"
#include "core/settings/IniFile.h"
#include "core/settings/SettingsFallback.h"
#include "core/settings/WindowSections.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QHash>

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <utility>

namespace {

// How long a statement of the user-interface thread (the journal's pages, the directory windows)
// waits for another program's lock on the database file (a backup, a viewer) before it says the file
// is busy: the windows, the dispatcher and the timers must not stand still behind it. The journal
// writer keeps what it cannot write in its spool and tries again at the next tick.
constexpr int kBusyTimeoutMs = 100;
// The start's own work on the file, at creation and then at every tick until it is done.
constexpr int kStartWorkBusyTimeoutMs = 20;

// The open call a call's notice makes: the journal's names (a KB unit's place with its key) and the
// notice as it went out.
JournaledCall journaledCallOf(const AcceptedEvent& event)
{
    JournaledCall call;
    call.time = event.time;
    call.code = event.code;
    call.f = event.f;
    call.place = event.names.P;
    call.ward = event.names.G;
    call.staff = event.names.S;
    call.notice = {event.code, event.f, event.noticeNames.S, event.noticeNames.P};
    return call;
}

bool isLock(const AppError& e)
{
    const auto* dbError = dynamic_cast<const db::DatabaseError*>(&e);
    return dbError && (dbError->code() == SQLITE_BUSY || dbError->code() == SQLITE_LOCKED);
}
} // namespace

WardServer::WardServer(QObject* parent) : QObject(parent)
{
    TimerToAnt.setInterval(500);
    TimerObr.setInterval(300);
    TimerFromClients.setInterval(2100);
    TimerToClients.setInterval(Stations::kPingEveryMs);
    TimerCalls.setInterval(1000);
    connect(&TimerToAnt, &QTimer::timeout, this, [this] { TimerToAntTimer(); });
    // Queued: a tick whose error opens a box runs the event loop under it, and Qt never fires a timer
    // again while its own handler is still running. Posting the tick lets the timer fire on, so
    // presses keep being journaled while the box is open.
    connect(
        &TimerObr, &QTimer::timeout, this, [this] { TimerObrTimer(); }, Qt::QueuedConnection);
    connect(&TimerFromClients, &QTimer::timeout, this, [this] { TimerFromClientsTimer(); });
    connect(&TimerToClients, &QTimer::timeout, this, [this] { TimerToClientsTimer(); });
    connect(&TimerCalls, &QTimer::timeout, this, [this] { TimerCallsTimer(); });
}

WardServer::~WardServer()
{
    stop();
}

void WardServer::create()
{
    const QString overridePath = App::exePathOverride();
    App::setExePath(overridePath.isEmpty() ? QCoreApplication::applicationFilePath() : overridePath);
    // Left by a save that a crash or a power cut cut short.
    IniFile(App::settingsPath()).removeStrayTemporaries();
    App::setFirstStart(!QFileInfo::exists(App::settingsPath()));
    App::loadSettings();
    // The first start's file is written once every window has added its section; a place where it
    // cannot be written ends the start before anything else is made.
    if (App::firstStart())
        App::settings().checkWritable();
    {
        IniFile ini = App::settings();
        if (App::firstStart()) {
            MainSettings::InitComm(ini);
            MainSettings::InitDef(ini, MainSettings::designOuterGeometry());
        }
        m_cfg = MainSettings::read(ini);
    }

    m_rButs = false;
    m_sButs = false;
    m_antenna.btn_add = 0;
    m_sWHERE.clear();
    m_sWHEREParams.clear();

    const QString dbPath = QFileInfo(App::exePath()).absolutePath() + u'/' + m_cfg.dbFileName;
    m_dbPath = dbPath;
    std::unique_ptr<db::Database> database = db::Database::openDatabase(dbPath);
    database->setBusyTimeout(kBusyTimeoutMs);
    m_db = std::move(database);
    m_filePrepared = false;
    m_journalCallsTaken = false;
    m_startWorkError.clear();
    try {
        // Another program's lock only postpones this work; anything else ends the start.
        prepareFile(kBusyTimeoutMs);
    } catch (...) {
        m_db.reset();
        throw;
    }

    m_clients = std::make_unique<ClientLink>(m_sender, m_cfg.ToClientsPort, m_cfg.sFromClient);
    m_writer = std::make_unique<JournalWriter>(
        *m_db,
        [this](const QString& code, const QString& f, const QString& staff, const QString& place) {
            SendEventToClients(code, f, staff, place);
        },
        [this] { emit journalChanged(); });
    m_writer->setJournaled([this](const JournaledEvent& event) {
        followJournal(event);
        emit journaled(event);
    });
    m_writer->setAccepted([this](const AcceptedEvent& event) { followNotice(event); });
    const auto report = [this](const QString& message) { emit errorRaised(message); };
    m_writer->setReporters(
        {report, [this](const QString& text) { emit journalStatusChanged(text); }, report});
    m_dispatcher = std::make_unique<Dispatcher>(
        m_antenna, *this, [this] { return m_rButs; }, [this] { return m_sButs; },
        [this](const QString& message) { emit errorRaised(message); });
}

bool WardServer::start(QString* errorText)
{
    if (m_running)
        return true;
    // Every window has written its section by now (nothing is left to write when the windows'
    // start-up has finished the file already).
    finishSettings();
    for (const QString& problem : std::exchange(m_startProblems, {}))
        emit errorRaised(problem);
    startOpenCalls();
    if (!m_sender.open(errorText))
        return false;
    TimerToAnt.start();
    if (!m_antListener.start(
            m_cfg.FromAntPort,
            [this](const QByteArray& data, const QHostAddress&) { m_antenna.IdUDPServerAntUDPRead(data); },
            errorText)) {
        stopTimersAndListeners();
        return false;
    }
    ClientLink* clients = m_clients.get();
    if (!m_clientListener.start(
            m_cfg.FromClientsPort,
            [clients](const QByteArray& data, const QHostAddress& sender) {
                if (clients)
                    clients->IdUDPServerClUDPRead(data, sender);
            },
            errorText)) {
        stopTimersAndListeners();
        return false;
    }
    // Only now: a second copy of the server, which cannot bind the ports, must not connect under the
    // ward's client id, nor touch the outbox of the copy that runs.
    startMqtt();
    startAlerts();
    TimerFromClients.start();
    TimerToClients.start();
    TimerObr.start();
    TimerCalls.start();
    m_running = true;
    if (const QStringList lines = SettingsFallbacks::take(); !lines.isEmpty())
        emit settingsFallbacks(lines);
    // The calls found open are told once, as if they had just come: whoever shows or publishes them
    // (the broker's retained list included, even when it is empty) starts from the real state.
    if (m_openCalls) {
        announceCalls(m_openCalls->calls());
        emit openCallsChanged(m_openCalls->calls());
    }
    return true;
}

void WardServer::stopTimersAndListeners()
{
    TimerToAnt.stop();
    TimerObr.stop();
    TimerFromClients.stop();
    TimerToClients.stop();
    TimerCalls.stop();
    m_antListener.stop();
    m_clientListener.stop();
}

void WardServer::stop()
{
    stopTimersAndListeners();
    m_running = false;
    m_dispatcher.reset();
    if (m_writer) {
        // The writer holds the connection: it writes what waits and goes before the file closes.
        m_writer->flushQueue();
        m_lostAtStop = m_writer->unsavedCount();
        m_writer.reset();
    }
    // After the writer: the events of its last write are published too.
    stopMqtt();
    stopAlerts();
    if (m_db) {
        m_db->closeDatabase();
        m_db.reset();
    }
}

void WardServer::startMqtt()
{
    const MqttSettingsValues settings = MqttSettings::read(App::settings());
    // A value that keeps the broker off was told as the section was read.
    if (!settings.enabled() || !settings.problem().isEmpty() || m_dbPath.isEmpty())
        return;
    auto bridge = std::make_unique<MqttBridge>(*this, settings, m_dbPath + QStringLiteral(".mqtt-outbox"));
    connect(bridge.get(), &MqttBridge::statusChanged, this, [this](const QString& text) {
        if (text == m_mqttStatus)
            return;
        m_mqttStatus = text;
        emit mqttStatusChanged(text);
    });
    QString problem;
    if (!bridge->start(&problem)) {
        // The ward runs on without publishing.
        emit errorRaised(QStringLiteral("MQTT: %1").arg(problem));
        return;
    }
    m_mqtt = std::move(bridge);
    if (!problem.isEmpty())
        emit errorRaised(QStringLiteral("MQTT: %1").arg(problem));
}

void WardServer::stopMqtt()
{
    if (!m_mqtt)
        return;
    m_mqtt->stop();
    m_mqtt.reset();
}

void WardServer::startAlerts()
{
    const AlertsSettingsValues settings = AlertsSettings::read(App::settings());
    if (!settings.enabled() || m_dbPath.isEmpty())
        return;
    auto bridge = std::make_unique<AlertBridge>(*this, settings, AlertOutbox::pathBesideDatabase(m_dbPath));
    connect(bridge.get(), &AlertBridge::panelChanged, this, [this](const QString& text) {
        if (text == m_alertsStatus)
            return;
        m_alertsStatus = text;
        emit alertsStatusChanged(text);
    });
    connect(bridge.get(), &AlertBridge::stateChanged, this, &WardServer::alertsStateChanged);
    QString problem;
    if (!bridge->start(&problem)) {
        // The ward runs on without reporting.
        emit errorRaised(QStringLiteral("Оповещения: %1").arg(problem));
        return;
    }
    m_alerts = std::move(bridge);
    if (!problem.isEmpty())
        emit errorRaised(QStringLiteral("Оповещения: %1").arg(problem));
}

void WardServer::stopAlerts()
{
    if (!m_alerts)
        return;
    m_alerts->stop();
    m_alerts.reset();
}

void WardServer::finish()
{
    const bool wasRunning = m_running;
    stopTimersAndListeners();
    if (wasRunning)
        TimerObrTimer();
    stop();
}

db::Database& WardServer::db()
{
    if (!m_db)
        throw AppError(QStringLiteral("Database is closed"));
    return *m_db;
}

ClientLink& WardServer::clients()
{
    if (!m_clients)
        throw AppError(QStringLiteral("Database is closed"));
    return *m_clients;
}

void WardServer::setAddReceivers(AddButsReceiver addButs, AddKBReceiver addKB)
{
    m_addButs = std::move(addButs);
    m_addKB = std::move(addKB);
}

void WardServer::setSearchReceiver(SearchReceiver search)
{
    m_search = std::move(search);
}

void WardServer::setRButs(bool on)
{
    if (m_rButs == on)
        return;
    m_rButs = on;
    emit modeChanged();
}

void WardServer::setSButs(bool on)
{
    if (m_sButs == on)
        return;
    m_sButs = on;
    emit modeChanged();
}

void WardServer::setFilter(const QString& clause, const QVariantList& params)
{
    m_sWHERE = clause;
    m_sWHEREParams = params;
    emit filterChanged();
}

void WardServer::journalCleared()
{
    if (m_openCalls && m_db) {
        const int before = m_openCalls->count();
        try {
            m_openCalls->syncWithJournal(Clock::moment());
        } catch (const AppError& e) {
            reportOpenCallsError(e.message());
        }
        if (m_openCalls->count() != before)
            emit openCallsChanged(m_openCalls->calls());
    }
    emit journalShrank();
    emit journalChanged();
}

void WardServer::finishSettings()
{
    IniFile ini = App::settings();
    ini.holdWrites();
    QStringList added;
    if (EscalationSettings::writeMissing(ini))
        added << EscalationSettings::kSection;
    if (MqttSettings::writeWhenMissing(ini))
        added << MqttSettings::kSection;
    const SettingsTable calls = WindowSections::callsForm();
    if (calls.writeMissing(ini))
        added << calls.section();
    if (AlertsSettings::writeWhenMissing(ini))
        added << AlertsSettings::kSection;
    try {
        App::finishStart();
    } catch (const AppError& e) {
        // A first start that cannot leave a whole file behind ends: the next start would not be a
        // first start and would never complete it.
        if (App::firstStart())
            throw;
        // The keys stay in memory, so they read as their defaults; the ward runs.
        m_startProblems
            << (added.isEmpty()
                    ? QStringLiteral("%1: the start's changes to it are not saved").arg(e.message())
                    : QStringLiteral("%1: sections %2 are not saved; their defaults are used")
                          .arg(e.message(), added.join(QStringLiteral(", "))));
    }
}

bool WardServer::prepareFile(int busyTimeoutMs)
{
    if (m_filePrepared)
        return true;
    const db::BusyTimeoutScope wait(*m_db, busyTimeoutMs);
    try {
        m_db->setSynchronous(true);
        db::runSchema(*m_db);
        db::ensureIndexes(*m_db);
        RemovedCalls::ensureTable(*m_db);
    } catch (const AppError& e) {
        if (!isLock(e))
            throw;
        return false;
    }
    m_filePrepared = true;
    return true;
}

bool WardServer::takeJournalCalls()
{
    if (m_journalCallsTaken || !m_openCalls || !m_db)
        return true;
    const db::BusyTimeoutScope wait(*m_db, kStartWorkBusyTimeoutMs);
    try {
        // Taken late (the file was held since the start), the journal still lists calls that a
        // cancel waiting in the spool has closed; they are not open again.
        QSet<QString> closedByWaiting;
        if (m_writer) {
            for (const AcceptedEvent& event : m_writer->waitingEvents()) {
                if (event.cancel)
                    closedByWaiting.insert(event.code);
            }
        }
        const QList<OpenCall> added = m_openCalls->rebuild(Clock::moment(), closedByWaiting);
        m_journalCallsTaken = true;
        if (m_running && !added.isEmpty()) {
            announceCalls(added);
            emit openCallsChanged(m_openCalls->calls());
        }
    } catch (const AppError& e) {
        if (!isLock(e)) {
            // A journal that cannot be read leaves the list to the calls that come in; the server
            // runs all the same.
            m_journalCallsTaken = true;
            reportOpenCallsError(e.message());
        }
    }
    return m_journalCallsTaken;
}

void WardServer::finishStartWork()
{
    if (m_filePrepared && m_journalCallsTaken)
        return;
    try {
        if (prepareFile(kStartWorkBusyTimeoutMs))
            takeJournalCalls();
    } catch (const AppError& e) {
        // Told once; tried again at the next tick.
        if (e.message() != m_startWorkError) {
            m_startWorkError = e.message();
            emit errorRaised(e.message());
        }
    }
}

void WardServer::announceCalls(const QList<OpenCall>& calls)
{
    for (const OpenCall& call : calls) {
        if (call.level != CallLevel::Normal)
            emit callEscalated(call, call.level);
    }
}

void WardServer::startOpenCalls()
{
    // Once per engine: a window holds the list and the watch from the first start on.
    if (m_openCalls)
        return;
    m_escalation = EscalationSettings::read(App::settings());
    m_openCalls = std::make_unique<OpenCalls>(m_db.get(), m_escalation);
    m_openCalls->setRemovalSink([this](const OpenCall& call, const QDateTime& removedAt) {
        if (!m_writer)
            throw AppError(QStringLiteral("Database is closed"));
        if (call.journaled())
            m_writer->removeEntry(call.id, removedAt);
        else if (!m_writer->removeWaiting(call.ticket, removedAt))
            throw AppError(QStringLiteral("The call is no longer waiting for the journal"));
    });
    m_antennaWatch = std::make_unique<AntennaWatch>(m_escalation.AntennaSilentSec);
    m_silent.clear();
    // The journal's open calls first, when the file can be read now; then what a previous run
    // accepted and could not write, in the order it came (a cancel among it closes calls listed
    // before it).
    if (m_filePrepared)
        takeJournalCalls();
    if (m_writer) {
        const Clock::Moment now = Clock::moment();
        for (const AcceptedEvent& event : m_writer->waitingEvents()) {
            if (event.cancel)
                m_openCalls->cancelNoticed(event.code);
            else if (OpenCalls::isCallFunction(event.f))
                m_openCalls->callWaiting(journaledCallOf(event), event.ticket, now);
        }
    }
}

void WardServer::openCallsEdited()
{
    if (m_openCalls)
        emit openCallsChanged(m_openCalls->calls());
}

void WardServer::reportOpenCallsError(const QString& message)
{
    emit errorRaised(message);
}

void WardServer::followNotice(const AcceptedEvent& event)
{
    if (!m_openCalls)
        return;
    NoticedEvent noticed{event.time, event.code, event.f, event.noticeNames, event.cancel, {}, {}};
    if (event.cancel) {
        noticed.closed = m_openCalls->cancelNoticed(event.code);
        emit this->noticed(noticed);
        if (!noticed.closed.isEmpty())
            emit openCallsChanged(m_openCalls->calls());
        return;
    }
    if (!OpenCalls::isCallFunction(event.f))
        return;
    const QString key = m_openCalls->callNoticed(journaledCallOf(event), event.ticket, Clock::moment());
    noticed.call = m_openCalls->at(m_openCalls->rowOfKey(key));
    emit this->noticed(noticed);
    emit openCallsChanged(m_openCalls->calls());
}

void WardServer::followJournal(const JournaledEvent& event)
{
    if (!m_openCalls)
        return;
    if (event.cancel) {
        // The cancel's notice closed the place's calls already; the journal may close more (a call
        // of another place that shares the code).
        const int before = m_openCalls->count();
        QList<qint64> ids;
        ids.reserve(event.closed.size());
        for (const ClosedEntry& entry : event.closed)
            ids.append(entry.id);
        m_openCalls->entriesClosed(ids);
        if (m_openCalls->count() != before)
            emit openCallsChanged(m_openCalls->calls());
    } else if (event.id > 0 && m_openCalls->callJournaled(event.ticket, event.id)) {
        emit openCallsChanged(m_openCalls->calls());
    }
}

void WardServer::TimerCallsTimer()
{
    const Clock::Moment now = Clock::moment();
    if (const QString step = m_clockSteps.look(now); !step.isEmpty()) {
        std::fprintf(stderr, "%s\n", step.toLocal8Bit().constData());
        std::fflush(stderr);
    }
    if (m_openCalls) {
        struct Before
        {
            CallLevel level;
            qint64 nextRepeatMs;
        };
        QHash<QString, Before> before;
        before.reserve(m_openCalls->count());
        for (const OpenCall& call : m_openCalls->calls())
            before.insert(call.key, {call.level, call.nextRepeatMs});
        const QList<EventNotice> due = m_openCalls->tick(now);
        for (const EventNotice& notice : due)
            SendEventToClients(notice.code, notice.f, notice.staff, notice.place);
        const qint64 nowMs = now.elapsedMs;
        bool levelsChanged = false;
        for (const OpenCall& call : m_openCalls->calls()) {
            const auto was = before.constFind(call.key);
            if (was == before.cend())
                continue;
            if (was->nextRepeatMs != 0 && nowMs >= was->nextRepeatMs)
                emit callRepeated(call);
            if (call.level != was->level) {
                levelsChanged = true;
                if (call.level > was->level)
                    emit callEscalated(call, call.level);
            }
        }
        if (levelsChanged)
            emit openCallsChanged(m_openCalls->calls());
    }
    if (m_antennaWatch && m_antennaWatch->check(now)) {
        QStringList silentNow;
        for (const AntennaWatch::Silent& antenna : m_antennaWatch->silent()) {
            silentNow << antenna.id;
            if (!m_silent.contains(antenna.id))
                emit antennaSilenceChanged(antenna.id, true, antenna.lastHeard);
        }
        for (const QString& id : std::as_const(m_silent)) {
            if (!silentNow.contains(id))
                emit antennaSilenceChanged(id, false, now.wall);
        }
        m_silent = silentNow;
    }
}

void WardServer::SendToAntUDP(const QString& str)
{
    BroadcastUDP(str, m_cfg.ToAntPort);
}

void WardServer::BroadcastUDP(const QString& text, qint32 port)
{
    m_sender.BroadcastUDP(text, port);
}

void WardServer::SendToClientsUDP(const QString& str)
{
    if (m_clients)
        m_clients->SendToClientsUDP(str);
}

void WardServer::SendEventToClients(const QString& code, const QString& f, const QString& staff,
                                    const QString& place)
{
    if (m_clients)
        m_clients->SendEventToClients(code, f, staff, place);
}

bool WardServer::IsRegistredButs(const QString& abcde)
{
    if (!m_writer)
        throw AppError(QStringLiteral("Database is closed"));
    return m_writer->IsRegistredButs(abcde);
}

void WardServer::InLogButs(const QDateTime& time_, const QString& abcde_, const QString& f_)
{
    if (!m_writer)
        throw AppError(QStringLiteral("Database is closed"));
    m_writer->InLogButs(time_, abcde_, f_);
}

void WardServer::InLogKB(const QDateTime& time_, const QString& abcd_, const QString& f_)
{
    if (!m_writer)
        throw AppError(QStringLiteral("Database is closed"));
    m_writer->InLogKB(time_, abcd_, f_);
}

void WardServer::ProcessAddButs(const QString& abcde, const QString& btnclr)
{
    if (m_addButs)
        m_addButs(abcde, btnclr);
}

void WardServer::ProcessAddKB(const QString& ab)
{
    if (m_addKB)
        m_addKB(ab);
}

void WardServer::ObrabSearch(const QString& abcde)
{
    if (m_search)
        m_search(abcde);
}

void WardServer::TimerToAntTimer()
{
    SendToAntUDP(QStringLiteral("@REG"));
}

void WardServer::TimerObrTimer()
{
    if (m_dispatcher && m_writer) {
        // Before the presses: the journal's open calls are listed before a cancel among them.
        finishStartWork();
        m_dispatcher->TimerObrTimer();
        // The tick's presses go into the journal in one transaction.
        m_writer->flushQueue();
    }
}

QString WardServer::journalStatus() const
{
    return m_writer ? m_writer->statusText() : QString();
}

int WardServer::pendingJournalEvents() const
{
    return m_writer ? m_writer->pendingCount() : 0;
}

void WardServer::TimerToClientsTimer()
{
    SendToClientsUDP(m_cfg.sToClient);
    answerCallsRequests();
}

void WardServer::answerCallsRequests()
{
    if (!m_clients || !m_openCalls || !m_clients->hasCallsRequests())
        return;
    // A list without the journal's open calls (the file held by another program since the start)
    // would tell a board that calls still open have ended: the requests wait until they are read.
    if (m_db && !m_journalCallsTaken)
        return;
    const qint64 nowMs = Clock::elapsedMs();
    QList<Stations::ListedCall> listed;
    listed.reserve(m_openCalls->count());
    for (const OpenCall& call : m_openCalls->calls()) {
        listed.append({call.notice.code, call.notice.f, call.notice.staff, call.notice.place,
                       OpenCalls::waitingMs(call, nowMs), int(call.level), call.ward});
    }
    const QList<QByteArray> answer =
        Stations::callsAnswer(m_answerNumber + 1, m_escalation.WarnSec, m_escalation.AlarmSec, listed);
    const QList<QHostAddress> asked = m_clients->takeCallsRequests(m_clients->nowMs(), answer.size());
    if (!asked.isEmpty())
        ++m_answerNumber;
    for (const QHostAddress& address : asked)
        m_clients->sendTo(address, answer);
}

QString WardServer::antennaStatus(QStringList heard, const MainSettingsValues& cfg)
{
    if (heard.isEmpty())
        return cfg.ant0text;
    if (heard.size() == 1)
        return cfg.ant1text + u' ' + heard.constFirst() + u'.';
    std::sort(heard.begin(), heard.end(),
              [](const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) < 0; });
    return cfg.antNtext + u' ' + heard.join(QStringLiteral(", ")) + u'.';
}

QString WardServer::modeStatus() const
{
    return m_rButs ? m_cfg.reg0text : m_sButs ? m_cfg.reg1text : m_cfg.reg2text;
}

void WardServer::TimerFromClientsTimer()
{
    QStringList heard = m_antenna.takeSignOns();
    std::sort(heard.begin(), heard.end(),
              [](const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) < 0; });
    if (m_antennaWatch)
        m_antennaWatch->heard(heard, Clock::moment());
    emit antennasHeard(heard);
    emit statusTexts(modeStatus(), antennaStatus(heard, m_cfg));
}
