#pragma once

#include "core/calls/EscalationSettings.h"
#include "core/journal/TimeFormat.h"

#include <QDateTime>
#include <QList>
#include <QString>

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

struct OpenCall : JournaledCall
{
    CallLevel level = CallLevel::Normal;
    // The call's time and the moment its notice is due again (0 while repeats are off), in
    // milliseconds since the epoch: the tick compares hundreds of them every second, and local
    // date-times cost a time-zone look-up per comparison.
    qint64 timeMs = 0;
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
    // After a tick at now: the waiting times moved on; the rows listed also changed their level.
    virtual void callsTicked(const QDateTime& now, const QList<int>& levelChangedRows) = 0;
};

// The calls that wait for their cancel, longest waiting first: the journal entries of the calling
// functions "8", "4" and "b" still open, taken from the journal at start and then kept up to date by
// the journal writer. Each call has a level by its waiting time and a notice that falls due again
// every RepeatSec while it stays open. The operator can take a call off the list; the journal entry
// stays as it is, and the removal is kept in the table dismissedcalls of the same database, so that
// it survives a restart and goes wherever the journal goes.
//
// Lives on the user-interface thread, like the database connection. "Now" is always passed in.
class OpenCalls
{
public:
    // The database may be null for a list that is only fed by hand; dismissing then fails.
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

    const EscalationValues& settings() const { return m_settings; }
    void setObserver(OpenCallsObserver* observer) { m_observer = observer; }

    // Start: the open entries of the calling functions from the last WindowHours hours, less the
    // dismissed ones, with their real waiting times. The first repeat of each falls RepeatSec after
    // now, when the display stations have had time to say hello again. Also forgets the dismissals
    // of entries that are closed or gone. Throws AppError when the database fails.
    void rebuild(const QDateTime& now);

    // The journal writer wrote a call. An entry already listed, or of another function, is ignored.
    void callJournaled(const JournaledCall& call, const QDateTime& now);
    // A cancel closed these entries (the ids the writer updated); ids not listed are ignored.
    void entriesClosed(const QList<qint64>& ids);
    // Brings the list in line with the journal without being told what changed: takes the open calls
    // written since the last look, drops the listed entries that were closed or deleted (journal
    // clearing). Costs one look-up per listed call. Throws AppError when the database fails.
    void syncWithJournal(const QDateTime& now);

    // The operator takes the call off the list: remembered first, then removed. Throws AppError when
    // the database fails or is missing; the call stays listed then.
    void dismiss(qint64 id);

    // Once a second: levels by the waiting time and the notices due again, in list order. A repeat
    // falls every RepeatSec after the last one; a tick that comes late sends one, not the missed ones.
    QList<EventNotice> tick(const QDateTime& now);

    int count() const { return static_cast<int>(m_calls.size()); }
    const OpenCall& at(int row) const { return m_calls.at(row); }
    const QList<OpenCall>& calls() const { return m_calls; }
    int rowOf(qint64 id) const;
    int alarmCount() const;
    CallLevel levelFor(qint64 waitingSeconds) const;

private:
    static qint64 waitingSeconds(const OpenCall& call, qint64 nowMs);
    void start(OpenCall& call, const QDateTime& now) const; // level and first repeat of a new call
    void insertSorted(OpenCall call);
    void removeRow(int row);
    void ensureDismissedTable();
    db::Database& database();

    db::Database* m_db;
    EscalationValues m_settings;
    OpenCallsObserver* m_observer = nullptr;
    QList<OpenCall> m_calls; // oldest call first; equal times in journal order
    qint64 m_lastSeenId = 0; // the newest journal entry looked at
};
