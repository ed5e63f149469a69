#include "core/alerts/AlertOutbox.h"

#include <QDateTime>

#include <algorithm>
#include <limits>
#include <map>

namespace {

const QByteArray kMagic = QByteArrayLiteral("HALVANE-ALERTS 1 ");

// Writing anew pays once the file holds this much more than what still counts.
constexpr qint64 kCompactMinBytes = 1 << 20;
constexpr qint64 kCompactFactor = 4;

// The bytes a record takes in the file: payload, tab, checksum, line end.
qint64 lineBytes(qsizetype payload)
{
    return qint64(payload) + 6;
}

QByteArray messageRecord(const AlertOutbox::Message& m)
{
    return "M " + QByteArray::number(m.id) + ' ' + m.bytes;
}

} // namespace

AlertOutbox::AlertOutbox(QString path) : m_path(std::move(path)), m_log(m_path, kMagic) {}

QString AlertOutbox::pathBesideDatabase(const QString& databasePath)
{
    return databasePath + QStringLiteral(".alerts-outbox");
}

QByteArray AlertOutbox::header() const
{
    return kMagic + "next=" + QByteArray::number(m_nextId);
}

bool AlertOutbox::open()
{
    std::map<qint64, QByteArray> messages;
    qint64 highest = 0;
    Durable::AppendLog::ReadResult found;
    const bool read = m_log.read(
        [&](QByteArrayView record) {
            // A record this program cannot use is damage: kept aside, never a guess.
            if (record.size() < 3 || record[1] != ' ')
                return false;
            const QByteArrayView body = record.sliced(2);
            if (record[0] == 'M') {
                const qsizetype space = body.indexOf(' ');
                bool ok = false;
                const qint64 id = space > 0 ? body.first(space).toLongLong(&ok) : 0;
                if (!ok || id <= 0 || id == std::numeric_limits<qint64>::max())
                    return false;
                messages[id] = body.sliced(space + 1).toByteArray();
                highest = std::max(highest, id);
                return true;
            }
            if (record[0] == 'D') {
                bool ok = false;
                const qint64 id = body.toLongLong(&ok);
                if (!ok)
                    return false;
                messages.erase(id);
                return true;
            }
            if (record[0] == 'L') {
                AlertSubject subject;
                if (!AlertSubject::fromRecord(body, &subject))
                    return false;
                m_live.insert(subject.key, subject);
                return true;
            }
            if (record[0] == 'E') {
                m_live.remove(QString::fromUtf8(body));
                return true;
            }
            return false;
        },
        &found);
    if (!read) {
        m_error = m_log.errorString();
        m_memoryOnly = true;
        m_nextId = QDateTime::currentMSecsSinceEpoch() * 1000;
        return false;
    }
    m_damaged = found.damaged;
    qint64 next = found.exists ? 1 : QDateTime::currentMSecsSinceEpoch() * 1000;
    const QByteArray headerNext = found.header.mid(kMagic.size());
    if (headerNext.startsWith("next=")) {
        bool ok = false;
        const qint64 n = headerNext.mid(5).toLongLong(&ok);
        if (ok && n > 0 && n < std::numeric_limits<qint64>::max() / 2)
            next = std::max(next, n);
    }
    m_nextId = std::max(next, highest + 1);
    for (const auto& [id, bytes] : messages)
        m_pending.push_back({id, QString::number(id), bytes});
    // Start from a file that holds only what still counts.
    if (!compact()) {
        m_memoryOnly = true;
        return false;
    }
    return true;
}

void AlertOutbox::write(const QByteArray& payload)
{
    m_fileBytes += lineBytes(payload.size());
    if (m_memoryOnly)
        return;
    if (!m_log.append(payload, header()))
        m_error = m_log.errorString();
}

QString AlertOutbox::append(const std::function<QByteArray(const QString& controlId)>& build)
{
    Message m;
    m.id = m_nextId++;
    m.controlId = QString::number(m.id);
    m.bytes = build(m.controlId);
    const QByteArray record = messageRecord(m);
    m_liveBytes += lineBytes(record.size());
    write(record);
    m_pending.push_back(std::move(m));
    return m_pending.back().controlId;
}

void AlertOutbox::done(const QString& controlId)
{
    if (m_pending.empty() || m_pending.front().controlId != controlId)
        return;
    m_liveBytes -= lineBytes(messageRecord(m_pending.front()).size());
    write("D " + controlId.toLatin1());
    m_pending.pop_front();
}

void AlertOutbox::started(const AlertSubject& subject)
{
    const QByteArray record = "L " + subject.toRecord();
    m_liveBytes += lineBytes(record.size());
    m_live.insert(subject.key, subject);
    write(record);
}

void AlertOutbox::ended(const QString& key)
{
    const auto it = m_live.constFind(key);
    if (it == m_live.cend())
        return;
    m_liveBytes -= lineBytes(("L " + it->toRecord()).size());
    m_live.erase(it);
    write("E " + key.toUtf8());
}

bool AlertOutbox::sync()
{
    if (m_memoryOnly)
        return false;
    if (!m_log.sync()) {
        m_error = m_log.errorString();
        return false;
    }
    return true;
}

void AlertOutbox::compactIfWorthIt()
{
    if (!m_memoryOnly && m_fileBytes > std::max(kCompactMinBytes, kCompactFactor * m_liveBytes))
        compact();
}

bool AlertOutbox::compact()
{
    QList<QByteArray> records;
    records.reserve(m_live.size() + qsizetype(m_pending.size()));
    qint64 bytes = 0;
    for (const AlertSubject& subject : std::as_const(m_live))
        records << "L " + subject.toRecord();
    for (const Message& m : m_pending)
        records << messageRecord(m);
    for (const QByteArray& r : std::as_const(records))
        bytes += lineBytes(r.size());
    if (!m_log.compact(header(), records)) {
        m_error = m_log.errorString();
        return false;
    }
    m_fileBytes = bytes;
    m_liveBytes = bytes;
    return true;
}
