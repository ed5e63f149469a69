#include "core/mqtt/MqttOutbox.h"

#include "core/base/Clock.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QUuid>

#include <algorithm>
#include <limits>
#include <utility>

namespace {

const QByteArray kMagic("HALVANE-MQTT-OUTBOX 1 ");

// Rewriting pays once the file holds this much more than the waiting events.
constexpr qint64 kRewriteMinBytes = 1 << 20;
constexpr qint64 kRewriteFactor = 4;

QByteArray eventRecord(const QByteArray& json)
{
    return "E " + json;
}

QByteArray numberRecord(char kind, qint64 n)
{
    return QByteArray(1, kind) + ' ' + QByteArray::number(n);
}

// What a record takes in the file: its payload, a tab, the checksum and the line feed.
qint64 bytesOf(const QByteArray& record)
{
    return record.size() + 6;
}

QByteArray newToken()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUtf8();
}

// The seq of an event's JSON, read as untrusted: a whole number from 1 to the largest JSON keeps.
std::optional<qint64> seqOf(QByteArrayView json)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(json.toByteArray(), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    const qint64 seq = doc.object().value(QStringLiteral("seq")).toInteger(-1);
    if (seq < 1 || seq > Durable::kMaxSequence)
        return std::nullopt;
    return seq;
}

} // namespace

// What reading the file found: the events still waiting (the newest capacity of them) and where
// the numbers stand.
struct MqttOutbox::Loaded
{
    bool ours = false; // the file has this kind's header (not one written before checksums)
    QByteArray token;
    std::deque<Waiting> waiting;
    qint64 floor = 1;       // the next number at least
    qint64 highest = 0;     // the highest number the records so far show as given
    qint64 lastEvent = 0;   // the seq of the last "E" record read
    qint64 doneThrough = 0; // the highest "A"
    // Events dropped for the bound, as runs of consecutive numbers: a later "A" may still show them
    // done.
    std::deque<std::pair<qint64, qint64>> droppedRuns;

    qint64 dropped() const
    {
        qint64 count = 0;
        for (const auto& [first, last] : droppedRuns)
            count += last - first + 1;
        return count;
    }

    // One record's payload; false when it cannot be read (it is then damage).
    bool take(QByteArrayView record, qsizetype capacity)
    {
        if (record.size() < 3 || record.at(1) != ' ')
            return false;
        const QByteArrayView body = record.sliced(2);
        switch (record.at(0)) {
        case 'E': {
            const std::optional<qint64> seq = seqOf(body);
            // Events are recorded in the order of their numbers.
            if (!seq || *seq <= lastEvent)
                return false;
            lastEvent = *seq;
            highest = std::max(highest, *seq);
            waiting.push_back({*seq, body.toByteArray(), false});
            if (qsizetype(waiting.size()) > capacity) {
                const qint64 oldest = waiting.front().seq;
                if (!droppedRuns.empty() && droppedRuns.back().second + 1 == oldest)
                    droppedRuns.back().second = oldest;
                else
                    droppedRuns.push_back({oldest, oldest});
                waiting.pop_front();
            }
            return true;
        }
        case 'N': {
            const std::optional<qint64> n = Durable::parseSequence(body);
            if (!n)
                return false;
            floor = std::max(floor, *n);
            highest = std::max(highest, *n - 1);
            return true;
        }
        case 'A': {
            // Only a number already given can be done with.
            const std::optional<qint64> n = Durable::parseSequence(body);
            if (!n || *n > highest)
                return false;
            if (*n > doneThrough) {
                doneThrough = *n;
                while (!waiting.empty() && waiting.front().seq <= *n)
                    waiting.pop_front();
                while (!droppedRuns.empty() && droppedRuns.front().first <= *n) {
                    if (droppedRuns.front().second <= *n)
                        droppedRuns.pop_front();
                    else
                        droppedRuns.front().first = *n + 1;
                }
            }
            return true;
        }
        default:
            return false;
        }
    }
};

