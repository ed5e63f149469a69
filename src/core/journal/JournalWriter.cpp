#include "core/journal/JournalWriter.h"

#include "core/db/Database.h"
#include "core/db/DatabaseError.h"
#include "core/journal/RemovedCalls.h"
#include "core/journal/TimeFormat.h"

#include <QFile>
#include <QtDebug>

#include <sqlite3.h>

#include <QStringList>

#include <limits>
#include <utility>

namespace {

const QString placeCancelFunction = QStringLiteral("2");
const QString kbCancelFunction = QStringLiteral("d");

// The place check runs before the presses of a tick are handled and the write after them; together
// they stay within the tick's budget for waiting on another program's lock.
constexpr int kPlaceCheckBusyTimeoutMs = JournalWriter::kTickBusyTimeoutMs / 5;

// Which spool file's events the journal already holds, written in the same transaction as the
// events themselves: a crash after the commit and before the spool is removed must not write them
// twice at the next start.
const QString kCreateSpoolMark =
    QStringLiteral("CREATE TABLE IF NOT EXISTS journalspool (spool TEXT, seq INTEGER)");

// Failures that belong to one event and would come back however often it is tried; anything else
// says the file cannot take events for now.
bool failsForThisEventOnly(int code)
{
    return code == SQLITE_CONSTRAINT || code == SQLITE_MISMATCH || code == SQLITE_TOOBIG ||
           code == SQLITE_RANGE;
}

void rollbackIfOpen(db::Database& db)
{
    if (db.isOpen() && !sqlite3_get_autocommit(db.handle()))
        sqlite3_exec(db.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

QString spoolPathOf(db::Database& db)
{
    if (!db.isOpen())
        return {};
    const char* file = sqlite3_db_filename(db.handle(), "main");
    if (!file || !*file)
        return {}; // in memory or temporary: nothing outlives the process anyway
    return QFile::decodeName(file) + QStringLiteral(".spool");
}

} // namespace

JournalWriter::JournalWriter(db::Database& db, SendEvent sendEventToClients, std::function<void()> refreshLog)
    : m_db(db), m_sendEventToClients(std::move(sendEventToClients)), m_refreshLog(std::move(refreshLog)),
      m_places(db), m_spool(spoolPathOf(db))
{
    // Events a previous run accepted but could not write wait at the head of the queue.
    QList<JournalEvent> left;
    int damaged = 0;
    QString errorText;
    if (!m_spool.load(left, &damaged, &errorText)) {
        // Unreadable or not a spool: kept aside for a person to look at, never overwritten.
        const QString aside = m_spool.path() + QStringLiteral(".unread");
        QFile::remove(aside + QStringLiteral(".old"));
        QFile::rename(aside, aside + QStringLiteral(".old"));
        if (!QFile::rename(m_spool.path(), aside))
            qWarning().noquote() << "journal spool" << m_spool.path() << "cannot be read:" << errorText;
        else
            qWarning().noquote() << "journal spool" << m_spool.path() << "cannot be read (" << errorText
                                 << "), moved to" << aside;
    }
    if (damaged > 0)
        qWarning().noquote() << "journal spool" << m_spool.path() << ":" << damaged
                             << "damaged line(s) left out, the last one cut short by the end of the process";
    m_queue = std::move(left);

    // The places are read now, while the file is known to be readable (the schema step has just
    // run), so that presses can be recognised even if it is locked by the time the first one comes.
    try {
        m_places.refresh(kTickBusyTimeoutMs);
    } catch (const AppError&) {
        // The first press tries again, and reports it if the file is still unreadable then.
    }
    // The notices of events taken up from the spool went out in the run that accepted them; their
    // names for the journaled hook come from the places as they are now.
    for (JournalEvent& event : m_queue) {
        if (event.kind == JournalEvent::Kind::Entry && event.code.size() == 4) {
            event.noticeNames = event.names;
            const QString key = sKBcd(event.code);
            if (event.noticeNames.P.endsWith(key))
                event.noticeNames.P.chop(key.size());
        } else if (event.kind == JournalEvent::Kind::Entry) {
            event.noticeNames = event.names;
        } else {
            event.noticeNames = m_places.namesOf(event.code.size() == 4 ? event.code.left(2) : event.code);
        }
    }
}

JournalWriter::~JournalWriter() = default;

void JournalWriter::ensurePlaces()
{
    // A file that could not be read is not waited for again in the same tick: a burst of presses
    // must not wait for a locked file press after press (and hold up the end of the program).
    if (m_placesReadFailedThisTick) {
        if (m_places.isLoaded())
            return;
        // The same error again, its kind included: a lock tells the dispatcher to hold the press.
        throw db::DatabaseError(m_placesReadCode, m_placesReadError);
    }
    if (m_placesCheckedThisTick && m_places.isLoaded() && !m_places.isStale())
        return;
    m_placesCheckedThisTick = true;
    try {
        if (!m_places.refresh(kPlaceCheckBusyTimeoutMs))
            m_placesReadFailedThisTick = true;
    } catch (const AppError& e) {
        m_placesReadFailedThisTick = true;
        m_placesReadError = e.message();
        const auto* dbError = dynamic_cast<const db::DatabaseError*>(&e);
        m_placesReadCode = dbError ? dbError->code() : SQLITE_ERROR;
        throw;
    }
}

void JournalWriter::invalidatePlaces()
{
    m_places.invalidate();
}

bool JournalWriter::IsRegistredButs(const QString& abcde)
{
    ensurePlaces();
    return m_places.isRegistered(abcde);
}

ButsNames JournalWriter::GetButsNames(const QString& code)
{
    ensurePlaces();
    return m_places.namesOf(code);
}

void JournalWriter::accept(JournalEvent event)
{
    if (!m_spool.append(event)) {
        if (!m_spoolFailed)
            qWarning().noquote() << "journal spool" << m_spool.path()
                                 << "cannot be written: waiting events are held in memory only";
        m_spoolFailed = true;
    } else {
        m_spoolFailed = false;
    }
    m_queue.append(std::move(event));
}

AcceptedEvent JournalWriter::acceptedOf(const JournalEvent& event, qint64 ticket) const
{
    AcceptedEvent accepted;
    accepted.ticket = ticket;
    accepted.cancel = event.kind == JournalEvent::Kind::Close;
    accepted.time = event.time;
    accepted.code = event.code;
    accepted.f = event.f;
    accepted.names = event.names;
    accepted.noticeNames = event.noticeNames;
    return accepted;
}

QList<AcceptedEvent> JournalWriter::waitingEvents() const
{
    QList<AcceptedEvent> events;
    events.reserve(m_queue.size());
    for (qsizetype i = 0; i < m_queue.size(); ++i)
        events.append(acceptedOf(m_queue.at(i), m_firstTicket + i));
    return events;
}

void JournalWriter::removeEntry(qint64 id, const QDateTime& removedAt)
{
    m_removals.append({id, sTSFromDateTime(removedAt)});
}

bool JournalWriter::removeWaiting(qint64 ticket, const QDateTime& removedAt)
{
    const qint64 index = ticket - m_firstTicket;
    if (index < 0 || index >= m_queue.size() || m_queue.at(index).kind != JournalEvent::Kind::Entry)
        return false;
    m_removedWaiting.insert(ticket, sTSFromDateTime(removedAt));
    return true;
}

void JournalWriter::InLogButs(const QDateTime& time_, const QString& abcde_, const QString& f_)
{
    ensurePlaces();
    for (const CachedPlace& place : m_places.placesByCode(abcde_)) {
        // The entry and the notice carry the place's call code, also for a press of its cancel
        // code, and the names of this very place.
        JournalEvent event;
        event.time = time_;
        event.code = place.abcde;
        event.f = f_;
        event.noticeNames = place.names;
        if (f_ != placeCancelFunction) {
            event.kind = JournalEvent::Kind::Entry;
            event.names = place.names;
        } else {
            event.kind = JournalEvent::Kind::Close;
        }
        const AcceptedEvent accepted = acceptedOf(event, m_firstTicket + m_queue.size());
        accept(std::move(event));
        // The clients hear of every press, cancels included, before the journal changes.
        if (m_sendEventToClients)
            m_sendEventToClients(place.abcde, f_, place.names.S, place.names.P);
        if (m_accepted)
            m_accepted(accepted);
    }
    m_refreshWanted = true;
}

void JournalWriter::InLogKB(const QDateTime& time_, const QString& abcd_, const QString& f_)
{
    ensurePlaces();
    const ButsNames names = m_places.namesOf(abcd_.left(2));
    JournalEvent event;
    event.time = time_;
    event.code = abcd_;
    event.f = f_;
    event.noticeNames = names;
    if (f_ != kbCancelFunction) {
        // The journal adds the key number; the notice goes out with the unit's place name alone.
        event.kind = JournalEvent::Kind::Entry;
        event.names = names;
        event.names.P += sKBcd(abcd_);
    } else {
        event.kind = JournalEvent::Kind::Close;
    }
    const AcceptedEvent accepted = acceptedOf(event, m_firstTicket + m_queue.size());
    accept(std::move(event));
    if (m_sendEventToClients)
        m_sendEventToClients(abcd_, f_, names.S, names.P);
    if (m_accepted)
        m_accepted(accepted);
    m_refreshWanted = true;
}

qint64 JournalWriter::committedThrough()
{
    if (m_spool.token().isEmpty())
        return 0;
    m_db.executeStatement(kCreateSpoolMark);
    const db::ResultTable mark =
        m_db.query(QStringLiteral("SELECT seq FROM journalspool WHERE spool=?"), {m_spool.token()});
    return mark.rowCount() > 0 ? mark.fieldAsInteger(0) : 0;
}

void JournalWriter::markCommitted(qint64 seq)
{
    if (m_spool.token().isEmpty())
        return;
    m_db.executeStatement(QStringLiteral("DELETE FROM journalspool"));
    m_db.executeStatement(QStringLiteral("INSERT INTO journalspool (spool, seq) VALUES (?, ?)"),
                          {m_spool.token(), QVariant(qlonglong(seq))});
}

void JournalWriter::ensureOwnTables()
{
    if (!m_ownTablesReady)
        RemovedCalls::ensureTable(m_db);
}

JournaledEvent JournalWriter::apply(const JournalEvent& event, qint64 ticket)
{
    JournaledEvent written{event.time, event.code, event.f, event.noticeNames, false, {}, 0, ticket};
    if (event.kind == JournalEvent::Kind::Entry) {
        insertEntry(sTSFromDateTime(event.time), event.code, event.f, event.names);
        written.id = sqlite3_last_insert_rowid(m_db.handle());
        // Taken off the open list before the journal had it: removed together with its entry.
        if (const auto removed = m_removedWaiting.constFind(ticket); removed != m_removedWaiting.cend())
            RemovedCalls::mark(m_db, written.id, *removed);
    } else {
        written.cancel = true;
        written.closed = SetReactionTime(event.code, event.time);
    }
    return written;
}

void JournalWriter::flushQueue()
{
    // The next press re-checks the places held in memory.
    m_placesCheckedThisTick = false;
    m_placesReadFailedThisTick = false;

    const db::BusyTimeoutScope wait(m_db, kTickBusyTimeoutMs);
    QStringList errors;
    QList<JournaledEvent> written;
    if (!m_queue.isEmpty() || !m_removals.isEmpty()) {
        // Power-cut safety for this tick's events before the journal is touched.
        if (!m_queue.isEmpty() && !m_spool.sync() && !m_spoolFailed) {
            qWarning().noquote() << "journal spool" << m_spool.path() << "cannot be flushed to disk";
            m_spoolFailed = true;
        }
        try {
            // The write lock first: once it is held, nothing of the batch waits for another program.
            m_db.executeStatement(QStringLiteral("BEGIN IMMEDIATE"));
            ensureOwnTables();
            // Removals first: a cancel written after them must not pair with a removed call.
            for (const auto& [id, removedAt] : std::as_const(m_removals))
                RemovedCalls::mark(m_db, id, removedAt);
            const qint64 alreadyWritten = committedThrough();
            qint64 lastSeq = 0;
            for (qsizetype i = 0; i < m_queue.size(); ++i) {
                const JournalEvent& event = m_queue.at(i);
                lastSeq = qMax(lastSeq, event.seq);
                if (event.seq <= alreadyWritten)
                    continue;
                m_db.executeStatement(QStringLiteral("SAVEPOINT journal_event"));
                try {
                    written.append(apply(event, m_firstTicket + i));
                } catch (const db::DatabaseError& e) {
                    if (!failsForThisEventOnly(e.code()))
                        throw;
                    errors << e.message();
                    m_db.executeStatement(QStringLiteral("ROLLBACK TO journal_event"));
                } catch (const AppError& e) {
                    errors << e.message();
                    m_db.executeStatement(QStringLiteral("ROLLBACK TO journal_event"));
                }
                m_db.executeStatement(QStringLiteral("RELEASE journal_event"));
            }
            markCommitted(lastSeq);
            m_db.executeStatement(QStringLiteral("COMMIT"));
        } catch (const AppError& e) {
            // Nothing of the batch stays half written: it is all tried again at the next tick.
            rollbackIfOpen(m_db);
            written.clear();
            const auto* dbError = dynamic_cast<const db::DatabaseError*>(&e);
            if (!m_unavailable) {
                m_unavailable = true;
                if (m_reporters.outageBegan)
                    m_reporters.outageBegan(
                        QStringLiteral("Журнал недоступен: %1. События будут записаны, "
                                       "как только база данных снова примет их.\r%2")
                            .arg(outageCause(dbError ? dbError->code() : SQLITE_ERROR), e.message()));
            }
            publishStatus();
            return;
        }
        m_ownTablesReady = true;
        const bool hadEvents = !m_queue.isEmpty();
        m_firstTicket += m_queue.size();
        m_queue.clear();
        m_removedWaiting.clear();
        m_removals.clear();
        if (hadEvents)
            m_spool.discard();
        m_unavailable = false;
        m_spoolFailed = false;
    }

    // Only what the journal now holds is announced, in the order it was written.
    if (m_journaled) {
        for (const JournaledEvent& event : std::as_const(written))
            m_journaled(event);
    }

    if (m_refreshWanted) {
        m_refreshWanted = false;
        try {
            refresh();
        } catch (const AppError& e) {
            errors << e.message();
        }
    }
    publishStatus();
    if (m_reporters.errorOccurred) {
        for (const QString& message : std::as_const(errors))
            m_reporters.errorOccurred(message);
    }
}

QString JournalWriter::statusText() const
{
    if (!m_unavailable)
        return {};
    return QStringLiteral("Журнал недоступен, ожидают записи: %1").arg(pendingCount());
}

void JournalWriter::publishStatus()
{
    const QString text = statusText();
    if (text == m_publishedStatus)
        return;
    m_publishedStatus = text;
    if (m_reporters.statusChanged)
        m_reporters.statusChanged(text);
}

QString JournalWriter::outageCause(int sqliteCode)
{
    switch (sqliteCode & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return QStringLiteral("база данных заблокирована другой программой");
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
        return QStringLiteral("база данных доступна только для чтения");
    case SQLITE_FULL:
        return QStringLiteral("диск заполнен");
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
        return QStringLiteral("файл не является базой данных или повреждён");
    case SQLITE_IOERR:
    case SQLITE_CANTOPEN:
        return QStringLiteral("ошибка чтения или записи диска");
    default:
        return QStringLiteral("ошибка базы данных");
    }
}

QList<ClosedEntry> JournalWriter::SetReactionTime(const QString& code, const QDateTime& cancelTime)
{
    const QString closedAt = sTSFromDateTime(cancelTime);
    QList<std::pair<qint64, QString>> pairs;
    ensureOwnTables();

    if (!collectOpenEntries(code, cancelTime, pairs)) {
        // No entry under this code: it may be the cancel code of places whose entries carry their
        // call code.
        db::ResultTable places =
            m_db.query(QStringLiteral("SELECT * FROM buts WHERE btnclr=? ORDER BY id"), {code});
        while (!places.endOfRows()) {
            collectOpenEntries(places.fieldByName(QStringLiteral("abcde")), cancelTime, pairs);
            places.nextRow();
        }
    }

    // Every reaction time is computed before the first update, so an unreadable timestamp leaves
    // all of this cancel's entries open rather than some of them.
    QList<ClosedEntry> closed;
    closed.reserve(pairs.size());
    for (const auto& [id, reaction] : pairs) {
        m_db.executeStatement(QStringLiteral("UPDATE logs SET reactiontime = ?, timestr = ? WHERE id = ?"),
                              {reaction, closedAt, QVariant(qlonglong(id))});
        const QStringList hms = reaction.split(u':');
        const qint64 seconds = hms.size() == 3 ? hms.at(0).toLongLong() * 3600 + hms.at(1).toLongLong() * 60 +
                                                     hms.at(2).toLongLong()
                                               : 0;
        closed.append({id, seconds});
    }
    return closed;
}

bool JournalWriter::collectOpenEntries(const QString& code, const QDateTime& cancelTime,
                                       QList<std::pair<qint64, QString>>& pairs)
{
    // Newest first, stopping at the first closed entry: an open entry below a closed one belongs
    // to an earlier cancel that missed it and stays open. The walk reads only the open entries on
    // top, however long the code's history is. A call the operator removed is closed for good and
    // passed over: it neither takes this cancel nor hides the calls below it from it.
    db::Statement entries(m_db, QStringLiteral("SELECT id, timest, timestr FROM logs WHERE abcde=? AND ") +
                                    RemovedCalls::notRemoved() + QStringLiteral(" ORDER BY timest DESC"));
    entries.bind(1, code);
    bool any = false;
    while (entries.step()) {
        any = true;
        if (!entries.text(2).isEmpty())
            break;
        pairs.append({entries.int64(0), sElapsedFromDateTimes(DateTimeFromTS(entries.text(1)), cancelTime)});
    }
    return any;
}

QString JournalWriter::sKBcd(const QString& abcd_)
{
    const int n = HexToInt(abcd_.mid(2, 2));
    return QStringLiteral(" (") + QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0')) + QLatin1Char(')');
}

int JournalWriter::HexToInt(const QString& text)
{
    QString digits = text.toUpper();
    if (digits.endsWith(QLatin1Char('H')))
        digits.chop(1);
    qint64 value = 0;
    for (const QChar c : std::as_const(digits)) {
        int digit = 0;
        if (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
            digit = c.unicode() - u'0';
        else if (c >= QLatin1Char('A') && c <= QLatin1Char('F'))
            digit = c.unicode() - u'A' + 10;
        else
            return 0;
        // Key numbers have two digits; a longer text saturates instead of overflowing.
        value = qMin<qint64>(value * 16 + digit, std::numeric_limits<int>::max());
    }
    return int(value);
}

void JournalWriter::insertEntry(const QString& ts, const QString& code, const QString& f,
                                const ButsNames& names)
{
    m_db.executeStatement(QStringLiteral("INSERT INTO logs (timest, timestr, abcde, f, butsname, groupsname, "
                                         "workersname, reactiontime) VALUES ( ? , '', ?, ? , ? , ?, ?, '')"),
                          {ts, code, f, names.P, names.G, names.S});
}

void JournalWriter::refresh()
{
    if (m_refreshLog)
        m_refreshLog();
}
