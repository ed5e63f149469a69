#include "app/Forms.h"
#include "app/Headless.h"
#include "app/Windows.h"
#include "core/base/AppError.h"
#include "core/stats/StatsCommand.h"
#include "gui/journal/TMF.h"
#include "gui/kit/Dialogs.h"

#include <QApplication>

#include <cstdio>
#include <cstring>

namespace {
// The last net under every event handler: an error that escaped an operation is shown, and the
// program carries on with the next event.
class GuardedApplication : public QApplication
{
public:
    using QApplication::QApplication;

    bool notify(QObject* receiver, QEvent* event) override
    {
        try {
            return QApplication::notify(receiver, event);
        } catch (const std::exception& e) {
            Dialogs::showException(nullptr, e);
        }
        return false;
    }
};

const char kUsage[] =
    "Usage: HalvaneServer [--headless | --help]\n"
    "       HalvaneServer --statistics FIRST LAST FILE.xlsx [--force]\n"
    "\n"
    "The server of the ward call system: it receives the antennas (UDP 5556), journals every call and\n"
    "cancel in the database beside the executable, and notifies and pings the display stations\n"
    "(UDP 5566/5567). Its settings file (the executable's name with .ini) and its database lie beside\n"
    "the executable and are created on the first start.\n"
    "\n"
    "  (no option)   with the journal window and the directory windows, for the operator.\n"
    "  --headless    without any window and without a display, as a service: errors are written to\n"
    "                standard error, one line each; SIGINT or SIGTERM ends it cleanly. Exits with\n"
    "                status 1 when it cannot start (settings file, database, or a port in use).\n"
    "  --statistics FIRST LAST FILE.xlsx [--force]\n"
    "                writes the statistics of the journal's days FIRST to LAST (YYYY-MM-DD) into the\n"
    "                workbook FILE.xlsx, without any window and without opening the ports; the\n"
    "                journal is only read. FILE must end in .xlsx and may not be the database, the\n"
    "                settings file or the executable; an existing FILE is replaced only with --force.\n"
    "                Exits with status 0 when the file is written, 2 for bad arguments, 1 otherwise.\n"
    "  --help        this text.\n";

bool hasOption(int argc, char* argv[], const char* option)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], option) == 0)
            return true;
    }
    return false;
}
} // namespace

int main(int argc, char* argv[])
{
    // The report without any window: no display, no ports, the journal only read.
    if (argc > 1 && std::strcmp(argv[1], Stats::kCommandWord) == 0)
        return Stats::statisticsMain(argc, argv);
    if (hasOption(argc, argv, "--help") || hasOption(argc, argv, "-h")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (hasOption(argc, argv, "--headless"))
        return runHeadless(argc, argv);

    GuardedApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    Dialogs::installQtTranslations();

    try {
        createWindows();
    } catch (const std::exception& e) {
        // Without its settings file, its database or a window the program cannot do its work.
        Dialogs::showException(nullptr, e);
        destroyWindows();
        return 1;
    }

    TMF* mf = forms().MF;
    mf->show();
    if (!mf->FormShow()) {
        destroyWindows();
        return 1;
    }
    const int status = app.exec();
    destroyWindows();
    return status;
}
