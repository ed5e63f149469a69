#include "core/base/DurableFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace Durable {

namespace {

std::mutex seamMutex;
std::function<bool(Step, const QString&)> failureSeam;

// True when a test wants this step to fail; errno then reads as an I/O error.
bool injected(Step step, const QString& path)
{
    std::function<bool(Step, const QString&)> seam;
    {
        std::lock_guard lock(seamMutex);
        seam = failureSeam;
    }
    if (seam && seam(step, path)) {
        errno = EIO;
        return true;
    }
    return false;
}

QByteArray nativePath(const QString& path)
{
    return QFile::encodeName(path);
}

QString systemReason()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

bool writeAll(int fd, QByteArrayView bytes)
{
    const char* data = bytes.data();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, data, size_t(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        left -= n;
    }
    return true;
}

// The mode a replacement gets: the old file's, or that of any new file.
mode_t modeFor(const QString& target)
{
    struct stat existing;
    if (::stat(nativePath(target).constData(), &existing) == 0)
        return existing.st_mode & 07777;
    // umask can only be read by setting it; no other thread of this program creates files meanwhile.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

const QString kTemporaryInfix = QStringLiteral(".partial-");

QString randomSuffix()
{
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    QString suffix;
    for (int i = 0; i < 6; ++i)
        suffix += QLatin1Char(kLetters[QRandomGenerator::global()->bounded(int(sizeof(kLetters) - 1))]);
    return suffix;
}

} // namespace

void setFailureSeam(std::function<bool(Step, const QString&)> seam)
{
    std::lock_guard lock(seamMutex);
    failureSeam = std::move(seam);
}

bool isTemporaryOf(const QString& fileName, const QString& targetFileName)
{
    static const QRegularExpression suffix(QStringLiteral("^[A-Za-z0-9]{6}$"));
    const QString prefix = targetFileName + kTemporaryInfix;
    return fileName.startsWith(prefix) && suffix.match(fileName.sliced(prefix.size())).hasMatch();
}

int removeStrayTemporaries(const QString& path)
{
    const QFileInfo target(path);
    const QDir dir = target.absoluteDir();
    int removed = 0;
    const QStringList candidates = dir.entryList(
        {target.fileName() + kTemporaryInfix + QStringLiteral("??????")}, QDir::Files | QDir::Hidden);
    for (const QString& candidate : candidates) {
        if (isTemporaryOf(candidate, target.fileName()) && QFile::remove(dir.filePath(candidate)))
            ++removed;
    }
    return removed;
}

bool syncDirectoryOf(const QString& path)
{
    if (injected(Step::SyncDirectory, path))
        return false;
    const int fd = ::open(nativePath(QFileInfo(path).absolutePath()).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

// --- Replacement ----------------------------------------------------------------------------------

Replacement::Replacement(QString target) : m_target(std::move(target))
{
    // A link is replaced where it points, so the link itself stays.
    const QFileInfo info(m_target);
    m_target = info.exists() ? info.canonicalFilePath() : info.absoluteFilePath();
}

Replacement::~Replacement()
{
    if (m_fd >= 0)
        ::close(m_fd);
    if (!m_committed && !m_temporary.isEmpty())
        ::unlink(nativePath(m_temporary).constData());
}

bool Replacement::fail(const QString& what)
{
    m_error = QStringLiteral("%1 %2: %3").arg(what, m_target, systemReason());
    return false;
}

bool Replacement::open()
{
    if (m_fd >= 0)
        return true;
    if (QFileInfo(m_target).isDir()) {
        errno = EISDIR;
        return fail(QStringLiteral("cannot replace"));
    }
    const mode_t mode = modeFor(m_target);
    for (int attempt = 0; attempt < 16; ++attempt) {
        const QString candidate = m_target + kTemporaryInfix + randomSuffix();
        if (injected(Step::CreateTemporary, candidate))
            return fail(QStringLiteral("cannot write beside"));
        m_fd = ::open(nativePath(candidate).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (m_fd >= 0) {
            m_temporary = candidate;
            // Set after creation: the umask must not take bits the old file had.
            ::fchmod(m_fd, mode);
            return true;
        }
        if (errno != EEXIST)
            return fail(QStringLiteral("cannot write beside"));
    }
    return fail(QStringLiteral("cannot write beside"));
}

bool Replacement::write(QByteArrayView bytes)
{
    if (m_fd < 0 && !open())
        return false;
    if (injected(Step::WriteTemporary, m_temporary) || !writeAll(m_fd, bytes))
        return fail(QStringLiteral("cannot write"));
    return true;
}

bool Replacement::commit()
{
    if (m_fd < 0 && !open())
        return false;
    // A writer that wrote by name wrote to this same file: the descriptor reaches its data.
    if (injected(Step::SyncTemporary, m_temporary) || ::fsync(m_fd) != 0)
        return fail(QStringLiteral("cannot flush"));
    ::close(m_fd);
    m_fd = -1;
    if (injected(Step::Rename, m_target) ||
        ::rename(nativePath(m_temporary).constData(), nativePath(m_target).constData()) != 0)
        return fail(QStringLiteral("cannot replace"));
    m_committed = true;
    if (!syncDirectoryOf(m_target))
        return fail(QStringLiteral("cannot flush the folder of"));
    return true;
}

bool replaceFile(const QString& path, QByteArrayView content, QString* error)
{
    Replacement replacement(path);
    const bool done = replacement.open() && replacement.write(content) && replacement.commit();
    if (!done && error)
        *error = replacement.errorString();
    return done;
}

// --- Records and sequence numbers ---------------------------------------------------------------

std::optional<qint64> parseSequence(QByteArrayView text)
{
    // Sixteen digits hold every number up to kMaxSequence and cannot overflow.
    if (text.isEmpty() || text.size() > 16)
        return std::nullopt;
    qint64 value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > kMaxSequence)
        return std::nullopt;
    return value;
}

QByteArray recordChecksum(QByteArrayView payloadWithTab)
{
    return QByteArray::number(qChecksum(payloadWithTab), 16).rightJustified(4, '0');
}

QByteArray recordLine(QByteArrayView payload)
{
    QByteArray line;
    line.reserve(payload.size() + 6);
    line += payload;
    line += '\t';
    line += recordChecksum(line);
    line += '\n';
    return line;
}

namespace {

enum class Soundness { Damaged, Sound, Mended };

// Whether a whole line (its end included) is a sound record, and its payload. A CR before the line
// feed is not part of any record (a record ends in its checksum): an editor or a transfer put it
// there, and the record is read as it was written.
Soundness soundRecord(QByteArrayView line, QByteArrayView* payload)
{
    if (!line.endsWith('\n'))
        return Soundness::Damaged;
    QByteArrayView body = line.first(line.size() - 1);
    const bool mended = body.endsWith('\r');
    if (mended)
        body = body.first(body.size() - 1);
    if (body.size() < 5)
        return Soundness::Damaged;
    const qsizetype tab = body.size() - 5;
    if (body.at(tab) != '\t' || body.sliced(tab + 1) != recordChecksum(body.first(tab + 1)))
        return Soundness::Damaged;
    *payload = body.first(tab);
    return mended ? Soundness::Mended : Soundness::Sound;
}

// A header line without its end.
QByteArray headerOf(QByteArrayView line)
{
    if (line.endsWith('\n'))
        line = line.first(line.size() - 1);
    if (line.endsWith('\r'))
        line = line.first(line.size() - 1);
    return line.toByteArray();
}

constexpr qsizetype kChunk = 64 * 1024;

bool preadAll(int fd, char* data, qint64 size, qint64 offset)
{
    while (size > 0) {
        const ssize_t n = ::pread(fd, data, size_t(size), off_t(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= n;
        offset += n;
    }
    return true;
}

// The offset of the last line feed in [from, before), or -1; read backwards a chunk at a time.
qint64 lastNewlineBefore(int fd, qint64 from, qint64 before, bool* readFailed)
{
    QByteArray chunk(kChunk, Qt::Uninitialized);
    while (before > from) {
        const qint64 start = std::max(from, before - kChunk);
        const qint64 size = before - start;
        if (!preadAll(fd, chunk.data(), size, start)) {
            *readFailed = true;
            return -1;
        }
        const qsizetype at = QByteArrayView(chunk.constData(), size).lastIndexOf('\n');
        if (at >= 0)
            return start + at;
        before = start;
    }
    return -1;
}

} // namespace

// --- KeptAside ------------------------------------------------------------------------------------

KeptAside::KeptAside(const QString& file) : m_path(file + QStringLiteral(".damaged")) {}

KeptAside::~KeptAside()
{
    if (m_fd >= 0) {
        // The log may be compacted next: this copy is then the only one.
        ::fdatasync(m_fd);
        ::close(m_fd);
    }
}

void KeptAside::add(QByteArrayView bytes)
{
    if (m_failed || bytes.isEmpty())
        return;
    if (m_fd < 0) {
        m_fd = ::open(nativePath(m_path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
        if (m_fd < 0) {
            m_errno = errno;
            m_failed = true;
            return;
        }
    }
    if (!writeAll(m_fd, bytes)) {
        m_errno = errno;
        m_failed = true;
        return;
    }
    m_lineOpen = !bytes.endsWith('\n');
}

void KeptAside::endLine()
{
    if (m_lineOpen)
        add("\n");
}

QString KeptAside::errorString() const
{
    return m_failed ? QStringLiteral("cannot write %1: %2")
                          .arg(m_path, QString::fromLocal8Bit(std::strerror(m_errno)))
                    : QString();
}

// --- LineReader -----------------------------------------------------------------------------------

LineReader::LineReader(QString path, qsizetype maxLine)
    : m_path(std::move(path)), m_maxLine(std::max<qsizetype>(1, maxLine))
{
}

LineReader::~LineReader()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool LineReader::open()
{
    m_fd = ::open(nativePath(m_path).constData(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0) {
        if (errno == ENOENT)
            return true;
        m_error = QStringLiteral("cannot read %1: %2").arg(m_path, systemReason());
        return false;
    }
    struct stat st;
    if (::fstat(m_fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        if (S_ISDIR(st.st_mode))
            errno = EISDIR;
        m_error = QStringLiteral("cannot read %1: %2").arg(m_path, systemReason());
        ::close(m_fd);
        m_fd = -1;
        return false;
    }
    m_exists = true;
    return true;
}

bool LineReader::fill()
{
    if (m_eof || m_fd < 0)
        return false;
    qint64 want = kChunk;
    if (m_stop >= 0)
        want = std::min(want, m_stop - m_readOffset);
    if (want <= 0) {
        m_eof = true;
        return false;
    }
    // What was handed out already is dropped first: the buffer holds one line and one chunk at most.
    m_buffer.remove(0, m_pos);
    m_pos = 0;
    const qsizetype held = m_buffer.size();
    m_buffer.resize(held + want);
    ssize_t n;
    do {
        n = ::read(m_fd, m_buffer.data() + held, size_t(want));
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        m_buffer.resize(held);
        m_error = QStringLiteral("cannot read %1: %2").arg(m_path, systemReason());
        return false;
    }
    m_buffer.resize(held + n);
    m_readOffset += n;
    if (n == 0)
        m_eof = true;
    return n > 0;
}

LineReader::Status LineReader::next(QByteArray* line, const std::function<void(QByteArrayView)>& overflow)
{
    line->clear();
    m_lineStart = m_offset;
    // A stop set after a read went past it: the bytes beyond it were never there.
    if (m_stop >= 0 && m_readOffset > m_stop) {
        const qint64 bufferStart = m_readOffset - m_buffer.size();
        m_buffer.truncate(qsizetype(std::max<qint64>(m_stop - bufferStart, m_pos)));
        m_readOffset = bufferStart + m_buffer.size();
    }
    bool tooLong = false;
    qsizetype scanned = 0; // bytes after m_pos already searched for the line's end
    const auto handOut = [&](qsizetype count) {
        if (count > 0 && overflow)
            overflow(QByteArrayView(m_buffer.constData() + m_pos, count));
        m_pos += count;
        m_offset += count;
    };
    for (;;) {
        const qsizetype newline = m_buffer.indexOf('\n', m_pos + scanned);
        if (newline >= 0) {
            const qsizetype take = newline + 1 - m_pos;
            m_lineEnded = true;
            if (tooLong || take > m_maxLine) {
                handOut(take);
                return Status::TooLong;
            }
            *line = QByteArray(m_buffer.constData() + m_pos, take);
            m_pos += take;
            m_offset += take;
            return Status::Line;
        }
        const qsizetype pending = m_buffer.size() - m_pos;
        if (tooLong || pending > m_maxLine) {
            // Beyond the bound: the bytes go on as they come, and nothing of the line is held.
            tooLong = true;
            handOut(pending);
            scanned = 0;
        } else {
            scanned = pending;
        }
        if (!fill()) {
            if (!m_error.isEmpty())
                return Status::Error;
            m_lineEnded = false;
            if (tooLong)
                return Status::TooLong;
            const qsizetype rest = m_buffer.size() - m_pos;
            if (rest == 0)
                return Status::End;
            *line = QByteArray(m_buffer.constData() + m_pos, rest);
            m_pos += rest;
            m_offset += rest;
            return Status::Line;
        }
    }
}

// --- LogReader ------------------------------------------------------------------------------------

LogReader::LogReader(QString path, QByteArray magic, qsizetype maxRecord)
    : m_path(path), m_magic(std::move(magic)), m_lines(std::move(path), std::max<qsizetype>(16, maxRecord))
{
}

LogReader::~LogReader() = default;

KeptAside& LogReader::aside()
{
    if (!m_aside)
        m_aside = std::make_unique<KeptAside>(m_path);
    return *m_aside;
}

QString LogReader::keptAside() const
{
    return m_aside && !m_aside->failed() ? m_aside->path() : QString();
}

bool LogReader::open()
{
    if (!m_lines.open()) {
        m_error = m_lines.errorString();
        return false;
    }
    if (!m_lines.exists()) {
        m_atEnd = true;
        return true;
    }
    QByteArray line;
    switch (m_lines.next(&line)) {
    case LineReader::Status::Error:
        m_error = m_lines.errorString();
        return false;
    case LineReader::Status::End:
        // An empty file: a log without its header yet.
        m_atEnd = true;
        return true;
    case LineReader::Status::TooLong:
        break;
    case LineReader::Status::Line:
        m_header = headerOf(line);
        if (m_header.startsWith(m_magic)) {
            m_cleanEnd = m_lines.offset();
            return true;
        }
        break;
    }
    m_error = QStringLiteral("%1 is not a file of this kind").arg(m_path);
    return false;
}

bool LogReader::read(qint64 max, const OnRecord& onRecord)
{
    const auto toAside = [this](QByteArrayView part) { aside().add(part); };
    QByteArray line;
    for (qint64 handed = 0; handed < max && !m_atEnd;) {
        switch (m_lines.next(&line, toAside)) {
        case LineReader::Status::End:
            m_atEnd = true;
            break;
        case LineReader::Status::Error:
            m_error = m_lines.errorString();
            return false;
        case LineReader::Status::TooLong:
            ++m_damaged;
            aside().endLine();
            if (m_lines.lineEnded())
                m_cleanEnd = m_lines.offset();
            else
                m_tornTail = true;
            break;
        case LineReader::Status::Line: {
            if (!m_lines.lineEnded()) {
                m_tornTail = true;
                ++m_damaged;
                aside().add(line);
                aside().endLine();
                break;
            }
            m_cleanEnd = m_lines.offset();
            QByteArrayView payload;
            const Soundness soundness = soundRecord(line, &payload);
            if (soundness != Soundness::Damaged && onRecord(payload)) {
                ++m_records;
                ++handed;
                if (soundness == Soundness::Mended)
                    ++m_mended;
            } else {
                ++m_damaged;
                aside().add(line);
            }
            break;
        }
        }
    }
    return true;
}

// --- AppendLog ------------------------------------------------------------------------------------

AppendLog::AppendLog(QString path, QByteArray magic, qsizetype maxRecord)
    : m_path(std::move(path)), m_magic(std::move(magic)), m_maxRecord(std::max<qsizetype>(16, maxRecord))
{
}

AppendLog::~AppendLog()
{
    close();
}

bool AppendLog::fail(const QString& what)
{
    m_error = QStringLiteral("%1 %2: %3").arg(what, m_path, systemReason());
    return false;
}

void AppendLog::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_unsynced = false;
}

bool AppendLog::read(const OnRecord& onRecord, ReadResult* result)
{
    m_cleanEnd = -1;
    ReadResult found;
    {
        LogReader reader(m_path, m_magic, m_maxRecord);
        if (!reader.open()) {
            m_error = reader.errorString();
            return false;
        }
        found.exists = reader.exists();
        found.header = reader.header();
        if (!reader.read(std::numeric_limits<qint64>::max(), onRecord)) {
            m_error = reader.errorString();
            return false;
        }
        found.records = reader.records();
        found.damaged = reader.damaged();
        found.mended = reader.mended();
        found.tornTail = reader.tornTail();
        found.keptAside = reader.keptAside();
        if (reader.keepAsideFailed()) {
            m_error = QStringLiteral("cannot keep the damaged records of %1 aside: %2")
                          .arg(m_path, reader.keepAsideError());
            return false;
        }
        if (found.tornTail)
            m_cleanEnd = reader.cleanEnd();
    }
    if (result)
        *result = found;
    return true;
}

bool AppendLog::inspectEnd(const OnRecord& accept, End* end)
{
    m_cleanEnd = -1;
    End found;
    LineReader lines(m_path, m_maxRecord);
    if (!lines.open()) {
        m_error = lines.errorString();
        return false;
    }
    if (!lines.exists()) {
        if (end)
            *end = found;
        return true;
    }
    found.exists = true;
    QByteArray line;
    const LineReader::Status status = lines.next(&line);
    if (status == LineReader::Status::Error) {
        m_error = lines.errorString();
        return false;
    }
    if (status == LineReader::Status::TooLong ||
        (status == LineReader::Status::Line && !headerOf(line).startsWith(m_magic))) {
        m_error = QStringLiteral("%1 is not a file of this kind").arg(m_path);
        return false;
    }
    found.header = headerOf(line);
    const qint64 headerEnd = lines.offset();

    const int fd = ::open(nativePath(m_path).constData(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        if (fd >= 0)
            ::close(fd);
        return fail(QStringLiteral("cannot read"));
    }
    bool readFailed = false;
    const qint64 size = st.st_size;
    found.end = size;
    if (size > headerEnd) {
        char last = '\n';
        if (!preadAll(fd, &last, 1, size - 1))
            readFailed = true;
        if (!readFailed && last != '\n') {
            // A write cut short: its bytes go aside, and the next append cuts them off.
            const qint64 newline = lastNewlineBefore(fd, headerEnd, size, &readFailed);
            const qint64 tornStart = newline < 0 ? headerEnd : newline + 1;
            KeptAside aside(m_path);
            QByteArray chunk(kChunk, Qt::Uninitialized);
            for (qint64 at = tornStart; at < size && !readFailed;) {
                const qint64 n = std::min<qint64>(kChunk, size - at);
                if (!preadAll(fd, chunk.data(), n, at))
                    readFailed = true;
                else
                    aside.add(QByteArrayView(chunk.constData(), n));
                at += n;
            }
            aside.endLine();
            found.tornTail = true;
            if (!aside.failed()) {
                found.end = tornStart;
                found.keptAside = aside.path();
                m_cleanEnd = tornStart;
            }
        }
    }
    // The last good record, searched backwards line by line; a line beyond the bound is never read.
    for (qint64 lineEnd = found.end; lineEnd > headerEnd && !readFailed;) {
        const qint64 newline = lastNewlineBefore(fd, headerEnd, lineEnd - 1, &readFailed);
        const qint64 lineStart = newline < 0 ? headerEnd : newline + 1;
        const qint64 length = lineEnd - lineStart;
        if (length <= m_maxRecord && !readFailed) {
            QByteArray bytes(length, Qt::Uninitialized);
            QByteArrayView payload;
            if (!preadAll(fd, bytes.data(), length, lineStart))
                readFailed = true;
            else if (soundRecord(bytes, &payload) != Soundness::Damaged && accept(payload)) {
                found.lastRecord = payload.toByteArray();
                break;
            }
        }
        lineEnd = lineStart;
    }
    ::close(fd);
    if (readFailed) {
        m_cleanEnd = -1;
        return fail(QStringLiteral("cannot read"));
    }
    if (end)
        *end = found;
    return true;
}

bool AppendLog::openForAppend(const QByteArray& header)
{
    if (m_fd >= 0)
        return true;
    m_fd = ::open(nativePath(m_path).constData(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (m_fd >= 0) {
        struct stat st;
        if (::fstat(m_fd, &st) != 0) {
            close();
            return fail(QStringLiteral("cannot open"));
        }
        if (st.st_size == 0) {
            // An empty file (a crash right after its creation) gets its header like a new one.
            if (injected(Step::Append, m_path) || !writeAll(m_fd, header + '\n')) {
                close();
                return fail(QStringLiteral("cannot write"));
            }
            m_unsynced = true;
        } else if (m_cleanEnd >= 0 && m_cleanEnd < st.st_size) {
            // The torn last line read before: cut off, so no new record is joined to it.
            if (injected(Step::Truncate, m_path) || ::ftruncate(m_fd, m_cleanEnd) != 0) {
                close();
                return fail(QStringLiteral("cannot cut the torn end of"));
            }
        } else if (m_cleanEnd < 0) {
            // A file not read by this object: whatever its end, a new record starts on a line of its own.
            char last = '\n';
            const int rfd = ::open(nativePath(m_path).constData(), O_RDONLY | O_CLOEXEC);
            if (rfd >= 0) {
                if (::pread(rfd, &last, 1, st.st_size - 1) != 1)
                    last = '\n';
                ::close(rfd);
            }
            if (last != '\n' && (injected(Step::Append, m_path) || !writeAll(m_fd, "\n"))) {
                close();
                return fail(QStringLiteral("cannot write"));
            }
        }
        m_cleanEnd = -1;
        return true;
    }
    if (errno != ENOENT)
        return fail(QStringLiteral("cannot open"));
    // A new log appears whole with its header, or not at all.
    Replacement fresh(m_path);
    if (!fresh.open() || !fresh.write(header + '\n') || !fresh.commit()) {
        m_error = fresh.errorString();
        return false;
    }
    m_cleanEnd = -1;
    m_fd = ::open(nativePath(m_path).constData(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (m_fd < 0)
        return fail(QStringLiteral("cannot open"));
    return true;
}

bool AppendLog::append(QByteArrayView payload, const QByteArray& header)
{
    if (payload.contains('\n')) {
        m_error = QStringLiteral("a record of %1 holds a line feed").arg(m_path);
        return false;
    }
    if (!openForAppend(header))
        return false;
    const QByteArray line = recordLine(payload);
    if (injected(Step::Append, m_path))
        return fail(QStringLiteral("cannot write"));
    // One write() for the record: in the operating system's hands once it returns.
    const ssize_t n = ::write(m_fd, line.constData(), size_t(line.size()));
    if (n != line.size()) {
        const int saved = errno;
        // A record written in part (disk full) would be joined by the next one: cut it off again.
        if (n > 0) {
            struct stat st;
            if (::fstat(m_fd, &st) == 0)
                (void)::ftruncate(m_fd, st.st_size - n);
        }
        close();
        errno = n >= 0 ? ENOSPC : saved;
        return fail(QStringLiteral("cannot write"));
    }
    m_unsynced = true;
    return true;
}

bool AppendLog::sync()
{
    if (m_fd < 0 || !m_unsynced)
        return true;
    if (injected(Step::Sync, m_path) || ::fdatasync(m_fd) != 0)
        return fail(QStringLiteral("cannot flush"));
    m_unsynced = false;
    return true;
}

int AppendLog::beginSync()
{
    if (m_fd < 0 || !m_unsynced)
        return -1;
    const int descriptor = ::fcntl(m_fd, F_DUPFD_CLOEXEC, 0);
    if (descriptor >= 0)
        m_unsynced = false;
    return descriptor;
}

bool AppendLog::finishSync(int descriptor, const QString& path)
{
    if (descriptor < 0)
        return true;
    const bool synced = !injected(Step::Sync, path) && ::fdatasync(descriptor) == 0;
    ::close(descriptor);
    return synced;
}

bool AppendLog::compact(const QByteArray& header, const QList<QByteArray>& records)
{
    Replacement replacement(m_path);
    if (!replacement.open()) {
        m_error = replacement.errorString();
        return false;
    }
    QByteArray content = header + '\n';
    for (const QByteArray& record : records) {
        if (record.contains('\n')) {
            m_error = QStringLiteral("a record of %1 holds a line feed").arg(m_path);
            return false;
        }
        content += recordLine(record);
        if (content.size() >= (1 << 20)) {
            if (!replacement.write(content)) {
                m_error = replacement.errorString();
                return false;
            }
            content.clear();
        }
    }
    if (!replacement.write(content) || !replacement.commit()) {
        m_error = replacement.errorString();
        return false;
    }
    // Appends go on in the new file.
    close();
    m_cleanEnd = -1;
    m_fd = ::open(nativePath(m_path).constData(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (m_fd < 0)
        return fail(QStringLiteral("cannot open"));
    return true;
}

bool AppendLog::remove()
{
    close();
    m_cleanEnd = -1;
    if (::unlink(nativePath(m_path).constData()) != 0) {
        if (errno == ENOENT)
            return true;
        return fail(QStringLiteral("cannot remove"));
    }
    if (!syncDirectoryOf(m_path))
        return fail(QStringLiteral("cannot flush the folder of"));
    return true;
}

// --- SequenceMark ---------------------------------------------------------------------------------

namespace {
const QByteArray kMarkMagic("HALVANE-SEQ 1 ");
} // namespace

SequenceMark::SequenceMark(QString path) : m_path(std::move(path)) {}

bool SequenceMark::load()
{
    m_exists = false;
    m_value = 0;
    m_owner.clear();
    const int fd = ::open(nativePath(m_path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return true;
        m_error = QStringLiteral("cannot read %1: %2").arg(m_path, systemReason());
        return false;
    }
    // The file is a line or two; anything much longer is not a mark.
    QByteArray bytes(512, Qt::Uninitialized);
    qsizetype held = 0;
    bool readFailed = false;
    for (;;) {
        const ssize_t n = ::read(fd, bytes.data() + held, size_t(bytes.size() - held));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            readFailed = true;
        if (n <= 0)
            break;
        held += n;
        if (held == bytes.size())
            break;
    }
    ::close(fd);
    if (readFailed) {
        m_error = QStringLiteral("cannot read %1: %2").arg(m_path, systemReason());
        return false;
    }
    bytes.truncate(held);
    const QList<QByteArray> lines = bytes.split('\n');
    std::optional<qint64> value;
    if (lines.size() == 3 && lines[2].isEmpty() && lines[0].startsWith(kMarkMagic) &&
        lines[0].size() > kMarkMagic.size() && !lines[0].contains('\r'))
        value = lines[1] == "0" ? std::optional<qint64>(0) : parseSequence(lines[1]);
    if (!value) {
        m_error = QStringLiteral("%1 holds no sequence mark").arg(m_path);
        return false;
    }
    m_exists = true;
    m_value = *value;
    m_owner = lines[0].sliced(kMarkMagic.size());
    return true;
}

bool SequenceMark::store(qint64 value, const QByteArray& owner)
{
    if (value < 0 || value > kMaxSequence || owner.isEmpty() || owner.contains('\n')) {
        m_error = QStringLiteral("no valid sequence mark for %1").arg(m_path);
        return false;
    }
    if (!replaceFile(m_path, kMarkMagic + owner + '\n' + QByteArray::number(value) + '\n', &m_error))
        return false;
    m_exists = true;
    m_value = value;
    m_owner = owner;
    return true;
}

} // namespace Durable
