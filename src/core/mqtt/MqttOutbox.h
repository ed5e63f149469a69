#pragma once

#include "core/mqtt/MqttEvent.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <deque>
#include <mutex>
#include <optional>

// The events that wait for the broker's acknowledgement, in a small file of their own beside the
// database, so that neither a lost broker nor a killed server loses them.
//
// The file is text, one record a line, each ending in "\n":
//   "N <n>"       the next sequence number is at least n (written when the file is rewritten)
//   "E <json>"    an event, its JSON exactly as published, "seq" included
//   "A <n>"       every event up to seq n is done with (acknowledged, or dropped when full)
// Records are only ever appended; an append is one write() call, so a killed process leaves every
// record whose append returned. A last line without its "\n" (a write cut short by a power loss)
// and lines that do not parse are skipped. When the file has grown to several times what is still
// waiting, it is rewritten to a temporary file ("N" line and the waiting events), synced and renamed
// over the old one; a crash at any moment leaves either the old or the new file whole.
//
// Sequence numbers grow by one per appended event and never repeat while the file exists, also
// after every event has been acknowledged: the "N" line and the records carry the highest one.
//
// Bound: at most capacity events wait (50,000 by default: about 15 MB, more than a day of a busy
// ward). When one more is appended, the oldest waiting event is dropped and counted; the consumer
// sees the gap in seq, and the journal still holds the event.
//
// Thread safety: every member may be called from any thread. append() is meant for the thread that
// makes the events and costs one write() to the page cache; sync() (fdatasync and rewriting) is
// meant for the thread that talks to the broker.
class MqttOutbox
{
public:
    static constexpr qsizetype kDefaultCapacity = 50000;

    struct Entry
    {
        qint64 seq = 0;
        QByteArray json;
    };

    explicit MqttOutbox(QString path, qsizetype capacity = kDefaultCapacity);
    ~MqttOutbox();
    MqttOutbox(const MqttOutbox&) = delete;
    MqttOutbox& operator=(const MqttOutbox&) = delete;

    // orv_med.db -> orv_med.mqtt-outbox, in the same directory.
    static QString pathBesideDatabase(const QString& databasePath);

    // Reads what an earlier run left, rewrites the file with only the waiting events and keeps it
    // open for appending. False (with lastError()) when the file cannot be written: the outbox then
    // keeps its events in memory only, and numbers them from where the file, if readable, left off.
    bool open();

    // Gives the event the next sequence number, stores it and returns the number.
    qint64 append(MqttEvent event);

    // The first waiting event with a seq above the given one that is not yet acknowledged.
    std::optional<Entry> nextAfter(qint64 seq) const;

    // The broker has the event. Events leave the file in order: one acknowledged ahead of an
    // unacknowledged one waits for it (and would be sent again after a restart).
    void acknowledge(qint64 seq);

    // Flushes appended records to the disk and rewrites the file when it has grown.
    void sync();

    qsizetype pendingCount() const;
    qint64 droppedCount() const;
    qint64 nextSeq() const;
    const QString& path() const { return m_path; }
    QString lastError() const;

private:
    struct Waiting
    {
        qint64 seq;
        QByteArray json;
        bool acked;
    };

    void writeLocked(const QByteArray& bytes);
    void popFrontLocked();
    void compact();
    bool writeAll(int fd, const QByteArray& bytes);

    const QString m_path;
    const qsizetype m_capacity;

    mutable std::mutex m_mutex;
    int m_fd = -1;
    std::deque<Waiting> m_waiting;
    qint64 m_nextSeq = 1;
    qint64 m_doneThrough = 0; // highest seq written in an "A" record
    qint64 m_dropped = 0;
    qint64 m_fileBytes = 0;
    qint64 m_liveBytes = 0; // bytes of the "E" records still waiting
    bool m_unsynced = false;
    QString m_lastError;
};
