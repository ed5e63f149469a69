#include "core/journal/JournalWriter.h"

#include "core/db/Database.h"
#include "core/db/DatabaseError.h"
#include "core/journal/RemovedCalls.h"
#include "core/journal/TimeFormat.h"

#include <QElapsedTimer>
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
    // Events a previous run accepted but could not write wait ahead of every new one. Only the ends
    // of the file are read now; its events follow a part at a time.
    QString errorText;
    if (!m_spool.open(&errorText)) {
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

    // The places are read now, while the file is known to be readable (the schema step has just
    // run), so that presses can be recognised even if it is locked by the time the first one comes.
    try {
        m_places.refresh(kTickBusyTimeoutMs);
    } catch (const AppError&) {
        // The first press tries again, and reports it if the file is still unreadable then.
    }
    takeBacklog();
}

void JournalWriter::takeBacklog()
{
    if (m_spool.backlogDone())
        return;
    QList<JournalEvent> part;
    QString errorText;
    if (!m_spool.readBacklog(kBacklogPart, part, &errorText)) {
        // What could not be read stays in the file for the next start.
        m_keepSpool = true;
        qWarning().noquote() << "journal spool" << m_spool.path() << "cannot be read to its end ("
                             << errorText << "): it is kept for the next start";
    }
    // The notices of events taken up from the spool went out in the run that accepted them; their
    // names for the journaled hook come from the places as they are now. A press kept as it came is
    // named when it is written.
    for (JournalEvent& event : part) {
        if (event.kind == JournalEvent::Kind::PlacePress || event.kind == JournalEvent::Kind::UnitPress) {
            continue;
        } else if (event.kind == JournalEvent::Kind::Entry && event.code.size() == 4) {
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
    m_backlog += part;
    if (m_spool.backlogDone())
        reportSpoolDamage();
}

void JournalWriter::reportSpoolDamage()
{
    const qint64 damaged = m_spool.damagedLines();
    if (m_spool.mendedLines() > 0)
        qWarning().noquote() << "journal spool" << m_spool.path() << ":" << m_spool.mendedLines()
                             << "line(s) whose end had been changed to CR LF read as they were written";
    if (damaged == 0)
        return;
    if (m_spool.keepAsideFailed()) {
        // The spool is the only copy of what it could not keep aside: it stays as it is.
        m_keepSpool = true;
        qWarning().noquote() << "journal spool" << m_spool.path() << ":" << damaged
                             << "line(s) cannot be read and cannot be kept aside; every readable event is "
                                "written and the spool is kept as it is";
        return;
    }
    qWarning().noquote() << "journal spool" << m_spool.path() << ":" << damaged
                         << "line(s) that cannot be read kept aside in" << m_spool.keptAside()
                         << (m_spool.tornTail() ? "(the last one cut short by the end of the process);" : ";")
                         << "every readable event is written";
    // Once the events still waiting are all in hand, they are written to a spool of their own, so
    // that the damage is not met again.
    m_rewriteWanted = true;
}

JournalWriter::~JournalWriter()
{
    // Events still in the spool wait there for the next start; those held in memory only do not.
    if (m_memoryOnly > 0)
        qWarning().noquote() << "journal:" << m_memoryOnly
                             << "event(s) are lost: neither the journal nor its spool" << m_spool.path()
                             << "could take them";
}

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

void JournalWriter::refreshStalePlaces()
{
    if (!m_places.isStale() || m_placesReadFailedThisTick)
        return;
    try {
        m_places.refresh(0);
    } catch (const AppError&) {
        // The next press reports it.
    }
}

bool JournalWriter::IsRegistredButs(const QString& abcde)
{
    ensurePlaces();
    return m_places.isRegistered(abcde) || m_places.fromCopy();
}

ButsNames JournalWriter::GetButsNames(const QString& code)
{
    ensurePlaces();
    return m_places.namesOf(code);
}

void JournalWriter::accept(JournalEvent event)
{
    m_spool.number(event);
    // Behind events held in memory only, a new one waits its turn for the spool as well.
    event.spooled = spoolHeldEvents() && m_spool.append(event);
    if (!event.spooled) {
        if (m_memoryOnly == 0)
            qWarning().noquote() << "journal spool" << m_spool.path() << "cannot be written ("
                                 << m_spool.errorString() << "): waiting events are held in memory only";
        ++m_memoryOnly;
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

AcceptedEvent JournalWriter::acceptedOfLate(const JournaledEvent& event)
{
    AcceptedEvent accepted;
    accepted.ticket = event.ticket;
    accepted.cancel = event.cancel;
    accepted.time = event.time;
    accepted.code = event.code;
    accepted.f = event.f;
    accepted.names = event.entryNames;
    accepted.noticeNames = event.names;
    return accepted;
}

QList<AcceptedEvent> JournalWriter::waitingEvents() const
{
    // A press kept as it came is no call yet: nothing was announced of it.
    const auto told = [](const JournalEvent& event) {
        return event.kind == JournalEvent::Kind::Entry || event.kind == JournalEvent::Kind::Close;
    };
    QList<AcceptedEvent> events;
    events.reserve(m_backlog.size() + m_queue.size());
    for (qsizetype i = 0; i < m_backlog.size(); ++i) {
        if (told(m_backlog.at(i)))
            events.append(acceptedOf(m_backlog.at(i), m_firstBacklogTicket - i));
    }
    for (qsizetype i = 0; i < m_queue.size(); ++i) {
        if (told(m_queue.at(i)))
            events.append(acceptedOf(m_queue.at(i), m_firstTicket + i));
    }
    return events;
}

void JournalWriter::removeEntry(qint64 id, const QDateTime& removedAt)
{
    m_removals.append({id, sTSFromDateTime(removedAt)});
}

bool JournalWriter::removeWaiting(qint64 ticket, const QDateTime& removedAt)
{
    const JournalEvent* event = nullptr;
    if (ticket < 0) {
        const qint64 at = m_firstBacklogTicket - ticket;
        event = at >= 0 && at < m_backlog.size() ? &m_backlog.at(at) : nullptr;
    } else if (ticket >= m_firstTicket && ticket - m_firstTicket < m_queue.size()) {
        event = &m_queue.at(ticket - m_firstTicket);
    }
    if (!event || event->kind != JournalEvent::Kind::Entry)
        return false;
    m_removedWaiting.insert(ticket, sTSFromDateTime(removedAt));
    return true;
}

bool JournalWriter::spoolHeldEvents()
{
    if (m_memoryOnly == 0)
        return true;
    const int held = m_memoryOnly;
    for (qsizetype i = m_queue.size() - m_memoryOnly; i < m_queue.size(); ++i) {
        if (!m_spool.append(m_queue[i]))
            return false;
        m_queue[i].spooled = true;
        --m_memoryOnly;
    }
    qWarning().noquote() << "journal spool" << m_spool.path() << "can be written again: the" << held
                         << "event(s) held in memory only are in it now";
    publishStatus();
    return true;
}

QList<JournalEvent> JournalWriter::eventsOfPress(const QDateTime& time, const QString& code, const QString& f,
                                                 bool unit, bool registeredOnly) const
{
    QList<JournalEvent> events;
    if (unit) {
        if (registeredOnly && !m_places.isRegistered(code.left(2)))
            return events;
        const ButsNames names = m_places.namesOf(code.left(2));
        JournalEvent event;
        event.time = time;
        event.code = code;
        event.f = f;
        event.noticeNames = names;
        if (f != kbCancelFunction) {
            // The journal adds the key number; the notice goes out with the unit's place name alone.
            event.kind = JournalEvent::Kind::Entry;
            event.names = names;
            event.names.P += sKBcd(code);
        } else {
            event.kind = JournalEvent::Kind::Close;
        }
        events.append(std::move(event));
        return events;
    }
    for (const CachedPlace& place : m_places.placesByCode(code)) {
        // The entry and the notice carry the place's call code, also for a press of its cancel
        // code, and the names of this very place.
        JournalEvent event;
        event.time = time;
        event.code = place.abcde;
        event.f = f;
        event.noticeNames = place.names;
        if (f != placeCancelFunction) {
            event.kind = JournalEvent::Kind::Entry;
            event.names = place.names;
        } else {
            event.kind = JournalEvent::Kind::Close;
        }
        events.append(std::move(event));
    }
    return events;
}

void JournalWriter::acceptPress(const QList<JournalEvent>& events)
{
    for (const JournalEvent& event : events) {
        const AcceptedEvent accepted = acceptedOf(event, m_firstTicket + m_queue.size());
        accept(event);
        // The clients hear of every press, cancels included, before the journal changes.
        if (m_sendEventToClients)
            m_sendEventToClients(event.code, event.f, event.noticeNames.S, event.noticeNames.P);
        if (m_accepted)
            m_accepted(accepted);
    }
    m_refreshWanted = true;
}

void JournalWriter::keepPress(const QDateTime& time, const QString& code, const QString& f, bool unit)
{
    JournalEvent event;
    event.kind = unit ? JournalEvent::Kind::UnitPress : JournalEvent::Kind::PlacePress;
    event.time = time;
    event.code = code;
    event.f = f;
    accept(std::move(event));
}

void JournalWriter::InLogButs(const QDateTime& time_, const QString& abcde_, const QString& f_)
{
    ensurePlaces();
    const QList<JournalEvent> events = eventsOfPress(time_, abcde_, f_, false, false);
    if (events.isEmpty() && m_places.fromCopy()) {
        keepPress(time_, abcde_, f_, false);
        return;
    }
    acceptPress(events);
}

void JournalWriter::InLogKB(const QDateTime& time_, const QString& abcd_, const QString& f_)
{
    ensurePlaces();
    if (m_places.fromCopy() && !m_places.isRegistered(abcd_.left(2))) {
        keepPress(time_, abcd_, f_, true);
        return;
    }
    acceptPress(eventsOfPress(time_, abcd_, f_, true, false));
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

void JournalWriter::readPlacesForPress()
{
    // The write lock is held: nothing is waited for.
    if (!m_places.refresh(0) || m_places.fromCopy())
        throw db::DatabaseError(m_places.lastErrorCode(), m_places.lastError());
}

void JournalWriter::apply(const JournalEvent& event, qint64 ticket, QList<JournaledEvent>& done)
{
    const bool unit = event.kind == JournalEvent::Kind::UnitPress;
    if (!unit && event.kind != JournalEvent::Kind::PlacePress) {
        done.append(applyOne(event, ticket));
        return;
    }
    readPlacesForPress();
    for (const JournalEvent& meant : eventsOfPress(event.time, event.code, event.f, unit, true)) {
        JournaledEvent written = applyOne(meant, ticket);
        written.late = true;
        written.entryNames = meant.names;
        done.append(written);
    }
}

JournaledEvent JournalWriter::applyOne(const JournalEvent& event, qint64 ticket)
{
    JournaledEvent written{event.time, event.code, event.f, event.noticeNames, false, {}, 0,
                           ticket,     false,      {}};
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

bool JournalWriter::writeBatch(const QList<JournalEvent>& batch, bool fromBacklog,
                               QList<JournaledEvent>& written, QStringList& errors)
{
    // Power-cut safety for these events before the journal is touched.
    if (!batch.isEmpty() && !m_spool.sync() && !m_syncWarned) {
        qWarning().noquote() << "journal spool" << m_spool.path() << "cannot be flushed to disk";
        m_syncWarned = true;
    }
    QList<JournaledEvent> done;
    try {
        // The write lock first: once it is held, nothing of the batch waits for another program.
        m_db.executeStatement(QStringLiteral("BEGIN IMMEDIATE"));
        ensureOwnTables();
        // Removals first: a cancel written after them must not pair with a removed call.
        for (const auto& [id, removedAt] : std::as_const(m_removals))
            RemovedCalls::mark(m_db, id, removedAt);
        const qint64 alreadyWritten = committedThrough();
        qint64 lastSpooled = 0;
        for (qsizetype i = 0; i < batch.size(); ++i) {
            const JournalEvent& event = batch.at(i);
            // Only an event in the spool can have been written by an earlier run.
            if (event.spooled) {
                lastSpooled = qMax(lastSpooled, event.seq);
                if (event.seq <= alreadyWritten)
                    continue;
            }
            const qint64 ticket = fromBacklog ? m_firstBacklogTicket - i : m_firstTicket + i;
            m_db.executeStatement(QStringLiteral("SAVEPOINT journal_event"));
            try {
                QList<JournaledEvent> applied;
                apply(event, ticket, applied);
                done += applied;
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
        if (lastSpooled > alreadyWritten)
            markCommitted(lastSpooled);
        m_db.executeStatement(QStringLiteral("COMMIT"));
    } catch (const AppError& e) {
        // Nothing of the batch stays half written: it is all tried again at the next tick.
        rollbackIfOpen(m_db);
        const auto* dbError = dynamic_cast<const db::DatabaseError*>(&e);
        if (!m_unavailable) {
            m_unavailable = true;
            if (m_reporters.outageBegan)
                m_reporters.outageBegan(
                    QStringLiteral("Журнал недоступен: %1. События будут записаны, "
                                   "как только база данных снова примет их.\r%2")
                        .arg(outageCause(dbError ? dbError->code() : SQLITE_ERROR), e.message()));
        }
        return false;
    }
    m_ownTablesReady = true;
    m_removals.clear();
    for (const JournaledEvent& event : std::as_const(done))
        m_removedWaiting.remove(event.ticket);
    written += done;
    m_unavailable = false;
    return true;
}

void JournalWriter::flushQueue()
{
    // The next press re-checks the places held in memory.
    m_placesCheckedThisTick = false;
    m_placesReadFailedThisTick = false;

    const db::BusyTimeoutScope wait(m_db, kTickBusyTimeoutMs);
    QStringList errors;
    QList<JournaledEvent> written;
    // Events held in memory only go into the spool first, as soon as it can take them.
    spoolHeldEvents();

    // The previous run's events first, a part at a time and for a bounded time per tick; then this
    // run's, once none of those is left.
    bool failed = false;
    bool wroteAny = false;
    QElapsedTimer replay;
    replay.start();
    for (;;) {
        if (m_backlog.isEmpty())
            takeBacklog();
        const bool fromBacklog = !m_backlog.isEmpty();
        QList<JournalEvent>& batch = fromBacklog ? m_backlog : m_queue;
        // Removals asked for with nothing else waiting are written on their own.
        if (batch.isEmpty() && m_removals.isEmpty())
            break;
        if (!writeBatch(batch, fromBacklog, written, errors)) {
            failed = true;
            break;
        }
        wroteAny = wroteAny || !batch.isEmpty();
        if (fromBacklog) {
            m_firstBacklogTicket -= m_backlog.size();
        } else {
            m_memoryOnly = 0;
            m_firstTicket += m_queue.size();
        }
        batch.clear();
        if (!fromBacklog || replay.elapsed() >= kReplayBudgetMs)
            break;
    }
    if (!failed && wroteAny && m_backlog.isEmpty() && m_queue.isEmpty() && m_spool.backlogDone()) {
        if (!m_keepSpool && !m_spool.discard())
            qWarning().noquote() << "journal spool" << m_spool.path()
                                 << "cannot be removed:" << m_spool.errorString();
        m_rewriteWanted = false;
        m_syncWarned = false;
    }
    if (failed && m_rewriteWanted && m_spool.backlogDone())
        rewriteSpool();

    // Only what the journal now holds is announced, in the order it was written. A press kept as it
    // came is told to the clients only now, as what it turned out to be.
    for (const JournaledEvent& event : std::as_const(written)) {
        if (event.late) {
            m_refreshWanted = true;
            if (m_sendEventToClients)
                m_sendEventToClients(event.code, event.f, event.names.S, event.names.P);
            if (m_accepted)
                m_accepted(acceptedOfLate(event));
        }
        if (m_journaled)
            m_journaled(event);
    }
    if (!failed)
        refreshStalePlaces();
    if (failed) {
        publishStatus();
        return;
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

void JournalWriter::rewriteSpool()
{
    // Every event still waiting is in hand: the spool takes them alone, without its damage.
    QList<JournalEvent> waiting = m_backlog + m_queue;
    if (!m_spool.rewrite(waiting)) {
        qWarning().noquote() << "journal spool" << m_spool.path()
                             << "cannot be rewritten:" << m_spool.errorString();
        return;
    }
    m_rewriteWanted = false;
    for (JournalEvent& event : m_queue)
        event.spooled = true;
    if (m_memoryOnly > 0) {
        m_memoryOnly = 0;
        publishStatus();
    }
}

QString JournalWriter::statusText() const
{
    if (!m_unavailable)
        return {};
    const QString count = QString::number(pendingCount());
    // Part of the spool is not read yet: its events wait as well, uncounted.
    QString text = QStringLiteral("Журнал недоступен, ожидают записи: %1")
                       .arg(m_spool.backlogDone() ? count : QStringLiteral("не менее ") + count);
    if (m_memoryOnly > 0)
        text += QStringLiteral(", из них только в памяти: %1").arg(m_memoryOnly);
    return text;
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
