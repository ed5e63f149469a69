#pragma once

#include "ScriptedDialogs.h"

#include <QDateTime>
#include <QString>
#include <QTemporaryDir>

#include <memory>

class TMF;

// A whole program in a temporary directory: the executable's path points there, so the settings
// file and the database are created beside it. Boxes are answered by `dialogs`; the clock is fixed
// until a test moves it, and the steady clock moves with it (it reads as the wall clock in
// milliseconds since the epoch until a test sets the wall clock back).
class AppFixture
{
public:
    AppFixture();
    ~AppFixture();

    QString dir() const { return m_dir.path(); }
    QString exePath() const { return m_dir.filePath(QStringLiteral("HalvaneServer")); }
    QString iniPath() const { return m_dir.filePath(QStringLiteral("HalvaneServer.ini")); }
    QString dbPath() const { return m_dir.filePath(QStringLiteral("orv_med.db")); }

    // Creates the ten windows (raises what the start raises).
    void create();
    // Shows the main window and starts its links and timers; false when a port could not be bound.
    bool show();
    // Destroys the windows without the close question.
    void destroy();
    TMF* mf() const;

    // Time passes up to now; a now before the current one is the wall clock set back, with no time
    // passing.
    void setNow(const QDateTime& now);

    ScriptedDialogs dialogs;

private:
    QTemporaryDir m_dir;
    QDateTime m_now;
    qint64 m_elapsedMs = 0;
    bool m_created = false;
};
