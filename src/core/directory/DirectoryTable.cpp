#include "core/directory/DirectoryTable.h"

#include "core/db/Database.h"

DirectoryTable::DirectoryTable(db::Database& database, QString table, QString placesColumn)
    : m_db(&database), m_table(std::move(table)), m_placesColumn(std::move(placesColumn))
{
}

DirectoryTable DirectoryTable::wards(db::Database& database)
{
    return DirectoryTable(database, QStringLiteral("groups"), QStringLiteral("groupsid"));
}

DirectoryTable DirectoryTable::staff(db::Database& database)
{
    return DirectoryTable(database, QStringLiteral("workers"), QStringLiteral("workersid"));
}

namespace {

DirectoryRecord currentRecord(const db::ResultTable& result)
{
    DirectoryRecord record;
    record.id = result.fieldAsInteger(result.fieldIndex(QStringLiteral("id")));
    record.name = result.fieldByName(QStringLiteral("name"));
    record.comm = result.fieldByName(QStringLiteral("comm"));
    return record;
}

} // namespace

QList<DirectoryRecord> DirectoryTable::records() const
{
    db::ResultTable result = m_db->query(QStringLiteral("SELECT * FROM ") + m_table);
    QList<DirectoryRecord> list;
    list.reserve(result.rowCount());
    while (!result.endOfRows()) {
        list.append(currentRecord(result));
        result.nextRow();
    }
    return list;
}

int DirectoryTable::placesNaming(qint64 id) const
{
    // e.g. SELECT * FROM groups, buts WHERE buts.groupsid=groups.id and groups.id=?
    const QString sql =
        QStringLiteral("SELECT * FROM %1, buts WHERE buts.%2=%1.id and %1.id=?").arg(m_table, m_placesColumn);
    return m_db->query(sql, {id}).rowCount();
}

bool DirectoryTable::nameExists(const QString& name) const
{
    return m_db->query(QStringLiteral("SELECT * FROM %1 WHERE name=?").arg(m_table), {name}).rowCount() > 0;
}

DirectoryRecord DirectoryTable::firstRecord(const QString& sql, const QVariant& value) const
{
    // An empty result fails on reading `id`, with the database layer's empty-result message.
    return currentRecord(m_db->query(sql, {value}));
}

DirectoryRecord DirectoryTable::byName(const QString& name) const
{
    return firstRecord(QStringLiteral("SELECT * FROM %1 WHERE name=?").arg(m_table), name);
}

DirectoryRecord DirectoryTable::byId(qint64 id) const
{
    return firstRecord(QStringLiteral("SELECT * FROM %1 WHERE id=?").arg(m_table), id);
}

void DirectoryTable::insert(const QString& name, const QString& comm) const
{
    m_db->executeStatement(QStringLiteral("INSERT INTO ") + m_table + QStringLiteral("(name, comm) ") +
                               QStringLiteral("VALUES ( ? , ?)"),
                           {name, comm});
}

void DirectoryTable::update(qint64 id, const QString& name, const QString& comm) const
{
    m_db->executeStatement(QStringLiteral("UPDATE %1 SET comm = ?, name = ? WHERE id = ?").arg(m_table),
                           {comm, name, id});
}

void DirectoryTable::remove(qint64 id) const
{
    m_db->executeStatement(QStringLiteral("DELETE FROM %1 WHERE id=?").arg(m_table), {id});
}
