#include "central/PgConnection.h"

#include <libpq-fe.h>

#include <QDeadlineTimer>

#include <cerrno>
#include <poll.h>
#include <vector>

namespace Pg {

namespace {

QString textOf(const char* s)
{
    QString t = QString::fromUtf8(s ? s : "").trimmed();
    t.replace(u'\n', u' ');
    return t;
}

} // namespace

Result::Result(pg_result* result) : m_result(result) {}

Result::~Result()
{
    if (m_result)
        PQclear(m_result);
}

Result::Result(Result&& other) noexcept : m_result(other.m_result)
{
    other.m_result = nullptr;
}

int Result::rows() const
{
    return PQntuples(m_result);
}

bool Result::isNull(int row, int column) const
{
    return PQgetisnull(m_result, row, column) != 0;
}

QString Result::text(int row, int column) const
{
    return QString::fromUtf8(PQgetvalue(m_result, row, column), PQgetlength(m_result, row, column));
}

QByteArray Result::bytes(int row, int column) const
{
    return QByteArray(PQgetvalue(m_result, row, column), PQgetlength(m_result, row, column));
}

qint64 Result::integer(int row, int column) const
{
    return bytes(row, column).toLongLong();
}

std::optional<qint64> Result::optionalInteger(int row, int column) const
{
    if (isNull(row, column))
        return std::nullopt;
    return integer(row, column);
}

Connection::Connection() = default;

Connection::~Connection()
{
    close();
}

void Connection::close()
{
    if (m_conn) {
        PQfinish(m_conn);
        m_conn = nullptr;
    }
}

QString Connection::describe() const
{
    if (!m_conn)
        return {};
    const char* host = PQhost(m_conn);
    return QStringLiteral("%1:%2/%3")
        .arg(QString::fromUtf8(host && *host ? host : "local"), QString::fromUtf8(PQport(m_conn)),
             QString::fromUtf8(PQdb(m_conn)));
}

void Connection::lost(const QString& why)
{
    close();
    throw Error(why, QByteArray("08006"), true);
}

bool Connection::waitFor(bool write, qint64 deadlineMs)
{
    const QDeadlineTimer deadline(deadlineMs);
    for (;;) {
        pollfd fds[2] = {{PQsocket(m_conn), short(write ? POLLOUT : POLLIN), 0}, {m_wakeFd, POLLIN, 0}};
        const int left = int(deadline.remainingTime());
        const int n = ::poll(fds, m_wakeFd >= 0 ? 2 : 1, left < 0 ? -1 : left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (m_wakeFd >= 0 && (fds[1].revents & POLLIN))
            return false;
        if (n == 0)
            return false;
        return true;
    }
}

void Connection::open(const QString& connInfo, int wakeFd, const Timing& timing)
{
    close();
    m_wakeFd = wakeFd;
    m_timing = timing;
    const QByteArray info = connInfo.toUtf8();
    // Defaults first: what the connection string says overrides them.
    const char* keys[] = {"application_name", "client_encoding", "dbname", nullptr};
    const char* values[] = {"HalvaneCentral", "UTF8", info.constData(), nullptr};
    m_conn = PQconnectStartParams(keys, values, 1);
    if (!m_conn)
        throw Error(QStringLiteral("out of memory"), {}, true);
    if (PQstatus(m_conn) == CONNECTION_BAD)
        lost(textOf(PQerrorMessage(m_conn)));
    const QDeadlineTimer deadline(timing.connectTimeoutMs);
    PostgresPollingStatusType state = PGRES_POLLING_WRITING;
    while (state != PGRES_POLLING_OK) {
        if (state == PGRES_POLLING_FAILED)
            lost(textOf(PQerrorMessage(m_conn)));
        if (!waitFor(state == PGRES_POLLING_WRITING, deadline.remainingTime()))
            lost(deadline.hasExpired()
                     ? QStringLiteral("no answer within %1 s").arg(timing.connectTimeoutMs / 1000)
                     : QStringLiteral("connection given up"));
        state = PQconnectPoll(m_conn);
    }
    if (PQsetnonblocking(m_conn, 1) != 0)
        lost(textOf(PQerrorMessage(m_conn)));
    // Times as the server's own zone would show them do not matter here: every time is stored with
    // its offset, and the statistics read the wards' wall-clock column.
    exec("SET client_min_messages = warning");
}

Result Connection::exec(const QByteArray& sql, const QList<Param>& params)
{
    if (!m_conn)
        throw Error(QStringLiteral("not connected"), QByteArray("08003"), true);
    std::vector<const char*> values;
    std::vector<int> lengths;
    values.reserve(std::size_t(params.size()));
    for (const Param& p : params) {
        values.push_back(p ? p->constData() : nullptr);
        lengths.push_back(p ? int(p->size()) : 0);
    }
    const int sent = params.isEmpty() ? PQsendQuery(m_conn, sql.constData())
                                      : PQsendQueryParams(m_conn, sql.constData(), int(params.size()),
                                                          nullptr, values.data(), lengths.data(), nullptr, 0);
    if (!sent)
        lost(textOf(PQerrorMessage(m_conn)));
    const QDeadlineTimer deadline(m_timing.statementTimeoutMs);
    // The statement and its parameters may not fit the socket's buffer at once.
    for (;;) {
        const int flushed = PQflush(m_conn);
        if (flushed < 0)
            lost(textOf(PQerrorMessage(m_conn)));
        if (flushed == 0)
            break;
        if (!waitFor(true, deadline.remainingTime()))
            lost(QStringLiteral("no answer within %1 s").arg(m_timing.statementTimeoutMs / 1000));
    }
    pg_result* last = nullptr;
    for (;;) {
        while (PQisBusy(m_conn)) {
            if (!waitFor(false, deadline.remainingTime())) {
                if (last)
                    PQclear(last);
                lost(deadline.hasExpired()
                         ? QStringLiteral("no answer within %1 s").arg(m_timing.statementTimeoutMs / 1000)
                         : QStringLiteral("statement given up"));
            }
            if (!PQconsumeInput(m_conn)) {
                if (last)
                    PQclear(last);
                lost(textOf(PQerrorMessage(m_conn)));
            }
        }
        pg_result* r = PQgetResult(m_conn);
        if (!r)
            break;
        const ExecStatusType status = PQresultStatus(r);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK && status != PGRES_EMPTY_QUERY) {
            const QString message = textOf(PQresultErrorMessage(r));
            const QByteArray state = PQresultErrorField(r, PG_DIAG_SQLSTATE);
            PQclear(r);
            if (last)
                PQclear(last);
            // Drain the rest, so that the connection can take the next statement.
            while (pg_result* rest = PQgetResult(m_conn))
                PQclear(rest);
            const bool gone = PQstatus(m_conn) == CONNECTION_BAD;
            if (gone)
                close();
            throw Error(message, state, gone || state.startsWith("08") || state.startsWith("57P"));
        }
        if (last)
            PQclear(last);
        last = r;
    }
    if (PQstatus(m_conn) == CONNECTION_BAD)
        lost(textOf(PQerrorMessage(m_conn)));
    return Result(last);
}

QString describeConnInfo(const QString& connInfo)
{
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(connInfo.toUtf8().constData(), &error);
    if (!options) {
        if (error)
            PQfreemem(error);
        return QStringLiteral("(unreadable connection string)");
    }
    QString host, port, dbname;
    for (PQconninfoOption* o = options; o->keyword; ++o) {
        const QString value = QString::fromUtf8(o->val ? o->val : "");
        if (qstrcmp(o->keyword, "host") == 0 || (qstrcmp(o->keyword, "hostaddr") == 0 && host.isEmpty()))
            host = value;
        else if (qstrcmp(o->keyword, "port") == 0)
            port = value;
        else if (qstrcmp(o->keyword, "dbname") == 0)
            dbname = value;
    }
    PQconninfoFree(options);
    return QStringLiteral("%1:%2/%3")
        .arg(host.isEmpty() ? QStringLiteral("local") : host, port.isEmpty() ? QStringLiteral("5432") : port,
             dbname);
}

Transaction::Transaction(Connection& connection) : m_connection(connection)
{
    m_connection.run("BEGIN");
}

Transaction::~Transaction()
{
    if (m_done || !m_connection.isOpen())
        return;
    try {
        m_connection.run("ROLLBACK");
    } catch (const Error&) {
        // The connection is gone or will be replaced; the server rolls back by itself.
    }
}

void Transaction::commit()
{
    m_connection.run("COMMIT");
    m_done = true;
}

} // namespace Pg
