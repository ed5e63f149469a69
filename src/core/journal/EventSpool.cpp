#include "core/journal/EventSpool.h"

#include <QByteArrayList>
#include <QDir>
#include <QFileInfo>
#include <QUuid>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

const QByteArray kMagic("HALVANE-SPOOL 1 ");

QByteArray escaped(const QString& text)
{
    QByteArray out;
    const QByteArray bytes = text.toUtf8();
    out.reserve(bytes.size());
    for (const char c : bytes) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        default:
            out += c;
        }
    }
    return out;
}

bool unescaped(const QByteArray& field, QString& text)
{
    QByteArray out;
    out.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        const char c = field.at(i);
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i == field.size())
            return false;
        switch (field.at(i)) {
        case '\\':
            out += '\\';
            break;
        case 't':
            out += '\t';
            break;
        case 'r':
            out += '\r';
            break;
        case 'n':
            out += '\n';
            break;
        default:
            return false;
        }
    }
    text = QString::fromUtf8(out);
    return true;
}

QByteArray checksumOf(QByteArrayView bytes)
{
    return QByteArray::number(qChecksum(bytes), 16).rightJustified(4, '0');
}

bool syncFile(QFile& file)
{
    if (!file.flush())
        return false;
#ifdef Q_OS_WIN
    return _commit(file.handle()) == 0;
#else
    return ::fsync(file.handle()) == 0;
#endif
}

// A new or renamed file is only durable once its directory is.
void syncDirectoryOf(const QString& path)
{
#ifndef Q_OS_WIN
    const int fd = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(), O_RDONLY);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
#else
    Q_UNUSED(path);
#endif
}

} // namespace

EventSpool::EventSpool(QString path) : m_path(std::move(path)) {}

EventSpool::~EventSpool() = default;

QByteArray EventSpool::encodeEvent(const JournalEvent& event)
{
    QByteArray line = QByteArray::number(event.seq);
    line += '\t';
    line += event.kind == JournalEvent::Kind::Close ? 'C' : 'E';
    line += '\t';
    line += escaped(event.time.toString(Qt::ISODateWithMs));
    for (const QString* field : {&event.code, &event.f, &event.names.P, &event.names.G, &event.names.S}) {
        line += '\t';
        line += escaped(*field);
    }
    line += '\t';
    line += checksumOf(line);
    line += '\n';
    return line;
}

bool EventSpool::decodeEvent(const QByteArray& line, JournalEvent& event)
{
    if (!line.endsWith('\n'))
        return false;
    const QByteArray body = line.first(line.size() - 1);
    const qsizetype lastTab = body.lastIndexOf('\t');
    if (lastTab < 0 || body.mid(lastTab + 1) != checksumOf(body.first(lastTab + 1)))
        return false;
    const QByteArrayList fields = body.first(lastTab).split('\t');
    if (fields.size() != 8)
        return false;
    bool ok = false;
    JournalEvent decoded;
    decoded.seq = fields.at(0).toLongLong(&ok);
    if (!ok || decoded.seq < 1)
        return false;
    if (fields.at(1) == "C")
        decoded.kind = JournalEvent::Kind::Close;
    else if (fields.at(1) != "E")
        return false;
    QString time;
    if (!unescaped(fields.at(2), time))
        return false;
    decoded.time = QDateTime::fromString(time, Qt::ISODateWithMs);
    if (!decoded.time.isValid())
        return false;
    for (auto [index, field] : {std::pair{3, &decoded.code},
                                {4, &decoded.f},
                                {5, &decoded.names.P},
                                {6, &decoded.names.G},
                                {7, &decoded.names.S}}) {
        if (!unescaped(fields.at(index), *field))
            return false;
    }
    event = decoded;
    return true;
}

bool EventSpool::load(QList<JournalEvent>& events, int* damaged, QString* errorText)
{
    events.clear();
    if (damaged)
        *damaged = 0;
    if (m_path.isEmpty() || !QFileInfo::exists(m_path))
        return true;
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (errorText)
            *errorText = file.errorString();
        return false;
    }
    const QByteArray data = file.readAll();
    file.close();

    const qsizetype headerEnd = data.indexOf('\n');
    if (headerEnd < 0 || !data.startsWith(kMagic) || headerEnd == kMagic.size()) {
        if (errorText)
            *errorText = QStringLiteral("not a spool file");
        return false;
    }
    const QString token = QString::fromUtf8(data.mid(kMagic.size(), headerEnd - kMagic.size()));

    int bad = 0;
    qint64 lastSeq = 0;
    qsizetype start = headerEnd + 1;
    while (start < data.size()) {
        const qsizetype newline = data.indexOf('\n', start);
        const qsizetype end = newline < 0 ? data.size() : newline + 1;
        JournalEvent event;
        // A sequence number that does not grow marks a line out of place; it is damage as well.
        if (decodeEvent(data.mid(start, end - start), event) && event.seq > lastSeq) {
            events.append(event);
            lastSeq = event.seq;
        } else {
            ++bad;
        }
        start = end;
    }
    if (damaged)
        *damaged = bad;

    m_token = token;
    m_nextSeq = lastSeq + 1;
    m_file.reset();
    // New events must not be appended to a cut-off line: the damage goes before anything else.
    if (bad > 0)
        return rewrite(events);
    return openForAppend();
}

bool EventSpool::openForAppend()
{
    if (m_file)
        return true;
    auto file = std::make_unique<QFile>(m_path);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    m_file = std::move(file);
    return true;
}

bool EventSpool::create(const QList<JournalEvent>& events, const QString& token)
{
    // Written whole beside the final name and renamed into place, so that the file is never seen
    // without its header.
    m_file.reset();
    const QString temporary = m_path + QStringLiteral(".new");
    {
        QFile file(temporary);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        QByteArray data = kMagic + token.toUtf8() + '\n';
        for (const JournalEvent& event : events)
            data += encodeEvent(event);
        if (file.write(data) != data.size() || !syncFile(file)) {
            file.remove();
            return false;
        }
    }
    QFile::remove(m_path);
    if (!QFile::rename(temporary, m_path)) {
        QFile::remove(temporary);
        return false;
    }
    syncDirectoryOf(m_path);
    m_token = token;
    return openForAppend();
}

bool EventSpool::append(JournalEvent& event)
{
    event.seq = m_nextSeq++;
    if (m_path.isEmpty())
        return true;
    if (!m_file) {
        const QString token =
            m_token.isEmpty() ? QUuid::createUuid().toString(QUuid::WithoutBraces) : m_token;
        if (!create({}, token))
            return false;
    }
    const QByteArray line = encodeEvent(event);
    // Unbuffered as far as this process goes: after a kill the line is in the operating system's hands.
    return m_file->write(line) == line.size() && m_file->flush();
}

bool EventSpool::sync()
{
    if (m_path.isEmpty() || !m_file)
        return true;
    return syncFile(*m_file);
}

bool EventSpool::rewrite(const QList<JournalEvent>& events)
{
    if (m_path.isEmpty())
        return true;
    if (events.isEmpty()) {
        discard();
        return true;
    }
    return create(events, m_token.isEmpty() ? QUuid::createUuid().toString(QUuid::WithoutBraces) : m_token);
}

void EventSpool::discard()
{
    m_file.reset();
    m_token.clear();
    m_nextSeq = 1;
    if (!m_path.isEmpty())
        QFile::remove(m_path);
}
