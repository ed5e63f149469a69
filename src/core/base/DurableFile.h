#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

// The two ways this program keeps a file safe across a crash or a power cut. Everything that must
// survive (the settings file, the journal's spool, the outboxes of the broker and the alert manager,
// the workbooks) is written through one of them:
//
// - A whole-file replace (Replacement, replaceFile): the new content goes to a temporary file beside
//   the target, is flushed to the disk, takes the target's name in one rename, and the directory is
//   flushed. A reader sees the old file or the new one, never a mix, and a failure at any step leaves
//   the old file as it was. The temporary's name is the target's name, ".partial-" and six random
//   letters or digits; removeStrayTemporaries() removes exactly such names and nothing a person
//   named.
//
// - An append-only log (AppendLog, read a part at a time with LogReader): a header line naming the
//   file's kind, then one record per line, "<payload>\t<checksum>\n". Appends are single write()
//   calls, so a killed process leaves every record whose append returned; sync() flushes them to the
//   disk, once per batch. A torn or corrupt record (a last line without its end, a checksum that does
//   not match, a line beyond the bound, a record its reader refuses) is skipped and counted when the
//   log is read, and copied beside the log ("<log>.damaged") so that a person can still read it. A
//   line whose end an editor or a file transfer turned into CR LF is read as it was written. No more
//   than one line, and never more than the bound, is held in memory while reading. Compaction writes
//   a new file with the records still wanted and renames it over the old one.
//
// A sequence that must never hand out a number twice (the broker's seq) keeps its high-water mark in
// a small file of its own (SequenceMark), apart from the log that carries the numbers.
//
// Every step that touches the disk passes a failure seam, so tests can fail any of them as a full disk
// or a crash would.
namespace Durable {

// The steps a test can make fail.
enum class Step {
    CreateTemporary, // the temporary file of a replace or a compaction
    WriteTemporary,
    SyncTemporary,
    Rename,
    SyncDirectory,
    Append, // a record appended to a log (also the header of a new log)
    Sync,   // a log flushed to the disk
    Truncate,
};

// Tests only: called before each step with the file concerned; true makes the step fail as an I/O
// error would (nothing of the step is done). An empty function ends the seam. A seam that ends the
// process instead shows what a crash at that step leaves behind.
void setFailureSeam(std::function<bool(Step step, const QString& path)> seam);

// The temporary files the replace of this path leaves when the process ends in the middle of it:
// their exact name pattern only. Returns how many were removed.
int removeStrayTemporaries(const QString& path);
// Whether a file name (no directory) is a temporary of the target's file name.
bool isTemporaryOf(const QString& fileName, const QString& targetFileName);

// Flushes a directory entry (after a create, rename or remove of a file in it).
bool syncDirectoryOf(const QString& path);

// The largest sequence number these files hold: the largest integer a JSON reader keeps exactly.
constexpr qint64 kMaxSequence = (qint64(1) << 53) - 1;
// A sequence number as these files write it: decimal digits only, from 1 to kMaxSequence. Anything
// else (a sign, a blank, a number out of that range) is no number: a record holding it is damaged.
std::optional<qint64> parseSequence(QByteArrayView text);

// A whole-file replace in steps, for writers that write the content themselves, by name
// (temporaryPath()) or through write(). Until commit() succeeds the target is untouched; the
// destructor removes an uncommitted temporary.
class Replacement
{
public:
    explicit Replacement(QString target);
    ~Replacement();
    Replacement(const Replacement&) = delete;
    Replacement& operator=(const Replacement&) = delete;

    // Creates the temporary beside the target. It gets the target's mode when the target exists, and
    // otherwise the mode of any new file (0666 less the umask). False with errorString() when it
    // cannot be made (the folder missing or not writable, the target a directory).
    bool open();
    const QString& temporaryPath() const { return m_temporary; }
    bool write(QByteArrayView bytes);
    // Flushes the temporary, renames it over the target and flushes the directory. False with
    // errorString() at the first step that fails; the target is then the old one (or, if only the
    // directory flush failed, already the new one: the rename is done, its durability unknown).
    bool commit();
    const QString& target() const { return m_target; }
    QString errorString() const { return m_error; }

private:
    bool fail(const QString& what);

    QString m_target;
    QString m_temporary;
    int m_fd = -1;
    bool m_committed = false;
    QString m_error;
};

// The whole replace in one call. False with *error set when the file could not be replaced.
bool replaceFile(const QString& path, QByteArrayView content, QString* error = nullptr);

// The checksum of one record as it stands in the file: CRC-16 of the payload with its tab, in four
// lower-case hexadecimal digits.
QByteArray recordChecksum(QByteArrayView payloadWithTab);
// "<payload>\t<checksum>\n". The payload must not hold a line feed.
QByteArray recordLine(QByteArrayView payload);

// Lines of a file that cannot be read, copied to "<file>.damaged" for a person to look at: appended,
// so what earlier runs kept aside stays.
class KeptAside
{
public:
    explicit KeptAside(const QString& file);
    ~KeptAside();
    KeptAside(const KeptAside&) = delete;
    KeptAside& operator=(const KeptAside&) = delete;

