#pragma once

#include <QString>

#include <functional>

class QObject;
class WardServer;

// What the server says on standard error, one line each, the same with windows and without: the
// service's log (journalctl) reads alike whichever way the ward runs. With windows the operator also
// sees the boxes and the status bar; the lines come all the same.
namespace StandardError {

// One line; line ends inside the text become blanks.
void line(const QString& text);
// The error box's text, on one line.
void error(const QString& message);

// The engine's errors, the journal's state, the broker's and the alert manager's state, the calls in
// alarm and the silent antennas: one line whenever each changes, for as long as the engine lives.
void follow(WardServer& server);

// Who runs, on which ports, with which files: the first line of the service's log. The settings
// must have been read (after the engine's creation).
QString startLine(const WardServer& server, bool withWindows);

// Keeps the lines said while the engine is created (the settings file's values it cannot use, the
// warnings of the journal's spool), until release(): the line that says what runs goes first, before
// them and before any broker line. One at a time.
class HeldStartLines
{
public:
    HeldStartLines();
    ~HeldStartLines();
    HeldStartLines(const HeldStartLines&) = delete;
    HeldStartLines& operator=(const HeldStartLines&) = delete;
    // Writes the lines kept, in their order; from then on they go straight to standard error.
    void release();

private:
    bool m_released = false;
};

// SIGINT and SIGTERM: the line naming the signal and its sender, then `stop`, then the end of the
// event loop. False (the line said why) when the handlers cannot be installed.
bool stopOnSignals(QObject* context, std::function<void()> stop);

// The exit status after the engine's stop: a stop that lost events is told with their count and is
// no clean stop, whatever ended the event loop.
int exitStatus(const WardServer& server, int loopStatus);

} // namespace StandardError
