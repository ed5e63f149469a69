#pragma once

#include <QString>

// A program with windows started where no window system can be reached (a service account, a
// console over ssh) would otherwise end in Qt's platform message and an abort: these say instead, in
// the operator's words, what is missing.
namespace WindowSystem {

// Whether a window system is named at all: a Qt platform chosen by QT_QPA_PLATFORM, or a display of
// X11 or Wayland. Answers true on systems that need no such name.
bool named();

// The display the program would use, as the operator can check it ("DISPLAY=:0"), or a note that
// none is set.
QString describe();

// While it lives, a fatal message of Qt (the window system named cannot be reached while the
// application is made) ends the program with `missing` on standard error and exit status 1, and
// Qt's own messages of the attempt are not shown.
class StartGuard
{
public:
    explicit StartGuard(const QString& missing);
    ~StartGuard();
    StartGuard(const StartGuard&) = delete;
    StartGuard& operator=(const StartGuard&) = delete;
};

} // namespace WindowSystem
