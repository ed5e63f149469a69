#pragma once

#include "core/journal/EventSpool.h"
#include "core/journal/PlaceCache.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <utility>

namespace db {
class Database;
} // namespace db

// One entry closed by a cancel: its id and its reaction time in seconds (as stored, at most
// 99:59:59).
struct ClosedEntry
{
    qint64 id = 0;
    qint64 reactionSeconds = 0;
};

// What the writer has just written into the journal for one place: the time, the code and function
// and the names as the notice to the display stations carried them (for a KB unit, the
// four-character code and the place name without the key number). A call carries the id of its new
// entry; a cancel lists the entries it closed. The ticket is the one the event was accepted under.
struct JournaledEvent
{
    QDateTime time;
    QString code;
    QString f;
    ButsNames names;
    bool cancel = false;
    QList<ClosedEntry> closed;
    qint64 id = 0;
    qint64 ticket = 0;
    // A press kept as it came while the places could not be read: its notice goes out only now,
    // right before this report (accepted hook first, then the journaled one). The names the entry
    // carries (for a KB unit, the place with its key number), for the accepted hook.
    bool late = false;
    ButsNames entryNames;
};

// One press the writer has accepted for one place, at the moment its notice went out: the journal
// will hold it once the file takes it. The ticket names the event until then (and in the journaled
// report afterwards); it is unique for the writer's life.
struct AcceptedEvent
{
    qint64 ticket = 0;
    bool cancel = false;
    QDateTime time;
    QString code;
    QString f;
    ButsNames names;       // as the journal entry will carry them (a KB unit's place with its key)
    ButsNames noticeNames; // as the notice carried them
};

// Turns the presses handed over by the dispatcher in normal operation into the event journal: tells
// the visualization clients, writes an entry for a call, closes the place's open entries for a
// cancel, then has the journal grid reloaded.
//
// A call must reach the display stations and the journal whatever the database file does, so the
// work is split in two:
// - InLogButs and InLogKB recognise the code and name the notice from the places held in memory
//   (PlaceCache), send the notice at once, and queue the journal events. A queued event is mirrored
//   to the spool file beside the database before the call returns, so it survives a crash; a spool
//   left by a crash is taken up again when the writer is created.
// - flushQueue, once per dispatcher tick, writes every queued event, in arrival order and with its
//   own time, in one transaction, waiting at most kTickBusyTimeoutMs for another program's lock.
//   If the file cannot take them (locked, read-only, disk full, not a database), the transaction is
//   rolled back whole and every event stays queued for the next tick: the journal is unavailable
//   until then, which the status and outage reports tell the operator. An event that can never be
//   written (an entry a trigger refuses, a cancel whose call has an unreadable timestamp) is left
//   out, reported, and the others are written.
// - A spool left by an earlier run is read a part at a time (kBacklogPart events): its events are
//   written first, for at most kReplayBudgetMs per tick, before the events of this run.
// - While the spool itself cannot be written (a full disk, say) events are held in memory only, and
//   the status says how many; the moment it can be written again they go into it first, in order.
// - While the database cannot be read from the start, the places come from their copy beside it
//   (see PlaceCache). A press whose code that copy does not know is kept as it came, in the queue and
//   the spool like any event and with no notice; when it is written, the places are read from the
//   database in the same transaction and it becomes what the press means then: an entry or a cancel
//   for each place of the code, announced as it is journaled, or nothing for a code no place has.
class JournalWriter
{
public:
    using SendEvent = std::function<void(const QString& code, const QString& f, const QString& staff,
                                         const QString& place)>;

    using Journaled = std::function<void(const JournaledEvent& event)>;
    using Accepted = std::function<void(const AcceptedEvent& event)>;

    // How long a tick's write waits for another program's lock before the events stay queued.
    static constexpr int kTickBusyTimeoutMs = 100;
    // How many events of an earlier run's spool are read and written at a time, and how long a tick
    // goes on writing them.
    static constexpr qsizetype kBacklogPart = 1000;
    static constexpr int kReplayBudgetMs = 100;

    // The spool is the database file's path followed by ".spool" (none for a database in memory).
    JournalWriter(db::Database& db, SendEvent sendEventToClients, std::function<void()> refreshLog);
    ~JournalWriter();
    JournalWriter(const JournalWriter&) = delete;
    JournalWriter& operator=(const JournalWriter&) = delete;

