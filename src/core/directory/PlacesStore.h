#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace db {
class Database;
}

// One place as the place editor loads and stores it.
struct PlaceRecord
{
    qint64 id = 0;
    QString name;
    QString comm;
    std::optional<qint64> groupsid; // no value: no ward (NULL)
    std::optional<qint64> workersid;
};

// A ward or a staff member offered in a drop-down: its id and the name shown.
struct PlacesChoice
{
    qint64 id = 0;
    QString name;
};

// The statements behind the places window and the place editor. Codes, names and comments travel as
// bound values, so a double quote or a text spelled like a column name is stored and found exactly
// as typed; ids are bound as integers.
namespace PlacesStore {

// Columns of the places list: call code, cancel code, place name, ward name, staff name, comment.
constexpr int kColumns = 6;

// Every place, in the order the database returns them, with the names of its ward and staff member
// (empty when the place has none or its id names no record). Five statements whatever the number of
// places: the names are fetched once into tables indexed by id.
QList<QStringList> readPlaces(db::Database& db);

// Deletes every place with this call code.
void deletePlaces(db::Database& db, const QString& abcde);

// The first place with this call code. Fails (AppError) when there is none.
PlaceRecord readPlace(db::Database& db, const QString& abcde);

// Stores name, comment, ward and staff member of the place `id`; the codes stay.
void updatePlace(db::Database& db, const PlaceRecord& place);

// Wards and staff members in the order the database returns them.
QList<PlacesChoice> readGroups(db::Database& db);
QList<PlacesChoice> readWorkers(db::Database& db);

} // namespace PlacesStore
