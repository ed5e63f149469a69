#pragma once

// What the centre's tests share: a ward's events as the ward publishes them, and the program copied
// into a directory of its own with a settings file pointing at the test's broker and database.

#include "core/base/Cp1251.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QTcpServer>

namespace centraltest {

// One event of a ward: a call (the call's key "c<seq>"), or the given type with extra fields.
inline QByteArray wardEvent(qint64 seq, const QString& type = QStringLiteral("call"), QJsonObject extra = {},
                            const QString& time = QStringLiteral("2024-03-01T10:00:00+03:00"))
{
    QJsonObject o{{QStringLiteral("type"), type},
                  {QStringLiteral("code"), QStringLiteral("f6186")},
                  {QStringLiteral("function"), QStringLiteral("8")},
                  {QStringLiteral("place"), QStringLiteral("Койка № 1")},
                  {QStringLiteral("ward"), QStringLiteral("Палата 5")},
                  {QStringLiteral("staff"), QStringLiteral("Тестова Анна")},
                  {QStringLiteral("time"), time},
                  {QStringLiteral("seq"), seq}};
    if (type == QLatin1String("call"))
        o.insert(QStringLiteral("call"), QStringLiteral("c%1").arg(seq));
    for (auto it = extra.begin(); it != extra.end(); ++it)
        o.insert(it.key(), it.value());
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

// A cancel closing one call after `seconds`.
inline QByteArray cancel(qint64 seq, const QString& call, int seconds,
                         const QString& time = QStringLiteral("2024-03-01T10:05:00+03:00"))
{
    const QJsonArray reaction{
        QJsonObject{{QStringLiteral("call"), call},
                    {QStringLiteral("id"), QJsonValue()},
                    {QStringLiteral("time"), QStringLiteral("2024-03-01T10:00:00+03:00")},
                    {QStringLiteral("seconds"), seconds}}};
    return wardEvent(seq, QStringLiteral("cancel"), {{QStringLiteral("reaction"), reaction}}, time);
}

// A TCP port of 127.0.0.1 nobody listens on just now.
inline quint16 freeTcpPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// The program copied into `dir` with its settings file (Windows-1251, CR LF, as it writes it). Its
// dashboard listens on 127.0.0.1 only, on `httpPort` or a free port.
inline QString installCentral(const QString& dir, quint16 brokerPort, const QString& connInfo,
                              const QString& clientId = QStringLiteral("central-test"), quint16 httpPort = 0)
{
    const QString exe = dir + QStringLiteral("/HalvaneCentral");
    QFile::remove(exe);
    QFile::copy(QStringLiteral(HALVANE_CENTRAL_EXE), exe);
    QFile::setPermissions(exe, QFile::permissions(exe) | QFileDevice::ExeOwner);
    QFile ini(dir + QStringLiteral("/HalvaneCentral.ini"));
    if (ini.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        const QString text = QStringLiteral("[Broker]\r\nHost=127.0.0.1\r\nPort=%1\r\nClientId=%2\r\n"
                                            "Topics=test/+\r\n[Database]\r\nConnInfo=%3\r\n"
                                            "[Http]\r\nAddress=127.0.0.1\r\nPort=%4\r\n")
                                 .arg(brokerPort)
                                 .arg(clientId, connInfo)
                                 .arg(httpPort != 0 ? httpPort : freeTcpPort());
        ini.write(Cp1251::encode(text));
    }
    return exe;
}

} // namespace centraltest