qint64 MqttOutbox::freshStart()
{
    const qint64 micros = Clock::now().toMSecsSinceEpoch() * 1000;
    return std::clamp<qint64>(micros, 1, kMaxFreshStart);
}

MqttOutbox::MqttOutbox(QString path, qsizetype capacity)
    : m_path(std::move(path)), m_capacity(std::max<qsizetype>(1, capacity)), m_log(m_path, kMagic),
      m_mark(markPath())
{
}

MqttOutbox::~MqttOutbox()
{
    int descriptor = -1;
    {
        std::lock_guard lock(m_mutex);
        descriptor = m_log.beginSync();
    }
    Durable::AppendLog::finishSync(descriptor, m_path);
}

QByteArray MqttOutbox::header() const
{
    return kMagic + m_token;
}

bool MqttOutbox::readFile(Loaded& loaded, QString* error) const
{
    const qsizetype bound = Durable::AppendLog::kDefaultMaxRecord;
    QByteArray line;
    {
        Durable::LineReader first(m_path, bound);
        if (!first.open()) {
            *error = first.errorString();
            return false;
        }
        if (!first.exists())
            return true;
        const Durable::LineReader::Status status = first.next(&line);
        if (status == Durable::LineReader::Status::Error) {
            *error = first.errorString();
            return false;
        }
        if (status == Durable::LineReader::Status::End)
            return true;
        loaded.ours = status == Durable::LineReader::Status::Line && line.startsWith(kMagic);
    }
    const auto take = [&](QByteArrayView record) { return loaded.take(record, m_capacity); };
    if (loaded.ours) {
        Durable::LogReader reader(m_path, kMagic, bound);
        if (!reader.open() || !reader.read(std::numeric_limits<qint64>::max(), take)) {
            *error = reader.errorString();
            return false;
        }
        loaded.token = reader.header().sliced(kMagic.size());
    } else {
        // Written before the records had checksums: every line is a record, from the first.
        Durable::LineReader lines(m_path, bound);
        Durable::KeptAside aside(m_path);
        if (!lines.open()) {
            *error = lines.errorString();
            return false;
        }
        const auto toAside = [&aside](QByteArrayView part) { aside.add(part); };
        for (;;) {
            const Durable::LineReader::Status status = lines.next(&line, toAside);
            if (status == Durable::LineReader::Status::End)
                break;
            if (status == Durable::LineReader::Status::Error) {
                *error = lines.errorString();
                return false;
            }
            if (status == Durable::LineReader::Status::Line && lines.lineEnded()) {
                QByteArrayView record(line);
                record.chop(1);
                if (record.endsWith('\r'))
                    record.chop(1);
                if (take(record))
                    continue;
            }
            // Too long, cut short by the end of a write, or not a record.
            if (status == Durable::LineReader::Status::Line)
                aside.add(line);
            aside.endLine();
        }
    }
    loaded.floor = std::max(loaded.floor, loaded.lastEvent + 1);
    return true;
}

