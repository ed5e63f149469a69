#pragma once

// Ends what a test started when the test itself dies without running its destructors (a kill -9,
// CTest's timeout): the servers, brokers, programs and browsers it started, and the database
// cluster's directory. A watchdog process, detached from the test (its own session, not a child of
// it, so that a kill of the test's process tree leaves it alive), holds the read end of a pipe whose
// only write end the test holds. When the pipe closes, however the test ended, the watchdog sends
// each process group still registered its signal, then SIGKILL to what is left after five seconds,
// and removes the registered directories. The registry is a directory of small files the test writes
// and removes as it starts and stops its helpers; a test that ends normally leaves it empty.
// Header only, so that bench/ can use it too.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QVariant>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ProcessGuard {

namespace detail {

// Waits for the end of its standard input (the test is gone), then ends the groups listed in the
// registry and removes the directories listed there.
inline const char kWatchdog[] = R"sh(
reg=$1
trap '' INT TERM HUP PIPE
cat >/dev/null
ended() { for f in "$reg"/kill.*; do [ -e "$f" ] || continue; read -r sig pid <"$f"; echo "$pid"; done; }
for f in "$reg"/kill.*; do
  [ -e "$f" ] || continue
  read -r sig pid <"$f"
  kill -s "$sig" -- "-$pid" 2>/dev/null || kill -s "$sig" "$pid" 2>/dev/null
done
i=0
while [ $i -lt 50 ]; do
  alive=0
  for pid in $(ended); do kill -0 -- "-$pid" 2>/dev/null || kill -0 "$pid" 2>/dev/null && alive=1; done
  [ $alive = 0 ] && break
  sleep 0.1
  i=$((i + 1))
done
for pid in $(ended); do kill -s KILL -- "-$pid" 2>/dev/null; kill -s KILL "$pid" 2>/dev/null; done
sleep 0.2
for f in "$reg"/remove.*; do [ -e "$f" ] && rm -rf -- "$(cat "$f")"; done
rm -rf -- "$reg"
)sh";

struct Watchdog
{
    QString registry;
    int pipeFd = -1;
    qint64 watchdogPid = 0;

    Watchdog()
    {
        QByteArray dir = QFile::encodeName(QDir::tempPath() + QStringLiteral("/halvane-guard-XXXXXX"));
        if (!::mkdtemp(dir.data()))
            return;
        registry = QFile::decodeName(dir);
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return;
        // The pid of the watchdog itself comes back through a second pipe: the middle child exits at
        // once so that the watchdog is nobody's child in the test's tree.
        int pidPipe[2];
        if (::pipe2(pidPipe, O_CLOEXEC) != 0)
            return;
        const pid_t middle = ::fork();
        if (middle == 0) {
            // Only async-signal-safe calls from here: the test has threads.
            ::setsid();
            const pid_t dog = ::fork();
            if (dog != 0) {
                const long long value = dog;
                (void)!::write(pidPipe[1], &value, sizeof value);
                ::_exit(0);
            }
            ::dup2(fds[0], 0);
            const int devnull = ::open("/dev/null", O_WRONLY);
            ::dup2(devnull, 1);
            ::dup2(devnull, 2);
            ::close_range(3, ~0U, 0); // no copy of the test's sockets, nor the pipe's write end
            ::execl("/bin/sh", "sh", "-c", kWatchdog, "halvane-guard", dir.constData(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(fds[0]);
        ::close(pidPipe[1]);
        if (middle > 0) {
            ::waitpid(middle, nullptr, 0);
            long long value = 0;
            if (::read(pidPipe[0], &value, sizeof value) == sizeof value)
                watchdogPid = value;
            pipeFd = fds[1];
        } else {
            ::close(fds[1]);
        }
        ::close(pidPipe[0]);
    }
    // Never closed: the pipe closes when the test's process ends, and only then.
};

inline Watchdog& watchdog()
{
    static Watchdog dog;
    return dog;
}

inline bool writeFile(const QString& path, const QByteArray& text)
{
    QFile f(path + QStringLiteral(".partial"));
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(text) != text.size())
        return false;
    f.close();
    return ::rename(QFile::encodeName(f.fileName()).constData(), QFile::encodeName(path).constData()) == 0;
}

} // namespace detail

// The watchdog's pid, 0 when it could not be started.
inline qint64 watchdogPid()
{
    return detail::watchdog().watchdogPid;
}

// When the test dies, `signal` goes to the process group led by `pid` (to `pid` alone when it leads
// none), SIGKILL five seconds later to what is left.
inline void watch(qint64 pid, int signal = SIGKILL)
{
    const detail::Watchdog& dog = detail::watchdog();
    if (dog.pipeFd < 0 || pid <= 0)
        return;
    detail::writeFile(dog.registry + QStringLiteral("/kill.%1").arg(pid),
                      QByteArray::number(signal) + ' ' + QByteArray::number(pid) + '\n');
}

// The process ended while the test lives: nothing to do for it any more.
inline void forget(qint64 pid)
{
    const detail::Watchdog& dog = detail::watchdog();
    if (dog.pipeFd >= 0 && pid > 0)
        QFile::remove(dog.registry + QStringLiteral("/kill.%1").arg(pid));
}

// When the test dies, `dir` is removed after its processes are ended (a database cluster, say).
inline void removeOnDeath(const QString& dir)
{
    const detail::Watchdog& dog = detail::watchdog();
    if (dog.pipeFd < 0)
        return;
    detail::writeFile(dog.registry + QStringLiteral("/remove.%1").arg(qHash(dir)), QFile::encodeName(dir));
}

inline void keepOnDeath(const QString& dir)
{
    const detail::Watchdog& dog = detail::watchdog();
    if (dog.pipeFd >= 0)
        QFile::remove(dog.registry + QStringLiteral("/remove.%1").arg(qHash(dir)));
}

// A process the test starts with `process`: it leads a process group of its own (what it starts
// belongs to it, a browser's children say) and is killed at once when the test's process dies (the
// kernel's parent-death signal), its group by the watchdog. Call before start(); once per process.
inline void guard(QProcess& process, int signal = SIGKILL)
{
    detail::watchdog();
    process.setChildProcessModifier([] {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    });
    if (process.property("halvaneGuarded").toBool())
        return;
    process.setProperty("halvaneGuarded", true);
    QObject::connect(&process, &QProcess::started, &process, [&process, signal] {
        const qint64 pid = process.processId();
        process.setProperty("halvaneGuardedPid", pid);
        watch(pid, signal);
    });
    QObject::connect(&process, &QProcess::stateChanged, &process, [&process](QProcess::ProcessState state) {
        if (state == QProcess::NotRunning)
            forget(process.property("halvaneGuardedPid").toLongLong());
    });
}

} // namespace ProcessGuard
