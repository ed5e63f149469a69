#pragma once

#include "central/EventInbox.h"
#include "central/PgConnection.h"
#include "core/base/DurableFile.h"

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
// transaction per batch (events, the reactions of the cancels, the newest state of the antennas,
// then per ward in the order of their ids the ward's row, its gaps, its status and its open calls), a
// repeated event doing nothing by the key (ward, seq). Only after the commit are the events dropped from the
// inbox's log.
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

    // What one commit stored, for whoever shows the house live.
    struct Committed
    {
        QList<WardEvent> inserted; // the events new to the table, in (ward, seq) order
        QStringList changedWards;  // wards whose row, gaps, antennas, status or open calls changed
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
};
