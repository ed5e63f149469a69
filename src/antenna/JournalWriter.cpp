#include "antenna/JournalWriter.h"

#include "antenna/TimeFormat.h"
#include "db/Database.h"

#include <QStringList>

#include <limits>
#include <utility>

namespace {

// Places in the order they were registered, whichever index the look-up uses: "the first place" of
// a code and the order of the notices stay the same with or without indexes.
const QString placesByCode = QStringLiteral(
    "SELECT abcde, btnclr, name, groupsid, workersid FROM buts WHERE abcde=? or btnclr=? ORDER BY id");
// Column positions in placesByCode.
constexpr int groupsIdColumn = 3;
constexpr int workersIdColumn = 4;

const QString placeCancelFunction = QStringLiteral("2");
const QString kbCancelFunction = QStringLiteral("d");

} // namespace

JournalWriter::JournalWriter(db::Database& db, SendEvent sendEventToClients, std::function<void()> refreshLog)
    : m_db(db), m_sendEventToClients(std::move(sendEventToClients)), m_refreshLog(std::move(refreshLog))
{
}

bool JournalWriter::IsRegistredButs(const QString& abcde)
{
    if (m_db.query(QStringLiteral("SELECT * FROM buts WHERE abcde=?"), {abcde}).rowCount() > 0)
        return true;
    return m_db.query(QStringLiteral("SELECT * FROM buts WHERE btnclr=?"), {abcde}).rowCount() > 0;
}

ButsNames JournalWriter::GetButsNames(const QString& code)
{
    const db::ResultTable places = m_db.query(placesByCode, {code, code});
    if (places.rowCount() == 0)
        return {};
    return namesOfPlaceRow(places);
}

void JournalWriter::InLogButs(const QDateTime& time_, const QString& abcde_, const QString& f_)
{
    const QString ts = sTSFromDateTime(time_);
    db::ResultTable places = m_db.query(placesByCode, {abcde_, abcde_});
    while (!places.endOfRows()) {
        // The entry and the notice carry the place's call code, also for a press of its cancel
        // code. The names are those of this very row: looking them up again by the call code could
        // land on another place that has this code as its cancel code.
        const QString code = places.fieldByName(QStringLiteral("abcde"));
        const ButsNames names = namesOfPlaceRow(places);
        // The clients hear of every press, cancels included, before the journal changes.
        if (m_sendEventToClients)
            m_sendEventToClients(code, f_, names.S, names.P);
        if (f_ != placeCancelFunction) {
            insertEntry(ts, code, f_, names);
            journaled(time_, code, f_, names, false);
        } else {
            journaled(time_, code, f_, names, true, SetReactionTime(code, time_));
        }
        places.nextRow();
    }
    refresh();
}

void JournalWriter::InLogKB(const QDateTime& time_, const QString& abcd_, const QString& f_)
{
    const QString ts = sTSFromDateTime(time_);
    ButsNames names = GetButsNames(abcd_.left(2));
    // The notice goes out with the unit's place name alone; the journal adds the key number.
    if (m_sendEventToClients)
        m_sendEventToClients(abcd_, f_, names.S, names.P);
    if (f_ != kbCancelFunction) {
        ButsNames entryNames = names;
        entryNames.P += sKBcd(abcd_);
        insertEntry(ts, abcd_, f_, entryNames);
        journaled(time_, abcd_, f_, names, false);
    } else {
        journaled(time_, abcd_, f_, names, true, SetReactionTime(abcd_, time_));
    }
    refresh();
}

QList<ClosedEntry> JournalWriter::SetReactionTime(const QString& code, const QDateTime& cancelTime)
{
    const QString closedAt = sTSFromDateTime(cancelTime);
    QList<std::pair<qint64, QString>> pairs;

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
        const qint64 seconds = hms.size() == 3
                                   ? hms.at(0).toLongLong() * 3600 + hms.at(1).toLongLong() * 60 + hms.at(2).toLongLong()
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
    // top, however long the code's history is.
    db::Statement entries(
        m_db, QStringLiteral("SELECT id, timest, timestr FROM logs WHERE abcde=? ORDER BY timest DESC"));
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

ButsNames JournalWriter::namesOfPlaceRow(const db::ResultTable& places)
{
    ButsNames names;
    names.P = places.fieldByName(QStringLiteral("name"));
    if (!places.fieldIsNull(groupsIdColumn))
        names.G = nameById(QStringLiteral("SELECT * FROM groups WHERE id=?"),
                           places.fieldAsInteger(groupsIdColumn));
    if (!places.fieldIsNull(workersIdColumn))
        names.S = nameById(QStringLiteral("SELECT * FROM workers WHERE id=?"),
                           places.fieldAsInteger(workersIdColumn));
    return names;
}

QString JournalWriter::nameById(const QString& sql, qint64 id)
{
    const db::ResultTable rows = m_db.query(sql, {QVariant(qlonglong(id))});
    if (rows.rowCount() == 0)
        return {};
    return rows.fieldByName(QStringLiteral("name"));
}

void JournalWriter::insertEntry(const QString& ts, const QString& code, const QString& f,
                                const ButsNames& names)
{
    m_db.executeStatement(QStringLiteral("INSERT INTO logs (timest, timestr, abcde, f, butsname, groupsname, "
                                         "workersname, reactiontime) VALUES ( ? , '', ?, ? , ? , ?, ?, '')"),
                          {ts, code, f, names.P, names.G, names.S});
}

void JournalWriter::journaled(const QDateTime& time, const QString& code, const QString& f,
                              const ButsNames& names, bool cancel, QList<ClosedEntry> closed)
{
    if (m_journaled)
        m_journaled(JournaledEvent{time, code, f, names, cancel, std::move(closed)});
}

void JournalWriter::refresh()
{
    if (m_refreshLog)
        m_refreshLog();
}
