#include "central/EventInbox.h"

#include <chrono>

namespace {
// Compaction rewrites the records still waiting; it pays once the log holds at least this many
// committed ones and more of them than waiting ones.
constexpr qint64 kCompactAfter = 20000;
} // namespace

EventInbox::EventInbox(QString logPath, qsizetype bound)
    : m_bound(bound), m_log(std::move(logPath), kHeader.left(kHeader.indexOf(' ') + 1))
{
}

bool EventInbox::open(qint64* recovered, qint64* damaged)
{
    std::lock_guard lock(m_mutex);
    // A compaction the end of an earlier run cut short leaves its temporary; the log itself is whole.
    Durable::removeStrayTemporaries(m_log.path());
    Durable::AppendLog::ReadResult result;
    // A record that no longer reads as an event counts as damaged and is kept aside with the others.
    const bool ok = m_log.read(
        [&](QByteArrayView record) {
            QString why;
            std::optional<WardEvent> e = WardEvent::fromRecord(record, &why);
            if (e)
                m_events.push_back(std::move(*e));
            return e.has_value();
        },
        &result);
    if (!ok) {
        m_error = m_log.errorString();
        return false;
    }
    if (recovered)
        *recovered = qint64(m_events.size());
    if (damaged)
        *damaged = result.damaged;
    m_doneInLog = result.damaged;
    return true;
}

bool EventInbox::append(const WardEvent& event)
{
    std::lock_guard lock(m_mutex);
    if (!m_log.append(event.toRecord(), kHeader)) {
        m_error = m_log.errorString();
        return false;
    }
    m_events.push_back(event);
    m_woken = true;
    m_work.notify_one();
    return true;
}

bool EventInbox::sync()
{
    std::lock_guard lock(m_mutex);
    if (!m_log.sync()) {
        m_error = m_log.errorString();
        return false;
    }
    return true;
}

void EventInbox::setStatus(const QString& ward, const QString& status)
{
    std::lock_guard lock(m_mutex);
    m_states[ward].status = status;
    m_woken = true;
    m_work.notify_one();
}

void EventInbox::setOpen(const QString& ward, const QList<WardOpenCall>& calls)
{
    std::lock_guard lock(m_mutex);
    m_states[ward].open = calls;
    m_woken = true;
    m_work.notify_one();
}

bool EventInbox::full() const
{
    std::lock_guard lock(m_mutex);
    return qsizetype(m_events.size()) >= m_bound;
}

bool EventInbox::halfEmpty() const
{
    std::lock_guard lock(m_mutex);
    return qsizetype(m_events.size()) <= m_bound / 2;
}

QList<WardEvent> EventInbox::peek(qsizetype max) const
{
    std::lock_guard lock(m_mutex);
    QList<WardEvent> batch;
    const qsizetype n = std::min<qsizetype>(max, qsizetype(m_events.size()));
    batch.reserve(n);
    for (qsizetype i = 0; i < n; ++i)
        batch.append(m_events[std::size_t(i)]);
    return batch;
}

void EventInbox::committed(qsizetype n)
{
    std::lock_guard lock(m_mutex);
    n = std::min<qsizetype>(n, qsizetype(m_events.size()));
    m_events.erase(m_events.begin(), m_events.begin() + n);
    m_doneInLog += n;
    if (m_events.empty()) {
        // Everything is in the database: the log goes, and the next event starts a new one.
        if (m_log.remove())
            m_doneInLog = 0;
        else
            m_error = m_log.errorString();
    } else if (m_doneInLog >= kCompactAfter && m_doneInLog >= qint64(m_events.size())) {
        compactLocked();
    }
}

void EventInbox::compactLocked()
{
    QList<QByteArray> records;
    records.reserve(qsizetype(m_events.size()));
    for (const WardEvent& e : m_events)
        records.append(e.toRecord());
    // Appended records not yet synced are in the new file, which is synced before its rename.
    if (m_log.compact(kHeader, records))
        m_doneInLog = 0;
    else
        m_error = m_log.errorString();
}

QMap<QString, EventInbox::WardState> EventInbox::takeStates()
{
    std::lock_guard lock(m_mutex);
    QMap<QString, WardState> states;
    states.swap(m_states);
    return states;
}

void EventInbox::restoreStates(const QMap<QString, WardState>& states)
{
    std::lock_guard lock(m_mutex);
    // What arrived meanwhile is newer and stays.
    for (auto it = states.begin(); it != states.end(); ++it) {
        WardState& now = m_states[it.key()];
        if (!now.status)
            now.status = it->status;
        if (!now.open)
            now.open = it->open;
    }
}

void EventInbox::waitForWork(int ms)
{
    std::unique_lock lock(m_mutex);
    m_work.wait_for(lock, std::chrono::milliseconds(ms),
                    [this] { return m_woken || !m_events.empty() || !m_states.isEmpty(); });
    m_woken = false;
}

void EventInbox::wake()
{
    std::lock_guard lock(m_mutex);
    m_woken = true;
    m_work.notify_all();
}

qsizetype EventInbox::pending() const
{
    std::lock_guard lock(m_mutex);
    return qsizetype(m_events.size());
}

QString EventInbox::errorString() const
{
    std::lock_guard lock(m_mutex);
    return m_error;
}
