#pragma once

#include "central/WardMessage.h"
#include "core/base/DurableFile.h"

#include <QList>
#include <QMap>
#include <QString>

#include <condition_variable>
#include <deque>
#include <mutex>

// Everything received from the broker that the database has yet to take:
//
// - the events, each appended to a durable log beside the program before the broker is told it has
//   it (the receiver syncs the log, then sends the acknowledgements), and dropped from the log once
//   the database has committed it. What a killed program leaves in the log is read at the next
//   start and written first; the table's key makes a second write of an event do nothing.
// - the newest status and open list of each ward, in memory only: both are retained at the broker
//   and come again with every subscription.
//
// Bound: at most `bound` events wait (100,000 by default: with events of the usual size, about
// 145 MB in memory and 21 MB in the log, measured by bench_central fullinbox). The receiver stops taking
// events from the broker while it is full (they wait there, in this program's session) and goes on once half
// of them are written.
//
// Thread safety: every member may be called from any thread; the receiver appends, the writer takes.
class EventInbox
{
public:
    static constexpr qsizetype kDefaultBound = 100000;
    static inline const QByteArray kHeader = QByteArrayLiteral("HALVANE-CENTRAL-INBOX 1");

    struct WardState
    {
        std::optional<QString> status; // "online" or "offline"
        std::optional<QList<WardOpenCall>> open;
    };

    explicit EventInbox(QString logPath, qsizetype bound = kDefaultBound);

    // Reads what an earlier run left, and removes the temporary of a compaction its end cut short
    // ("<log>.partial-XXXXXX"). False with errorString() when the log exists and cannot be read;
    // *recovered and *damaged tell what was found.
    bool open(qint64* recovered, qint64* damaged);

    // Receiver: logs the event (one write) and queues it. False with errorString() when the log
    // cannot take it: the event is then not queued, and must not be acknowledged.
    bool append(const WardEvent& event);
    // Receiver: flushes what was appended to the disk; false with errorString() on failure.
    bool sync();
    void setStatus(const QString& ward, const QString& status);
    void setOpen(const QString& ward, const QList<WardOpenCall>& calls);
    bool full() const;
    bool halfEmpty() const;

    // Writer: the oldest waiting events, at most max of them, left in place until committed().
    QList<WardEvent> peek(qsizetype max) const;
    // Writer: the first n events of the last peek() are committed.
    void committed(qsizetype n);
    // Writer: the ward states changed since the last call, taken out; give them back with
    // restoreStates() when they could not be written.
    QMap<QString, WardState> takeStates();
    void restoreStates(const QMap<QString, WardState>& states);

    // Writer: waits up to ms for anything to write, or for wake().
    void waitForWork(int ms);
    void wake();

    qsizetype pending() const;
    qsizetype bound() const { return m_bound; }
    QString errorString() const;

private:
    void compactLocked();

    const qsizetype m_bound;
    mutable std::mutex m_mutex;
    std::condition_variable m_work;
    bool m_woken = false;
    Durable::AppendLog m_log;
    std::deque<WardEvent> m_events;
    QMap<QString, WardState> m_states;
    qint64 m_doneInLog = 0; // records in the log already committed
    QString m_error;
};
