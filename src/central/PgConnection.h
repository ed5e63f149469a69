#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>
#include <optional>
#include <stdexcept>

struct pg_conn;
struct pg_result;

namespace Pg {

// A failure of the database or of the connection to it, with libpq's text and the SQLSTATE.
class Error : public std::runtime_error
{
public:
    Error(const QString& message, QByteArray sqlState, bool connectionLost)
        : std::runtime_error(message.toStdString()), m_message(message), m_state(std::move(sqlState)),
          m_connectionLost(connectionLost)
    {
    }
    const QString& message() const { return m_message; }
    const QByteArray& sqlState() const { return m_state; }
    // The connection is gone (or was given up on): a new one is needed.
    bool connectionLost() const { return m_connectionLost; }
    // The rows themselves were refused (a value out of range, a constraint): sending them again
    // would fail again.
    bool refusedData() const { return m_state.startsWith("22") || m_state.startsWith("23"); }

private:
    QString m_message;
    QByteArray m_state;
    bool m_connectionLost;
};

// One result, read by row and column; texts as PostgreSQL sends them (UTF-8).
class Result
{
public:
    explicit Result(pg_result* result);
    ~Result();
    Result(Result&& other) noexcept;
    Result& operator=(Result&&) = delete;
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;

    int rows() const;
    bool isNull(int row, int column) const;
    QString text(int row, int column) const;
    QByteArray bytes(int row, int column) const;
    qint64 integer(int row, int column) const;
    std::optional<qint64> optionalInteger(int row, int column) const;

private:
    pg_result* m_result;
};

// A parameter of a statement: text, or SQL NULL.
using Param = std::optional<QByteArray>;

// The bounds of a connection's waits.
struct ConnectionTiming
{
    int connectTimeoutMs = 10000;
    int statementTimeoutMs = 120000;
};

// One connection through libpq. Every wait (connecting, a statement) is bounded and may be cut short
// from another thread through the wake file descriptor the caller gives: a stopped or hung server
// never holds the program past its timeout or its stop.
class Connection
{
public:
    using Timing = ConnectionTiming;

    Connection();
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // wakeFd: readable when the wait must end (-1: none). Throws Error.
    void open(const QString& connInfo, int wakeFd = -1, const Timing& timing = {});
    void close();
    bool isOpen() const { return m_conn != nullptr; }

    // Runs one statement with text parameters ($1, $2, ...). Throws Error; a timeout or a wake
    // closes the connection and reports it lost.
    Result exec(const QByteArray& sql, const QList<Param>& params = {});
    // Runs statements without parameters, several separated by ";".
    void run(const QByteArray& sql) { exec(sql); }

    // What the server calls itself ("host:port/dbname"), for the error lines.
    QString describe() const;

private:
    [[noreturn]] void lost(const QString& why);
    bool waitFor(bool write, qint64 deadlineMs);

    pg_conn* m_conn = nullptr;
    int m_wakeFd = -1;
    Timing m_timing;
};

// The reason in the lines a person reads ("PostgreSQL: база … недоступна (…)"): Russian words for a
// failure libpq or the server reported, from its SQLSTATE when there is one, else from libpq's text.
// The library's text follows as a detail where it names something the words do not (a constraint, a
// value), and stands alone, after a general word, for a failure not known here.
QString reasonText(const QString& libraryText, const QByteArray& sqlState = {});

// "host:port/dbname" of a connection string, for the lines a person reads: never the whole string,
// which may hold a password.
QString describeConnInfo(const QString& connInfo);

// A transaction on a connection: begun at once, rolled back unless committed.
class Transaction
{
public:
    explicit Transaction(Connection& connection);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit();

private:
    Connection& m_connection;
    bool m_done = false;
};

// The text of a value for a statement's parameter.
inline Param param(qint64 value)
{
    return QByteArray::number(value);
}
inline Param param(const QString& value)
{
    return value.toUtf8();
}

} // namespace Pg