    // A whole line, or a part of one (more parts follow; the last one ends it with endLine()).
    void add(QByteArrayView bytes);
    // Ends the line with "\n" unless the bytes added so far end with one.
    void endLine();
    const QString& path() const { return m_path; }
    // True once a copy could not be made: the lines concerned exist only in the file they came from.
    bool failed() const { return m_failed; }
    QString errorString() const;

private:
    QString m_path;
    int m_fd = -1;
    bool m_failed = false;
    bool m_lineOpen = false;
    int m_errno = 0;
};

// A text file read one line at a time, in chunks: at most maxLine bytes of a line are held in memory.
class LineReader
{
public:
    LineReader(QString path, qsizetype maxLine);
    ~LineReader();
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // True when the file could be opened, or is missing (exists() is then false). False with
    // errorString() otherwise (a directory, no permission).
    bool open();
    bool exists() const { return m_exists; }
    // No byte at or beyond this offset is read: the end of what an earlier run wrote, say.
    void stopAt(qint64 end) { m_stop = end; }

    enum class Status { Line, TooLong, End, Error };
    // Line: the next line in *line, with its "\n", or without one when it is the last bytes before
    // the end (a line cut short). TooLong: the next line was longer than maxLine; its bytes went to
    // overflow as they were read (first part included) and none is held. End, or Error with
    // errorString().
    Status next(QByteArray* line, const std::function<void(QByteArrayView)>& overflow = {});
    // Whether the line last returned ended with "\n".
    bool lineEnded() const { return m_lineEnded; }
    // The offset of the line last returned, and of the first byte not yet returned.
    qint64 lineStart() const { return m_lineStart; }
    qint64 offset() const { return m_offset; }
    QString errorString() const { return m_error; }

private:
    bool fill();

    QString m_path;
    qsizetype m_maxLine;
    int m_fd = -1;
    bool m_exists = false;
    qint64 m_stop = -1;
    qint64 m_readOffset = 0; // file offset of the buffer's end
    QByteArray m_buffer;
    qsizetype m_pos = 0;
    bool m_eof = false;
    qint64 m_offset = 0;
    qint64 m_lineStart = 0;
    bool m_lineEnded = true;
    QString m_error;
};

// Hands a record to its reader, which answers whether it can use it: false counts it as damaged.
using OnRecord = std::function<bool(QByteArrayView payload)>;

// An append-only log read a part at a time (see the top of this file), for logs too big to take up
// in one go: a caller reads a part, works through it, and reads the next.
class LogReader
{
public:
    LogReader(QString path, QByteArray magic, qsizetype maxRecord);
    ~LogReader();
    LogReader(const LogReader&) = delete;
    LogReader& operator=(const LogReader&) = delete;

    // Opens the log and reads its header line. True with exists() false when there is no file.
    // False with errorString() when it cannot be read or does not begin with the magic; the file is
    // left as it is.
    bool open();
    bool exists() const { return m_lines.exists(); }
    // The header line without its end (a CR before the "\n" dropped as well).
    const QByteArray& header() const { return m_header; }
    // Reading ends at this offset, not at the end of the file.
    void stopAt(qint64 end) { m_lines.stopAt(end); }

    // Hands up to max further good records to onRecord, in file order; damaged lines are counted and
    // kept aside as they are met. False with errorString() when the file cannot be read further.
    bool read(qint64 max, const OnRecord& onRecord);
    bool atEnd() const { return m_atEnd; }

    qint64 records() const { return m_records; }
    qint64 damaged() const { return m_damaged; }
    // Records read from a line whose end had become CR LF.
    qint64 mended() const { return m_mended; }
    // The last line had no end (a write cut short).
    bool tornTail() const { return m_tornTail; }
    // Where damaged lines were copied ("" when there were none).
    QString keptAside() const;
    // True when a damaged line could not be copied aside: the log is then its only copy.
    bool keepAsideFailed() const { return m_aside && m_aside->failed(); }
    QString keepAsideError() const { return m_aside ? m_aside->errorString() : QString(); }
    // Where the last whole line read ends.
    qint64 cleanEnd() const { return m_cleanEnd; }
    QString errorString() const { return m_error; }

private:
    KeptAside& aside();

    QString m_path;
    QByteArray m_magic;
    LineReader m_lines;
    QByteArray m_header;
    bool m_atEnd = false;
    qint64 m_records = 0;
    qint64 m_damaged = 0;
    qint64 m_mended = 0;
    bool m_tornTail = false;
    qint64 m_cleanEnd = 0;
    std::unique_ptr<KeptAside> m_aside;
    QString m_error;
};

class AppendLog
{
public:
    // The default bound of one record: 1 MiB. A longer line is damage.
    static constexpr qsizetype kDefaultMaxRecord = 1 << 20;