    // Called by flushQueue() for every call written and every cancel applied, once the tick's
    // transaction is committed and before the journal is reloaded; never for an event still queued,
    // rolled back or left out.
    void setJournaled(Journaled journaled) { m_journaled = std::move(journaled); }
    // Called for every event InLogButs and InLogKB accept, right after its notice went out.
    void setAccepted(Accepted accepted) { m_accepted = std::move(accepted); }
    // The events accepted and not yet written, in order: those a previous run left in the spool
    // first (their notices went out in that run).
    QList<AcceptedEvent> waitingEvents() const;

    // The operator took a call off the open list: its entry (id) is marked removed in the journal's
    // own table at the next write, before any cancel that follows, so no cancel pairs with it. A call
    // not written yet is named by its ticket and marked together with its entry. Nothing here waits
    // for the file; a removal that cannot be written waits like the events. False when the ticket
    // names no waiting event.
    void removeEntry(qint64 id, const QDateTime& removedAt);
    bool removeWaiting(qint64 ticket, const QDateTime& removedAt);

    // True when some place has the code as its call code or as its cancel code, and also while
    // the places in hand are only their copy beside the database (the code may be a place's that
    // the copy does not know: the press is kept as it came).
    bool IsRegistredButs(const QString& abcde);
    // A place-button press: "2" closes, any other function writes an entry, for every place whose
    // call or cancel code is abcde_. The notices go out now; the journal changes at flushQueue().
    void InLogButs(const QDateTime& time_, const QString& abcde_, const QString& f_);
    // A KB-unit press with the four-character code (unit code and key number): "d" closes, any
    // other function writes an entry whose place name carries the key number.
    void InLogKB(const QDateTime& time_, const QString& abcd_, const QString& f_);
    // The names of the first place whose call or cancel code is the code.
    ButsNames GetButsNames(const QString& code);
    // Closes, at once, the open entries of the code that are newer than its newest closed entry,
    // each with the cancel's time and its own reaction time. Returns the entries closed.
    QList<ClosedEntry> SetReactionTime(const QString& code, const QDateTime& cancelTime);

    // Once per dispatcher tick, after the batch: writes the queued events (see above) and reloads
    // the grid when a press was handled. Never throws; what went wrong goes to the reporters.
    void flushQueue();

    // The program itself changed places, wards or staff members: read them again before the next
    // press. (Changes through this connection are also noticed by themselves, and changes by other
    // programs through the file's data version.)
    void invalidatePlaces();

    // Events accepted and removals asked for, not yet in the journal, as far as they are read: the
    // part of an earlier run's spool not read yet is not counted.
    int pendingCount() const
    {
        return static_cast<int>(m_backlog.size() + m_queue.size() + m_removals.size());
    }
    // Events waiting that are in neither the journal nor the spool: what the end of the process now
    // would lose.
    int unsavedCount() const { return m_memoryOnly; }
    // True from a failed write until the queue has drained again.
    bool journalUnavailable() const { return m_unavailable; }
    // For the status bar: "Журнал недоступен, ожидают записи: N" while the journal is unavailable
    // ("не менее N" while part of a spool is not read yet; ", из них только в памяти: M" while M of
    // them cannot be kept in the spool), "" otherwise.
    QString statusText() const;

    struct Reporters
    {
        // Once per outage, when the first write fails: the cause (locked, read-only, disk full,
        // not a database, ...) and the database's own report.
        std::function<void(const QString& message)> outageBegan;
        // Whenever statusText() changes, "" included when the queue has drained.
        std::function<void(const QString& statusText)> statusChanged;
        // An error that is no outage: an event that can never be written was left out of the
        // journal, or the grid could not be reloaded.
        std::function<void(const QString& message)> errorOccurred;
    };
    void setReporters(Reporters reporters) { m_reporters = std::move(reporters); }

    const QString& spoolPath() const { return m_spool.path(); }

    // " (nn)": the key number of a KB-unit code (characters 3 and 4, hexadecimal) in decimal.
    static QString sKBcd(const QString& abcd_);
    // Hexadecimal text to integer; a trailing "H" is allowed, any other non-digit gives 0.
    static int HexToInt(const QString& text);

