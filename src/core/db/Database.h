#pragma once

#include "core/db/ResultTable.h"

#include <QString>
#include <QVariant>
#include <QVariantList>

#include <sqlite3.h>

#include <memory>
#include <string_view>

namespace db {

// The one connection to the database file, owned by the main window from its creation to the
// confirmed close and used only on the user-interface thread.
//
// Every statement text and every text value goes to SQLite in Windows-1251 and comes back from it
// the same way; a character the code page lacks is stored as "?". Values from people or the network
// are passed as `?` parameters: a QString becomes text, an integer (or bool) a 64-bit integer, a
// double a float, a QByteArray a blob, an invalid or null QVariant NULL.
//
// Every failure raises AppError with the message the operator sees in the error box; a failure
// reported by SQLite raises its DatabaseError, which also carries SQLite's result code.
class Database
{
public:
    static std::unique_ptr<Database> openDatabase(const QString& path);
    // A connection that can only read: a missing file is an error instead of a new empty database,
    // and no statement on it can change the file.
    static std::unique_ptr<Database> openReadOnly(const QString& path);
    ~Database();

    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // Executes "PRAGMA synchronous = ON;" or "... OFF;" only when the state changes; a new
    // connection counts as off.
    void setSynchronous(bool on);
    // How long a statement waits for another program's lock on the file before it fails.
    void setBusyTimeout(int milliseconds);
    int busyTimeout() const { return m_busyTimeoutMs; }

    // Runs the first statement of the text, which must return no rows.
    void executeStatement(const QString& sql, const QVariantList& params = {});
    // Runs the first statement of the text and copies its whole result.
    ResultTable query(const QString& sql, const QVariantList& params = {});
    // Whether a table of that name exists, ignoring case.
    bool tableExists(const QString& name);

    void closeDatabase();
    bool isOpen() const { return m_connection != nullptr; }
    sqlite3* handle() const { return m_connection; }

private:
    explicit Database(sqlite3* connection) : m_connection(connection) {}
    sqlite3* openConnection() const; // fails when the connection was closed

    sqlite3* m_connection = nullptr;
    bool m_synchronous = false;
    int m_busyTimeoutMs = 0;

    friend class Statement;
};

// A shorter (or longer) wait for other programs' locks for as long as the object lives; the
// connection's own timeout comes back afterwards.
class BusyTimeoutScope
{
public:
    BusyTimeoutScope(Database& db, int milliseconds) : m_db(db), m_saved(db.busyTimeout())
    {
        if (m_db.isOpen())
            m_db.setBusyTimeout(milliseconds);
    }
    ~BusyTimeoutScope()
    {
        if (m_db.isOpen())
            m_db.setBusyTimeout(m_saved);
    }
    BusyTimeoutScope(const BusyTimeoutScope&) = delete;
    BusyTimeoutScope& operator=(const BusyTimeoutScope&) = delete;

private:
    Database& m_db;
    int m_saved;
};

// A prepared statement stepped row by row, for callers that must not copy a large result (the
// journal view pages through a million rows; the reaction-time pairing stops at the first closed
// entry). Column names are upper case, as in ResultTable. The statement is finalized when the
// object goes, whatever happened before.
class Statement
{
public:
    Statement(Database& database, const QString& sql);
    ~Statement();

    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    void bind(int index1, const QVariant& value); // positions count from 1
    void bindAll(const QVariantList& params);     // exactly one value per parameter
    // True when a row is ready; false once the statement is done, and again on every later call
    // until reset().
    bool step();
    // Back to the start with every parameter unbound, for re-use.
    void reset();

    int columnCount() const;
    QString columnName(int column) const;
    // The current row's values; NULL reads as "" and 0. int64() fails for a text or blob value.
    QString text(int column) const;
    qint64 int64(int column) const;
    bool isNull(int column) const;
    // The current row's value as the bytes SQLite holds (Windows-1251 for text), without decoding;
    // valid until the next step. NULL reads as an empty view. For readers of many rows that decode
    // only what they keep.
    std::string_view bytes(int column) const;

private:
    void checkColumn(int column) const;

    sqlite3* m_connection;
    sqlite3_stmt* m_statement = nullptr;
    QString m_sql;
    bool m_hasRow = false;
    bool m_done = false;
};

} // namespace db
