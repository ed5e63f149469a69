#pragma once

// The headless server as a process, for the tests that run the program itself: a copy of it in a
// directory of its own (so that its settings file and database are the test's), started without a
// display, and the wait until it listens. The tests that include it define HALVANE_SERVER_EXE.

#include "ProcessGuard.h"

#include <QElapsedTimer>
#include <QFile>
#include <QNetworkDatagram>
#include <QProcess>
#include <QTemporaryDir>
#include <QUdpSocket>

// The copy of the program; empty when it could not be copied.
inline QString copyServer(const QTemporaryDir& dir)
{
    const QString exe = dir.filePath(QStringLiteral("HalvaneServer"));
    if (!QFile::copy(QStringLiteral(HALVANE_SERVER_EXE), exe))
        return QString();
    QFile::setPermissions(exe, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return exe;
}

// Its standard error goes to the test's own unless the test reads it.
inline void startServer(QProcess& server, const QString& exe,
                        QProcess::ProcessChannelMode channels = QProcess::ForwardedErrorChannel)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    server.setProcessEnvironment(env);
    server.setProcessChannelMode(channels);
    ProcessGuard::guard(server); // ended with the test however the test ends
    server.start(exe, {QStringLiteral("--headless")});
}

// A display station bound to 5567 says hello until the pings come: then the server listens.
inline bool helloUntilPinged(QUdpSocket& station)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 10000) {
        station.writeDatagram(QByteArrayLiteral("#ToOrvikLiteServer"), QHostAddress::LocalHost, 5566);
        if (station.waitForReadyRead(200))
            return true;
    }
    return false;
}

// The same, leaving nothing of the greeting to be read; what an earlier run sent is dropped first, so
// that it is not taken for the answer.
inline bool listening(QUdpSocket& station)
{
    while (station.hasPendingDatagrams())
        station.receiveDatagram();
    if (!helloUntilPinged(station))
        return false;
    while (station.hasPendingDatagrams())
        station.receiveDatagram();
    return true;
}
