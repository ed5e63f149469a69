#include "core/calls/OpenCalls.h"

#include "core/base/AppError.h"
#include "core/db/Database.h"
#include "core/journal/JournalWriter.h"

#include <algorithm>

namespace {

// The open entries of the calling functions. An entry counts as open while its cancel time is empty,
// as the journal writer's pairing reads it (a NULL reads as empty there too).
const QString kOpenCallColumns =
    QStringLiteral("SELECT id, timest, abcde, f, butsname, groupsname, workersname FROM logs ");
const QString kOpenCallFilter = QStringLiteral("(timestr = '' OR timestr IS NULL) AND f IN ('8', '4', 'b') "
                                               "AND id NOT IN (SELECT id FROM dismissedcalls)");

bool earlier(const OpenCall& a, const OpenCall& b)
{
    return a.timeMs != b.timeMs ? a.timeMs < b.timeMs : a.id < b.id;
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

db::Database& OpenCalls::database()
{
    if (!m_db || !m_db->isOpen())
        throw AppError(QStringLiteral("Database is closed"));
    return *m_db;
}

void OpenCalls::ensureDismissedTable()
{
    database().executeStatement(
        QStringLiteral("CREATE TABLE IF NOT EXISTS dismissedcalls (id INTEGER PRIMARY KEY)"));
}

qint64 OpenCalls::waitingSeconds(const OpenCall& call, qint64 nowMs)
{
    return qMax<qint64>(0, (nowMs - call.timeMs) / 1000);
}

void OpenCalls::start(OpenCall& call, const QDateTime& now) const
{
    const qint64 nowMs = now.toMSecsSinceEpoch();
    call.timeMs = call.time.toMSecsSinceEpoch();
    call.level = levelFor(waitingSeconds(call, nowMs));
    call.nextRepeatMs = m_settings.RepeatSec > 0 ? nowMs + qint64(m_settings.RepeatSec) * 1000 : 0;
}

CallLevel OpenCalls::levelFor(qint64 waitingSeconds) const
{
    if (m_settings.AlarmSec > 0 && waitingSeconds >= m_settings.AlarmSec)
        return CallLevel::Alarm;
    if (m_settings.WarnSec > 0 && waitingSeconds >= m_settings.WarnSec)
        return CallLevel::Warning;
    return CallLevel::Normal;
}

void OpenCalls::rebuild(const QDateTime& now)
{
    db::Database& db = database();
    ensureDismissedTable();
    // A dismissal matters only while its entry is open; ids are never given out twice.
    db.executeStatement(QStringLiteral(
        "DELETE FROM dismissedcalls WHERE NOT EXISTS (SELECT 1 FROM logs WHERE logs.id = dismissedcalls.id "
        "AND (logs.timestr = '' OR logs.timestr IS NULL))"));

    QList<OpenCall> calls;
    if (m_settings.WindowHours > 0) {
        // The bound as text: timestamp texts order as time, and the journal index on timest serves
        // the range, so a long journal costs only its last hours.
        const QString since = sTSFromDateTime(now.addSecs(-qint64(m_settings.WindowHours) * 3600));
        db::Statement rows(db, kOpenCallColumns + QStringLiteral("WHERE timest >= ? AND ") + kOpenCallFilter);
        rows.bind(1, since);
        while (rows.step()) {
            OpenCall call;
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
            start(call, now);
            calls.append(call);
        }
        std::sort(calls.begin(), calls.end(), earlier);
    }
    const db::ResultTable last = db.query(QStringLiteral("SELECT max(id) FROM logs"));
    const qint64 lastId = last.fieldIsNull(0) ? 0 : last.fieldAsInteger(0);

    if (m_observer)
        m_observer->beginResetCalls();
    m_calls = calls;
    m_lastSeenId = lastId;
    if (m_observer)
        m_observer->endResetCalls();
}

void OpenCalls::callJournaled(const JournaledCall& journaled, const QDateTime& now)
{
    if (!isCallFunction(journaled.f) || rowOf(journaled.id) >= 0)
        return;
    m_lastSeenId = qMax(m_lastSeenId, journaled.id);
    OpenCall call;
    static_cast<JournaledCall&>(call) = journaled;
    start(call, now);
    insertSorted(call);
}

void OpenCalls::entriesClosed(const QList<qint64>& ids)
{
    for (const qint64 id : ids) {
        const int row = rowOf(id);
        if (row >= 0)
            removeRow(row);
    }
}

void OpenCalls::syncWithJournal(const QDateTime& now)
{
    db::Database& db = database();
    ensureDismissedTable();

    QList<qint64> gone;
    {
        db::Statement entry(db, QStringLiteral("SELECT timestr FROM logs WHERE id = ?"));
        for (const OpenCall& call : std::as_const(m_calls)) {
            entry.reset();
            entry.bind(1, QVariant(qlonglong(call.id)));
            if (!entry.step() || !entry.text(0).isEmpty())
                gone.append(call.id);
        }
    }
    entriesClosed(gone);

    QList<JournaledCall> added;
    {
        db::Statement rows(db, kOpenCallColumns + QStringLiteral("WHERE id > ? AND ") + kOpenCallFilter +
                                   QStringLiteral(" ORDER BY id"));
        rows.bind(1, QVariant(qlonglong(m_lastSeenId)));
        while (rows.step()) {
            JournaledCall call;
            try {
                call.time = DateTimeFromTS(rows.text(1));
            } catch (const AppError&) {
                continue;
            }
            call.id = rows.int64(0);
            call.code = rows.text(2);
            call.f = rows.text(3);
            call.place = rows.text(4);
            call.ward = rows.text(5);
            call.staff = rows.text(6);
            call.notice = noticeOfEntry(call.code, call.f, call.place, call.staff);
            added.append(call);
        }
    }
    const db::ResultTable last = db.query(QStringLiteral("SELECT max(id) FROM logs"));
    if (!last.fieldIsNull(0))
        m_lastSeenId = qMax(m_lastSeenId, last.fieldAsInteger(0));
    for (const JournaledCall& call : std::as_const(added))
        callJournaled(call, now);
}

void OpenCalls::dismiss(qint64 id)
{
    const int row = rowOf(id);
    if (row < 0)
        return;
    ensureDismissedTable();
    database().executeStatement(QStringLiteral("INSERT OR IGNORE INTO dismissedcalls (id) VALUES (?)"),
                                {QVariant(qlonglong(id))});
    removeRow(row);
}

QList<EventNotice> OpenCalls::tick(const QDateTime& now)
{
    QList<EventNotice> due;
    QList<int> changed;
    const qint64 nowMs = now.toMSecsSinceEpoch();
    const qint64 periodMs = qint64(m_settings.RepeatSec) * 1000;
    for (int row = 0; row < m_calls.size(); ++row) {
        OpenCall& call = m_calls[row];
        const CallLevel level = levelFor(waitingSeconds(call, nowMs));
        if (level != call.level) {
            call.level = level;
            changed.append(row);
        }
        if (periodMs <= 0)
            continue;
        // A clock set back must not put the next repeat hours away.
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

int OpenCalls::rowOf(qint64 id) const
{
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
