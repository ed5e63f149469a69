#include "central/EventStore.h"

#include "central/CentralSchema.h"

#include <QMap>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

const QByteArray kRejectsHeader = QByteArrayLiteral("HALVANE-CENTRAL-REJECTS 1");

// A JSON string: the value with quotes, backslashes and control characters escaped. The text between
// them goes to UTF-8 in runs, so that a pair of surrogates stays one letter (the payloads' checks
// refuse half of one).
void appendJsonString(QByteArray& out, const QString& value)
{
    out += '"';
    qsizetype run = 0;
    const auto flush = [&](qsizetype end) { out += QStringView(value).sliced(run, end - run).toUtf8(); };
    for (qsizetype i = 0; i < value.size(); ++i) {
        const char16_t u = value.at(i).unicode();
        if (u != u'"' && u != u'\\' && u >= 0x20)
            continue;
        flush(i);
        run = i + 1;
        if (u == u'"' || u == u'\\') {
            out += '\\';
            out += char(u);
        } else {
            out += "\\u00";
            out += "0123456789abcdef"[u >> 4];
            out += "0123456789abcdef"[u & 15];
        }
    }
    flush(value.size());
    out += '"';
}

void appendField(QByteArray& out, const char* key, const std::optional<QString>& value)
{
    out += ",\"";
    out += key;
    out += "\":";
    if (value)
        appendJsonString(out, *value);
    else
        out += "null";
}

void appendField(QByteArray& out, const char* key, std::optional<qint64> value)
{
    out += ",\"";
    out += key;
    out += "\":";
    out += value ? QByteArray::number(*value) : QByteArray("null");
}

// The events as one JSON array of rows for jsonb_to_recordset; the payload goes in as it came.
QByteArray eventRows(const QList<WardEvent>& events)
{
    QByteArray out = "[";
    for (const WardEvent& e : events) {
        if (out.size() > 1)
            out += ',';
        out += "{\"ward\":";
        appendJsonString(out, e.ward);
        appendField(out, "seq", e.seq);
        appendField(out, "type", e.type);
        appendField(out, "time", e.time);
        appendField(out, "local_time", e.localTime);
        appendField(out, "code", e.code);
        appendField(out, "function", e.function);
        appendField(out, "place", e.place);
        appendField(out, "ward_name", e.wardName);
        appendField(out, "staff", e.staff);
        appendField(out, "level", e.level);
        appendField(out, "antenna", e.antenna);
        out += ",\"silent\":";
        out += e.silent ? (*e.silent ? "true" : "false") : "null";
        appendField(out, "call", e.call);
        appendField(out, "entry_id", e.entryId);
        out += ",\"payload\":";
        out += e.payload;
        out += '}';
    }
    out += ']';
    return out;
}

// The reactions of the cancels this transaction stored: a cancel already in the table brought its
// own with it, and one refused for its key is not the cancel that closed those calls.
QByteArray reactionRows(const QList<const WardEvent*>& stored)
{
    QByteArray out = "[";
    for (const WardEvent* event : stored) {
        const WardEvent& e = *event;
        for (const ClosedCall& c : e.closed) {
            if (out.size() > 1)
                out += ',';
            out += "{\"ward\":";
            appendJsonString(out, e.ward);
            appendField(out, "call", std::optional<QString>(c.call));
            appendField(out, "entry_id", c.entryId);
            appendField(out, "seconds", c.seconds);
            appendField(out, "cancel_seq", e.seq);
            appendField(out, "cancel_time", e.time);
            out += '}';
        }
    }
    out += ']';
    return out;
}

// The events whose key was in the table already: their key and payload, to be compared with what the
// table holds.
QByteArray repeatRows(const QList<const WardEvent*>& repeated)
{
    QByteArray out = "[";
    for (const WardEvent* e : repeated) {
        if (out.size() > 1)
            out += ',';
        out += "{\"ward\":";
        appendJsonString(out, e->ward);
        appendField(out, "seq", e->seq);
        out += ",\"payload\":";
        out += e->payload;
        out += '}';
    }
    out += ']';
    return out;
}

