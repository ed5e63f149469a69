#include "core/journal/PlaceCache.h"

#include "core/base/AppError.h"
#include "core/base/Cp1251.h"
#include "core/db/Database.h"
#include "core/db/DatabaseError.h"
#include "core/journal/PlaceCopy.h"

#include <sqlite3.h>

#include <QFile>

#include <cstring>

namespace {

// The database compares codes as Windows-1251 bytes, where a character the code page lacks is "?";
// the copy compares them the same way.
QString asStored(const QString& code)
{
    return Cp1251::decode(Cp1251::encode(code));
}

QHash<qint64, QString> namesById(db::Database& db, const QString& sql)
{
    QHash<qint64, QString> names;
    db::Statement rows(db, sql);
    while (rows.step()) {
        // "SELECT * FROM groups WHERE id=..." takes the first row of an id.
        const qint64 id = rows.int64(0);
        if (!names.contains(id))
            names.insert(id, rows.text(1));
    }
    return names;
}

QString copyPathOf(db::Database& db)
{
    if (!db.isOpen())
        return {};
    const char* file = sqlite3_db_filename(db.handle(), "main");
    if (!file || !*file)
        return {}; // in memory or temporary: the places are read again at the next start anyway
    return QFile::decodeName(file) + QStringLiteral(".places");
}

} // namespace

PlaceCache::PlaceCache(db::Database& db) : m_db(db), m_copy(std::make_unique<PlaceCopy>(copyPathOf(db)))
{
    if (m_db.isOpen())
        sqlite3_update_hook(m_db.handle(), &PlaceCache::onUpdate, this);
}

const QString& PlaceCache::copyPath() const
{
    return m_copy->path();
}

PlaceCache::~PlaceCache()
{
    if (m_db.isOpen())
        sqlite3_update_hook(m_db.handle(), nullptr, nullptr);
}

void PlaceCache::onUpdate(void* self, int, const char*, const char* table, qint64)
{
    if (!table)
        return;
    if (std::strcmp(table, "buts") == 0 || std::strcmp(table, "groups") == 0 ||
        std::strcmp(table, "workers") == 0)
        static_cast<PlaceCache*>(self)->m_stale = true;
}

qint64 PlaceCache::dataVersion()
{
    return m_db.query(QStringLiteral("PRAGMA data_version")).fieldAsInteger(0);
}

bool PlaceCache::refresh(int busyTimeoutMs)
{
    try {
        const db::BusyTimeoutScope wait(m_db, busyTimeoutMs);
        // Read before the places, so that a change committed while they are read shows next time.
        const qint64 version = dataVersion();
        if (m_loaded && !m_stale && version == m_dataVersion) {
            // A copy that could not be written is tried again while nothing else is to be done.
            if (m_copyUnsaved)
                m_copyUnsaved = !m_copy->store(m_places);
            return true;
        }
        load();
        m_dataVersion = version;
        return true;
    } catch (const AppError& e) {
        m_lastError = e.message();
        const auto* dbError = dynamic_cast<const db::DatabaseError*>(&e);
        m_lastErrorCode = dbError ? dbError->code() : SQLITE_ERROR;
        if (!m_loaded) {
            if (m_copy->path().isEmpty())
                throw;
            takeCopy();
        }
        return false;
    }
}

void PlaceCache::takeCopy()
{
    QList<CachedPlace> places;
    // A missing or damaged copy knows no place: every press then waits as it came.
    if (m_copy->load(places) != PlaceCopy::Loaded::Places)
        places.clear();
    setPlaces(std::move(places));
    m_fromCopy = true;
    // The database is read again at the next refresh.
    m_stale = true;
}

void PlaceCache::load()
{
    // Still stale until the new copy is complete: a failed load must be tried again.
    m_stale = true;
    const QHash<qint64, QString> wards = namesById(m_db, QStringLiteral("SELECT id, name FROM groups"));
    const QHash<qint64, QString> staff = namesById(m_db, QStringLiteral("SELECT id, name FROM workers"));

    QList<CachedPlace> places;
    db::Statement rows(
        m_db, QStringLiteral("SELECT abcde, btnclr, name, groupsid, workersid FROM buts ORDER BY id"));
    while (rows.step()) {
        CachedPlace place;
        place.hasAbcde = !rows.isNull(0);
        place.hasBtnclr = !rows.isNull(1);
        place.abcde = rows.text(0);
        place.btnclr = rows.text(1);
        place.names.P = rows.text(2);
        if (!rows.isNull(3))
            place.names.G = wards.value(rows.int64(3));
        if (!rows.isNull(4))
            place.names.S = staff.value(rows.int64(4));
        places.append(place);
    }
    setPlaces(std::move(places));
    m_fromCopy = false;
    m_stale = false;
    // The file beside the database follows what the database holds now.
    m_copyUnsaved = !m_copy->store(m_places);
}

void PlaceCache::setPlaces(QList<CachedPlace> places)
{
    QHash<QString, QList<int>> byCode;
    QHash<QString, QList<int>> byCancel;
    for (int i = 0; i < places.size(); ++i) {
        const CachedPlace& place = places.at(i);
        if (place.hasAbcde)
            byCode[place.abcde].append(i);
        if (place.hasBtnclr) {
            byCancel[place.btnclr].append(i);
            // A place whose two codes are the same is listed once for that code.
            if (!place.hasAbcde || place.btnclr != place.abcde)
                byCode[place.btnclr].append(i);
        }
    }
    m_places = std::move(places);
    m_byCode = std::move(byCode);
    m_byCancel = std::move(byCancel);
    m_loaded = true;
}

QList<CachedPlace> PlaceCache::placesByCode(const QString& code) const
{
    QList<CachedPlace> found;
    // Positions were appended in registration order, once per place.
    for (int i : m_byCode.value(asStored(code)))
        found.append(m_places.at(i));
    return found;
}

QList<CachedPlace> PlaceCache::placesByCancelCode(const QString& code) const
{
    QList<CachedPlace> found;
    for (int i : m_byCancel.value(asStored(code)))
        found.append(m_places.at(i));
    return found;
}

bool PlaceCache::isRegistered(const QString& code) const
{
    return m_byCode.contains(asStored(code));
}

ButsNames PlaceCache::namesOf(const QString& code) const
{
    const QList<int> positions = m_byCode.value(asStored(code));
    if (positions.isEmpty())
        return {};
    return m_places.at(positions.constFirst()).names;
}
