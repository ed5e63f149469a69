#include "core/base/StopSignals.h"

#include <QFile>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalFd[2] = {-1, -1};

extern "C" void onStopSignal(int signal, siginfo_t* info, void*)
{
    const int saved = errno;
    StopSignals::Note note;
    note.signal = signal;
    if (info) {
        note.code = info->si_code;
        note.pid = info->si_pid;
    }
    // Smaller than PIPE_BUF: written whole or not at all.
    [[maybe_unused]] const ssize_t n = ::write(signalFd[0], &note, sizeof note);
    errno = saved;
}

} // namespace

bool StopSignals::install()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalFd) != 0)
        return false;
    // Neither end may block: the handler must never wait, and the reader drains what is there.
    ::fcntl(signalFd[0], F_SETFL, O_NONBLOCK);
    ::fcntl(signalFd[1], F_SETFL, O_NONBLOCK);
    struct sigaction action = {};
    action.sa_sigaction = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_SIGINFO;
    return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0;
}

int StopSignals::readFd()
{
    return signalFd[1];
}

StopSignals::Note StopSignals::take()
{
    Note note;
    bool first = true;
    for (Note next; ::read(signalFd[1], &next, sizeof next) == sizeof next; first = false) {
        if (first)
            note = next;
    }
    return note;
}

QString StopSignals::describe(const Note& note)
{
    const QString name = note.signal == SIGINT    ? QStringLiteral("SIGINT")
                         : note.signal == SIGTERM ? QStringLiteral("SIGTERM")
                                                  : QStringLiteral("№ %1").arg(note.signal);
    QString text = QStringLiteral("сигналом %1").arg(name);
    if (note.code <= 0 && note.pid > 0) {
        text += QStringLiteral(" от процесса %1").arg(note.pid);
        QFile comm(QStringLiteral("/proc/%1/comm").arg(note.pid));
        if (comm.open(QIODevice::ReadOnly)) {
            const QString command = QString::fromLocal8Bit(comm.readAll()).trimmed();
            if (!command.isEmpty())
                text += QStringLiteral(" (%1)").arg(command);
        }
    } else {
        text += QStringLiteral(" (отправитель не известен системе)");
    }
    return text;
}
