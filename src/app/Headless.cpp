#include "app/Headless.h"

#include "app/StandardError.h"
#include "core/base/AppError.h"
#include "core/engine/WardServer.h"
#include "core/settings/AppState.h"
#include "core/settings/WindowSections.h"
#include "gui/kit/Dialogs.h"

#include <QCoreApplication>

namespace {

// The last net under every event handler, as with windows: the error is reported and the server
// carries on with the next event.
class GuardedCoreApplication : public QCoreApplication
{
public:
    using QCoreApplication::QCoreApplication;

    bool notify(QObject* receiver, QEvent* event) override
    {
        try {
            return QCoreApplication::notify(receiver, event);
        } catch (const AppError& e) {
            StandardError::error(e.message());
        } catch (const std::exception& e) {
            StandardError::error(QString::fromLocal8Bit(e.what()));
        }
        return false;
    }
};

} // namespace

QString headlessStartLine(const WardServer& server)
{
    return StandardError::startLine(server, false);
}

void createHeadless(WardServer& server)
{
    server.create();
    {
        IniFile ini = App::settings();
        if (App::firstStart())
            WindowSections::writeFirstStart(ini);
        else
            WindowSections::writeAddedLater(ini);
    }
    server.finishSettings();
}

bool startHeadless(WardServer& server, QString* errorText)
{
    return server.start(errorText);
}

int runHeadless(int argc, char* argv[])
{
    GuardedCoreApplication app(argc, argv);
    // Qt's own texts (a connection's error, say) in the lines in Russian, as with windows.
    Dialogs::installQtTranslations();
    WardServer server;
    if (!StandardError::stopOnSignals(&app, [&server] {
            // What the antennas sent before the signal is journaled before the database closes.
            server.finish();
        }))
        return 1;
    StandardError::follow(server);

    // What the creation says waits for the line that says what runs.
    StandardError::HeldStartLines held;
    try {
        // The windows' sections are written without creating a window: the file is the one a first
        // start with windows writes.
        createHeadless(server);
    } catch (const AppError& e) {
        held.release();
        StandardError::error(e.message());
        return 1;
    } catch (const std::exception& e) {
        held.release();
        StandardError::error(QString::fromLocal8Bit(e.what()));
        return 1;
    }
    // Who runs, on which ports, with which files: the first line of the service's log, before the
    // start's own lines (the broker's, the alert manager's, the values of their sections).
    StandardError::line(headlessStartLine(server));
    held.release();

    QString errorText;
    if (!startHeadless(server, &errorText)) {
        StandardError::error(errorText);
        return 1;
    }

    const int status = app.exec();
    server.stop();
    // A stop that loses events is no clean stop, whatever ended the loop.
    return StandardError::exitStatus(server, status);
}
