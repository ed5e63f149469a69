#pragma once

#include "core/base/Clock.h"
#include "core/calls/EscalationSettings.h"
#include "core/journal/TimeFormat.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

#include <functional>

namespace db {
class Database;
}

// The fields of an event notice as the display stations were sent them: "#code;f;staff;place;".
struct EventNotice
{
    QString code;
    QString f;
    QString staff;
    QString place;

    friend bool operator==(const EventNotice&, const EventNotice&) = default;
};

// A call as the journal writer wrote it: the entry's id and fields, and the notice it sent.
struct JournaledCall
{
    qint64 id = 0;
    QDateTime time; // the entry's timest
    QString code;   // the entry's abcde: a place's call code, or unit code and key of a KB unit
    QString f;      // "8", "4" or "b"
    QString place;  // butsname, with the key number of a KB unit
    QString ward;   // groupsname
    QString staff;  // workersname
    EventNotice notice;
};

enum class CallLevel { Normal, Warning, Alarm };

// A call from the moment its notice went out until its cancel's notice, or until the operator takes
// it off the list. Its key names it for that whole time, whoever reports it (the window, the broker):
// the moment of the call to the second, its code and function, made unique among the calls listed.
// The same call rebuilt from the journal after a restart gets the same key. The journal id (id) is 0
// until the journal has the entry; meanwhile the journal writer's ticket names the waiting event.
struct OpenCall : JournaledCall
{
    QString key;
    qint64 ticket = 0;
    bool journaled() const { return id > 0; }
    CallLevel level = CallLevel::Normal;
    // The moment of the call and the moment its notice is due again (0 while repeats are off) on
    // the steady clock (Clock::elapsedMs()), so that a wall clock set back or forward neither holds
    // up nor hurries a warning, an alarm or a repeat. A call taken from the journal at a start is
    // placed by its age on the wall clock at that moment. Plain numbers besides: the tick compares
    // hundreds of them every second.
    qint64 sinceMs = 0;
    qint64 nextRepeatMs = 0;
};

// Told about changes of the list, in the manner of a table model, so that a view can follow row by
// row instead of starting over.
class OpenCallsObserver
{
public:
    virtual ~OpenCallsObserver() = default;
    virtual void beginInsertCalls(int first, int last) = 0;
    virtual void endInsertCalls() = 0;
    virtual void beginRemoveCalls(int first, int last) = 0;
    virtual void endRemoveCalls() = 0;
    virtual void beginResetCalls() = 0;
    virtual void endResetCalls() = 0;
    // The row's call was written into the journal: it has its journal id now.
    virtual void callJournaled(int row) = 0;
    // After a tick at now: the waiting times moved on; the rows listed also changed their level.
    virtual void callsTicked(const Clock::Moment& now, const QList<int>& levelChangedRows) = 0;
};

// The calls that wait for their cancel, longest waiting first: every call of the calling functions
// "8", "4" and "b" from the moment its notice goes out (whether or not the journal can take it yet),
// and, at start, the journal's open entries of those functions. A cancel's notice closes the place's
// calls at once. Each call has a level by its waiting time and a notice that falls due again every
// RepeatSec while it stays open. The operator can take a call off the list; that closes it for good:
// the journal writer marks its entry removed (RemovedCalls), so that no later cancel pairs with it
// and no start lists it again.
//
// Lives on the user-interface thread, like the database connection. "Now" is always passed in: the
// wall clock's time names and journals, the steady clock's reading times the waiting.
class OpenCalls
{
public:
    // Takes a call the operator removed to where its removal is kept (the journal writer); a sink
    // that raises AppError leaves the call listed.
    using RemovalSink = std::function<void(const OpenCall& call, const QDateTime& removedAt)>;

    // The database may be null for a list that is only fed by hand.
    OpenCalls(db::Database* database, const EscalationValues& settings);

    static bool isCallFunction(const QString& f);
    // Waiting time as the journal shows a reaction time: "2 мин 14 сек", "5 сек"; hours count into
    // the minutes. An end before the start reads "0 сек".
    static QString sWaitingTime(const QDateTime& start, const QDateTime& now, const LogConst& logConst);
    static QString sWaitingTime(qint64 waitingMs, const LogConst& logConst);
    // The notice the journal writer sent for a journal entry: for a KB unit the place name goes out
    // without the key number the journal adds.
    static EventNotice noticeOfEntry(const QString& code, const QString& f, const QString& place,
                                     const QString& staff);
    // The key a call of this moment, code and function starts from.
    static QString keyOf(const QDateTime& time, const QString& code, const QString& f);
    // The seconds from the call to the cancel as the journal stores them: from the call's second,
    // at most 99:59:59.
    static qint64 reactionSeconds(const QDateTime& callTime, const QDateTime& cancelTime);

