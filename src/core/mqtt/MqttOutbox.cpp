#include "core/mqtt/MqttOutbox.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <unistd.h>

namespace {

// Rewriting pays once the file holds this much more than the waiting events.
constexpr qint64 kRewriteMinBytes = 1 << 20;
constexpr qint64 kRewriteFactor = 4;

QByteArray eventLine(const QByteArray& json)
{
    return "E " + json + '\n';
}

QByteArray numberLine(char kind, qint64 n)
{
    return QByteArray(1, kind) + ' ' + QByteArray::number(n) + '\n';
}

QString systemError(const QString& what, const QString& path)
{
    return QStringLiteral("%1 %2: %3").arg(what, path, QString::fromLocal8Bit(std::strerror(errno)));
}

int openForAppend(const QString& path)
{
    return ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

} // namespace

MqttOutbox::MqttOutbox(QString path, qsizetype capacity)
    : m_path(std::move(path)), m_capacity(std::max<qsizetype>(1, capacity))
{
}

MqttOutbox::~MqttOutbox()
{
    if (m_fd >= 0) {
        ::fdatasync(m_fd);
        ::close(m_fd);
    }
}

QString MqttOutbox::pathBesideDatabase(const QString& databasePath)
{
    const QFileInfo info(databasePath);
    return info.dir().filePath(info.completeBaseName() + QStringLiteral(".mqtt-outbox"));
}

bool MqttOutbox::open()
{
    std::lock_guard lock(m_mutex);
    QFile file(m_path);
    std::map<qint64, QByteArray> events;
    qint64 floor = 1;
    if (file.exists()) {
        if (!file.open(QIODevice::ReadOnly)) {
            m_lastError = QStringLiteral("cannot read %1: %2").arg(m_path, file.errorString());
            return false;
        }
        const QByteArray all = file.readAll();
        file.close();
        qsizetype start = 0;
        for (;;) {
            const qsizetype end = all.indexOf('\n', start);
            if (end < 0)
                break; // nothing, or a record cut short
            const QByteArray line = all.mid(start, end - start);
            start = end + 1;
            if (line.size() < 3 || line[1] != ' ')
                continue;
            const QByteArray body = line.mid(2);
            bool ok = false;
            if (line[0] == 'E') {
                const QJsonDocument doc = QJsonDocument::fromJson(body);
                const qint64 seq = doc.object().value(QStringLiteral("seq")).toInteger();
                if (doc.isObject() && seq > 0) {
                    events[seq] = body;
                    floor = std::max(floor, seq + 1);
                }
            } else if (line[0] == 'N') {
                const qint64 n = body.toLongLong(&ok);
                if (ok)
                    floor = std::max(floor, n);
            } else if (line[0] == 'A') {
                const qint64 n = body.toLongLong(&ok);
                if (ok) {
                    m_doneThrough = std::max(m_doneThrough, n);
                    floor = std::max(floor, n + 1);
                }
            }
        }
    }
    m_nextSeq = floor;
    for (auto it = events.upper_bound(m_doneThrough); it != events.end(); ++it) {
        m_waiting.push_back({it->first, it->second, false});
        m_liveBytes += eventLine(it->second).size();
    }
    while (qsizetype(m_waiting.size()) > m_capacity)
        popFrontLocked();

    // Start from a file that holds only what still waits.
    const QString temporary = m_path + QStringLiteral(".tmp");
    QByteArray content = numberLine('N', m_nextSeq);
    for (const Waiting& w : m_waiting)
        content += eventLine(w.json);
    const int fd =
        ::open(QFile::encodeName(temporary).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        m_lastError = systemError(QStringLiteral("cannot write"), temporary);
        return false;
    }
    const bool written = writeAll(fd, content) && ::fdatasync(fd) == 0;
    ::close(fd);
    if (!written ||
        ::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(m_path).constData()) != 0) {
        m_lastError = systemError(QStringLiteral("cannot write"), m_path);
        ::unlink(QFile::encodeName(temporary).constData());
        return false;
    }
    m_fd = openForAppend(m_path);
    if (m_fd < 0) {
        m_lastError = systemError(QStringLiteral("cannot open"), m_path);
        return false;
    }
    m_fileBytes = content.size();
    m_doneThrough = m_waiting.empty() ? m_nextSeq - 1 : m_waiting.front().seq - 1;
    return true;
}

qint64 MqttOutbox::append(MqttEvent event)
{
    std::lock_guard lock(m_mutex);
    event.seq = m_nextSeq++;
    const QByteArray json = event.toJson();
    const QByteArray line = eventLine(json);
    if (qsizetype(m_waiting.size()) >= m_capacity)
        popFrontLocked();
    m_waiting.push_back({event.seq, json, false});
    m_liveBytes += line.size();
    writeLocked(line);
    return event.seq;
}

