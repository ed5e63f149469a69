#pragma once

#include <QHash>
#include <QList>
#include <QString>

#include <memory>

namespace db {
class Database;
} // namespace db
class PlaceCopy;

// The names a place carries into the journal: place, ward and responsible staff member, each ""
// when there is none.
struct ButsNames
{
    QString P, G, S;
};

// One place as the journal writer needs it: its two codes and its names.
struct CachedPlace
{
    QString abcde;  // call code ("" and never matched when NULL in the file)
    QString btnclr; // cancel code, likewise
    bool hasAbcde = false;
    bool hasBtnclr = false;
    ButsNames names;
};

// The places, wards and staff members held in memory, so that a press is recognised and its notice
// named without waiting for the database: the file may be locked by another program, or failing,
// exactly when a call comes in.
//
// The copy is read again when it may have gone stale:
// - this connection changed buts, groups or workers (SQLite's update hook notices it, and
//   invalidate() says so explicitly, for changes the hook cannot see);
// - another program committed a change to the file (PRAGMA data_version has moved).
// Both are checked by refresh(), which the journal writer calls at most once per dispatcher tick.
// When the file cannot be read, the copy in hand is used as it is and the next tick tries again.
//
// Every read from the database is kept in a file beside it as well (PlaceCopy, "<database>.places"),
// replaced whenever the places differ from it. When the database cannot be read at all when the
// places are first needed (another program's exclusive lock from before the start), they are taken
// from that file instead, until the database can be read: fromCopy() says so. A missing or damaged
// file gives no places at all then.
//
// User-interface thread only, like the connection. The cache installs the connection's update hook
// and removes it again when it goes; nothing else in the program uses that hook.
class PlaceCache
{
public:
    explicit PlaceCache(db::Database& db);
    ~PlaceCache();
    PlaceCache(const PlaceCache&) = delete;
    PlaceCache& operator=(const PlaceCache&) = delete;

    // Marks the copy stale; the next refresh() reads it again.
    void invalidate() { m_stale = true; }

    // Reads the places again when the copy is stale or another program changed the file, waiting
    // at most busyTimeoutMs for another program's lock. Returns false when the file could not be
    // read; the copy in hand stays, or, when there was none yet, the places come from the file
    // beside the database. Throws the database's AppError only when there is no copy at all yet and
    // no file beside the database (a database in memory), since then no press can be recognised.
    bool refresh(int busyTimeoutMs);

    bool isLoaded() const { return m_loaded; }
    bool isStale() const { return m_stale; }
    // The places in hand come from the file beside the database, not from the database: a code they
    // do not know may still be a place's.
    bool fromCopy() const { return m_fromCopy; }
    // Why the last refresh() could not read the database: the error's text and SQLite result code.
    const QString& lastError() const { return m_lastError; }
    int lastErrorCode() const { return m_lastErrorCode; }
    const QString& copyPath() const;

    // The places whose call or cancel code is the code, in the order they were registered.
    QList<CachedPlace> placesByCode(const QString& code) const;
    // The places whose cancel code is the code, in the order they were registered.
    QList<CachedPlace> placesByCancelCode(const QString& code) const;
    bool isRegistered(const QString& code) const;
    // The names of the first place whose call or cancel code is the code; all "" when none.
    ButsNames namesOf(const QString& code) const;

private:
    void load();
    void takeCopy();
    void setPlaces(QList<CachedPlace> places);
    qint64 dataVersion();
    static void onUpdate(void* self, int operation, const char* database, const char* table, qint64 rowid);

    db::Database& m_db;
    QList<CachedPlace> m_places;           // in id order
    QHash<QString, QList<int>> m_byCode;   // code -> positions in m_places, call or cancel code
    QHash<QString, QList<int>> m_byCancel; // cancel code -> positions
    bool m_loaded = false;
    bool m_stale = true;
    bool m_fromCopy = false;
    bool m_copyUnsaved = false; // the last places read could not be written beside the database
    qint64 m_dataVersion = -1;
    std::unique_ptr<PlaceCopy> m_copy;
    QString m_lastError;
    int m_lastErrorCode = 0;
};