QByteArray openRows(const QList<WardOpenCall>& calls)
{
    QByteArray out = "[";
    int position = 0;
    for (const WardOpenCall& c : calls) {
        if (out.size() > 1)
            out += ',';
        out += "{\"position\":" + QByteArray::number(++position);
        appendField(out, "call", std::optional<QString>(c.call));
        appendField(out, "entry_id", c.entryId);
        appendField(out, "code", c.code);
        appendField(out, "function", c.function);
        appendField(out, "place", c.place);
        appendField(out, "ward_name", c.wardName);
        appendField(out, "staff", c.staff);
        appendField(out, "time", c.time.isEmpty() ? std::nullopt : std::optional<QString>(c.time));
        appendField(out, "level", c.level);
        out += '}';
    }
    out += ']';
    return out;
}

// The newest state of each antenna the batch speaks of: one row per (ward, antenna), sorted, with the
// time its latest run of equal states began in the batch. run_whole: every event of the batch for it
// said the same, so a stored row in that state keeps its own, earlier, since.
QByteArray antennaRows(const QList<WardEvent>& events)
{
    QList<const WardEvent*> found;
    for (const WardEvent& e : events) {
        if (e.type == QLatin1String("antenna") && e.antenna && e.silent)
            found.append(&e);
    }
    std::sort(found.begin(), found.end(), [](const WardEvent* a, const WardEvent* b) {
        if (a->ward != b->ward)
            return a->ward < b->ward;
        if (*a->antenna != *b->antenna)
            return *a->antenna < *b->antenna;
        return a->seq < b->seq;
    });
    QByteArray out = "[";
    for (qsizetype i = 0; i < found.size();) {
        qsizetype end = i + 1;
        while (end < found.size() && found[end]->ward == found[i]->ward &&
               *found[end]->antenna == *found[i]->antenna)
            ++end;
        const WardEvent& last = *found[end - 1];
        qsizetype runStart = end - 1;
        while (runStart > i && *found[runStart - 1]->silent == *last.silent)
            --runStart;
        if (out.size() > 1)
            out += ',';
        out += "{\"ward\":";
        appendJsonString(out, last.ward);
        appendField(out, "antenna", last.antenna);
        out += *last.silent ? ",\"silent\":true" : ",\"silent\":false";
        appendField(out, "since", std::optional<QString>(found[runStart]->time));
        appendField(out, "seq", last.seq);
        out += runStart == i ? ",\"run_whole\":true}" : ",\"run_whole\":false}";
        i = end;
    }
    out += ']';
    return out;
}

QByteArray bigintArray(const QList<qint64>& values)
{
    QByteArray out = "{";
    for (qint64 v : values) {
        if (out.size() > 1)
            out += ',';
        out += QByteArray::number(v);
    }
    return out + '}';
}

const QByteArray kInsertEvents = R"sql(
INSERT INTO events (ward, seq, type, time, local_time, code, function, place, ward_name, staff, level,
                    antenna, silent, call, entry_id, payload)
SELECT r.ward, r.seq, r.type, r.time::timestamptz, r.local_time::timestamp, r.code, r.function, r.place,
       r.ward_name, r.staff, r.level, r.antenna, r.silent, r.call, r.entry_id, r.payload
FROM jsonb_to_recordset($1::jsonb) AS r(ward text, seq bigint, type text, time text, local_time text,
     code text, function text, place text, ward_name text, staff text, level text, antenna text,
     silent boolean, call text, entry_id bigint, payload jsonb)
ORDER BY r.ward, r.seq
ON CONFLICT (ward, seq) DO NOTHING
RETURNING ward, seq
)sql";

const QByteArray kInsertReactions = R"sql(
INSERT INTO reactions (ward, call, entry_id, seconds, cancel_seq, cancel_time)
SELECT r.ward, r.call, r.entry_id, r.seconds, r.cancel_seq, r.cancel_time::timestamptz
FROM jsonb_to_recordset($1::jsonb) AS r(ward text, call text, entry_id bigint, seconds bigint,
     cancel_seq bigint, cancel_time text)
ORDER BY r.ward, r.call
ON CONFLICT (ward, call) DO NOTHING
)sql";

// A repeat with other content than the stored event is kept beside it, each different payload once.
const QByteArray kInsertConflicts = R"sql(
INSERT INTO event_conflicts (ward, seq, stored_payload, new_payload)
SELECT r.ward, r.seq, e.payload, r.payload
FROM jsonb_to_recordset($1::jsonb) AS r(ward text, seq bigint, payload jsonb)
JOIN events e ON e.ward = r.ward AND e.seq = r.seq
WHERE e.payload <> r.payload
ORDER BY r.ward, r.seq
ON CONFLICT (ward, seq, md5(new_payload::text)) DO NOTHING
RETURNING ward, seq
)sql";