std::optional<MqttOutbox::Entry> MqttOutbox::nextAfter(qint64 seq) const
{
    std::lock_guard lock(m_mutex);
    auto it = std::upper_bound(m_waiting.begin(), m_waiting.end(), seq,
                               [](qint64 s, const Waiting& w) { return s < w.seq; });
    for (; it != m_waiting.end(); ++it)
        if (!it->acked)
            return Entry{it->seq, it->json};
    return std::nullopt;
}

void MqttOutbox::acknowledge(qint64 seq)
{
    std::lock_guard lock(m_mutex);
    auto it = std::lower_bound(m_waiting.begin(), m_waiting.end(), seq,
                               [](const Waiting& w, qint64 s) { return w.seq < s; });
    if (it == m_waiting.end() || it->seq != seq)
        return; // dropped meanwhile, or acknowledged twice
    it->acked = true;
    qint64 through = 0;
    while (!m_waiting.empty() && m_waiting.front().acked) {
        through = m_waiting.front().seq;
        m_liveBytes -= eventLine(m_waiting.front().json).size();
        m_waiting.pop_front();
    }
    if (through > m_doneThrough) {
        m_doneThrough = through;
        writeLocked(numberLine('A', through));
    }
}

void MqttOutbox::popFrontLocked()
{
    const Waiting& front = m_waiting.front();
    m_liveBytes -= eventLine(front.json).size();
    m_doneThrough = front.seq;
    writeLocked(numberLine('A', front.seq));
    m_waiting.pop_front();
    ++m_dropped;
}

void MqttOutbox::writeLocked(const QByteArray& bytes)
{
    if (m_fd < 0)
        return;
    if (!writeAll(m_fd, bytes)) {
        m_lastError = systemError(QStringLiteral("cannot write"), m_path);
        return;
    }
    m_fileBytes += bytes.size();
    m_unsynced = true;
}

bool MqttOutbox::writeAll(int fd, const QByteArray& bytes)
{
    const char* data = bytes.constData();
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

void MqttOutbox::sync()
{
    int fd = -1;
    bool rewrite = false;
    {
        std::lock_guard lock(m_mutex);
        if (m_unsynced && m_fd >= 0)
            fd = m_fd;
        m_unsynced = false;
        rewrite = m_fd >= 0 && m_fileBytes > std::max(kRewriteMinBytes, kRewriteFactor * m_liveBytes);
    }
    // Only the thread that calls sync() ever replaces the descriptor, so it stays valid here.
    if (fd >= 0)
        ::fdatasync(fd);
    if (rewrite)
        compact();
}

void MqttOutbox::compact()
{
    // The bulk is written without the lock, so that append() never waits for it; what is appended
    // meanwhile goes to the old file and is copied over under the lock at the end.
    std::deque<Waiting> snapshot;
    qint64 next = 0;
    {
        std::lock_guard lock(m_mutex);
        snapshot = m_waiting;
        next = m_nextSeq;
    }
    const QString temporary = m_path + QStringLiteral(".tmp");
    const QByteArray tmpName = QFile::encodeName(temporary);
    const int fd = ::open(tmpName.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    QByteArray content = numberLine('N', next);
    for (const Waiting& w : snapshot)
        content += eventLine(w.json);
    bool ok = writeAll(fd, content) && ::fdatasync(fd) == 0;

    std::lock_guard lock(m_mutex);
    if (ok) {
        QByteArray extra;
        for (const Waiting& w : m_waiting)
            if (w.seq >= next)
                extra += eventLine(w.json);
        extra += numberLine('A', m_doneThrough);
        ok = writeAll(fd, extra) && ::fdatasync(fd) == 0;
        content += extra;
    }
    ::close(fd);
    if (!ok || ::rename(tmpName.constData(), QFile::encodeName(m_path).constData()) != 0) {
        ::unlink(tmpName.constData());
        return; // the old file stays in use
    }
    const int appendFd = openForAppend(m_path);
    if (appendFd < 0) {
        m_lastError = systemError(QStringLiteral("cannot open"), m_path);
        return;
    }
    ::close(m_fd);
    m_fd = appendFd;
    m_fileBytes = content.size();
}

qsizetype MqttOutbox::pendingCount() const
{
    std::lock_guard lock(m_mutex);
    return qsizetype(m_waiting.size());
}

qint64 MqttOutbox::droppedCount() const
{
    std::lock_guard lock(m_mutex);
    return m_dropped;
}

qint64 MqttOutbox::nextSeq() const
{
    std::lock_guard lock(m_mutex);
    return m_nextSeq;
}

QString MqttOutbox::lastError() const
{
    std::lock_guard lock(m_mutex);
    return m_lastError;
}
