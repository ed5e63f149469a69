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

// libpq's own texts of a failed connection (they carry no SQLSTATE) and the words for them.
struct KnownText
{
    const char* part;
    const char* words;
};
const KnownText kConnectionTexts[] = {
    {"Connection refused", "сервер базы не принимает подключения"},
    {"could not translate host name", "имя узла сервера базы не найдено"},
    {"Name or service not known", "имя узла сервера базы не найдено"},
    {"Temporary failure in name resolution", "имя узла сервера базы не найдено"},
    {"No route to host", "узел сервера базы недоступен"},
    {"Network is unreachable", "сеть до сервера базы недоступна"},
    {"timeout expired", "сервер базы не отвечает"},
    {"Connection timed out", "сервер базы не отвечает"},
    {"password authentication failed", "сервер базы не принял имя пользователя или пароль"},
    {"no password supplied", "сервер базы просит пароль, а в ConnInfo его нет"},
    {"no pg_hba.conf entry", "сервер базы не допускает это подключение (pg_hba.conf)"},
    {"the database system is starting up", "сервер базы ещё запускается"},
    {"the database system is shutting down", "сервер базы останавливается"},
    {"the database system is in recovery mode", "сервер базы восстанавливается после сбоя"},
    {"too many clients", "у сервера базы нет свободных подключений"},
    {"remaining connection slots", "у сервера базы нет свободных подключений"},
    {"No such file or directory", "сервер базы не запущен на этой машине"},
    {"server closed the connection unexpectedly", "связь с сервером базы прервана"},
    {"terminating connection", "связь с сервером базы прервана"},
    {"Connection reset by peer", "связь с сервером базы прервана"},
    {"could not receive data from server", "связь с сервером базы прервана"},
    {"could not send data to server", "связь с сервером базы прервана"},
    {"SSL SYSCALL error", "связь с сервером базы прервана"},
    {"no connection to the server", "связь с сервером базы прервана"},
    {"invalid connection option", "строка ConnInfo неверна"},
    {"missing \"=\" after", "строка ConnInfo неверна"},
    {"unterminated quoted string", "строка ConnInfo неверна"},
};

} // namespace

QString reasonText(const QString& libraryText, const QByteArray& sqlState)
{
    const auto withDetail = [&libraryText](const char* words) {
        const QString text = QString::fromUtf8(words);
        return libraryText.isEmpty() ? text : QStringLiteral("%1: %2").arg(text, libraryText);
    };
    // The server's code says what happened whatever the language of its message.
    if (sqlState == "28P01")
        return QStringLiteral("сервер базы не принял имя пользователя или пароль");
    if (sqlState == "28000")
        return withDetail("сервер базы не допускает это подключение");
    if (sqlState == "3D000")
        return QStringLiteral("такой базы данных на сервере нет");
    if (sqlState == "53300")
        return QStringLiteral("у сервера базы нет свободных подключений");
    if (sqlState == "57P01" || sqlState == "57P02")
        return QStringLiteral("сервер базы останавливается");
    if (sqlState == "57P03")
        return QStringLiteral("сервер базы пока не принимает подключения");
    if (sqlState == "57014")
        return QStringLiteral("запрос отменён на сервере базы");
    if (sqlState == "40P01")
        return QStringLiteral("взаимная блокировка с другой записью");
    if (sqlState == "40001")
        return QStringLiteral("конфликт с одновременной записью");
    if (sqlState == "42501")
        return withDetail("у пользователя базы нет прав");
    if (sqlState == "25006")
        return QStringLiteral("база открыта только для чтения (резервный сервер)");
    if (sqlState == "53100")
        return QStringLiteral("на сервере базы кончилось место на диске");
    if (sqlState == "53200")
        return QStringLiteral("серверу базы не хватает памяти");
    if (sqlState.startsWith("53"))
        return withDetail("серверу базы не хватает ресурсов");
    if (sqlState == "23505")
        return withDetail("запись с тем же ключом уже есть");
    if (sqlState.startsWith("23"))
        return withDetail("нарушено ограничение таблицы");
    if (sqlState.startsWith("22"))
        return withDetail("база не приняла значение");
    if (sqlState.startsWith("08"))
        return QStringLiteral("связь с сервером базы прервана");
    if (!sqlState.isEmpty())
        return withDetail("ошибка базы данных");
    for (const KnownText& known : kConnectionTexts) {
        if (libraryText.contains(QLatin1String(known.part)))
            return QString::fromUtf8(known.words);
    }
    if (libraryText.contains(QLatin1String("does not exist"))) {
        if (libraryText.contains(QLatin1String("role \"")))
            return QStringLiteral("такого пользователя на сервере базы нет");
        if (libraryText.contains(QLatin1String("database \"")))
            return QStringLiteral("такой базы данных на сервере нет");
    }
    return withDetail("ошибка подключения к базе");
}

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
        throw Error(QStringLiteral("не хватило памяти"), {}, true);
    if (PQstatus(m_conn) == CONNECTION_BAD)
        lost(reasonText(textOf(PQerrorMessage(m_conn))));
    const QDeadlineTimer deadline(timing.connectTimeoutMs);
    PostgresPollingStatusType state = PGRES_POLLING_WRITING;
    while (state != PGRES_POLLING_OK) {
        if (state == PGRES_POLLING_FAILED)
            lost(reasonText(textOf(PQerrorMessage(m_conn))));
        if (!waitFor(state == PGRES_POLLING_WRITING, deadline.remainingTime()))
            lost(deadline.hasExpired()
                     ? QStringLiteral("нет ответа за %1 с").arg(timing.connectTimeoutMs / 1000)
                     : QStringLiteral("подключение прервано"));
        state = PQconnectPoll(m_conn);
    }
    if (PQsetnonblocking(m_conn, 1) != 0)
        lost(reasonText(textOf(PQerrorMessage(m_conn))));
    // Times as the server's own zone would show them do not matter here: every time is stored with
    // its offset, and the statistics read the wards' wall-clock column.
    exec("SET client_min_messages = warning");
}