bool MqttOutbox::open()
{
    {
        std::lock_guard lock(m_mutex);
        if (m_loaded)
            return m_writable;
    }
    // Left by a rewrite or a mark that the end of the process cut short; the files themselves are
    // whole.
    Durable::removeStrayTemporaries(m_path);
    Durable::removeStrayTemporaries(markPath());
    Loaded loaded;
    QString error;
    if (!readFile(loaded, &error)) {
        std::lock_guard lock(m_mutex);
        m_lastError = m_problem = error;
        return false;
    }
    // The mark is only this object's: read without the lock, before anything may use it.
    const bool markRead = m_mark.load();
    // The outbox holds every number given while it is the file the mark names; otherwise (emptied,
    // removed, replaced, or a directory until now) only the mark knows how far they went.
    const bool markValid = markRead && m_mark.exists();
    const bool trusted = loaded.ours && markValid && m_mark.owner() == loaded.token;
    qint64 next = loaded.floor;
    if (markValid && !trusted)
        next = std::max(next, m_mark.value() + 1);
    // Without a mark nothing says how far the numbers went (a new disk, a reinstall under the same
    // topic): they start from the clock, above every number an earlier installation gave.
    if (!markValid)
        next = std::max(next, freshStart());
    {
        std::lock_guard lock(m_mutex);
        if (!markRead)
            m_lastError = m_mark.errorString();
        m_token = loaded.ours && !loaded.token.isEmpty() ? loaded.token : newToken();
        m_waiting = std::move(loaded.waiting);
        m_liveBytes = 0;
        for (const Waiting& w : m_waiting)
            m_liveBytes += bytesOf(eventRecord(w.json));
        m_dropped += loaded.dropped();
        m_nextSeq = next;
        m_doneThrough = m_waiting.empty() ? next - 1 : m_waiting.front().seq - 1;
        m_reserved = markValid ? m_mark.value() : 0;
        m_loaded = true;
    }
    return rewrite();
}

bool MqttOutbox::retry()
{
    bool loaded = false;
    {
        std::lock_guard lock(m_mutex);
        if (m_writable) {
            flushHeldLocked();
            return m_writable;
        }
        loaded = m_loaded;
    }
    // What is waiting is in memory once the file was read: it is written whole again, so that a file
    // that went missing meanwhile comes back complete.
    return loaded ? rewrite() : open();
}

bool MqttOutbox::rewrite()
{
    // The bulk is written without the lock, so that append() never waits for it; what is appended
    // meanwhile goes to the old file and is copied over under the lock at the end.
    std::deque<Waiting> snapshot;
    qint64 next = 0;
    QByteArray content;
    {
        std::lock_guard lock(m_mutex);
        snapshot = m_waiting;
        next = m_nextSeq;
        content = header() + '\n' + Durable::recordLine(numberRecord('N', next));
    }
    Durable::Replacement replacement(m_path);
    bool ok = replacement.open();
    qint64 size = 0;
    for (const Waiting& w : snapshot) {
        if (!ok)
            break;
        content += Durable::recordLine(eventRecord(w.json));
        if (content.size() >= (1 << 20)) {
            ok = replacement.write(content);
            size += content.size();
            content.clear();
        }
    }

    std::lock_guard lock(m_mutex);
    if (ok) {
        for (const Waiting& w : m_waiting) {
            if (w.seq >= next)
                content += Durable::recordLine(eventRecord(w.json));
        }
        if (m_doneThrough > 0)
            content += Durable::recordLine(numberRecord('A', m_doneThrough));
        ok = replacement.write(content) && replacement.commit();
        size += content.size();
    }
    if (!ok) {
        failLocked(replacement.errorString());
        return false;
    }
    // Appends go on in the new file.
    m_log.close();
    m_fileBytes = size;
    // The mark names this file; it is recorded ahead before the next number is given.
    if (m_mark.owner() != m_token || m_reserved - m_nextSeq < kReserveBlock / 2) {
        if (!reserveLocked(m_nextSeq - 1 + kReserveBlock))
            return false;
    }
    m_writable = true;
    m_problem.clear();
    flushHeldLocked();
    return m_writable;
}

qint64 MqttOutbox::append(MqttEvent event)
{
    std::lock_guard lock(m_mutex);
    if (m_writable && !m_held.empty())
        flushHeldLocked();
    if (m_writable && m_held.empty()) {
        if (const qint64 seq = numberLocked(event))
            return seq;
    }
    holdLocked(std::move(event));
    return 0;
}

