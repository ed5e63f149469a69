// What a test starts ends with the test however the test ends: a test process (this program run with
// --child) starts a helper of its own, a server that left its parent's tree as a database server does
// (a process of its own session, the child of init), and names a folder; it is then killed outright,
// and the watchdog must end both processes and remove the folder.

#include "ProcessGuard.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

bool alive(qint64 pid)
{
    // A process ended but not yet reaped by init counts as gone.
    if (::kill(pid_t(pid), 0) != 0)
        return errno != ESRCH;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = stat.readAll();
    const qsizetype close = text.lastIndexOf(')');
    return close < 0 || text.mid(close + 2, 1) != "Z";
}

// The test process: starts what it is to be ended with, says their pids and the folder, and waits.
int child(const QString& folder)
{
    QProcess helper;
    ProcessGuard::guard(helper);
    helper.start(QStringLiteral("sleep"), {QStringLiteral("300")});
    if (!helper.waitForStarted(5000))
        return 1;
    qint64 server = 0;
    if (!QProcess::startDetached(QStringLiteral("setsid"), {QStringLiteral("sleep"), QStringLiteral("301")},
                                 QString(), &server))
        return 1;
    // setsid runs the program in its own place when it may; the pid is the program's then.
    ProcessGuard::watch(server, SIGTERM);
    ProcessGuard::removeOnDeath(folder);
    std::printf("%lld %lld %lld\n", static_cast<long long>(helper.processId()),
                static_cast<long long>(server), static_cast<long long>(ProcessGuard::watchdogPid()));
    std::fflush(stdout);
    for (;;)
        QThread::sleep(1);
}

} // namespace

class TestProcessGuard : public QObject
{
    Q_OBJECT

private slots:
    void killedTestLeavesNothingBehind()
    {
        QTemporaryDir folder;
        QVERIFY(QFile(folder.filePath(QStringLiteral("data"))).open(QIODevice::WriteOnly));
        QProcess test;
        test.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--child"), folder.path()});
        QVERIFY(test.waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(test.canReadLine(), 10000);
        const QList<QByteArray> pids = test.readLine().trimmed().split(' ');
        QCOMPARE(pids.size(), 3);
        const qint64 helper = pids[0].toLongLong();
        const qint64 server = pids[1].toLongLong();
        const qint64 watchdog = pids[2].toLongLong();
        QVERIFY(helper > 0 && server > 0 && watchdog > 0);
        QVERIFY(alive(helper));
        QVERIFY(alive(server));
        QVERIFY(alive(watchdog));
        // A test that ends normally leaves the watchdog waiting; one killed outright runs no
        // destructor at all.
        ::kill(pid_t(test.processId()), SIGKILL);
        QVERIFY(test.waitForFinished(5000));
        QTRY_VERIFY_WITH_TIMEOUT(!alive(helper), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!alive(server), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!QDir(folder.path()).exists(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!alive(watchdog), 10000);
    }

    void endedProcessesAreForgotten()
    {
        // What ended while the test lived is no longer in the registry: the watchdog would otherwise
        // signal whatever later took its pid.
        QProcess helper;
        ProcessGuard::guard(helper);
        helper.start(QStringLiteral("sleep"), {QStringLiteral("300")});
        QVERIFY(helper.waitForStarted(5000));
        const QString entry = QStringLiteral("kill.%1").arg(helper.processId());
        QVERIFY(ProcessGuard::watchdogPid() > 0);
        QDir registry(ProcessGuard::detail::watchdog().registry);
        QVERIFY(registry.exists(entry));
        helper.kill();
        QVERIFY(helper.waitForFinished(5000));
        QVERIFY(!registry.exists(entry));
    }
};

int main(int argc, char* argv[])
{
    if (argc == 3 && std::strcmp(argv[1], "--child") == 0) {
        QCoreApplication app(argc, argv);
        return child(QString::fromLocal8Bit(argv[2]));
    }
    QCoreApplication app(argc, argv);
    TestProcessGuard test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_processguard.moc"
