#pragma once

#include "central/EventInbox.h"
#include "central/PgConnection.h"
#include "core/base/DurableFile.h"

#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <thread>

// The waits of the store.
struct StoreTiming
{
    int firstRetryMs = 1000;
    int maxRetryMs = 30000;
    Pg::ConnectionTiming connection;
};

// Writes what the inbox holds into PostgreSQL on a thread of its own: the events in batches, one
// transaction per batch (events, the repeats with other content, the reactions of the cancels stored,
// the newest state of the antennas, then per ward in the order of their ids the ward's row, locked
// first, its gaps, its status and its open calls). Only after the commit are the events dropped from
// the inbox's log.
//
// An event whose key (ward, seq) is stored already does nothing when it is the same event again (the
// broker delivers at least once); with other content (a ward set up anew that numbers again from
// where an earlier installation did) it is kept in event_conflicts beside the stored one, and the
// first of a ward in this run is said in one line. A range of seq found missing is one line per ward
// and batch; a jump of more than kNewNumbering is a ward numbering anew (from its clock, after a
// reinstall), said in one line and not counted as a loss.
//
// While the database cannot be reached it retries with a delay growing from 1 to 30 seconds and
// reports each change of its state as one line; the events wait in the inbox. A statement that
// takes longer than its timeout counts as a lost connection. A batch the database refuses for its
// data is written event by event, and an event refused alone is kept in the rejects log beside the
// program and reported, so that it never holds the others back.
class EventStore
{
public:
    using Report = std::function<void(const QString& line)>;

    using Timing = StoreTiming;

    // A jump of a ward's seq wider than this is a numbering begun anew, not a loss: no ward loses a
    // hundred million events (three years of one a second), and a ward that lost its numbering
    // starts from its clock's microseconds, at least that much above an earlier start made more than
    // 100 s before.
    static constexpr qint64 kNewNumbering = 100000000;

    struct SeqRange
    {
        qint64 first;
        qint64 last;
    };
    struct WardRange
    {
        QString ward;
        SeqRange range;
    };
    struct Conflicts
    {
        qint64 count = 0;
        qint64 firstSeq = 0;
    };

    // What one commit stored, for whoever shows the house live.
    struct Committed
    {
        QList<WardEvent> inserted; // the events new to the table, in (ward, seq) order
        QStringList changedWards;  // wards whose row, gaps, antennas, status, open calls or conflicts changed
        QList<WardRange> gaps;     // ranges of seq found missing by this commit
        QList<WardRange> renumbered;        // (the highest seq before, the first of the new numbering)
        QMap<QString, Conflicts> conflicts; // new rows of event_conflicts by ward
    };
    using Observer = std::function<void(const Committed& committed)>;

    static constexpr qsizetype kMaxBatch = 2000;

    EventStore(QString connInfo, EventInbox& inbox, QString rejectsPath, Report report, Timing timing = {});
    ~EventStore();
    EventStore(const EventStore&) = delete;
    EventStore& operator=(const EventStore&) = delete;

    void setObserver(Observer observer) { m_observer = std::move(observer); } // before start()
    bool start(QString* why);
    // Ends the thread; a statement on its way is given up (the events stay in the inbox's log).
    void stop();

    // The batch's work on an open connection, for the tests: commits and returns what it stored.
    // Throws Pg::Error.
    static Committed writeBatch(Pg::Connection& connection, const QList<WardEvent>& events,
                                const QMap<QString, EventInbox::WardState>& states);

private:
    enum class State { Idle, Connected, Unreachable, Refused };

    void run();
    bool connect();
    // Writes one batch (and the ward states); false when the connection is lost and the thread must
    // wait and reconnect.
    bool writeOnce();
    void writeAlone(const QList<WardEvent>& events);
    void waitMs(int ms);
    void setState(State state, const QString& line);
    // The lines a commit gives: gaps, new numberings, the first conflict of a ward.
    void reportCommitted(const Committed& committed);

    const QString m_connInfo;
    const QString m_where;
    EventInbox& m_inbox;
    Durable::AppendLog m_rejects;
    const Report m_report;
    const Timing m_timing;
    Observer m_observer;
    Pg::Connection m_connection;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    int m_wake[2] = {-1, -1};
    State m_state = State::Idle;
    QSet<QString> m_conflictsSaid; // wards whose conflicts were said in this run
};