qint64 MqttOutbox::numberLocked(MqttEvent& event)
{
    const qint64 seq = m_nextSeq;
    if (seq > Durable::kMaxSequence) {
        failLocked(QStringLiteral("the sequence numbers of %1 are used up").arg(m_path));
        return 0;
    }
    // A number is given only below a mark already recorded, and only with its record in the file.
    if (seq > m_reserved && !reserveLocked(std::min(seq - 1 + kReserveBlock, Durable::kMaxSequence)))
        return 0;
    event.seq = seq;
    const QByteArray json = event.toJson();
    const QByteArray record = eventRecord(json);
    if (!appendLocked(record))
        return 0;
    m_nextSeq = seq + 1;
    m_waiting.push_back({seq, json, false});
    m_liveBytes += bytesOf(record);
    while (qsizetype(m_waiting.size()) > m_capacity)
        popFrontLocked();
    return seq;
}

void MqttOutbox::flushHeldLocked()
{
    while (m_writable && !m_held.empty()) {
        if (numberLocked(m_held.front()) == 0)
            return;
        m_held.pop_front();
    }
}

void MqttOutbox::holdLocked(MqttEvent event)
{
    m_held.push_back(std::move(event));
    while (qsizetype(m_waiting.size() + m_held.size()) > m_capacity) {
        if (!m_waiting.empty()) {
            popFrontLocked();
        } else {
            m_held.pop_front();
            ++m_dropped;
        }
    }
}

bool MqttOutbox::reserveLocked(qint64 through)
{
    if (!m_mark.store(through, m_token)) {
        failLocked(m_mark.errorString());
        return false;
    }
    m_reserved = through;
    return true;
}

bool MqttOutbox::appendLocked(const QByteArray& record)
{
    if (!m_writable || !m_log.append(record, header())) {
        if (m_writable)
            failLocked(m_log.errorString());
        return false;
    }
    m_fileBytes += bytesOf(record);
    return true;
}

void MqttOutbox::failLocked(const QString& error)
{
    m_writable = false;
    m_lastError = error;
    m_problem = error;
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
        m_liveBytes -= bytesOf(eventRecord(m_waiting.front().json));
        m_waiting.pop_front();
    }
    if (through > m_doneThrough) {
        m_doneThrough = through;
        // Unwritten now, it goes into the file with the next rewrite; until then the event may come
        // again after a restart, as any event in flight may.
        appendLocked(numberRecord('A', through));
    }
}

void MqttOutbox::popFrontLocked()
{
    const Waiting& front = m_waiting.front();
    m_liveBytes -= bytesOf(eventRecord(front.json));
    m_doneThrough = front.seq;
    appendLocked(numberRecord('A', front.seq));
    m_waiting.pop_front();
    ++m_dropped;
}

void MqttOutbox::sync()
{
    int descriptor = -1;
    bool grown = false;
    {
        std::lock_guard lock(m_mutex);
        if (!m_writable)
            return;
        flushHeldLocked();
        // Numbers are recorded ahead here, so that append() seldom has to.
        if (m_writable && m_reserved - m_nextSeq < kReserveBlock / 2)
            reserveLocked(std::min(m_nextSeq - 1 + kReserveBlock, Durable::kMaxSequence));
        descriptor = m_log.beginSync();
        grown = m_writable && m_fileBytes > std::max(kRewriteMinBytes, kRewriteFactor * m_liveBytes);
    }
    if (!Durable::AppendLog::finishSync(descriptor, m_path)) {
        std::lock_guard lock(m_mutex);
        failLocked(QStringLiteral("cannot flush %1").arg(m_path));
        return;
    }
    if (grown)
        rewrite();
}

qsizetype MqttOutbox::pendingCount() const
{
    std::lock_guard lock(m_mutex);
    return qsizetype(m_waiting.size() + m_held.size());
}

qsizetype MqttOutbox::heldCount() const
{
    std::lock_guard lock(m_mutex);
    return qsizetype(m_held.size());
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

QString MqttOutbox::problem() const
{
    std::lock_guard lock(m_mutex);
    return m_problem;
}
