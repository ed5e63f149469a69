#include "core/base/WindowSystem.h"

#include <QByteArray>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>

namespace WindowSystem {

namespace {

QtMessageHandler previousHandler = nullptr;
QByteArray missingText;

void duringStart(QtMsgType type, const QMessageLogContext&, const QString&)
{
    if (type != QtFatalMsg)
        return;
    std::fputs(missingText.constData(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    std::_Exit(1);
}

} // namespace

bool named()
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN) && !defined(Q_OS_ANDROID)
    return !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") || !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
#else
    return true;
#endif
}

QString describe()
{
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        return QStringLiteral("QT_QPA_PLATFORM=") + qEnvironmentVariable("QT_QPA_PLATFORM");
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return QStringLiteral("WAYLAND_DISPLAY=") + qEnvironmentVariable("WAYLAND_DISPLAY");
    if (!qEnvironmentVariableIsEmpty("DISPLAY"))
        return QStringLiteral("DISPLAY=") + qEnvironmentVariable("DISPLAY");
    return QStringLiteral("переменная DISPLAY не задана");
}

StartGuard::StartGuard(const QString& missing)
{
    missingText = missing.toLocal8Bit();
    previousHandler = qInstallMessageHandler(duringStart);
}

StartGuard::~StartGuard()
{
    qInstallMessageHandler(previousHandler);
    previousHandler = nullptr;
}

} // namespace WindowSystem
