#include "central/web/PgWorker.h"

#include "core/base/AppError.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>

#include <fcntl.h>
#include <unistd.h>

namespace {

// The server's own bound comes first, so that a slow statement ends with a clean error and the
// connection stays usable; the client's bound, a little later, covers a server that does not answer.
constexpr int kClientMarginMs = 5000;

qint64 monotonicMs()
{
    return QDeadlineTimer::current().deadline();
}

} // namespace

PgWorker::PgWorker(QString connInfo, QString name, int maxQueued, QObject* parent)
    : QObject(parent), m_connInfo(std::move(connInfo)), m_name(std::move(name)),
      m_maxQueued(std::max(0, maxQueued))
{
    // Without the pipe a statement on its way is only given up at its timeout.
    if (::pipe2(m_wake, O_NONBLOCK | O_CLOEXEC) != 0)
        m_wake[0] = m_wake[1] = -1;
    m_thread = std::thread([this] { loop(); });
}

PgWorker::~PgWorker()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wakeUp.notify_all();
    if (m_wake[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_wake[1], &byte, 1);
    }
    m_thread.join();
    for (const Pending& p : m_queue)
        delete p.relay;
    m_connection.close();
    for (int fd : m_wake) {
        if (fd >= 0)
            ::close(fd);
    }
}

void PgWorker::setTiming(const Timing& timing)
{
    const std::lock_guard lock(m_mutex);
    m_timing = timing;
}

PgWorker::Reply PgWorker::errorReply(int status, const QString& message, const QString& error)
{
    Reply r;
    r.status = status;
    r.body = QJsonDocument(QJsonObject{{QStringLiteral("error"), message}}).toJson(QJsonDocument::Compact);
    r.error = error.isEmpty() ? message : error;
    return r;
}

void PgWorker::run(Job job, QObject* context, Done done)
{
    if (!context)
        context = this;
    auto answer = std::make_shared<Reply>();
    auto* relay = new PgWorkerDetail::Relay;
    connect(
        relay, &PgWorkerDetail::Relay::ready, context,
        [answer, done = std::move(done)] { done(std::move(*answer)); }, Qt::QueuedConnection);
    // Emitted and deleted by the worker's thread: it belongs to no thread's events.
    relay->moveToThread(nullptr);
    {
        const std::lock_guard lock(m_mutex);
        if (!m_stop && m_queue.size() < std::size_t(m_maxQueued)) {
            m_queue.push_back({std::move(job), context, relay, answer});
            m_wakeUp.notify_one();
            return;
        }
    }
    *answer = errorReply(503, QStringLiteral("Центр занят, повторите запрос позже"),
                         QStringLiteral("%1: %2 requests already wait").arg(m_name).arg(m_maxQueued));
    emit relay->ready();
    delete relay;
}

void PgWorker::loop()
{
    for (;;) {
        Pending p;
        {
            std::unique_lock lock(m_mutex);
            m_wakeUp.wait(lock, [this] { return m_stop || !m_queue.empty(); });
            if (m_stop)
                return;
            p = std::move(m_queue.front());
            m_queue.pop_front();
        }
        if (!p.context.isNull()) {
            *p.answer = execute(p.job);
            bool stopping;
            {
                const std::lock_guard lock(m_mutex);
                stopping = m_stop;
            }
            // A statement given up for the stop has no answer worth giving.
            if (!stopping)
                emit p.relay->ready();
        }
        delete p.relay;
    }
}

bool PgWorker::ensureOpen(Reply* failure)
{
    if (m_connection.isOpen())
        return true;
    const QString unavailable = QStringLiteral("База данных центра недоступна");
    if (monotonicMs() < m_downUntil) {
        *failure = errorReply(503, unavailable, m_downWhy);
        return false;
    }
    Timing timing;
    {
        const std::lock_guard lock(m_mutex);
        timing = m_timing;
    }
    Pg::ConnectionTiming client = timing.connection;
    client.statementTimeoutMs += kClientMarginMs;
    try {
        m_connection.open(m_connInfo, m_wake[0], client);
        m_connection.exec("SELECT set_config('statement_timeout', $1, false)",
                          {Pg::param(qint64(timing.connection.statementTimeoutMs))});
        try {
            // A statement whose client went away ends at the next check rather than at its end.
            m_connection.exec("SELECT set_config('client_connection_check_interval', '1000', false)");
        } catch (const Pg::Error& e) {
            if (e.connectionLost())
                throw;
            // A server before version 14 does not have it: the statement timeout bounds the work.
        }
    } catch (const Pg::Error& e) {
        m_connection.close();
        m_downUntil = monotonicMs() + timing.retryHoldMs;
        m_downWhy = QStringLiteral("%1: %2").arg(Pg::describeConnInfo(m_connInfo), e.message());
        *failure = errorReply(503, unavailable, m_downWhy);
        return false;
    }
    m_downUntil = 0;
    return true;
}

PgWorker::Reply PgWorker::execute(const Job& job)
{
    Reply failure;
    if (!ensureOpen(&failure))
        return failure;
    try {
        return job(m_connection);
    } catch (const Pg::Error& e) {
        if (e.connectionLost())
            m_connection.close();
        const bool timedOut = e.sqlState() == "57014";
        return errorReply(503,
                          timedOut ? QStringLiteral("База данных не ответила вовремя")
                                   : QStringLiteral("База данных центра недоступна"),
                          QStringLiteral("%1: %2").arg(m_name, e.message()));
    } catch (const AppError& e) {
        return errorReply(400, e.message());
    } catch (const std::exception& e) {
        return errorReply(500, QStringLiteral("Внутренняя ошибка центра"),
                          QStringLiteral("%1: %2").arg(m_name, QString::fromLocal8Bit(e.what())));
    }
}
