#pragma once

#include "central/PgConnection.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace PgWorkerDetail {
// Carries one answer from the worker's thread to the context's: its signal is connected, queued, to
// the context, and emitted once from the worker.
class Relay : public QObject
{
    Q_OBJECT
signals:
    void ready();
};
} // namespace PgWorkerDetail

// A thread with its own PostgreSQL connection that runs the dashboard's reads one after the other,
// so that a slow statement never holds the thread that serves the pages.
//
// The connection is opened by the first job and again by the first job after it was lost; while the
// database cannot be reached, jobs are answered 503 without a new attempt for `retryHoldMs`. Every
// statement is bounded by the timing's statement timeout, on the server (statement_timeout) and on
// the client. At most `maxQueued` jobs wait; one more is answered 503 at once, so that a flood of
// requests costs memory in proportion to the bound only.
//
// The answer reaches `done` through a queued signal to `context`: on the context's thread, and not at
// all once the context is destroyed (Qt drops the connection under its own lock, so the worker never
// touches a context on its way out). A job whose context is gone before it starts is skipped.
class PgWorker : public QObject
{
    Q_OBJECT

public:
    struct Reply
    {
        int status = 200;
        QByteArray body;
        QByteArray contentType = "application/json";
        QString error; // why it failed, for the centre's log; never shown to the browser as is
    };
    // May throw Pg::Error (503) or AppError (400, its message shown); anything else is a 500.
    using Job = std::function<Reply(Pg::Connection&)>;
    using Done = std::function<void(Reply)>;

    struct Timing
    {
        Pg::ConnectionTiming connection{5000, 15000};
        int retryHoldMs = 1000;
    };

    PgWorker(QString connInfo, QString name, int maxQueued = 256, QObject* parent = nullptr);
    // Stops the thread: a statement on its way is given up, the jobs still waiting are dropped
    // without an answer.
    ~PgWorker() override;
    PgWorker(const PgWorker&) = delete;
    PgWorker& operator=(const PgWorker&) = delete;

    // Applies from the next connection on; call before the first run() to be sure of it.
    void setTiming(const Timing& timing);
    const QString& name() const { return m_name; }

    void run(Job job, QObject* context, Done done);

    // A JSON reply {"error": message} with the status.
    static Reply errorReply(int status, const QString& message, const QString& error = {});

private:
    struct Pending
    {
        Job job;
        QPointer<QObject> context;
        PgWorkerDetail::Relay* relay;  // emits the answer towards the context; the worker's once queued
        std::shared_ptr<Reply> answer; // filled by the worker before the relay emits
    };

    void loop();
    Reply execute(const Job& job);
    bool ensureOpen(Reply* failure);

    const QString m_connInfo;
    const QString m_name;
    const int m_maxQueued;

    std::mutex m_mutex;
    std::condition_variable m_wakeUp;
    std::deque<Pending> m_queue;
    bool m_stop = false;
    Timing m_timing;

    // The worker thread's own.
    Pg::Connection m_connection;
    qint64 m_downUntil = 0; // monotonic ms: no new connection attempt before it
    QString m_downWhy;
    int m_wake[2] = {-1, -1}; // written once to give up a statement or a connection attempt
    std::thread m_thread;
};