    // The operator's words for why the journal cannot be written, from SQLite's result code.
    static QString outageCause(int sqliteCode);

private:
    void ensurePlaces();
    // The events a press means for the places in hand, each with the names of its notice. unit: a
    // KB unit's press (code of four characters). A unit's press makes an event only when its unit is
    // registered if registeredOnly is set.
    QList<JournalEvent> eventsOfPress(const QDateTime& time, const QString& code, const QString& f, bool unit,
                                      bool registeredOnly) const;
    // Accepts the events of a press and sends their notices.
    void acceptPress(const QList<JournalEvent>& events);
    // A press the places in hand cannot tell: kept as it came.
    void keepPress(const QDateTime& time, const QString& code, const QString& f, bool unit);
    // In a write: the places as the database holds them now; throws the database's error when it
    // cannot be read.
    void readPlacesForPress();
    // One dispatcher tick's look at the places when they may have changed, without waiting for a
    // lock: the file beside the database then follows them even while no press comes.
    void refreshStalePlaces();
    void accept(JournalEvent event);
    AcceptedEvent acceptedOf(const JournalEvent& event, qint64 ticket) const;
    static AcceptedEvent acceptedOfLate(const JournaledEvent& event);
    void ensureOwnTables();
    // The next part of an earlier run's spool, named for the journaled hook.
    void takeBacklog();
    void reportSpoolDamage();
    // Writes the events held in memory only into the spool, in order; false when it still cannot.
    bool spoolHeldEvents();
    void rewriteSpool();
    // One transaction; false (and rolled back) when the file cannot take the events now.
    // fromBacklog: the events are an earlier run's, each with its own ticket; otherwise they are
    // m_queue's.
    bool writeBatch(const QList<JournalEvent>& batch, bool fromBacklog, QList<JournaledEvent>& written,
                    QStringList& errors);
    // Writes one event and says what was written, for the journaled hook. A press kept as it came
    // writes what it means now (maybe several events, maybe none).
    void apply(const JournalEvent& event, qint64 ticket, QList<JournaledEvent>& done);
    JournaledEvent applyOne(const JournalEvent& event, qint64 ticket);
    void insertEntry(const QString& ts, const QString& code, const QString& f, const ButsNames& names);
    // Appends (id, reaction) of the code's open entries newer than its newest closed one.
    bool collectOpenEntries(const QString& code, const QDateTime& cancelTime,
                            QList<std::pair<qint64, QString>>& pairs);
    // The events of the spool in use that an earlier run already committed, by sequence number.
    qint64 committedThrough();
    void markCommitted(qint64 seq);
    void publishStatus();
    void refresh();

    db::Database& m_db;
    SendEvent m_sendEventToClients;
    std::function<void()> m_refreshLog;
    Journaled m_journaled;
    Accepted m_accepted;
    PlaceCache m_places;
    EventSpool m_spool;
    QList<JournalEvent> m_backlog; // the part of an earlier run's spool read and not yet written
    // The ticket of m_backlog's first event. An earlier run's tickets count down from -1, apart from
    // this run's; the backlog only grows or empties whole, so the event at position i has the ticket
    // m_firstBacklogTicket - i.
    qint64 m_firstBacklogTicket = -1;
    QList<JournalEvent> m_queue; // this run's events, in order
    // The ticket of m_queue's first event; the queue only grows or empties whole, so the event at
    // position i has the ticket m_firstTicket + i.
    qint64 m_firstTicket = 1;
    QHash<qint64, QString> m_removedWaiting;      // ticket -> removal's timestamp text
    QList<std::pair<qint64, QString>> m_removals; // written entries: id, removal's timestamp text
    bool m_ownTablesReady = false;
    int m_memoryOnly = 0;         // the last events of m_queue, not in the spool
    bool m_keepSpool = false;     // part of the spool could not be read or kept aside: never removed
    bool m_rewriteWanted = false; // damage was found: rewrite the spool once its events are in hand
    bool m_syncWarned = false;
    Reporters m_reporters;
    bool m_placesCheckedThisTick = false;
    bool m_placesReadFailedThisTick = false;
    QString m_placesReadError;
    int m_placesReadCode = 0; // its SQLite result code
    bool m_refreshWanted = false;
    bool m_unavailable = false;
    QString m_publishedStatus;
};
