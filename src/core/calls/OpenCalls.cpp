#include "core/calls/OpenCalls.h"

#include "core/base/AppError.h"
#include "core/db/Database.h"
#include "core/journal/JournalWriter.h"
#include "core/journal/RemovedCalls.h"

#include <algorithm>

namespace {

// The open entries of the calling functions. An entry counts as open while its cancel time is empty,
// as the journal writer's pairing reads it (a NULL reads as empty there too).
const QString kOpenCallColumns =
    QStringLiteral("SELECT id, timest, abcde, f, butsname, groupsname, workersname FROM logs ");
const QString kOpenCallFilter = QStringLiteral("(timestr = '' OR timestr IS NULL) AND f IN ('8', '4', 'b')");

// Longest waiting first, on the steady clock: a call that came after the wall clock was set back
// still goes after the calls before it. Equal times keep the order in which the calls came.
bool earlier(const OpenCall& a, const OpenCall& b)
{
    return a.sinceMs < b.sinceMs;
}

} // namespace

OpenCalls::OpenCalls(db::Database* database, const EscalationValues& settings)
    : m_db(database), m_settings(settings)
{
}

bool OpenCalls::isCallFunction(const QString& f)
{
    return f == QLatin1String("8") || f == QLatin1String("4") || f == QLatin1String("b");
}

QString OpenCalls::sWaitingTime(const QDateTime& start, const QDateTime& now, const LogConst& logConst)
{
    return sWaitingTime(start.msecsTo(now), logConst);
}

QString OpenCalls::sWaitingTime(qint64 waitingMs, const LogConst& logConst)
{
    // The journal's own reaction-time text, with a bound no waiting time reaches: a call that still
    // waits is never "missed". Counted in UTC, which has no time-zone look-up to pay for.
    const QDateTime origin = QDateTime::fromMSecsSinceEpoch(0, Qt::UTC);
    LogConst unbounded = logConst;
    unbounded.s_maxreactiontime = QStringLiteral("99:59:59");
    return sReactionTime(sElapsedFromDateTimes(origin, origin.addMSecs(qMax<qint64>(0, waitingMs))),
                         unbounded);
}

EventNotice OpenCalls::noticeOfEntry(const QString& code, const QString& f, const QString& place,
                                     const QString& staff)
{
    QString noticePlace = place;
    if (f == QLatin1String("b")) {
        const QString key = JournalWriter::sKBcd(code);
        if (noticePlace.endsWith(key))
            noticePlace.chop(key.size());
    }
    return {code, f, staff, noticePlace};
}

QString OpenCalls::keyOf(const QDateTime& time, const QString& code, const QString& f)
{
    return time.toString(QStringLiteral("yyyyMMdd'T'HHmmss")) + u'-' + code + u'-' + f;
}

qint64 OpenCalls::reactionSeconds(const QDateTime& callTime, const QDateTime& cancelTime)
{
    const QString hms = sElapsedFromDateTimes(DateTimeFromTS(sTSFromDateTime(callTime)), cancelTime);
    const QStringList parts = hms.split(u':');
    if (parts.size() != 3)
        return 0;
    return parts.at(0).toLongLong() * 3600 + parts.at(1).toLongLong() * 60 + parts.at(2).toLongLong();
}

db::Database& OpenCalls::database()
{
    if (!m_db || !m_db->isOpen())
        throw AppError(QStringLiteral("Database is closed"));
    return *m_db;
}

qint64 OpenCalls::waitingMs(const OpenCall& call, qint64 elapsedMs)
{
    return qMax<qint64>(0, elapsedMs - call.sinceMs);
}

void OpenCalls::start(OpenCall& call, const Clock::Moment& now) const
{
    // The call's age on the wall clock is all there is to go by at this moment (a call just noticed,
    // one from the journal at a start); from here on only the steady clock counts. A call the wall
    // clock puts in the future (the clock was set back since) starts waiting now.
    const qint64 ageMs = now.wall.isValid() && call.time.isValid() ? call.time.msecsTo(now.wall) : 0;
    call.sinceMs = now.elapsedMs - qMax<qint64>(0, ageMs);
    call.level = levelFor(waitingMs(call, now.elapsedMs) / 1000);
    call.nextRepeatMs = m_settings.RepeatSec > 0 ? now.elapsedMs + qint64(m_settings.RepeatSec) * 1000 : 0;
}

