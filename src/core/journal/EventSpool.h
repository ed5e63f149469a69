#pragma once

#include "core/journal/PlaceCache.h"

#include <QDateTime>
#include <QFile>
#include <QList>
#include <QString>

#include <memory>

// One journal event waiting to be written: a new entry (a call) or the closing of a code's open
// entries (a cancel), with the moment the dispatcher handled the press.
struct JournalEvent
{
    enum class Kind { Entry, Close };

    qint64 seq = 0; // position in its spool file, from 1
    Kind kind = Kind::Entry;
    QDateTime time;
    QString code;
    QString f;
    ButsNames names; // entries only
    // The names the notice to the display stations carried; held in memory only, and named again
    // from the places for events read back from the spool.
    ButsNames noticeNames;
};

// The append-only file beside the database that mirrors the journal writer's queue, so that events
// accepted while the journal could not take them survive a crash or a power cut. It exists only
// while events wait: the writer removes it once they are all in the journal.
//
// The file is UTF-8 text. The first line names the file: "HALVANE-SPOOL 1 <token>", the token
// being unique to this file, so the journal can record which file's events it already holds. Each
// further line is one event: sequence number, kind, time, code, function, the three names, and a
// checksum of the line, separated by tabs; backslash, tab, carriage return and line feed inside a
// field are written as \\, \t, \r and \n. A line cut short by a crash (no line end, or a checksum
// that does not match) is left out when the file is read back, and cut off the file before anything
// is appended to it again.
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

    // What a previous run left behind, in the order it was accepted. Damaged lines are counted in
    // *damaged. Returns false, with the file left untouched, when the file is there but cannot be
    // read or is not a spool file.
    bool load(QList<JournalEvent>& events, int* damaged = nullptr, QString* errorText = nullptr);

    // Numbers the event and appends it (creating the file with a new token first). The bytes are
    // in the operating system's hands when this returns, so the event survives the end of the
    // process; sync() makes them survive a power cut. Returns false when the file cannot be written.
    bool append(JournalEvent& event);
    bool sync();
    // Replaces the file's events by these (already numbered) ones, keeping the token.
    bool rewrite(const QList<JournalEvent>& events);
    // Removes the file: its events are all in the journal.
    void discard();

    // The line of one event and back, exposed for the tests of damaged files.
    static QByteArray encodeEvent(const JournalEvent& event);
    static bool decodeEvent(const QByteArray& line, JournalEvent& event);

private:
    bool openForAppend();
    bool create(const QList<JournalEvent>& events, const QString& token);

    QString m_path;
    QString m_token;
    qint64 m_nextSeq = 1;
    std::unique_ptr<QFile> m_file;
};
