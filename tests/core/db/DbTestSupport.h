#pragma once

#include "core/base/AppError.h"
#include "core/base/Cp1251.h"
#include "core/db/Database.h"

#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <sqlite3.h>

#include <functional>
#include <utility>

namespace dbtest {

// Records the text of every statement the connection starts, as the program wrote it.
class StatementTrace
{
public:
    explicit StatementTrace(sqlite3* connection) : m_connection(connection)
    {
        sqlite3_trace_v2(connection, SQLITE_TRACE_STMT, &StatementTrace::record, this);
    }
    ~StatementTrace() { sqlite3_trace_v2(m_connection, 0, nullptr, nullptr); }

    QStringList take() { return std::exchange(m_statements, {}); }

private:
    static int record(unsigned, void* self, void* statement, void*)
    {
        const char* sql = sqlite3_sql(static_cast<sqlite3_stmt*>(statement));
        static_cast<StatementTrace*>(self)->m_statements.append(Cp1251::decode(QByteArray(sql)));
        return 0;
    }

    sqlite3* m_connection;
    QStringList m_statements;
};

// A second, plain connection to the same file, as another program would hold it.
class PlainConnection
{
public:
    explicit PlainConnection(const QString& path) { sqlite3_open(path.toUtf8().constData(), &m_connection); }
    ~PlainConnection() { sqlite3_close(m_connection); }
    sqlite3* handle() const { return m_connection; }

    int exec(const char* sql) { return sqlite3_exec(m_connection, sql, nullptr, nullptr, nullptr); }

    // The first column of the first row as UTF-8 text, "<null>" when there is none.
    QString scalar(const char* sql)
    {
        sqlite3_stmt* statement = nullptr;
        QString result = QStringLiteral("<null>");
        if (sqlite3_prepare_v2(m_connection, sql, -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW && sqlite3_column_type(statement, 0) != SQLITE_NULL)
            result = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
        sqlite3_finalize(statement);
        return result;
    }

private:
    sqlite3* m_connection = nullptr;
};

// The message of the AppError the call raises, or "<no error>".
inline QString errorOf(const std::function<void()>& call)
{
    try {
        call();
    } catch (const AppError& e) {
        return e.message();
    }
    return QStringLiteral("<no error>");
}

// Every statement the layer prepared has been finalized again.
inline bool noOpenStatements(const db::Database& database)
{
    return sqlite3_next_stmt(database.handle(), nullptr) == nullptr;
}

// All rows of a query, each row's fields joined by "|", NULL shown as "<null>".
inline QStringList rowsOf(db::Database& database, const QString& sql, const QVariantList& params = {})
{
    db::ResultTable table = database.query(sql, params);
    QStringList rows;
    for (; !table.endOfRows(); table.nextRow()) {
        QStringList fields;
        for (int c = 0; c < table.columnCount(); ++c)
            fields.append(table.fieldIsNull(c) ? QStringLiteral("<null>") : table.fieldAsText(c));
        rows.append(fields.join(QLatin1Char('|')));
    }
    return rows;
}

} // namespace dbtest
