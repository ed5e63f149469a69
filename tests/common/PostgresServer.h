#pragma once

// A real PostgreSQL for the tests and benchmarks: Debian's server binaries, a cluster made with
// initdb in a temporary directory and run on 127.0.0.1 at a free port. The server refuses to run as
// root, so when the test runs as root the cluster belongs to the "postgres" user and its programs run
// through runuser. The cluster's server and its directory are ended with the test however it ends
// (ProcessGuard). Header only, so that bench/ can use it too.

#include "ProcessGuard.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

class PostgresServer
{
public:
    PostgresServer() : m_dir(QDir::tempPath() + QStringLiteral("/halvane-pg-XXXXXX")) {}
    ~PostgresServer()
    {
        stop();
        // The cluster's files belong to the server's user; the directory goes with them.
        if (m_dir.isValid()) {
            QDir(m_dir.path()).removeRecursively();
            ProcessGuard::keepOnDeath(m_dir.path());
        }
    }
    PostgresServer(const PostgresServer&) = delete;
    PostgresServer& operator=(const PostgresServer&) = delete;

    static QString binDir() { return QStringLiteral("/usr/lib/postgresql/15/bin"); }
    static bool installed() { return QFile::exists(binDir() + QStringLiteral("/initdb")); }

    quint16 port() const { return m_port; }
    QString dataDir() const { return m_dir.path() + QStringLiteral("/data"); }
    QString error() const { return m_error; }
    // A libpq connection string for the database the cluster starts with.
    QString connInfo(const QString& dbname = QStringLiteral("halvane")) const
    {
        return QStringLiteral("host=127.0.0.1 port=%1 user=postgres dbname=%2 connect_timeout=5")
            .arg(m_port)
            .arg(dbname);
    }

    // initdb, start, and create the database "halvane". False with error() on failure.
    bool init()
    {
        if (!m_dir.isValid())
            return fail(QStringLiteral("no temporary directory"));
        ::chmod(QFile::encodeName(m_dir.path()).constData(), 0777);
        ProcessGuard::removeOnDeath(m_dir.path());
        if (!run(QStringLiteral("initdb"),
                 {QStringLiteral("-D"), dataDir(), QStringLiteral("-U"), QStringLiteral("postgres"),
                  QStringLiteral("-A"), QStringLiteral("trust"), QStringLiteral("-E"), QStringLiteral("UTF8"),
                  QStringLiteral("--no-sync"), QStringLiteral("--locale=C.UTF-8")}))
            return false;
        QFile conf(dataDir() + QStringLiteral("/postgresql.conf"));
        if (!conf.open(QIODevice::Append))
            return fail(QStringLiteral("cannot append to postgresql.conf"));
        conf.write("listen_addresses = '127.0.0.1'\n"
                   "unix_socket_directories = ''\nfsync = off\nsynchronous_commit = off\n"
                   "full_page_writes = off\nmax_connections = 40\nshared_buffers = 64MB\n");
        conf.close();
        // The port is free when asked and may be taken before the server binds it: another one then.
        bool started = false;
        for (int attempt = 0; attempt < 5 && !started; ++attempt) {
            m_port = freePort();
            started = start();
        }
        if (!started)
            return false;
        return run(QStringLiteral("createdb"),
                   {QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                    QString::number(m_port), QStringLiteral("-U"), QStringLiteral("postgres"),
                    QStringLiteral("halvane")});
    }

    bool start()
    {
        if (!run(QStringLiteral("pg_ctl"),
                 {QStringLiteral("-D"), dataDir(), QStringLiteral("-l"),
                  m_dir.path() + QStringLiteral("/server.log"), QStringLiteral("-o"),
                  QStringLiteral("-p %1").arg(m_port), QStringLiteral("-w"), QStringLiteral("-t"),
                  QStringLiteral("30"), QStringLiteral("start")}))
            return false;
        // pg_ctl starts the server in a session of its own: its group goes with the test (SIGQUIT,
        // the immediate stop, takes its backends with it).
        m_serverPid = serverPid();
        ProcessGuard::watch(m_serverPid, SIGQUIT);
        return true;
    }
    // A fast stop: the connections are cut, as when the database server goes away.
    bool stop()
    {
        if (!QFile::exists(dataDir() + QStringLiteral("/postmaster.pid")))
            return true;
        const bool stopped = run(QStringLiteral("pg_ctl"),
                                 {QStringLiteral("-D"), dataDir(), QStringLiteral("-m"),
                                  QStringLiteral("fast"), QStringLiteral("-w"), QStringLiteral("stop")});
        if (stopped) {
            ProcessGuard::forget(m_serverPid);
            m_serverPid = 0;
        }
        return stopped;
    }

    // The server's process (the first line of postmaster.pid); 0 when it does not run.
    qint64 serverPid() const
    {
        QFile pidFile(dataDir() + QStringLiteral("/postmaster.pid"));
        if (!pidFile.open(QIODevice::ReadOnly))
            return 0;
        return pidFile.readLine().trimmed().toLongLong();
    }

    // Runs SQL through psql; the output, unaligned and without headings. Empty with error() on failure.
    QString psql(const QString& sql)
    {
        QProcess p;
        p.start(binDir() + QStringLiteral("/psql"),
                {QStringLiteral("-X"), QStringLiteral("-A"), QStringLiteral("-t"), QStringLiteral("-q"),
                 QStringLiteral("-v"), QStringLiteral("ON_ERROR_STOP=1"), QStringLiteral("-d"), connInfo(),
                 QStringLiteral("-c"), sql});
        p.waitForFinished(300000);
        if (p.exitCode() != 0)
            m_error = QString::fromUtf8(p.readAllStandardError());
        return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
    }

    static quint16 freePort()
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        return probe.serverPort();
    }

private:
    bool fail(const QString& why)
    {
        m_error = why;
        return false;
    }

    // Runs a server program as the cluster's owner: "postgres" when this process is root.
    bool run(const QString& program, const QStringList& args)
    {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        const QString exe = binDir() + u'/' + program;
        if (::geteuid() == 0) {
            if (!::getpwnam("postgres"))
                return fail(QStringLiteral("no user \"postgres\" to run the server as"));
            p.start(QStringLiteral("/usr/sbin/runuser"),
                    QStringList{QStringLiteral("-u"), QStringLiteral("postgres"), QStringLiteral("--"), exe} +
                        args);
        } else {
            p.start(exe, args);
        }
        if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
            return fail(program + QStringLiteral(": ") + QString::fromLocal8Bit(p.readAll()));
        return true;
    }

    QTemporaryDir m_dir;
    quint16 m_port = 0;
    qint64 m_serverPid = 0;
    QString m_error;
};
