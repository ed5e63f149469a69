#include "core/db/Database.h"

#include "core/base/AppError.h"
#include "core/base/Cp1251.h"
#include "core/db/DatabaseError.h"
#include "core/db/ErrorReport.h"

#include <QMetaType>

#include <limits>

namespace db {

namespace {

const QString kPrepareFailed = QStringLiteral("Error executing SQL");
const QString kNoStatement = QStringLiteral("Could not prepare SQL statement");
const QString kStepFailed = QStringLiteral("Error executing SQL statement");
const QString kRetrieveFailed = QStringLiteral("Could not retrieve data");
const QString kEndOfFile = QStringLiteral("Table is at End of File");
const QString kNotInteger = QStringLiteral("Not an integer or numeric field");

// SQLITE_TRANSIENT without the macro's C-style cast: SQLite copies the bytes before bind returns.
const sqlite3_destructor_type kTransient =
    reinterpret_cast<sqlite3_destructor_type>(static_cast<intptr_t>(-1));

// The report for the connection's latest failure, raised with SQLite's code.
[[noreturn]] void fail(sqlite3* connection, const QString& text, const QString& sql)
{
    throw DatabaseError(connection ? sqlite3_errcode(connection) : SQLITE_ERROR,
                        errorReport(connection, text, sql));
}

struct StatementFinalizer
{
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using StatementPtr = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

// Compiles the first statement of the text; anything after it is ignored.
sqlite3_stmt* prepareFirst(sqlite3* connection, const QString& sql)
{
    const QByteArray bytes = Cp1251::encode(sql);
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(connection, bytes.constData(), -1, &statement, nullptr) != SQLITE_OK) {
        sqlite3_finalize(statement);
        fail(connection, kPrepareFailed, sql);
    }
    if (!statement) // an empty or comment-only text
        fail(connection, kNoStatement, sql);
    return statement;
}

// The statement as it ran, its values in place as SQL literals, so that a report tells what failed;
// the text as written when SQLite cannot say.
QString statementText(sqlite3_stmt* statement, const QString& sql)
{
    char* expanded = statement ? sqlite3_expanded_sql(statement) : nullptr;
    if (!expanded)
        return sql;
    // SQLite received the statement and its values in Windows-1251.
    const QString text = Cp1251::decode(QByteArray(expanded));
    sqlite3_free(expanded);
    return text;
}

[[noreturn]] void failBinding(int code, const QString& sql)
{
    throw DatabaseError(code,
                        errorReport(code, QString::fromUtf8(sqlite3_errstr(code)), kPrepareFailed, sql));
}

void bindValue(sqlite3* connection, sqlite3_stmt* statement, int index1, const QVariant& value,
               const QString& sql)
{
    int rc = SQLITE_OK;
    if (!value.isValid() || value.isNull()) {
        rc = sqlite3_bind_null(statement, index1);
    } else {
        switch (value.typeId()) {
        case QMetaType::Bool:
        case QMetaType::Char:
        case QMetaType::SChar:
        case QMetaType::UChar:
        case QMetaType::Short:
        case QMetaType::UShort:
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::Long:
        case QMetaType::LongLong:
            rc = sqlite3_bind_int64(statement, index1, value.toLongLong());
            break;
        case QMetaType::ULong:
        case QMetaType::ULongLong: {
            const qulonglong n = value.toULongLong();
            if (n > static_cast<qulonglong>(std::numeric_limits<qint64>::max()))
                failBinding(SQLITE_MISMATCH, sql);
            rc = sqlite3_bind_int64(statement, index1, static_cast<qint64>(n));
            break;
        }
        case QMetaType::Double:
        case QMetaType::Float:
            rc = sqlite3_bind_double(statement, index1, value.toDouble());
            break;
        case QMetaType::QByteArray: {
            const QByteArray bytes = value.toByteArray();
            if (bytes.size() > std::numeric_limits<int>::max())
                failBinding(SQLITE_TOOBIG, sql);
            rc = sqlite3_bind_blob(statement, index1, bytes.constData(), static_cast<int>(bytes.size()),
                                   kTransient);
            break;
        }
        default: {
            if (value.typeId() != QMetaType::QString && !value.canConvert<QString>())
                failBinding(SQLITE_MISMATCH, sql);
            const QByteArray bytes = Cp1251::encode(value.toString());
            if (bytes.size() > std::numeric_limits<int>::max())
                failBinding(SQLITE_TOOBIG, sql);
            // An empty QByteArray still points at "", so the value is an empty text, never NULL.
            rc = sqlite3_bind_text(statement, index1, bytes.constData(), static_cast<int>(bytes.size()),
                                   kTransient);
            break;
        }
        }
    }
    if (rc != SQLITE_OK)
        fail(connection, kPrepareFailed, sql);
}

// A value for every parameter and a parameter for every value: a missing one would silently store
// NULL, a spare one would be lost.
void bindAllValues(sqlite3* connection, sqlite3_stmt* statement, const QVariantList& params,
                   const QString& sql)
{
    if (params.size() != sqlite3_bind_parameter_count(statement))
        failBinding(SQLITE_RANGE, sql);
    for (int i = 0; i < params.size(); ++i)
        bindValue(connection, statement, i + 1, params.at(i), sql);
}

ResultTable::Kind kindOf(sqlite3_stmt* statement, int column)
{
    using Kind = ResultTable::Kind;
    if (const char* declared = sqlite3_column_decltype(statement, column)) {
        const QByteArray type(declared);
        if (type == "INTEGER" || type == "BOOLEAN")
            return Kind::Integer;
        if (type == "NUMERIC" || type == "FLOAT" || type == "DOUBLE" || type == "REAL")
            return Kind::Float;
        if (type == "BLOB")
            return Kind::Blob;
        return Kind::Text;
    }
    switch (sqlite3_column_type(statement, column)) {
    case SQLITE_INTEGER:
        return Kind::Integer;
    case SQLITE_FLOAT:
        return Kind::Float;
    case SQLITE_BLOB:
        return Kind::Blob;
    case SQLITE_TEXT:
        return Kind::Text;
    default:
        return Kind::Null;
    }
}

QString columnText(sqlite3_stmt* statement, int column)
{
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    return text ? Cp1251::decode(text, sqlite3_column_bytes(statement, column)) : QString();
}

QVariant columnValue(sqlite3_stmt* statement, int column, ResultTable::Kind kind)
{
    using Kind = ResultTable::Kind;
    if (sqlite3_column_type(statement, column) == SQLITE_NULL)
        return QVariant();
    switch (kind) {
    case Kind::Integer:
        return QVariant(static_cast<qint64>(sqlite3_column_int64(statement, column)));
    case Kind::Float:
        return QVariant(sqlite3_column_double(statement, column));
    case Kind::Blob: {
        const void* data = sqlite3_column_blob(statement, column);
        const int size = sqlite3_column_bytes(statement, column);
        if (!data || size <= 0)
            return QVariant();
        return QVariant(QByteArray(static_cast<const char*>(data), size));
    }
    case Kind::Text:
    case Kind::Null:
        break;
    }
    return QVariant(columnText(statement, column));
}

} // namespace

// ---- Database ----

std::unique_ptr<Database> Database::openDatabase(const QString& path)
{
    sqlite3* connection = nullptr;
    const int rc = sqlite3_open(path.toUtf8().constData(), &connection);
    if (!connection)
        throw AppError(QStringLiteral("Failed to open database \"%1\" : unknown error").arg(path));
    if (rc != SQLITE_OK) {
        const QString message = QString::fromUtf8(sqlite3_errmsg(connection));
        sqlite3_close(connection); // SQLite hands out a handle even when opening fails
        throw AppError(QStringLiteral("Failed to open database \"%1\" : %2").arg(path, message));
    }
    return std::unique_ptr<Database>(new Database(connection));
}

std::unique_ptr<Database> Database::openReadOnly(const QString& path)
{
    sqlite3* connection = nullptr;
    const int rc = sqlite3_open_v2(path.toUtf8().constData(), &connection, SQLITE_OPEN_READONLY, nullptr);
    if (!connection)
        throw AppError(QStringLiteral("Failed to open database \"%1\" : unknown error").arg(path));
    if (rc != SQLITE_OK) {
        const QString message = QString::fromUtf8(sqlite3_errmsg(connection));
        sqlite3_close(connection);
        throw AppError(QStringLiteral("Failed to open database \"%1\" : %2").arg(path, message));
    }
    return std::unique_ptr<Database>(new Database(connection));
}

Database::~Database()
{
    closeDatabase();
}

sqlite3* Database::openConnection() const
{
    if (!m_connection)
        throw AppError(QStringLiteral("Database is not open"));
    return m_connection;
}

void Database::setSynchronous(bool on)
{
    if (on == m_synchronous)
        return;
    executeStatement(on ? QStringLiteral("PRAGMA synchronous = ON;")
                        : QStringLiteral("PRAGMA synchronous = OFF;"));
    m_synchronous = on;
}

void Database::setBusyTimeout(int milliseconds)
{
    sqlite3_busy_timeout(openConnection(), milliseconds);
    m_busyTimeoutMs = milliseconds;
}

void Database::executeStatement(const QString& sql, const QVariantList& params)
{
    sqlite3* connection = openConnection();
    const StatementPtr statement(prepareFirst(connection, sql));
    bindAllValues(connection, statement.get(), params, sql);
    if (sqlite3_step(statement.get()) != SQLITE_DONE) {
        // reset() returns the step's own code; errcode() after it tells the same story.
        sqlite3_reset(statement.get());
        fail(connection, kStepFailed, statementText(statement.get(), sql));
    }
}

ResultTable Database::query(const QString& sql, const QVariantList& params)
{
    sqlite3* connection = openConnection();
    const StatementPtr statement(prepareFirst(connection, sql));
    bindAllValues(connection, statement.get(), params, sql);

    ResultTable table;
    QList<ResultTable::Kind> kinds;
    for (;;) {
        const int rc = sqlite3_step(statement.get());
        if (rc == SQLITE_DONE)
            break;
        if (rc == SQLITE_BUSY)
            throw DatabaseError(SQLITE_BUSY, kNoStatement);
        if (rc != SQLITE_ROW) {
            sqlite3_reset(statement.get());
            fail(connection, kRetrieveFailed, statementText(statement.get(), sql));
        }
        if (table.rowCount() == 0) {
            const int count = sqlite3_column_count(statement.get());
            QStringList names;
            for (int c = 0; c < count; ++c) {
                names.append(Cp1251::decode(QByteArray(sqlite3_column_name(statement.get(), c))).toUpper());
                kinds.append(kindOf(statement.get(), c));
            }
            table.setColumns(std::move(names), kinds);
        }
        for (int c = 0; c < kinds.size(); ++c)
            table.appendValue(columnValue(statement.get(), c, kinds.at(c)));
        table.finishRow();
    }
    return table;
}

bool Database::tableExists(const QString& name)
{
    // Table names come from the program itself; a quote is doubled all the same, so no name can
    // end the literal early.
    QString lower = name.toLower();
    lower.replace(QLatin1Char('\''), QStringLiteral("''"));
    const QString sql =
        QStringLiteral("select [sql] from sqlite_master where [type] = 'table' and lower(name) = '") + lower +
        QStringLiteral("' ");
    return query(sql).rowCount() > 0;
}

void Database::closeDatabase()
{
    if (!m_connection)
        return;
    // close_v2 lets a Statement that outlives the close still finalize; the handle goes with it.
    sqlite3_close_v2(m_connection);
    m_connection = nullptr;
}

// ---- Statement ----

Statement::Statement(Database& database, const QString& sql)
    : m_connection(database.openConnection()), m_statement(prepareFirst(m_connection, sql)), m_sql(sql)
{
}

Statement::~Statement()
{
    sqlite3_finalize(m_statement);
}

void Statement::bind(int index1, const QVariant& value)
{
    bindValue(m_connection, m_statement, index1, value, m_sql);
}

void Statement::bindAll(const QVariantList& params)
{
    bindAllValues(m_connection, m_statement, params, m_sql);
}

bool Statement::step()
{
    // SQLite would start the statement over on a step after "done"; a caller looping on step()
    // must see the end instead.
    if (m_done)
        return false;
    const int rc = sqlite3_step(m_statement);
    m_hasRow = rc == SQLITE_ROW;
    if (m_hasRow)
        return true;
    m_done = true;
    if (rc == SQLITE_DONE)
        return false;
    if (rc == SQLITE_BUSY)
        throw DatabaseError(SQLITE_BUSY, kNoStatement);
    sqlite3_reset(m_statement);
    fail(m_connection, kRetrieveFailed, statementText(m_statement, m_sql));
}

void Statement::reset()
{
    sqlite3_reset(m_statement);
    sqlite3_clear_bindings(m_statement);
    m_hasRow = false;
    m_done = false;
}

int Statement::columnCount() const
{
    return sqlite3_column_count(m_statement);
}

void Statement::checkColumn(int column) const
{
    if (column < 0 || column >= columnCount())
        throw AppError(QStringLiteral("Field index out of range: %1").arg(column));
}

QString Statement::columnName(int column) const
{
    checkColumn(column);
    return Cp1251::decode(QByteArray(sqlite3_column_name(m_statement, column))).toUpper();
}

QString Statement::text(int column) const
{
    if (!m_hasRow)
        throw AppError(kEndOfFile);
    checkColumn(column);
    return columnText(m_statement, column);
}

qint64 Statement::int64(int column) const
{
    if (!m_hasRow)
        throw AppError(kEndOfFile);
    checkColumn(column);
    switch (sqlite3_column_type(m_statement, column)) {
    case SQLITE_NULL:
        return 0;
    case SQLITE_INTEGER:
    case SQLITE_FLOAT: // SQLite truncates toward zero and clamps to the 64-bit range
        return sqlite3_column_int64(m_statement, column);
    default:
        throw AppError(kNotInteger);
    }
}

std::string_view Statement::bytes(int column) const
{
    if (!m_hasRow)
        throw AppError(kEndOfFile);
    checkColumn(column);
    const auto* data = static_cast<const char*>(sqlite3_column_blob(m_statement, column));
    const int size = sqlite3_column_bytes(m_statement, column);
    if (!data || size <= 0)
        return {};
    return std::string_view(data, static_cast<std::size_t>(size));
}

bool Statement::isNull(int column) const
{
    if (!m_hasRow)
        throw AppError(kEndOfFile);
    checkColumn(column);
    return sqlite3_column_type(m_statement, column) == SQLITE_NULL;
}

} // namespace db
