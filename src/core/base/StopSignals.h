#pragma once

#include <QString>

#include <sys/types.h>

// SIGINT and SIGTERM end a service cleanly: the handler only writes what the system told it (the
// signal and its sender) to a self-pipe, and the event loop, watching readFd(), ends the program
// outside the handler.
namespace StopSignals {

struct Note
{
    int signal = 0;
    int code = 0; // si_code: at most 0 when a process sent it, and then pid names that process
    pid_t pid = 0;
};

// Installs the handlers; false when the pipe or a handler cannot be had.
bool install();
// The end the event loop watches.
int readFd();
// Everything waiting in the pipe, read; the first signal's note (signal 0 when none was there).
Note take();
// How a stop came, for the line a service leaves: "сигналом SIGTERM от процесса 4242 (systemd)", the
// sender named as far as the system knows it (a signal from the terminal or the kernel has none).
QString describe(const Note& note);

} // namespace StopSignals
