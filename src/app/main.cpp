#include "app/Forms.h"
#include "app/Headless.h"
#include "app/StandardError.h"
#include "app/Windows.h"
#include "core/base/AppError.h"
#include "core/base/WindowSystem.h"
#include "core/engine/WardServer.h"
#include "core/stats/StatsCommand.h"
#include "gui/journal/TMF.h"
#include "gui/kit/Dialogs.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <optional>

namespace {
QString errorMessage(const std::exception& e)
{
    if (const auto* appError = dynamic_cast<const AppError*>(&e))
        return appError->message();
    return QString::fromLocal8Bit(e.what());
}

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
            // The line first: the box waits for the operator.
            StandardError::error(errorMessage(e));
            Dialogs::showException(nullptr, e);
        }
        return false;
    }
};

const char kUsage[] =
    "Запуск: HalvaneServer [--headless | --help]\n"
    "        HalvaneServer --statistics ПЕРВЫЙ_ДЕНЬ ПОСЛЕДНИЙ_ДЕНЬ ФАЙЛ.xlsx [--force]\n"
    "\n"
    "Сервер системы вызова медсестёр: принимает нажатия от антенн (UDP 5556), записывает каждый вызов\n"
    "и отмену в журнал (базу данных рядом с программой), извещает табло и опрашивает их (UDP 5566/5567).\n"
    "Файл настроек (имя программы с расширением .ini) и база данных лежат рядом с программой и\n"
    "создаются при первом запуске.\n"
    "\n"
    "  (без параметров)  с окном журнала и окнами справочников, для оператора; нужен дисплей.\n"
    "  --headless        без окон и без дисплея, как служба.\n"
    "                    В обоих случаях ошибки и состояние пишутся в стандартный поток ошибок, по\n"
    "                    одной строке; SIGINT или SIGTERM завершают работу штатно. Код выхода 1, если\n"
    "                    запуститься не удалось (файл настроек, база данных или занятый порт) или\n"
    "                    при остановке потеряны события.\n"
    "  --statistics ПЕРВЫЙ_ДЕНЬ ПОСЛЕДНИЙ_ДЕНЬ ФАЙЛ.xlsx [--force]\n"
    "                    записывает статистику времени реакции за дни с первого по последний\n"
    "                    (ГГГГ-ММ-ДД) в книгу ФАЙЛ.xlsx, без окон и без открытия портов; журнал только\n"
    "                    читается. ФАЙЛ должен оканчиваться на .xlsx и не может быть базой данных,\n"
    "                    файлом настроек или самой программой; существующий ФАЙЛ заменяется только\n"
    "                    с --force. Код выхода 0, если файл записан, 2 при неверных аргументах,\n"
    "                    1 в остальных случаях.\n"
    "  --help            эта справка.\n";

// Said instead of Qt's platform message when the windows have nowhere to show.
QString noDisplayText()
{
    return QStringLiteral("HalvaneServer: окнам негде показаться — нет доступного дисплея (%1). "
                          "Без окон и без дисплея сервер работает с параметром --headless: "
                          "HalvaneServer --headless")
        .arg(WindowSystem::describe());
}

// The server with its windows. Standard error carries the lines the headless server writes (what runs,
// the errors, the journal's, the broker's and the alert manager's state, the stop by a signal and what
// a stop lost), and the exit status is the headless one: 1 when the start failed or a stop lost
// events. The start runs inside the event loop, so that a signal ends the program also while a box
// of the start is open.
int runWindows(QApplication& app)
{
    // A signal ends the program as the operator's close does, without the question. The engine stops
    // once the event loop has ended: the signal may come while a box is open in the middle of an
    // engine's tick, which must run to its end first.
    bool bySignal = false;
    if (!StandardError::stopOnSignals(&app, [&bySignal] { bySignal = true; }))
        return 1;
    QTimer::singleShot(0, &app, [] {
        {
            // What the creation says waits for the line that says what runs.
            StandardError::HeldStartLines held;
            try {
                createWindows([](WardServer& server) { StandardError::follow(server); });
            } catch (const std::exception& e) {
                held.release();
                // Without its settings file, its database or a window the program cannot do its work.
                StandardError::error(errorMessage(e));
                Dialogs::showException(nullptr, e);
                destroyWindows();
                QCoreApplication::exit(1);
                return;
            }
            StandardError::line(StandardError::startLine(*forms().server, true));
        }
        TMF* mf = forms().MF;
        QObject::connect(mf, &TMF::startFailed, mf, &StandardError::error);
        mf->show();
        if (!mf->FormShow())
            QCoreApplication::exit(1);
    });
    int status = app.exec();
    if (TMF* mf = forms().MF) {
        if (bySignal)
            mf->finishBySignal();
        else
            mf->stopServer();
        status = StandardError::exitStatus(*forms().server, status);
    }
    destroyWindows();
    return status;
}

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

    if (!WindowSystem::named()) {
        std::fprintf(stderr, "%s\n", noDisplayText().toLocal8Bit().constData());
        return 1;
    }
    std::optional<WindowSystem::StartGuard> guard(std::in_place, noDisplayText());
    GuardedApplication app(argc, argv);
    guard.reset();
    app.setQuitOnLastWindowClosed(false);
    Dialogs::installQtTranslations();
    return runWindows(app);
}