CallLevel OpenCalls::levelFor(qint64 waitingSeconds) const
{
    if (m_settings.AlarmSec > 0 && waitingSeconds >= m_settings.AlarmSec)
        return CallLevel::Alarm;
    if (m_settings.WarnSec > 0 && waitingSeconds >= m_settings.WarnSec)
        return CallLevel::Warning;
    return CallLevel::Normal;
}

QString OpenCalls::numberedKey(const QString& base, int n)
{
    return n <= 1 ? base : base + u'-' + QString::number(n);
}

QString OpenCalls::newKey(const QString& base, int earlier, const QDateTime& now)
{
    // A base names its second: keys given more than a minute ago can no longer meet a new call's.
    if (m_keysGiven.size() > 256) {
        const QString oldest = keyOf(now.addSecs(-60), QString(), QString());
        for (auto it = m_keysGiven.begin(); it != m_keysGiven.end();)
            it = it.key() < oldest ? m_keysGiven.erase(it) : std::next(it);
    }
    int& given = m_keysGiven[base];
    given = std::max(given, earlier);
    QString key;
    do
        key = numberedKey(base, ++given);
    while (rowOfKey(key) >= 0);
    return key;
}

int OpenCalls::journalCallsBefore(const JournaledCall& entry)
{
    if (!m_db || !m_db->isOpen() || entry.id <= 0)
        return 0;
    try {
        db::Statement count(*m_db, QStringLiteral("SELECT count(*) FROM logs WHERE abcde = ? AND timest = ? "
                                                  "AND f = ? AND id < ?"));
        count.bind(1, entry.code);
        count.bind(2, sTSFromDateTime(entry.time));
        count.bind(3, entry.f);
        count.bind(4, QVariant(qlonglong(entry.id)));
        return count.step() ? int(count.int64(0)) : 0;
    } catch (const AppError&) {
        return 0; // a journal kept back by a lock: the keys this run gave still keep the new one apart
    }
}

QList<JournaledCall> OpenCalls::readOpenEntries(const QString& condition, const QVariant& bound)
{
    db::Database& db = database();
    QString sql =
        kOpenCallColumns + QStringLiteral("WHERE ") + condition + QStringLiteral(" AND ") + kOpenCallFilter;
    if (RemovedCalls::tableExists(db))
        sql += QStringLiteral(" AND ") + RemovedCalls::notRemoved();
    db::Statement rows(db, sql + QStringLiteral(" ORDER BY id"));
    rows.bind(1, bound);
    QList<JournaledCall> entries;
    while (rows.step()) {
        JournaledCall call;
        try {
            call.time = DateTimeFromTS(rows.text(1));
        } catch (const AppError&) {
            continue; // a hand-edited time that is no time: not a call anyone waits for
        }
        call.id = rows.int64(0);
        call.code = rows.text(2);
        call.f = rows.text(3);
        call.place = rows.text(4);
        call.ward = rows.text(5);
        call.staff = rows.text(6);
        call.notice = noticeOfEntry(call.code, call.f, call.place, call.staff);
        entries.append(call);
    }
    return entries;
}