// Only a later seq replaces a row: an older event arriving late never hides a newer state.
const QByteArray kUpsertAntennas = R"sql(
INSERT INTO antennas AS a (ward, antenna, silent, since, seq)
SELECT r.ward, r.antenna, r.silent, r.since::timestamptz, r.seq
FROM jsonb_to_recordset($1::jsonb) AS r(ward text, antenna text, silent boolean, since text, seq bigint,
     run_whole boolean)
ORDER BY r.ward, r.antenna
ON CONFLICT (ward, antenna) DO UPDATE SET silent = EXCLUDED.silent, seq = EXCLUDED.seq,
    since = CASE WHEN a.silent = EXCLUDED.silent
                  AND (SELECT r.run_whole FROM jsonb_to_recordset($1::jsonb) AS r(ward text, antenna text,
                       run_whole boolean) WHERE r.ward = EXCLUDED.ward AND r.antenna = EXCLUDED.antenna)
                 THEN a.since ELSE EXCLUDED.since END
WHERE EXCLUDED.seq > a.seq
RETURNING ward
)sql";

const QByteArray kEnsureWard = "INSERT INTO wards (ward, name) VALUES ($1, $1) ON CONFLICT (ward) DO NOTHING";
const QByteArray kLockWard = "SELECT last_seq FROM wards WHERE ward = $1 FOR UPDATE";
// What the table held before this transaction's own rows.
const QByteArray kOldRange =
    "SELECT min(seq), max(seq) FROM events WHERE ward = $1 AND seq <> ALL($2::bigint[])";
const QByteArray kGapsAround =
    "SELECT first_seq, last_seq FROM event_gaps WHERE ward = $1 AND last_seq >= $2 "
    "AND first_seq <= $3 ORDER BY first_seq";
const QByteArray kDeleteGap = "DELETE FROM event_gaps WHERE ward = $1 AND first_seq = $2";
const QByteArray kInsertGap = "INSERT INTO event_gaps (ward, first_seq, last_seq) VALUES ($1, $2, $3) "
                              "ON CONFLICT (ward, first_seq) DO UPDATE SET last_seq = EXCLUDED.last_seq";
const QByteArray kSetLastSeq =
    "UPDATE wards SET last_seq = greatest(coalesce(last_seq, $2), $2) WHERE ward = $1";
const QByteArray kSetStatus = R"sql(
INSERT INTO wards (ward, name, status, since) VALUES ($1, $1, $2, now())
ON CONFLICT (ward) DO UPDATE SET status = EXCLUDED.status,
    since = CASE WHEN wards.status = EXCLUDED.status THEN wards.since ELSE now() END
RETURNING (xmax = 0) OR since = now()
)sql";
const QByteArray kDeleteOpen = "DELETE FROM open_calls WHERE ward = $1";
const QByteArray kInsertOpen = R"sql(
INSERT INTO open_calls (ward, position, call, entry_id, code, function, place, ward_name, staff, time,
                        level)
SELECT $1, r.position, r.call, r.entry_id, r.code, r.function, r.place, r.ward_name, r.staff,
       r.time::timestamptz, r.level
FROM jsonb_to_recordset($2::jsonb) AS r(position integer, call text, entry_id bigint, code text,
     function text, place text, ward_name text, staff text, time text, level text)
)sql";

using Range = EventStore::SeqRange;

