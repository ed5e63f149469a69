#include "core/directory/PlacesStore.h"

#include "core/db/Database.h"

#include <QHash>

#include <vector>

namespace {

// Names by id, as long as the largest id plus one. Ids only grow, so the table is dense in practice;
// a file edited by hand may hold an id far beyond the number of rows, and such a table keeps its
// names in a hash instead of allocating every index up to it.
class PlacesNameTable
{
public:
    explicit PlacesNameTable(qint64 maxId)
    {
        if (maxId >= 0 && maxId < kDenseLimit)
            m_dense.resize(static_cast<std::size_t>(maxId) + 1);
        else
            m_sparse = true;
    }

    void set(qint64 id, const QString& name)
    {
        if (m_sparse)
            m_byId.insert(id, name);
        else if (id >= 0 && id < static_cast<qint64>(m_dense.size()))
            m_dense[static_cast<std::size_t>(id)] = name;
    }

    // Empty for an id outside the table or at a deleted id.
    QString get(qint64 id) const
    {
        if (m_sparse)
            return m_byId.value(id);
        if (id >= 0 && id < static_cast<qint64>(m_dense.size()))
            return m_dense[static_cast<std::size_t>(id)];
        return QString();
    }

private:
    static constexpr qint64 kDenseLimit = 1 << 20;
    bool m_sparse = false;
    std::vector<QString> m_dense;
    QHash<qint64, QString> m_byId;
};

qint64 maxId(db::Database& db, const QString& sql)
{
    const db::ResultTable table = db.query(sql);
    return table.rowCount() > 0 ? table.fieldAsInteger(0) : 0;
}

// The id of a row as an integer; a value that is no integer (a text stored by hand) names nothing.
std::optional<qint64> idField(const db::ResultTable& table, const QString& column)
{
    const int index = table.fieldIndex(column);
    if (table.fieldIsNull(index))
        return std::nullopt;
    bool ok = false;
    const qint64 id = table.fieldAsText(index).toLongLong(&ok);
    if (!ok)
        return std::nullopt;
    return id;
}

void fillNames(db::Database& db, const QString& sql, PlacesNameTable& names)
{
    db::ResultTable table = db.query(sql);
    while (!table.endOfRows()) {
        if (const auto id = idField(table, QStringLiteral("id")))
            names.set(*id, table.fieldByName(QStringLiteral("name")));
        table.nextRow();
    }
}

QString nameOf(const db::ResultTable& table, const QString& column, const PlacesNameTable& names)
{
    const auto id = idField(table, column);
    return id ? names.get(*id) : QString();
}

QList<PlacesChoice> readChoices(db::Database& db, const QString& sql)
{
    QList<PlacesChoice> choices;
    db::ResultTable table = db.query(sql);
    choices.reserve(table.rowCount());
    while (!table.endOfRows()) {
        PlacesChoice choice;
        choice.id = table.fieldByName(QStringLiteral("id")).toLongLong();
        choice.name = table.fieldByName(QStringLiteral("name"));
        choices.append(choice);
        table.nextRow();
    }
    return choices;
}

QVariant idOrNull(const std::optional<qint64>& id)
{
    return id ? QVariant(*id) : QVariant();
}

} // namespace

namespace PlacesStore {

QList<QStringList> readPlaces(db::Database& db)
{
    PlacesNameTable wards(maxId(db, QStringLiteral("SELECT max(id) FROM groups ")));
    PlacesNameTable staff(maxId(db, QStringLiteral("SELECT max(id) FROM workers ")));
    fillNames(db, QStringLiteral("SELECT * FROM groups "), wards);
    fillNames(db, QStringLiteral("SELECT * FROM workers "), staff);

    db::ResultTable table = db.query(QStringLiteral("SELECT * FROM buts "));
    QList<QStringList> rows;
    rows.reserve(table.rowCount());
    while (!table.endOfRows()) {
        rows.append(QStringList{
            table.fieldByName(QStringLiteral("abcde")), table.fieldByName(QStringLiteral("btnclr")),
            table.fieldByName(QStringLiteral("name")), nameOf(table, QStringLiteral("groupsid"), wards),
            nameOf(table, QStringLiteral("workersid"), staff), table.fieldByName(QStringLiteral("comm"))});
        table.nextRow();
    }
    return rows;
}

void deletePlaces(db::Database& db, const QString& abcde)
{
    db.executeStatement(QStringLiteral("DELETE FROM buts WHERE abcde=?"), {abcde});
}

PlaceRecord readPlace(db::Database& db, const QString& abcde)
{
    const db::ResultTable table = db.query(QStringLiteral("SELECT * FROM buts WHERE abcde=?"), {abcde});
    PlaceRecord place;
    // On an empty result this fails with the empty-dataset message: the place was deleted behind
    // the list's back.
    place.id = table.fieldByName(QStringLiteral("id")).toLongLong();
    place.name = table.fieldByName(QStringLiteral("name"));
    place.comm = table.fieldByName(QStringLiteral("comm"));
    place.groupsid = idField(table, QStringLiteral("groupsid"));
    place.workersid = idField(table, QStringLiteral("workersid"));
    return place;
}

void updatePlace(db::Database& db, const PlaceRecord& place)
{
    db.executeStatement(
        QStringLiteral("UPDATE buts SET comm = ?, name = ?, groupsid=?, workersid=? WHERE id = ?"),
        {place.comm, place.name, idOrNull(place.groupsid), idOrNull(place.workersid), place.id});
}

QList<PlacesChoice> readGroups(db::Database& db)
{
    return readChoices(db, QStringLiteral("SELECT * FROM groups"));
}

QList<PlacesChoice> readWorkers(db::Database& db)
{
    return readChoices(db, QStringLiteral("SELECT * FROM workers"));
}

} // namespace PlacesStore