QList<OpenCall> OpenCalls::rebuild(const Clock::Moment& now, const QSet<QString>& closedByWaiting)
{
    QList<JournaledCall> entries;
    if (m_settings.WindowHours > 0) {
        // The bound as text: timestamp texts order as time, and the journal index on timest serves
        // the range, so a long journal costs only its last hours.
        entries = readOpenEntries(QStringLiteral("timest >= ?"),
                                  sTSFromDateTime(now.wall.addSecs(-qint64(m_settings.WindowHours) * 3600)));
        std::stable_sort(entries.begin(), entries.end(),
                         [](const JournaledCall& a, const JournaledCall& b) { return a.time < b.time; });
    }
    const db::ResultTable last = database().query(QStringLiteral("SELECT max(id) FROM logs"));
    if (!last.fieldIsNull(0))
        m_lastSeenId = qMax(m_lastSeenId, last.fieldAsInteger(0));

    QList<OpenCall> added;
    for (const JournaledCall& entry : std::as_const(entries)) {
        if (rowOf(entry.id) >= 0)
            continue;
        const QString base = keyOf(entry.time, entry.code, entry.f);
        const int earlier = journalCallsBefore(entry);
        // A call of a previous run that the journal took just before that run ended, still waiting
        // in its spool: one call, not two.
        const int waiting = rowOfKey(numberedKey(base, earlier + 1));
        if (waiting >= 0 && !m_calls.at(waiting).journaled()) {
            OpenCall& call = m_calls[waiting];
            call.id = entry.id;
            call.ticket = 0;
            if (m_observer)
                m_observer->callJournaled(waiting);
            continue;
        }
        if (closedByWaiting.contains(entry.code))
            continue;
        OpenCall call;
        static_cast<JournaledCall&>(call) = entry;
        call.key = newKey(base, earlier, now.wall);
        start(call, now);
        added.append(call);
        insertSorted(call);
    }
    return added;
}

QString OpenCalls::callNoticed(const JournaledCall& noticed, qint64 ticket, const Clock::Moment& now)
{
    return addWaiting(noticed, ticket, now, false);
}

QString OpenCalls::callWaiting(const JournaledCall& waiting, qint64 ticket, const Clock::Moment& now)
{
    return addWaiting(waiting, ticket, now, true);
}

QString OpenCalls::addWaiting(const JournaledCall& noticed, qint64 ticket, const Clock::Moment& now,
                              bool mayBeInJournal)
{
    if (mayBeInJournal) {
        const int row = rowOfKey(keyOf(noticed.time, noticed.code, noticed.f));
        if (row >= 0 && m_calls.at(row).journaled())
            return m_calls.at(row).key;
    }
    OpenCall call;
    static_cast<JournaledCall&>(call) = noticed;
    call.id = 0;
    call.ticket = ticket;
    call.key = newKey(keyOf(call.time, call.code, call.f), 0, now.wall);
    start(call, now);
    const QString key = call.key;
    insertSorted(std::move(call));
    return key;
}

bool OpenCalls::callJournaled(qint64 ticket, qint64 id)
{
    m_lastSeenId = qMax(m_lastSeenId, id);
    for (int row = 0; row < m_calls.size(); ++row) {
        OpenCall& call = m_calls[row];
        if (call.journaled() || call.ticket != ticket)
            continue;
        call.id = id;
        call.ticket = 0;
        if (m_observer)
            m_observer->callJournaled(row);
        return true;
    }
    return false;
}

QList<OpenCall> OpenCalls::cancelNoticed(const QString& code)
{
    QList<OpenCall> closed;
    for (int row = 0; row < m_calls.size();) {
        if (m_calls.at(row).code == code) {
            closed.append(m_calls.at(row));
            removeRow(row);
        } else {
            ++row;
        }
    }
    return closed;
}

void OpenCalls::callJournaled(const JournaledCall& journaled, const Clock::Moment& now)
{
    if (!isCallFunction(journaled.f) || rowOf(journaled.id) >= 0)
        return;
    m_lastSeenId = qMax(m_lastSeenId, journaled.id);
    OpenCall call;
    static_cast<JournaledCall&>(call) = journaled;
    call.key = newKey(keyOf(call.time, call.code, call.f), journalCallsBefore(journaled), now.wall);
    start(call, now);
    insertSorted(call);
}

void OpenCalls::entriesClosed(const QList<qint64>& ids)
{
    for (const qint64 id : ids) {
        const int row = id > 0 ? rowOf(id) : -1;
        if (row >= 0)
            removeRow(row);
    }
}