Result Connection::exec(const QByteArray& sql, const QList<Param>& params)
{
    if (!m_conn)
        throw Error(QStringLiteral("нет подключения к базе"), QByteArray("08003"), true);
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
        lost(reasonText(textOf(PQerrorMessage(m_conn))));
    const QDeadlineTimer deadline(m_timing.statementTimeoutMs);
    // The statement and its parameters may not fit the socket's buffer at once.
    for (;;) {
        const int flushed = PQflush(m_conn);
        if (flushed < 0)
            lost(reasonText(textOf(PQerrorMessage(m_conn))));
        if (flushed == 0)
            break;
        if (!waitFor(true, deadline.remainingTime()))
            lost(QStringLiteral("нет ответа за %1 с").arg(m_timing.statementTimeoutMs / 1000));
    }
    pg_result* last = nullptr;
    for (;;) {
        while (PQisBusy(m_conn)) {
            if (!waitFor(false, deadline.remainingTime())) {
                if (last)
                    PQclear(last);
                lost(deadline.hasExpired()
                         ? QStringLiteral("нет ответа за %1 с").arg(m_timing.statementTimeoutMs / 1000)
                         : QStringLiteral("запрос прерван"));
            }
            if (!PQconsumeInput(m_conn)) {
                if (last)
                    PQclear(last);
                lost(reasonText(textOf(PQerrorMessage(m_conn))));
            }
        }
        pg_result* r = PQgetResult(m_conn);
        if (!r)
            break;
        const ExecStatusType status = PQresultStatus(r);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK && status != PGRES_EMPTY_QUERY) {
            // The server's sentence without its "ERROR:" and context lines.
            const char* primary = PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY);
            const QString message = textOf(primary ? primary : PQresultErrorMessage(r));
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
            throw Error(reasonText(message, state), state,
                        gone || state.startsWith("08") || state.startsWith("57P"));
        }
        if (last)
            PQclear(last);
        last = r;
    }
    if (PQstatus(m_conn) == CONNECTION_BAD)
        lost(reasonText(textOf(PQerrorMessage(m_conn))));
    return Result(last);
}

QString describeConnInfo(const QString& connInfo)
{
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(connInfo.toUtf8().constData(), &error);
    if (!options) {
        if (error)
            PQfreemem(error);
        return QStringLiteral("(строка подключения не читается)");
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
