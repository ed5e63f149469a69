#pragma once

#include "core/base/DurableFile.h"
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
// The file is an append-only log of the durable-file module: a header line
// "HALVANE-MQTT-OUTBOX 1 <token>", then one record a line, each with its checksum:
//   "N <n>"       the next sequence number is at least n (written when the file is rewritten)
//   "E <json>"    an event, its JSON exactly as published, "seq" included
//   "A <n>"       every event up to seq n is done with (acknowledged, or dropped when full)
// A file written before the records had checksums (the same lines without header and checksums) is
// taken up as well and rewritten in this form. The file is never read whole: records are read one
// at a time, and a line beyond the module's bound is damage. A record that cannot be read (cut short,
// a checksum that does not match, a number out of range, an "A" beyond every number given) is left
// out and kept aside in "<outbox>.damaged". At opening, and whenever the file has grown to several
// times what is still waiting, it is rewritten whole ("N" and the waiting events) and renamed over
// the old one; a crash at any moment leaves either the old or the new file whole.
//
// Sequence numbers grow by one per event and are never handed out twice. Their high-water mark is
// kept apart from the outbox, in "<outbox>.seq" (a Durable::SequenceMark naming the outbox's token),
// recorded kReserveBlock numbers ahead; a number is handed out only once it is below that mark and
// its "E" record is in the file. While either cannot be written (a full disk, the outbox a
// directory), events wait in memory without a number, in order, and problem() says why; retry()
// tries again and numbers them the moment it works. At the next opening the numbers go on from the
// outbox's own records when it is the file the mark names, and from above the mark otherwise (an
// outbox emptied, removed or replaced): the numbers after a crash may then jump, never repeat.
// Without a mark (a first start, a new disk, a reinstall under the same topic) nothing tells how far
// an earlier installation went, so the numbers start from the clock: the microseconds since 1970
// (about 1.7 * 10^15 in 2025), above every number a ward numbering from 1 ever reaches and above
// every number an earlier start from the clock gave, as long as no ward gives a million numbers a
// second and the clock is not set back past that start. They stay below 2^52, well inside what JSON
// carries exactly and a bigint holds.
//
// Bound: at most capacity events wait (50,000 by default: about 15 MB, more than a day of a busy
// ward). When one more is appended, the oldest waiting event is dropped and counted; the consumer
// sees the gap in seq, and the journal still holds the event.
//
// Thread safety: every member may be called from any thread. append() is meant for the thread that
// makes the events and costs one write() to the page cache (and, once per kReserveBlock events when
// sync() has not recorded numbers ahead in time, a replace of the mark file); open(), sync() and
// retry() are meant for the thread that talks to the broker, and read and write files without
// holding up append().
class MqttOutbox
{
public:
    static constexpr qsizetype kDefaultCapacity = 50000;
    // How many numbers the mark is recorded ahead of use.
    static constexpr qint64 kReserveBlock = 1000;
    // The highest first number taken from the clock (a clock beyond the year 2112 gives this one),
    // half of the largest number, so the numbers after it never run out.
    static constexpr qint64 kMaxFreshStart = Durable::kMaxSequence / 2;

    // The first number of a ward without a mark: the clock's microseconds since 1970.
    static qint64 freshStart();

    struct Entry
    {
        qint64 seq = 0;
        QByteArray json;
    };

    explicit MqttOutbox(QString path, qsizetype capacity = kDefaultCapacity);
    ~MqttOutbox();
    MqttOutbox(const MqttOutbox&) = delete;
    MqttOutbox& operator=(const MqttOutbox&) = delete;

    // Reads what an earlier run left, rewrites the file with only the waiting events, records the
    // mark and keeps the file open for appending. False (with lastError() and problem()) when the
    // file cannot be read or written: events then wait in memory without numbers until retry()
    // succeeds.
    bool open();
    // After a failed open() or write: tries again (reading the file again when it could never be
    // read). True once events are numbered and recorded again.
    bool retry();

    // Gives the event the next sequence number, stores it and returns the number; 0 when it must wait
    // in memory for the outbox (see above).
    qint64 append(MqttEvent event);

    // The first waiting event with a seq above the given one that is not yet acknowledged.
    std::optional<Entry> nextAfter(qint64 seq) const;

    // The broker has the event. Events leave the file in order: one acknowledged ahead of an
    // unacknowledged one waits for it (and would be sent again after a restart).
    void acknowledge(qint64 seq);

    // Flushes appended records to the disk, records numbers ahead, and rewrites the file when it has
    // grown.
    void sync();

    qsizetype pendingCount() const; // waiting for the broker, numbered or not
    qsizetype heldCount() const;    // waiting in memory without a number
    qint64 droppedCount() const;
    qint64 nextSeq() const;
    const QString& path() const { return m_path; }
    QString markPath() const { return m_path + QStringLiteral(".seq"); }
    QString lastError() const;
    // "" while events are numbered and recorded; otherwise why they wait in memory.
    QString problem() const;

private:
    struct Waiting
    {
        qint64 seq;
        QByteArray json;
        bool acked;
    };
    struct Loaded;

    bool readFile(Loaded& loaded, QString* error) const;
    // Rewrites the file with the waiting events (written without the lock), then records numbers
    // ahead and numbers the held events.
    bool rewrite();
    qint64 numberLocked(MqttEvent& event);
    void flushHeldLocked();
    void holdLocked(MqttEvent event);
    bool reserveLocked(qint64 through);
    bool appendLocked(const QByteArray& record);
    void failLocked(const QString& error);
    void popFrontLocked();
    QByteArray header() const;

    const QString m_path;
    const qsizetype m_capacity;

    mutable std::mutex m_mutex;
    Durable::AppendLog m_log;
    Durable::SequenceMark m_mark;
    QByteArray m_token;
    bool m_loaded = false;   // the file was read (or found missing)
    bool m_writable = false; // the file holds the waiting events and takes appends
    std::deque<Waiting> m_waiting;
    std::deque<MqttEvent> m_held; // waiting for a number
    qint64 m_nextSeq = 1;
    qint64 m_reserved = 0;    // numbers up to this one are recorded in the mark
    qint64 m_doneThrough = 0; // highest seq written in an "A" record
    qint64 m_dropped = 0;
    qint64 m_fileBytes = 0;
    qint64 m_liveBytes = 0; // bytes of the "E" records still waiting
    QString m_lastError;
    QString m_problem;
};