// Keeps the gaps of one ward up to date with the seqs this transaction stored (sorted, new to the
// table): the seqs above the highest stored before open gaps behind them, those below the lowest
// open gaps above them, and those in between close (part of) the gaps they fall into. The gaps
// opened are added to *found; a jump too wide to be a loss is a numbering begun anew, no gap.
void updateGaps(Pg::Connection& c, const QString& ward, const QList<qint64>& seqs, QList<Range>* found,
                std::optional<Range>* renumbered)
{
    QList<Range> opened;
    // The hole between two seqs (a, b), open at both ends.
    const auto hole = [&](qint64 a, qint64 b) {
        if (b - a > EventStore::kNewNumbering) {
            *renumbered = Range{a, b};
        } else if (b - a > 1) {
            opened.append({a + 1, b - 1});
            found->append({a + 1, b - 1});
        }
    };
    const Pg::Param w = Pg::param(ward);
    Pg::Result old = c.exec(kOldRange, {w, bigintArray(seqs)});
    const std::optional<qint64> lo = old.optionalInteger(0, 0);
    const std::optional<qint64> hi = old.optionalInteger(0, 1);
    QList<qint64> inside;
    if (!lo) {
        for (qsizetype i = 1; i < seqs.size(); ++i)
            hole(seqs[i - 1], seqs[i]);
    } else {
        qint64 previousBelow = 0;
        bool anyBelow = false;
        qint64 previousAbove = *hi;
        for (qint64 s : seqs) {
            if (s < *lo) {
                if (anyBelow)
                    hole(previousBelow, s);
                previousBelow = s;
                anyBelow = true;
            } else if (s > *hi) {
                hole(previousAbove, s);
                previousAbove = s;
            } else {
                inside.append(s);
            }
        }
        if (anyBelow)
            hole(previousBelow, *lo);
    }
    if (!inside.isEmpty()) {
        Pg::Result gaps = c.exec(kGapsAround, {w, Pg::param(inside.first()), Pg::param(inside.last())});
        for (int r = 0; r < gaps.rows(); ++r) {
            const qint64 first = gaps.integer(r, 0);
            const qint64 last = gaps.integer(r, 1);
            c.exec(kDeleteGap, {w, Pg::param(first)});
            qint64 from = first;
            for (qint64 s : inside) {
                if (s < first || s > last)
                    continue;
                if (s > from)
                    opened.append({from, s - 1});
                from = s + 1;
            }
            if (from <= last)
                opened.append({from, last});
        }
    }
    for (const Range& g : opened)
        c.exec(kInsertGap, {w, Pg::param(g.first), Pg::param(g.last)});
    c.exec(kSetLastSeq, {w, Pg::param(seqs.last())});
}

} // namespace

EventStore::EventStore(QString connInfo, EventInbox& inbox, QString rejectsPath, Report report, Timing timing)
    : m_connInfo(std::move(connInfo)), m_where(Pg::describeConnInfo(m_connInfo)), m_inbox(inbox),
      m_rejects(std::move(rejectsPath), kRejectsHeader.left(kRejectsHeader.indexOf(' ') + 1)),
      m_report(std::move(report)), m_timing(timing)
{
}

EventStore::~EventStore()
{
    stop();
}

