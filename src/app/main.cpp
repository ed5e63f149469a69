#include "app/Windows.h"
#include "journal/Forms.h"
#include "journal/TMF.h"
#include "settings/AppError.h"
#include "settings/window/Dialogs.h"
#include "stats/StatsCommand.h"

#include <QApplication>

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
} // namespace

int main(int argc, char* argv[])
{
    // The report without any window: no display, no ports, the journal only read.
    if (argc > 1 && std::strcmp(argv[1], Stats::kCommandWord) == 0)
        return Stats::statisticsMain(argc, argv);

    GuardedApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    Dialogs::installQtTranslations();

    try {
        createWindows();
    } catch (const std::exception& e) {
        // Without its settings file or its database the program cannot do its work.
        Dialogs::showException(nullptr, e);
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
