#include "core/journal/JournalStore.h"

#include "core/db/Database.h"
#include "core/journal/FilterClause.h"

namespace {

// The stored columns, in the order of JournalStore::StoredColumn.
const QString kStoredColumns =
    QStringLiteral("timest, timestr, groupsname, butsname, workersname, f, reactiontime");

QString selectText(const QString& where)
{
    return QStringLiteral("SELECT ") + kStoredColumns + QStringLiteral(" FROM logs ") + where +
           QStringLiteral(" ORDER BY timest DESC");
}

JournalStore::StoredRow storedRow(const db::Statement& select)
{
    JournalStore::StoredRow row;
    row.reserve(JournalStore::StoredColumns);
    for (int c = 0; c < JournalStore::StoredColumns; ++c)
        row << select.text(c);
    return row;
}

} // namespace

qint64 JournalStore::maxId()
{
    db::Statement top(m_db, QStringLiteral("SELECT max(id) FROM logs"));
    if (top.step() && !top.isNull(0))
        return top.int64(0);
    return 0;
}

qint64 JournalStore::countAfter(qint64 id)
{
    db::Statement added(m_db, QStringLiteral("SELECT count(*) FROM logs WHERE id > ?"));
    added.bind(1, id);
    return added.step() ? added.int64(0) : 0;
}

qint64 JournalStore::count(const QString& where, const QVariantList& params)
{
    db::Statement all(m_db, QStringLiteral("SELECT count(*) FROM logs ") + where);
    all.bindAll(params);
    return all.step() ? all.int64(0) : 0;
}

QList<JournalStore::StoredRow> JournalStore::page(const QString& where, const QVariantList& params, int limit,
                                                  qint64 offset)
{
    db::Statement select(m_db, selectText(where) + QStringLiteral(" LIMIT ? OFFSET ?"));
    QVariantList all = params;
    all << limit << offset;
    select.bindAll(all);
    QList<StoredRow> rows;
    while (select.step())
        rows << storedRow(select);
    return rows;
}

void JournalStore::forEach(const QString& where, const QVariantList& params,
                           const std::function<void(const StoredRow&)>& visit)
{
    db::Statement select(m_db, selectText(where));
    select.bindAll(params);
    while (select.step())
        visit(storedRow(select));
}

QStringList JournalStore::firstColumn(const QString& sql, const QString& column, const QVariantList& params)
{
    db::ResultTable rows = m_db.query(sql, params);
    QStringList values;
    while (!rows.endOfRows()) {
        values << rows.fieldByName(column);
        rows.nextRow();
    }
    return values;
}

QStringList JournalStore::wardNames()
{
    return firstColumn(
        QStringLiteral("SELECT DISTINCT groupsname FROM logs WHERE groupsname<>\"\" ORDER BY groupsname"),
        QStringLiteral("groupsname"));
}

QStringList JournalStore::placeNamesOfAllWards()
{
    return firstColumn(QStringLiteral("SELECT DISTINCT butsname, groupsname FROM logs ORDER BY butsname"),
                       QStringLiteral("butsname"));
}

QStringList JournalStore::placeNamesWithoutWard()
{
    return firstColumn(
        QStringLiteral(
            "SELECT DISTINCT butsname, groupsname FROM logs WHERE groupsname = \"\" ORDER BY butsname"),
        QStringLiteral("butsname"));
}

QStringList JournalStore::placeNamesOfWard(const QString& ward)
{
    return firstColumn(
        QStringLiteral(
            "SELECT DISTINCT butsname, groupsname FROM logs WHERE groupsname = ? ORDER BY butsname"),
        QStringLiteral("butsname"), {ward});
}

QString JournalStore::clearBound(const QDate& lastDay)
{
    const QDate next = lastDay.addDays(1);
    // A five-digit year would sort before every four-digit one: after the picker's last day the bound
    // lies past every time of that day instead.
    if (!next.isValid() || next.year() > 9999)
        return lastDay.toString(QStringLiteral("yyyy.MM.dd")) + QStringLiteral(" 24:00:00");
    return Filter::timestampText(next, QTime(0, 0));
}

void JournalStore::deleteUpTo(const QDate& lastDay)
{
    // Strictly before the next midnight: an entry stamped at 00:00:00 of the following day stays.
    m_db.executeStatement(QStringLiteral("DELETE FROM logs WHERE timest < ?"), {clearBound(lastDay)});
}