bool EventStore::start(QString* why)
{
    if (m_thread.joinable())
        return true;
    if (::pipe2(m_wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        *why = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    m_stop = false;
    m_thread = std::thread([this] { run(); });
    return true;
}

void EventStore::stop()
{
    if (!m_thread.joinable())
        return;
    m_stop = true;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_wake[1], &byte, 1);
    m_inbox.wake();
    m_thread.join();
    m_connection.close();
    ::close(m_wake[0]);
    ::close(m_wake[1]);
    m_wake[0] = m_wake[1] = -1;
}

void EventStore::setState(State state, const QString& line)
{
    if (state == m_state)
        return;
    m_state = state;
    if (m_report)
        m_report(line);
}

void EventStore::waitMs(int ms)
{
    pollfd fd = {m_wake[0], POLLIN, 0};
    if (!m_stop)
        ::poll(&fd, 1, ms);
}

bool EventStore::connect()
{
    try {
        m_connection.open(m_connInfo, m_wake[0], m_timing.connection);
        CentralSchema::migrate(m_connection);
    } catch (const Pg::Error& e) {
        m_connection.close();
        if (!m_stop)
            setState(State::Unreachable,
                     QStringLiteral("PostgreSQL: база %1 недоступна (%2); события ждут в журнале центра")
                         .arg(m_where, e.message()));
        return false;
    }
    setState(State::Connected, QStringLiteral("PostgreSQL: связь с базой %1").arg(m_where));
    return true;
}

void EventStore::run()
{
    int delay = m_timing.firstRetryMs;
    while (!m_stop) {
        if (!m_connection.isOpen() && !connect()) {
            waitMs(delay);
            delay = std::min(delay * 2, m_timing.maxRetryMs);
            continue;
        }
        if (!writeOnce()) {
            // A lost connection or a refused statement: tried again after a growing delay.
            if (!m_stop)
                waitMs(delay);
            delay = std::min(delay * 2, m_timing.maxRetryMs);
            continue;
        }
        delay = m_timing.firstRetryMs;
        setState(State::Connected, QStringLiteral("PostgreSQL: связь с базой %1").arg(m_where));
        if (m_inbox.pending() == 0)
            m_inbox.waitForWork(1000);
    }
}

bool EventStore::writeOnce()
{
    const QList<WardEvent> batch = m_inbox.peek(kMaxBatch);
    QMap<QString, EventInbox::WardState> states = m_inbox.takeStates();
    if (batch.isEmpty() && states.isEmpty())
        return true;
    try {
        const Committed done = writeBatch(m_connection, batch, states);
        m_inbox.committed(batch.size());
        reportCommitted(done);
        if (m_observer)
            m_observer(done);
        return true;
    } catch (const Pg::Error& e) {
        m_inbox.restoreStates(states);
        if (e.connectionLost() || !m_connection.isOpen()) {
            m_connection.close();
            if (!m_stop)
                setState(State::Unreachable,
                         QStringLiteral("PostgreSQL: база %1 недоступна (%2); события ждут в журнале центра")
                             .arg(m_where, e.message()));
            return false;
        }
        if (e.refusedData() && !batch.isEmpty()) {
            writeAlone(batch);
            return true;
        }
        // A deadlock with the other copy, a missing right or the like: the same batch again, one
        // line for the change rather than one per attempt.
        setState(State::Refused,
                 QStringLiteral("PostgreSQL: запись отложена (%1); события ждут в журнале центра")
                     .arg(e.message()));
        return false;
    }
}

void EventStore::reportCommitted(const Committed& committed)
{
    if (!m_report)
        return;
    QMap<QString, QList<SeqRange>> gaps;
    for (const WardRange& g : committed.gaps)
        gaps[g.ward].append(g.range);
    for (auto it = gaps.begin(); it != gaps.end(); ++it) {
        const SeqRange& r = it->first();
        QString line = QStringLiteral("Отделение %1: не получены события № %2").arg(it.key()).arg(r.first);
        if (r.last > r.first)
            line += QStringLiteral("–%1").arg(r.last);
        if (it->size() > 1)
            line += QStringLiteral(" и ещё %1 пропусков").arg(it->size() - 1);
        m_report(line);
    }
    for (const WardRange& r : committed.renumbered)
        m_report(QStringLiteral("Отделение %1 нумерует события заново (установлено заново): номеров между "
                                "№ %2 и № %3 не было, это не потеря событий")
                     .arg(r.ward)
                     .arg(r.range.first)
                     .arg(r.range.last));
    for (auto it = committed.conflicts.begin(); it != committed.conflicts.end(); ++it) {
        if (m_conflictsSaid.contains(it.key()))
            continue;
        m_conflictsSaid.insert(it.key());
        m_report(QStringLiteral("Отделение %1: событие № %2 уже записано с другим содержимым (отделение "
                                "установлено заново с прежними номерами или под его топиком публикует другой "
                                "сервер); такие события сохраняются в таблицу event_conflicts")
                     .arg(it.key())
                     .arg(it->firstSeq));
    }
}

void EventStore::writeAlone(const QList<WardEvent>& events)
{
    qsizetype done = 0;
    for (const WardEvent& e : events) {
        try {
            const Committed one = writeBatch(m_connection, {e}, {});
            reportCommitted(one);
            if (m_observer)
                m_observer(one);
        } catch (const Pg::Error& error) {
            if (!error.refusedData())
                break; // the connection or the server: the rest waits for the next turn
            if (!m_rejects.append(e.toRecord(), kRejectsHeader) || !m_rejects.sync())
                break; // kept in the inbox rather than lost
            if (m_report)
                m_report(QStringLiteral("PostgreSQL: событие %1/%2 отвергнуто базой (%3); оно сохранено в %4")
                             .arg(e.ward)
                             .arg(e.seq)
                             .arg(error.message(), m_rejects.path()));
        }
        ++done;
    }
    m_inbox.committed(done);
}

EventStore::Committed EventStore::writeBatch(Pg::Connection& c, const QList<WardEvent>& events,
                                             const QMap<QString, EventInbox::WardState>& states)
{
    Committed done;
    Pg::Transaction transaction(c);
    QMap<QString, QList<qint64>> insertedByWard;
    QSet<QString> antennaWards;
    QSet<QString> conflictWards;
    if (!events.isEmpty()) {
        Pg::Result inserted = c.exec(kInsertEvents, {eventRows(events)});
        QSet<QPair<QString, qint64>> keys;
        for (int r = 0; r < inserted.rows(); ++r) {
            insertedByWard[inserted.text(r, 0)].append(inserted.integer(r, 1));
            keys.insert({inserted.text(r, 0), inserted.integer(r, 1)});
        }
        // The first of a key repeated in the batch is the one stored; every other event found its
        // key in the table.
        QList<const WardEvent*> stored;
        QList<const WardEvent*> repeated;
        for (const WardEvent& e : events) {
            if (keys.remove({e.ward, e.seq}))
                stored.append(&e);
            else
                repeated.append(&e);
        }
        if (!repeated.isEmpty()) {
            Pg::Result conflicts = c.exec(kInsertConflicts, {repeatRows(repeated)});
            for (int r = 0; r < conflicts.rows(); ++r) {
                const QString ward = conflicts.text(r, 0);
                Conflicts& of = done.conflicts[ward];
                const qint64 seq = conflicts.integer(r, 1);
                if (of.count++ == 0 || seq < of.firstSeq)
                    of.firstSeq = seq;
                conflictWards.insert(ward);
            }
        }
        c.exec(kInsertReactions, {reactionRows(stored)});
        if (const QByteArray antennas = antennaRows(events); antennas.size() > 2) {
            Pg::Result changed = c.exec(kUpsertAntennas, {antennas});
            for (int r = 0; r < changed.rows(); ++r)
                antennaWards.insert(changed.text(r, 0));
        }
        for (const WardEvent* e : stored)
            done.inserted.append(*e);
        std::sort(done.inserted.begin(), done.inserted.end(), [](const WardEvent& a, const WardEvent& b) {
            return a.ward != b.ward ? a.ward < b.ward : a.seq < b.seq;
        });
    }
    // Ward by ward in the order of their ids, as the other copy does: row locks taken in one order
    // never wait on each other in a circle. The ward's row is locked before anything of the ward is
    // written, so that a second copy writing the same ward (its open list, say, a DELETE and an
    // INSERT) waits for this commit and then replaces what it finds, rather than colliding with it.
    QStringList wards = insertedByWard.keys();
    for (auto it = states.begin(); it != states.end(); ++it)
        wards.append(it.key());
    for (const QString& ward : antennaWards)
        wards.append(ward);
    std::sort(wards.begin(), wards.end());
    wards.erase(std::unique(wards.begin(), wards.end()), wards.end());
    for (const QString& ward : wards) {
        const Pg::Param w = Pg::param(ward);
        c.exec(kEnsureWard, {w});
        c.exec(kLockWard, {w});
        bool changed = antennaWards.contains(ward) || conflictWards.contains(ward);
        if (const auto seqs = insertedByWard.find(ward); seqs != insertedByWard.end()) {
            std::sort(seqs->begin(), seqs->end());
            QList<SeqRange> found;
            std::optional<SeqRange> renumbered;
            updateGaps(c, ward, *seqs, &found, &renumbered);
            for (const SeqRange& g : found)
                done.gaps.append({ward, g});
            if (renumbered)
                done.renumbered.append({ward, *renumbered});
            changed = true;
        }
        if (const auto state = states.find(ward); state != states.end()) {
            if (state->status) {
                Pg::Result r = c.exec(kSetStatus, {w, Pg::param(*state->status)});
                changed = changed || (r.rows() > 0 && r.bytes(0, 0) == "t");
            }
            if (state->open) {
                c.exec(kDeleteOpen, {w});
                c.exec(kInsertOpen, {w, openRows(*state->open)});
                changed = true;
            }
        }
        if (changed)
            done.changedWards.append(ward);
    }
    for (const QString& ward : std::as_const(conflictWards)) {
        if (!done.changedWards.contains(ward))
            done.changedWards.append(ward);
    }
    transaction.commit();
    return done;
}
