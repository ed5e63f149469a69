#pragma once

#include <QList>
#include <QString>
#include <QVariant>

namespace db {
class Database;
}

// One ward or responsible staff member as stored: its key, its name and its comment. The key is kept
// at the database's full width, so a record is never taken for another whose key shares its low bits.
struct DirectoryRecord
{
    qint64 id = -1;
    QString name;
    QString comm;
};

// The statements of the ward and staff directories, over the table `groups` or `workers` with the
// places referring to it through `buts.groupsid` or `buts.workersid`. Both tables have the same shape,
// so one class serves both; only the two fixed instances exist, so no table name ever comes from
// outside. Names and comments travel as bound parameters, so a double quote, a semicolon or a value
// spelled like a column name is stored and compared exactly as typed.
//
// Records are addressed by their key wherever the operator picked one row: two records may carry the
// same name (an edit is not compared with the others), and acting on the name would reach both.
//
// Every failure raises AppError with the database layer's message.
class DirectoryTable
{
public:
    static DirectoryTable wards(db::Database& database);
    static DirectoryTable staff(db::Database& database);

    const QString& table() const { return m_table; }

    // Every record, in the order the database returns them.
    QList<DirectoryRecord> records() const;
    // How many places name the record.
    int placesNaming(qint64 id) const;
    // Whether some record has exactly this name (letter case and blanks count).
    bool nameExists(const QString& name) const;
    // The first record of that name; a missing one fails with the empty-result error.
    DirectoryRecord byName(const QString& name) const;
    // The record with that key; a missing one fails with the empty-result error.
    DirectoryRecord byId(qint64 id) const;

    void insert(const QString& name, const QString& comm) const;
    void update(qint64 id, const QString& name, const QString& comm) const;
    void remove(qint64 id) const;

private:
    DirectoryTable(db::Database& database, QString table, QString placesColumn);
    DirectoryRecord firstRecord(const QString& sql, const QVariant& value) const;

    db::Database* m_db;
    QString m_table;
    QString m_placesColumn;
};