void OpenCalls::syncWithJournal(const Clock::Moment& now)
{
    db::Database& db = database();
    const bool removals = RemovedCalls::tableExists(db);

    QList<qint64> gone;
    {
        db::Statement entry(db, removals
                                    ? QStringLiteral("SELECT timestr, id IN (SELECT id FROM dismissedcalls) "
                                                     "FROM logs WHERE id = ?")
                                    : QStringLiteral("SELECT timestr, 0 FROM logs WHERE id = ?"));
        for (const OpenCall& call : std::as_const(m_calls)) {
            if (!call.journaled())
                continue; // still on its way to the journal
            entry.reset();
            entry.bind(1, QVariant(qlonglong(call.id)));
            if (!entry.step() || !entry.text(0).isEmpty() || entry.int64(1) != 0)
                gone.append(call.id);
        }
    }

    const QList<JournaledCall> added =
        readOpenEntries(QStringLiteral("id > ?"), QVariant(qlonglong(m_lastSeenId)));
    const db::ResultTable last = db.query(QStringLiteral("SELECT max(id) FROM logs"));
    entriesClosed(gone);
    if (!last.fieldIsNull(0))
        m_lastSeenId = qMax(m_lastSeenId, last.fieldAsInteger(0));
    for (const JournaledCall& call : added)
        callJournaled(call, now);
}

void OpenCalls::dismiss(const QString& key, const QDateTime& now)
{
    const int row = rowOfKey(key);
    if (row < 0)
        return;
    const OpenCall& call = m_calls.at(row);
    if (m_removalSink) {
        m_removalSink(call, now);
    } else {
        if (!call.journaled())
            throw AppError(QStringLiteral("The call is not in the journal yet"));
        db::Database& db = database();
        RemovedCalls::ensureTable(db);
        RemovedCalls::mark(db, call.id, sTSFromDateTime(now));
    }
    removeRow(row);
}

QList<EventNotice> OpenCalls::tick(const Clock::Moment& now)
{
    QList<EventNotice> due;
    QList<int> changed;
    const qint64 nowMs = now.elapsedMs;
    const qint64 periodMs = qint64(m_settings.RepeatSec) * 1000;
    for (int row = 0; row < m_calls.size(); ++row) {
        OpenCall& call = m_calls[row];
        const CallLevel level = levelFor(waitingMs(call, nowMs) / 1000);
        if (level != call.level) {
            call.level = level;
            changed.append(row);
        }
        if (periodMs <= 0)
            continue;
        // A repeat is never more than one period away.
        if (call.nextRepeatMs == 0 || call.nextRepeatMs - nowMs > periodMs)
            call.nextRepeatMs = nowMs + periodMs;
        if (nowMs >= call.nextRepeatMs) {
            due.append(call.notice);
            // One repeat for a late tick, not one for each period it missed.
            call.nextRepeatMs += (nowMs - call.nextRepeatMs) / periodMs * periodMs + periodMs;
        }
    }
    if (m_observer)
        m_observer->callsTicked(now, changed);
    return due;
}

int OpenCalls::rowOfKey(const QString& key) const
{
    for (int row = 0; row < m_calls.size(); ++row) {
        if (m_calls.at(row).key == key)
            return row;
    }
    return -1;
}

int OpenCalls::rowOf(qint64 id) const
{
    if (id <= 0)
        return -1;
    for (int row = 0; row < m_calls.size(); ++row) {
        if (m_calls.at(row).id == id)
            return row;
    }
    return -1;
}

int OpenCalls::alarmCount() const
{
    return static_cast<int>(std::count_if(m_calls.cbegin(), m_calls.cend(),
                                          [](const OpenCall& c) { return c.level == CallLevel::Alarm; }));
}

void OpenCalls::insertSorted(OpenCall call)
{
    const auto at = std::upper_bound(m_calls.begin(), m_calls.end(), call, earlier);
    const int row = static_cast<int>(at - m_calls.begin());
    if (m_observer)
        m_observer->beginInsertCalls(row, row);
    m_calls.insert(row, std::move(call));
    if (m_observer)
        m_observer->endInsertCalls();
}

void OpenCalls::removeRow(int row)
{
    if (m_observer)
        m_observer->beginRemoveCalls(row, row);
    m_calls.removeAt(row);
    if (m_observer)
        m_observer->endRemoveCalls();
}
