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

// --- AppendLog ------------------------------------------------------------------------------------

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

namespace {

// The payload of a whole, sound record line (its end included), or nothing.
bool soundRecord(QByteArrayView line, QByteArrayView* payload)
{
    if (line.size() < 6 || line.back() != '\n')
        return false;
    const QByteArrayView body = line.first(line.size() - 1);
    const qsizetype tab = body.size() - 5;
    if (body.at(tab) != '\t' || body.sliced(tab + 1) != recordChecksum(body.first(tab + 1)))
        return false;
    *payload = body.first(tab);
    return true;
}

} // namespace

bool AppendLog::read(const std::function<void(QByteArrayView payload)>& onRecord, ReadResult* result)
{
    ReadResult found;
    m_cleanEnd = -1;
    const int fd = ::open(nativePath(m_path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            if (result)
                *result = found;
            return true;
        }
        return fail(QStringLiteral("cannot read"));
    }
    found.exists = true;

    QFile aside(m_path + QStringLiteral(".damaged"));
    bool asideFailed = false;
    const auto keepAside = [&](QByteArrayView bytes) {
        if (asideFailed)
            return;
        if (!aside.isOpen() && !aside.open(QIODevice::WriteOnly | QIODevice::Append)) {
            asideFailed = true;
            return;
        }
        if (aside.write(bytes.data(), bytes.size()) != bytes.size())
            asideFailed = true;
    };

    constexpr qsizetype kChunk = 64 * 1024;
    QByteArray buffer;    // the unread part of the current line
    qint64 offset = 0;    // file offset of the next byte to take
    qint64 lineStart = 0; // file offset of the current line's first byte
    bool inLongLine = false;
    bool headerRead = false;
    bool readFailed = false;
    bool foreign = false; // the header is not this log's: nothing further is read
    QByteArray chunk(kChunk, Qt::Uninitialized);
    const auto finishLine = [&](QByteArrayView line) {
        // line: a whole line with its end, or the file's last bytes without one.
        if (!headerRead) {
            headerRead = true;
            found.header =
                line.endsWith('\n') ? line.first(line.size() - 1).toByteArray() : line.toByteArray();
            foreign = !found.header.startsWith(m_magic);
            return;
        }
        QByteArrayView payload;
        if (line.size() <= m_maxRecord && soundRecord(line, &payload)) {
            ++found.records;
            onRecord(payload);
        } else {
            ++found.damaged;
            keepAside(line);
            if (!line.endsWith('\n'))
                keepAside("\n");
        }
    };
    for (;;) {
        const ssize_t n = ::read(fd, chunk.data(), size_t(kChunk));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            readFailed = true;
            break;
        }
        if (n == 0)
            break;
        QByteArrayView data(chunk.constData(), n);
        while (!data.isEmpty() && !foreign) {
            const qsizetype newline = data.indexOf('\n');
            const qsizetype take = newline < 0 ? data.size() : newline + 1;
            if (inLongLine) {
                // The rest of a line beyond the bound: copied aside as it comes, never held whole.
                keepAside(data.first(take));
                if (newline >= 0) {
                    inLongLine = false;
                    lineStart = offset + take;
                }
            } else {
                buffer += data.first(take);
                if (newline >= 0) {
                    finishLine(buffer);
                    buffer.clear();
                    lineStart = offset + take;
                } else if (buffer.size() > m_maxRecord && headerRead) {
                    ++found.damaged;
                    keepAside(buffer);
                    buffer.clear();
                    inLongLine = true;
                }
            }
            offset += take;
            data = data.sliced(take);
        }
        if (foreign || (!headerRead && buffer.size() > m_maxRecord))
            break; // not a log of ours
    }
    ::close(fd);
    if (readFailed)
        return fail(QStringLiteral("cannot read"));
    if (!buffer.isEmpty()) {
        if (!headerRead) {
            headerRead = true;
            found.header = buffer;
            buffer.clear();
        } else {
            found.tornTail = true;
            finishLine(buffer);
            m_cleanEnd = lineStart;
        }
    }
    if (inLongLine) {
        keepAside("\n");
        found.tornTail = true;
        m_cleanEnd = lineStart;
    }
    if (!found.header.startsWith(m_magic)) {
        errno = EINVAL;
        m_cleanEnd = -1;
        m_error = QStringLiteral("%1 is not a file of this kind").arg(m_path);
        return false;
    }
    if (found.damaged > 0) {
        aside.close();
        if (asideFailed) {
            m_cleanEnd = -1;
            m_error = QStringLiteral("cannot keep the damaged records of %1 aside in %2: %3")
                          .arg(m_path, aside.fileName(), aside.errorString());
            return false;
        }
        found.keptAside = aside.fileName();
    }
    if (result)
        *result = found;
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
    if (::unlink(nativePath(m_path).constData()) != 0 && errno != ENOENT)
        return fail(QStringLiteral("cannot remove"));
    return syncDirectoryOf(m_path);
}

} // namespace Durable
