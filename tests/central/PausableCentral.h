#pragma once

// HalvaneCentral as a process for the tests that need the whole program: a copy in a directory of its
// own (see centraltest::installCentral), its standard error kept, paused and resumed like a program
// the system holds up. It ends with the test process, however that ends. Also: waiting for a query's
// answer.

#include "CentralTestSupport.h"
#include "PostgresServer.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QTest>

#include <csignal>
#include <sys/prctl.h>

namespace centraltest {

class PausableCentral
{
public:
    PausableCentral(const QString& dir, quint16 brokerPort, const QString& connInfo, const QString& clientId)
        : m_exe(installCentral(dir, brokerPort, connInfo, clientId))
    {
        m_process.setWorkingDirectory(dir);
        m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    }
    ~PausableCentral()
    {
        if (m_process.state() != QProcess::NotRunning) {
            resume();
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    PausableCentral(const PausableCentral&) = delete;
    PausableCentral& operator=(const PausableCentral&) = delete;

    bool start()
    {
        m_process.start(m_exe, {});
        return m_process.waitForStarted(5000);
    }
    // SIGTERM; true when it ended by itself with status 0.
    bool terminate()
    {
        m_process.terminate();
        return m_process.waitForFinished(10000) && m_process.exitStatus() == QProcess::NormalExit &&
               m_process.exitCode() == 0;
    }
    // Holds the process still (it reads nothing, acknowledges nothing) until resume().
    void pause() { ::kill(pid_t(m_process.processId()), SIGSTOP); }
    void resume() { ::kill(pid_t(m_process.processId()), SIGCONT); }

    QString errors()
    {
        m_errors += QString::fromLocal8Bit(m_process.readAllStandardError());
        return m_errors;
    }
    // Waits until standard error holds `text` `times` times.
    bool waitForLine(const QString& text, int times = 1, int ms = 20000)
    {
        const QDeadlineTimer deadline(ms);
        while (errors().count(text) < times && !deadline.hasExpired())
            QTest::qWait(50);
        return errors().count(text) >= times;
    }
    // Connected to the broker, and subscribed: the subscription follows the connection's line within
    // one round trip, which the broker's answer to a ping from another client comes after.
    bool connected(int times = 1)
    {
        if (!waitForLine(QStringLiteral("MQTT: связь с брокером"), times))
            return false;
        QTest::qWait(300);
        return true;
    }

private:
    QString m_exe;
    QProcess m_process;
    QString m_errors;
};

// Waits until the query answers `expected`; says what it answered when it never did.
inline bool waitForQuery(PostgresServer& pg, const QString& sql, const QString& expected, int ms = 30000)
{
    const QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        if (pg.psql(sql) == expected)
            return true;
        QTest::qWait(100);
    }
    qWarning("%s answers \"%s\", not \"%s\"", qPrintable(sql), qPrintable(pg.psql(sql)),
             qPrintable(expected));
    return false;
}

} // namespace centraltest
