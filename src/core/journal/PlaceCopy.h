#pragma once

#include "core/journal/PlaceCache.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// The places, wards and staff members as the journal writer last read them from the database, kept
// in a file beside it ("orv_med.db.places"), so that a press can be recognised, named and announced
// even when the database cannot be read at all from the very start (another program's exclusive
// lock, a failing disk).
//
// The file is replaced whole through the durable-file module each time the places read from the
// database differ from what it holds: a crash leaves the old copy or the new one. It is written in
// the records of the durable-file module, one a line with its checksum, in UTF-8: the header
// "HALVANE-PLACES 1 <number of places>", then one record per place, in registration order: which of
// its two codes are set ("1" or "0" each), call code, cancel code, place, ward and staff member,
// separated by tabs (backslash, tab, carriage return and line feed inside a field written as \\, \t,
// \r and \n).
//
// It is read only when the database cannot be, and then as untrusted: a file that is not whole in
// every byte (a checksum that does not match, a line too long, a number of places that is not the
// header's, a file cut short) is not used at all, and one line on standard error says so.
class PlaceCopy
{
public:
    // No file for an empty path (a database in memory): load() finds none and store() keeps nothing.
    // Removes what a replace cut short left beside the file.
    explicit PlaceCopy(QString path);

    const QString& path() const { return m_path; }

    enum class Loaded { Places, Missing, Damaged };
    // Reads the copy. Damaged: it cannot be used; the reason went to standard error in one line.
    Loaded load(QList<CachedPlace>& places);
    // Makes the file hold these places, replacing it only when it holds anything else. False when it
    // cannot be written; standard error says so once for each new reason.
    bool store(const QList<CachedPlace>& places);

    // The file's content for these places, and back; decode() says why it refuses the bytes.
    static QByteArray encode(const QList<CachedPlace>& places);
    static bool decode(const QByteArray& bytes, QList<CachedPlace>& places, QString* why = nullptr);

    // A longer file is not read: more places than any ward has.
    static constexpr qint64 kMaxFileBytes = 64 << 20;

private:
    // The file's bytes, read to at most limit bytes; none when it is missing, unreadable or larger.
    std::optional<QByteArray> readFile(qint64 limit, QString* why) const;

    QString m_path;
    std::optional<QByteArray> m_onDisk; // what the file is known to hold
    QString m_storeError;               // the last reason told for a failed store
};
