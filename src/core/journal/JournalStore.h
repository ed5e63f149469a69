#pragma once

#include <QDate>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantList>

#include <functional>

namespace db {
class Database;
}

// The journal as the windows read and shrink it: the grid's counts and pages, the export's walk
// through every entry, the filter's lists of wards and places, and the clearing. Every statement on
// `logs` that a window needs is here; the windows run none of their own. The journal writer, which
// adds and closes entries, keeps its statements to itself.
//
// A clause is the filter's: empty, or " WHERE " and its conditions with `?` for every value, the
// values in `params`. Every operation raises the database error when a statement fails.
class JournalStore
{
public:
    explicit JournalStore(db::Database& database) : m_db(database) {}

    // The stored texts of one entry, in this order.
    enum StoredColumn { Timest, Timestr, Ward, Place, Staff, Function, Reaction, StoredColumns };
    using StoredRow = QStringList;

    // The largest id of the journal; 0 when it is empty.
    qint64 maxId();
    // The entries added after the one with that id (ids only grow).
    qint64 countAfter(qint64 id);
    // The entries the clause lets through.
    qint64 count(const QString& where, const QVariantList& params);
    // At most `limit` entries the clause lets through, newest first, after skipping `offset`.
    QList<StoredRow> page(const QString& where, const QVariantList& params, int limit, qint64 offset);
    // Every entry the clause lets through, newest first, one at a time: the journal may be too long
    // to hold at once.
    void forEach(const QString& where, const QVariantList& params,
                 const std::function<void(const StoredRow&)>& visit);

    // The ward names the journal holds (never the empty one), in name order; a name may come more
    // than once in another letter case.
    QStringList wardNames();
    // The place names the journal holds, in name order, once per ward they were journaled under: of
    // every ward, of the entries without a ward, or of one ward.
    QStringList placeNamesOfAllWards();
    QStringList placeNamesWithoutWard();
    QStringList placeNamesOfWard(const QString& ward);

    // The first timestamp that stays when the journal is cleared up to the end of `lastDay`:
    // midnight starting the next day.
    static QString clearBound(const QDate& lastDay);
    // Deletes every entry of `lastDay` and of all earlier days.
    void deleteUpTo(const QDate& lastDay);

private:
    QStringList firstColumn(const QString& sql, const QString& column, const QVariantList& params = {});

    db::Database& m_db;
};
