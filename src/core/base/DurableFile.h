#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <functional>

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
// - An append-only log (AppendLog): a header line naming the file's kind, then one record per line,
//   "<payload>\t<checksum>\n". Appends are single write() calls, so a killed process leaves every
//   record whose append returned; sync() flushes them to the disk, once per batch. A torn or corrupt
//   record (a last line without its end, a checksum that does not match, a line beyond the bound) is
//   skipped and counted when the log is read, and copied beside the log ("<log>.damaged") so that a
//   person can still read it. Compaction writes a new file with the records still wanted and renames
//   it over the old one.
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
// error would (nothing of the step is done). An empty function ends the seam.
void setFailureSeam(std::function<bool(Step step, const QString& path)> seam);

// The temporary files the replace of this path leaves when the process ends in the middle of it:
// their exact name pattern only. Returns how many were removed.
int removeStrayTemporaries(const QString& path);
// Whether a file name (no directory) is a temporary of the target's file name.
bool isTemporaryOf(const QString& fileName, const QString& targetFileName);

// Flushes a directory entry (after a create, rename or remove of a file in it).
bool syncDirectoryOf(const QString& path);

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
        qint64 damaged = 0;    // records skipped as torn, corrupt or too long
        QString keptAside;     // where the damaged lines were copied ("" when there were none)
        bool tornTail = false; // the last line had no end: cut off before the next append
    };

    // magic: the beginning of the header line that names the file's kind ("HALVANE-SPOOL 1 ").
    AppendLog(QString path, QByteArray magic, qsizetype maxRecord = kDefaultMaxRecord);
    ~AppendLog();
    AppendLog(const AppendLog&) = delete;
    AppendLog& operator=(const AppendLog&) = delete;

    const QString& path() const { return m_path; }
    QString errorString() const { return m_error; }

    // Reads the log record by record, never whole, and hands every good payload to onRecord, in file
    // order. Damaged lines are counted and appended to "<log>.damaged". False with errorString(), the
    // file untouched, when the file exists but cannot be read, does not begin with the magic, or its
    // damaged lines cannot be kept aside (then nothing may compact it away).
    bool read(const std::function<void(QByteArrayView payload)>& onRecord, ReadResult* result);

    // Appends one record, creating the file with this header line first when there is none (header:
    // the whole first line without its end, beginning with the magic). One write() for the record.
    // False with errorString() when the file cannot be written; nothing half written stays behind
    // for a later append to join.
    bool append(QByteArrayView payload, const QByteArray& header);
    // Flushes what was appended to the disk (no-op when nothing was).
    bool sync();
    bool isOpen() const { return m_fd >= 0; }

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

} // namespace Durable
