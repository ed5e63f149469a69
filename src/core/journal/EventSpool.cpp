#include "core/journal/EventSpool.h"

#include "core/journal/RecordFields.h"

#include <QByteArrayList>
#include <QUuid>

namespace {

const QByteArray kMagic("HALVANE-SPOOL 1 ");

} // namespace

EventSpool::EventSpool(QString path) : m_path(std::move(path)), m_log(m_path, kMagic) {}

EventSpool::~EventSpool() = default;

QByteArray EventSpool::header() const
{
    return kMagic + m_token.toUtf8();
}

QByteArray EventSpool::encodeEvent(const JournalEvent& event)
{
    QByteArray record = QByteArray::number(event.seq);
    record += '\t';
    switch (event.kind) {
    case JournalEvent::Kind::Entry:
        record += 'E';
        break;
    case JournalEvent::Kind::Close:
        record += 'C';
        break;
    case JournalEvent::Kind::PlacePress:
        record += 'P';
        break;
    case JournalEvent::Kind::UnitPress:
        record += 'K';
        break;
    }
    record += '\t';
    record += RecordFields::escaped(event.time.toString(Qt::ISODateWithMs));
    for (const QString* field : {&event.code, &event.f, &event.names.P, &event.names.G, &event.names.S}) {
        record += '\t';
        record += RecordFields::escaped(*field);
    }
    return record;
}

bool EventSpool::decodeEvent(QByteArrayView record, JournalEvent& event)
{
    const QByteArrayList fields = record.toByteArray().split('\t');
    if (fields.size() != 8)
        return false;
    JournalEvent decoded;
    // The number is read as untrusted: anything but a plain number in range is damage.
    const std::optional<qint64> seq = Durable::parseSequence(fields.at(0));
    if (!seq)
        return false;
    decoded.seq = *seq;
    if (fields.at(1) == "C")
        decoded.kind = JournalEvent::Kind::Close;
    else if (fields.at(1) == "P")
        decoded.kind = JournalEvent::Kind::PlacePress;
    else if (fields.at(1) == "K")
        decoded.kind = JournalEvent::Kind::UnitPress;
    else if (fields.at(1) != "E")
        return false;
    QString time;
    if (!RecordFields::unescaped(fields.at(2), time))
        return false;
    decoded.time = QDateTime::fromString(time, Qt::ISODateWithMs);
    if (!decoded.time.isValid())
        return false;
    for (auto [index, field] : {std::pair{3, &decoded.code},
                                {4, &decoded.f},
                                {5, &decoded.names.P},
                                {6, &decoded.names.G},
                                {7, &decoded.names.S}}) {
        if (!RecordFields::unescaped(fields.at(index), *field))
            return false;
    }
    event = decoded;
    return true;
}

bool EventSpool::open(QString* errorText)
{
    m_backlog.reset();
    m_backlogAbandoned = false;
    m_tornAtOpen = false;
    m_tornKeptAside.clear();
    if (m_path.isEmpty())
        return true;
    // Left by a rewrite that the end of the process cut short; the file itself is whole.
    Durable::removeStrayTemporaries(m_path);
    Durable::AppendLog::End end;
    const auto isEvent = [](QByteArrayView record) {
        JournalEvent event;
        return decodeEvent(record, event);
    };
    QString problem;
    if (!m_log.inspectEnd(isEvent, &end))
        problem = m_log.errorString();
    else if (end.exists && end.header.size() <= kMagic.size())
        problem = QStringLiteral("not a spool file");
    if (!problem.isEmpty()) {
        m_error = problem;
        if (errorText)
            *errorText = problem;
        m_log.close();
        return false;
    }
    if (!end.exists)
        return true;
    m_token = QString::fromUtf8(end.header.sliced(kMagic.size()));
    JournalEvent last;
    if (end.lastRecord && decodeEvent(*end.lastRecord, last))
        m_nextSeq = last.seq + 1;
    m_backlogFloor = m_nextSeq;
    m_backlogLastSeq = 0;
    m_tornAtOpen = end.tornTail;
    m_tornKeptAside = end.keptAside;
    m_backlog = std::make_unique<Durable::LogReader>(m_path, kMagic, m_log.maxRecord());
    if (!m_backlog->open()) {
        m_error = m_backlog->errorString();
        if (errorText)
            *errorText = m_error;
        m_backlog.reset();
        return false;
    }
    m_backlog->stopAt(end.end);
    return true;
}

bool EventSpool::readBacklog(qsizetype max, QList<JournalEvent>& events, QString* errorText)
{
    if (backlogDone())
        return true;
    const auto take = [&](QByteArrayView record) {
        JournalEvent event;
        // A number that does not grow, or that reaches the numbers of this run, marks a line out of
        // place: damage as well.
        if (!decodeEvent(record, event) || event.seq <= m_backlogLastSeq || event.seq >= m_backlogFloor)
            return false;
        m_backlogLastSeq = event.seq;
        event.spooled = true;
        events.append(std::move(event));
        return true;
    };
    if (!m_backlog->read(max, take)) {
        m_error = m_backlog->errorString();
        if (errorText)
            *errorText = m_error;
        m_backlogAbandoned = true;
        return false;
    }
    return true;
}

bool EventSpool::backlogDone() const
{
    return !m_backlog || m_backlogAbandoned || m_backlog->atEnd();
}

qint64 EventSpool::damagedLines() const
{
    // A torn last line kept aside at opening lies beyond where the backlog is read.
    const qint64 torn = m_tornAtOpen && !m_tornKeptAside.isEmpty() ? 1 : 0;
    return torn + (m_backlog ? m_backlog->damaged() : 0);
}

qint64 EventSpool::mendedLines() const
{
    return m_backlog ? m_backlog->mended() : 0;
}

QString EventSpool::keptAside() const
{
    const QString aside = m_backlog ? m_backlog->keptAside() : QString();
    return aside.isEmpty() ? m_tornKeptAside : aside;
}

bool EventSpool::keepAsideFailed() const
{
    return (m_tornAtOpen && m_tornKeptAside.isEmpty()) || (m_backlog && m_backlog->keepAsideFailed());
}

void EventSpool::number(JournalEvent& event)
{
    event.seq = m_nextSeq++;
}

bool EventSpool::append(const JournalEvent& event)
{
    if (m_path.isEmpty())
        return true;
    if (m_token.isEmpty())
        m_token = QUuid::createUuid().toString(QUuid::WithoutBraces);
    if (!m_log.append(encodeEvent(event), header())) {
        m_error = m_log.errorString();
        return false;
    }
    return true;
}

bool EventSpool::sync()
{
    if (m_path.isEmpty())
        return true;
    if (!m_log.sync()) {
        m_error = m_log.errorString();
        return false;
    }
    return true;
}

bool EventSpool::rewrite(const QList<JournalEvent>& events)
{
    if (m_path.isEmpty())
        return true;
    if (events.isEmpty())
        return discard();
    if (m_token.isEmpty())
        m_token = QUuid::createUuid().toString(QUuid::WithoutBraces);
    QList<QByteArray> records;
    records.reserve(events.size());
    for (const JournalEvent& event : events)
        records.append(encodeEvent(event));
    if (!m_log.compact(header(), records)) {
        m_error = m_log.errorString();
        return false;
    }
    return true;
}

bool EventSpool::discard()
{
    m_token.clear();
    m_nextSeq = 1;
    m_backlog.reset();
    if (m_path.isEmpty())
        return true;
    if (!m_log.remove()) {
        m_error = m_log.errorString();
        return false;
    }
    return true;
}
