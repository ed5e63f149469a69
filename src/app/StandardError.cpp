#include "app/StandardError.h"

#include "core/base/StopSignals.h"
#include "core/calls/StatusTexts.h"
#include "core/engine/WardServer.h"
#include "core/settings/AppState.h"
#include "core/settings/SettingsFallback.h"
#include "gui/kit/Dialogs.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>
#include <utility>

namespace {

// Which signal, and the sending process as far as the system names it (a signal from the terminal or
// the kernel has no sender process).
QString stopLine(const StopSignals::Note& note)
{
    return QStringLiteral("Сервер остановлен %1").arg(StopSignals::describe(note));
}

} // namespace

namespace StandardError {

void line(const QString& text)
{
    QString one = text;
    one.replace(u'\r', u' ').replace(u'\n', u' ');
    std::fprintf(stderr, "%s\n", one.toLocal8Bit().constData());
    std::fflush(stderr);
}

void error(const QString& message)
{
    line(Dialogs::errorText(message));
}

void follow(WardServer& server)
{
    QObject::connect(&server, &WardServer::errorRaised, &server, &error);
    // The journal's state, as the main window's status bar shows it: one line whenever it changes,
    // and one when the events waiting have all been written.
    QObject::connect(&server, &WardServer::journalStatusChanged, &server, [](const QString& text) {
        error(text.isEmpty() ? QStringLiteral("Журнал снова доступен: ожидавшие события записаны") : text);
    });
    // The broker's state, as the status bar shows it: one line whenever it changes.
    QObject::connect(&server, &WardServer::mqttStatusChanged, &server, [](const QString& text) {
        if (!text.isEmpty())
            error(text);
    });
    // The alert manager's state likewise: one line per change (not per message waiting).
    QObject::connect(&server, &WardServer::alertsStateChanged, &server, [](const QString& text) {
        if (!text.isEmpty())
            error(text);
    });
    // The open-call supervision, one line on each change: the calls in alarm and the silent antennas.
    auto alarmCount = std::make_shared<int>(0);
    QObject::connect(&server, &WardServer::openCallsChanged, &server,
                     [&server, alarmCount](const QList<OpenCall>&) {
                         const int count = server.openCalls() ? server.openCalls()->alarmCount() : 0;
                         if (count == *alarmCount)
                             return;
                         *alarmCount = count;
                         error(server.escalation().sAlarmCount + u' ' + QString::number(count));
                     });
    QObject::connect(
        &server, &WardServer::antennaSilenceChanged, &server,
        [&server](const QString& antenna, bool silent, const QDateTime& since) {
            if (silent) {
                error(StatusTexts::silentAntenna({antenna, since}, server.escalation(), since, LogConst{}));
            } else {
                error(QStringLiteral("Антенна ") + antenna + QStringLiteral(" снова на связи"));
            }
        });
}

QString startLine(const WardServer& server, bool withWindows)
{
    const MainSettingsValues& cfg = server.cfg();
    const QString dir = QFileInfo(App::exePath()).absolutePath();
    return QStringLiteral("HalvaneServer %1 %2: антенны — UDP-порт %3 (команды антеннам на %4), "
                          "табло — UDP-порт %5 (извещения на %6); база данных %7; настройки %8")
        .arg(QStringLiteral(HALVANE_VERSION),
             withWindows ? QStringLiteral("с окнами") : QStringLiteral("без окон"))
        .arg(cfg.FromAntPort)
        .arg(cfg.ToAntPort)
        .arg(cfg.FromClientsPort)
        .arg(cfg.ToClientsPort)
        .arg(QDir::toNativeSeparators(dir + u'/' + cfg.dbFileName),
             QDir::toNativeSeparators(App::settingsPath()));
}

namespace {

// A line said while the start is held: either a settings line or one of Qt's messages, which goes
// to the handler that was there before.
struct HeldLine
{
    QString text;
    bool message = false;
    QtMsgType type = QtDebugMsg;
    const char* file = nullptr;
    int lineNumber = 0;
    const char* function = nullptr;
    const char* category = nullptr;
};

QList<HeldLine>& heldLines()
{
    static QList<HeldLine> lines;
    return lines;
}

// Qt's messages may come from any thread.
std::mutex& heldMutex()
{
    static std::mutex mutex;
    return mutex;
}

QtMessageHandler& previousHandler()
{
    static QtMessageHandler handler = nullptr;
    return handler;
}

void holdMessage(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    const std::lock_guard lock(heldMutex());
    heldLines().append({text, true, type, context.file, context.line, context.function, context.category});
}

} // namespace

HeldStartLines::HeldStartLines()
{
    heldLines().clear();
    SettingsFallbacks::setSink([](const QString& text) {
        const std::lock_guard lock(heldMutex());
        heldLines().append({text});
    });
    previousHandler() = qInstallMessageHandler(holdMessage);
}

HeldStartLines::~HeldStartLines()
{
    release();
}

void HeldStartLines::release()
{
    if (std::exchange(m_released, true))
        return;
    SettingsFallbacks::setSink({});
    qInstallMessageHandler(previousHandler());
    QList<HeldLine> lines;
    {
        const std::lock_guard lock(heldMutex());
        lines = std::exchange(heldLines(), {});
    }
    for (const HeldLine& held : std::as_const(lines)) {
        if (!held.message) {
            line(held.text);
            continue;
        }
        const QMessageLogContext context(held.file, held.lineNumber, held.function, held.category);
        if (previousHandler())
            previousHandler()(held.type, context, held.text);
        else
            line(qFormatLogMessage(held.type, context, held.text));
    }
}

bool stopOnSignals(QObject* context, std::function<void()> stop)
{
    if (!StopSignals::install()) {
        error(QStringLiteral("Cannot install the signal handlers"));
        return false;
    }
    auto* notifier = new QSocketNotifier(StopSignals::readFd(), QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [notifier, stop = std::move(stop)] {
        const StopSignals::Note note = StopSignals::take();
        notifier->setEnabled(false);
        error(stopLine(note));
        stop();
        // Not quit(): with windows that closes them first, and the main window's close asks its
        // question.
        QCoreApplication::exit(0);
    });
    return true;
}

int exitStatus(const WardServer& server, int loopStatus)
{
    if (server.lostAtStop() <= 0)
        return loopStatus;
    error(QStringLiteral("Остановка: потеряно событий, не записанных ни в журнал, ни в файл ожидания: %1")
              .arg(server.lostAtStop()));
    return loopStatus != 0 ? loopStatus : 1;
}

} // namespace StandardError
