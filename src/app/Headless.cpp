#include "app/Headless.h"

#include "core/base/AppError.h"
#include "core/base/StopSignals.h"
#include "core/calls/StatusTexts.h"
#include "core/engine/WardServer.h"
#include "core/settings/AppState.h"
#include "core/settings/WindowSections.h"
#include "gui/kit/Dialogs.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {

// The line a stop by a signal leaves: which signal, and the sending process.
QString stopLine(const StopSignals::Note& note)
{
    return QStringLiteral("Сервер остановлен %1").arg(StopSignals::describe(note));
}

// The error box's text, on one line of standard error.
void reportError(const QString& message)
{
    QString line = Dialogs::errorText(message);
    line.replace(u'\r', u' ').replace(u'\n', u' ');
    std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}

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
            reportError(e.message());
        } catch (const std::exception& e) {
            reportError(QString::fromLocal8Bit(e.what()));
        }
        return false;
    }
};

} // namespace

QString headlessStartLine(const WardServer& server)
{
    const MainSettingsValues& cfg = server.cfg();
    const QString dir = QFileInfo(App::exePath()).absolutePath();
    return QStringLiteral("HalvaneServer %1 без окон: антенны — UDP-порт %2 (команды антеннам на %3), "
                          "табло — UDP-порт %4 (извещения на %5); база данных %6; настройки %7")
        .arg(QStringLiteral(HALVANE_VERSION))
        .arg(cfg.FromAntPort)
        .arg(cfg.ToAntPort)
        .arg(cfg.FromClientsPort)
        .arg(cfg.ToClientsPort)
        .arg(QDir::toNativeSeparators(dir + u'/' + cfg.dbFileName),
             QDir::toNativeSeparators(App::settingsPath()));
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
    if (!StopSignals::install()) {
        reportError(QStringLiteral("Cannot install the signal handlers"));
        return 1;
    }

    WardServer server;
    QObject::connect(&server, &WardServer::errorRaised, &server, &reportError);
    // The journal's state, as the main window's status bar shows it: one line whenever it changes,
    // and one when the events waiting have all been written.
    QObject::connect(&server, &WardServer::journalStatusChanged, &server, [](const QString& text) {
        reportError(text.isEmpty() ? QStringLiteral("Журнал снова доступен: ожидавшие события записаны")
                                   : text);
    });
    // The broker's state, as the status bar shows it: one line whenever it changes.
    QObject::connect(&server, &WardServer::mqttStatusChanged, &server, [](const QString& text) {
        if (!text.isEmpty())
            reportError(text);
    });
    // The alert manager's state likewise: one line per change (not per message waiting).
    QObject::connect(&server, &WardServer::alertsStateChanged, &server, [](const QString& line) {
        if (!line.isEmpty())
            reportError(line);
    });
    try {
        // The windows' sections are written without creating a window: the file is the one a first
        // start with windows writes.
        createHeadless(server);
    } catch (const AppError& e) {
        reportError(e.message());
        return 1;
    } catch (const std::exception& e) {
        reportError(QString::fromLocal8Bit(e.what()));
        return 1;
    }

    // The open-call supervision, one line on each change: the calls in alarm and the silent antennas.
    auto alarmCount = std::make_shared<int>(0);
    QObject::connect(&server, &WardServer::openCallsChanged, &server,
                     [&server, alarmCount](const QList<OpenCall>&) {
                         const int count = server.openCalls() ? server.openCalls()->alarmCount() : 0;
                         if (count == *alarmCount)
                             return;
                         *alarmCount = count;
                         reportError(server.escalation().sAlarmCount + u' ' + QString::number(count));
                     });
    QObject::connect(&server, &WardServer::antennaSilenceChanged, &server,
                     [&server](const QString& antenna, bool silent, const QDateTime& since) {
                         if (silent) {
                             reportError(StatusTexts::silentAntenna({antenna, since}, server.escalation(),
                                                                    since, LogConst{}));
                         } else {
                             reportError(QStringLiteral("Антенна ") + antenna +
                                         QStringLiteral(" снова на связи"));
                         }
                     });

    QString errorText;
    if (!startHeadless(server, &errorText)) {
        reportError(errorText);
        return 1;
    }
    // Who runs, on which ports, with which files: the first line of the service's log.
    std::fprintf(stderr, "%s\n", headlessStartLine(server).toLocal8Bit().constData());
    std::fflush(stderr);

    QSocketNotifier notifier(StopSignals::readFd(), QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, [&] {
        const StopSignals::Note note = StopSignals::take();
        notifier.setEnabled(false);
        reportError(stopLine(note));
        // What the antennas sent before the signal is journaled before the database closes.
        server.finish();
        QCoreApplication::quit();
    });

    const int status = app.exec();
    server.stop();
    // A stop that loses events is no clean stop, whatever ended the loop.
    if (server.lostAtStop() > 0) {
        reportError(
            QStringLiteral("Остановка: потеряно событий, не записанных ни в журнал, ни в файл ожидания: %1")
                .arg(server.lostAtStop()));
        return status != 0 ? status : 1;
    }
    return status;
}