    // What reading the log found.
    struct ReadResult
    {
        bool exists = false;   // false: no file (nothing else is set)
        QByteArray header;     // the first line, without its end
        qint64 records = 0;    // good records handed over
        qint64 damaged = 0;    // records skipped as torn, corrupt, too long or refused
        qint64 mended = 0;     // good records whose line end had become CR LF
        QString keptAside;     // where the damaged lines were copied ("" when there were none)
        bool tornTail = false; // the last line had no end: cut off before the next append
    };

    // What the end of the log holds, for appending to it without reading it whole.
    struct End
    {
        bool exists = false;
        QByteArray header;
        // The payload of the last good record that the check accepted; none when there is none.
        std::optional<QByteArray> lastRecord;
        // Where the whole lines end: the backlog an earlier run left lies between the header and it.
        qint64 end = 0;
        bool tornTail = false; // a last line without its end: kept aside and cut off
        QString keptAside;     // where it was copied ("" when there was none)
    };

    // magic: the beginning of the header line that names the file's kind ("HALVANE-SPOOL 1 ").
    AppendLog(QString path, QByteArray magic, qsizetype maxRecord = kDefaultMaxRecord);
    ~AppendLog();
    AppendLog(const AppendLog&) = delete;
    AppendLog& operator=(const AppendLog&) = delete;

    const QString& path() const { return m_path; }
    qsizetype maxRecord() const { return m_maxRecord; }
    QString errorString() const { return m_error; }

    // Reads the whole log record by record (through LogReader) and hands every good payload to
    // onRecord, in file order. False with errorString(), the file untouched, when the file exists but
    // cannot be read, does not begin with the magic, or its damaged lines cannot be kept aside (then
    // nothing may compact it away).
    bool read(const OnRecord& onRecord, ReadResult* result);

    // Looks only at the end of the log: its header, the last good record the check accepts (searched
    // backwards from the end), and a torn last line, which is kept aside and cut off before the next
    // append. The records before are left for a LogReader stopped at end. False with errorString()
    // as read() is.
    bool inspectEnd(const OnRecord& accept, End* end);

    // Appends one record, creating the file with this header line first when there is none (header:
    // the whole first line without its end, beginning with the magic). One write() for the record.
    // False with errorString() when the file cannot be written; nothing half written stays behind
    // for a later append to join.
    bool append(QByteArrayView payload, const QByteArray& header);
    // Flushes what was appended to the disk (no-op when nothing was).
    bool sync();
    bool isOpen() const { return m_fd >= 0; }
    // A flush done on another thread than the appends, for a log the caller guards with a lock:
    // beginSync() (under the lock) hands over a descriptor of its own for what was appended so far,
    // or -1 when nothing was; finishSync() (without the lock) flushes it and closes it.
    int beginSync();
    static bool finishSync(int descriptor, const QString& path);

    // Replaces the log by one holding the header and these records, through a whole-file replace;
    // later appends go to the new file. An empty list still leaves the header.
    bool compact(const QByteArray& header, const QList<QByteArray>& records);
    // Removes the log (its records are all done with) and flushes the directory.
    bool remove();
    // Closes the file without flushing it; the next append opens it again.
    void close();

private:
    bool openForAppend(const QByteArray& header);
    bool fail(const QString& what);

    QString m_path;
    QByteArray m_magic;
    qsizetype m_maxRecord;
    int m_fd = -1;
    bool m_unsynced = false;
    qint64 m_cleanEnd = -1; // after a read with a torn tail: where the last whole record ends
    QString m_error;
};

// The high-water mark of a sequence whose numbers must never be handed out twice, in a small file
// of its own: "HALVANE-SEQ 1 <owner>\n<number>\n", replaced whole. The number is the highest that
// has been, or may have been, handed out; owner names the log the numbers went to, so that a reader
// can tell whether that log still holds them all.
class SequenceMark
{
public:
    explicit SequenceMark(QString path);

    const QString& path() const { return m_path; }
    // Reads the file. True with exists() false when there is none. False with errorString() when it
    // is there but cannot be read or holds no valid mark; it is then left as it is.
    bool load();
    bool exists() const { return m_exists; }
    qint64 value() const { return m_value; }
    const QByteArray& owner() const { return m_owner; }
    // Records the mark (0 to kMaxSequence) in one whole-file replace; until it returns true no number
    // above the old mark may be handed out.
    bool store(qint64 value, const QByteArray& owner);
    QString errorString() const { return m_error; }

private:
    QString m_path;
    bool m_exists = false;
    qint64 m_value = 0;
    QByteArray m_owner;
    QString m_error;
};

} // namespace Durable
