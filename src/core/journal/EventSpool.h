#pragma once

#include "core/base/DurableFile.h"
#include "core/journal/PlaceCache.h"

#include <QByteArrayView>
#include <QDateTime>
#include <QList>
#include <QString>

#include <memory>

// One journal event waiting to be written: a new entry (a call) or the closing of a code's open
// entries (a cancel), with the moment the dispatcher handled the press. While the places cannot be
// read from the database, a press whose code the places in hand do not know is kept as it came (a
// place button's or a KB unit's, its code and function): what it means is decided once the places
// can be read, and it is announced then.
struct JournalEvent
{
    enum class Kind { Entry, Close, PlacePress, UnitPress };

    qint64 seq = 0; // position in its spool file, from 1
    Kind kind = Kind::Entry;
    QDateTime time;
    QString code;
    QString f;
    ButsNames names; // entries only
    // The names the notice to the display stations carried; held in memory only, and named again
    // from the places for events read back from the spool.
    ButsNames noticeNames;
    // The event is in the spool file; false while the file cannot be written and the event is held
    // in memory only.
    bool spooled = false;
};

// The append-only file beside the database that mirrors the journal writer's queue, so that events
// accepted while the journal could not take them survive a crash or a power cut. It exists only
// while events wait: the writer removes it once they are all in the journal.
//
// The file is an append-only log of the durable-file module (one record a line, each with its
// checksum), in UTF-8. The header line names the file: "HALVANE-SPOOL 1 <token>", the token being
// unique to this file, so the journal can record which file's events it already holds. Each record
// is one event: sequence number, kind (E entry, C cancel, P and K a place's or a KB unit's press kept
// as it came), time, code, function and the three names, separated by tabs;
// backslash, tab, carriage return and line feed inside a field are written as \\, \t, \r and \n.
//
// What an earlier run left is never read whole: open() looks at the header and the end of the file,
// and the events are then read a part at a time, so that a big spool neither holds up the start nor
// fills the memory. A line that cannot be read (cut short by a crash, a checksum that does not
// match, a number out of range or out of order) is left out, counted and kept aside beside the file
// ("<spool>.damaged"); a line whose end was turned into CR LF is read as it was written.
class EventSpool
{
public:
    // An empty path keeps nothing on disk: every call succeeds and nothing survives the process.
    explicit EventSpool(QString path);
    ~EventSpool();
    EventSpool(const EventSpool&) = delete;
    EventSpool& operator=(const EventSpool&) = delete;

    const QString& path() const { return m_path; }
    // The token of the file in use; empty when there is none.
    const QString& token() const { return m_token; }

    // Takes up what a previous run left, without reading its events yet: the header, and the end of
    // the file (the last event's number, so that new events follow it; a line cut short at the very
    // end is kept aside and cut off before anything is appended). Removes the temporary files a
    // rewrite cut short left beside it. False, with the file left as it is, when the file is there but
    // cannot be read or is not a spool file.
    bool open(QString* errorText = nullptr);
    // Reads up to max further events of the previous run, in the order it accepted them. False when
    // the file cannot be read further: the rest of it then stays for the next start, and
    // backlogDone() is true from then on.
    bool readBacklog(qsizetype max, QList<JournalEvent>& events, QString* errorText = nullptr);
    // True once every event of the previous run has been read (or there was none).
    bool backlogDone() const;

    // What reading the previous run's events found so far: lines left out as damaged (a torn last
    // line included), where they were copied, lines whose CR LF end was mended, whether the last line
    // was cut short, and whether a damaged line could not be copied aside (the spool is then the only
    // copy and must be kept as it is).
    qint64 damagedLines() const;
    qint64 mendedLines() const;
    QString keptAside() const;
    bool tornTail() const { return m_tornAtOpen; }
    bool keepAsideFailed() const;

    // Gives the event the next number of this file.
    void number(JournalEvent& event);
    // Appends a numbered event, creating the file with a new token first when there is none. The
    // bytes are in the operating system's hands when this returns, so the event survives the end of
    // the process; sync() makes them survive a power cut. Returns false when the file cannot be
    // written; nothing of the event stays in it then.
    bool append(const JournalEvent& event);
    bool sync();
    // Replaces the file's events by these (already numbered) ones, keeping the token, in one
    // whole-file replace: a crash at any moment leaves the old file or the new one.
    bool rewrite(const QList<JournalEvent>& events);
    // Removes the file: its events are all in the journal.
    bool discard();
    QString errorString() const { return m_error; }

    // The record of one event and back, exposed for the tests of damaged files.
    static QByteArray encodeEvent(const JournalEvent& event);
    static bool decodeEvent(QByteArrayView record, JournalEvent& event);

private:
    QByteArray header() const;

    QString m_path;
    QString m_token;
    qint64 m_nextSeq = 1;
    Durable::AppendLog m_log;
    std::unique_ptr<Durable::LogReader> m_backlog;
    qint64 m_backlogFloor = 0;   // events of the previous run have lower numbers
    qint64 m_backlogLastSeq = 0; // the last one read
    bool m_tornAtOpen = false;
    QString m_tornKeptAside;
    bool m_backlogAbandoned = false;
    QString m_error;
};