    const EscalationValues& settings() const { return m_settings; }
    void setObserver(OpenCallsObserver* observer) { m_observer = observer; }
    void setRemovalSink(RemovalSink sink) { m_removalSink = std::move(sink); }

    // Start: adds the journal's open entries of the calling functions from the last WindowHours
    // hours, less the removed ones, with their real waiting times, to the calls already listed (a
    // listed call that is still waiting for the journal and has the entry's key is that entry). The
    // first repeat of each falls RepeatSec after now, when the display stations have had time to say
    // hello again. An entry whose code has a cancel still waiting for the journal (closedByWaiting)
    // is not open: every entry the journal holds came before every event still waiting, and the
    // waiting cancel closes it when it is written. Reads only; returns the calls it added. Throws
    // AppError when the database fails; the list is unchanged then.
    QList<OpenCall> rebuild(const Clock::Moment& now, const QSet<QString>& closedByWaiting = {});

    // The notice of a call went out: the call is listed at once, with ticket naming it until the
    // journal has it. Returns its key.
    QString callNoticed(const JournaledCall& call, qint64 ticket, const Clock::Moment& now);
    // A call a previous run accepted and the journal writer still holds, listed at start like a
    // call just noticed, unless the journal's call of the same key is listed already (that run
    // ended after the journal took it and before its spool was removed).
    QString callWaiting(const JournaledCall& call, qint64 ticket, const Clock::Moment& now);
    // The journal wrote the call accepted under the ticket: the listed call takes the entry's id.
    // False when no listed call waits under that ticket.
    bool callJournaled(qint64 ticket, qint64 id);
    // The notice of a cancel went out: every listed call of the code (the entry's code: a place's
    // call code, a KB unit's four characters) is closed. Returns the calls closed, oldest first.
    QList<OpenCall> cancelNoticed(const QString& code);

    // The journal has this call (a start that found it, a look at the journal): listed unless it
    // is listed already or of another function.
    void callJournaled(const JournaledCall& call, const Clock::Moment& now);
    // A cancel closed these entries (the ids the writer updated); ids not listed are ignored.
    void entriesClosed(const QList<qint64>& ids);
    // Brings the list in line with the journal without being told what changed: takes the open calls
    // written since the last look, drops the listed entries that were closed, removed or deleted
    // (journal clearing). Calls still waiting for the journal stay. Costs one look-up per listed call.
    // Throws AppError when the database fails.
    void syncWithJournal(const Clock::Moment& now);

    // The operator takes the call off the list: handed to the removal sink (without one, marked in
    // the database directly), then removed. Throws AppError when that fails; the call stays listed.
    void dismiss(const QString& key, const QDateTime& now);

    // Once a second: levels by the waiting time and the notices due again, in list order. A repeat
    // falls every RepeatSec after the last one; a tick that comes late sends one, not the missed ones.
    QList<EventNotice> tick(const Clock::Moment& now);

    int count() const { return static_cast<int>(m_calls.size()); }
    const OpenCall& at(int row) const { return m_calls.at(row); }
    const QList<OpenCall>& calls() const { return m_calls; }
    int rowOf(qint64 id) const;
    int rowOfKey(const QString& key) const;
    int alarmCount() const;
    CallLevel levelFor(qint64 waitingSeconds) const;
    // How long the call has waited at this reading of the steady clock (never less than 0).
    static qint64 waitingMs(const OpenCall& call, qint64 elapsedMs);

private:
    void start(OpenCall& call, const Clock::Moment& now) const; // level and first repeat of a new call
    // A new call's key: base for the first call of its second, code and function in this run,
    // base-2, base-3... for the later ones, never one given before (a call, its cancel and a new call
    // within one second are two calls); earlier says how many the journal already holds.
    QString newKey(const QString& base, int earlier, const QDateTime& now);
    static QString numberedKey(const QString& base, int n);
    int journalCallsBefore(const JournaledCall& entry);
    QString addWaiting(const JournaledCall& call, qint64 ticket, const Clock::Moment& now,
                       bool mayBeInJournal);
    void insertSorted(OpenCall call);
    void removeRow(int row);
    db::Database& database();
    QList<JournaledCall> readOpenEntries(const QString& condition, const QVariant& bound);

    db::Database* m_db;
    EscalationValues m_settings;
    OpenCallsObserver* m_observer = nullptr;
    RemovalSink m_removalSink;
    QList<OpenCall> m_calls;         // oldest call first; equal times in the order they came
    qint64 m_lastSeenId = 0;         // the newest journal entry looked at
    QHash<QString, int> m_keysGiven; // base -> how many keys it gave; only bases of the last minute
};
