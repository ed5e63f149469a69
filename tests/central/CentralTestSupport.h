#pragma once

// What the centre's tests share: a ward's events as the ward's own code writes them, and the program
// copied into a directory of its own with a settings file pointing at the test's broker and database,
// and run there.

#include "central/WardMessage.h"
#include "core/base/Cp1251.h"
#include "core/mqtt/MqttEvent.h"
#include "core/settings/IniFile.h"

#include "PostgresServer.h"
#include "ProcessGuard.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QTcpServer>
#include <QTest>

namespace centraltest {

// One event of a ward as the ward's own code writes it (MqttEvent, whose format the ward's tests pin):
// a call (the call's key "c<seq>"), or the given type; `extra` replaces or adds fields, for the
// cases a test makes on purpose (another place, a silent antenna, a malformed id).
inline QByteArray wardEvent(qint64 seq, const QString& type = QStringLiteral("call"), QJsonObject extra = {},
                            const QString& time = QStringLiteral("2024-03-01T10:00:00+03:00"))
{
    const QDateTime at = QDateTime::fromString(time, Qt::ISODate);
    const QDateTime callTime =
        QDateTime::fromString(QStringLiteral("2024-03-01T10:00:00+03:00"), Qt::ISODate);
    const QString code = QStringLiteral("f6186");
    const QString function = QStringLiteral("8");
    const QString place = QStringLiteral("Койка № 1");
    const QString room = QStringLiteral("Палата 5");
    const QString staff = QStringLiteral("Тестова Анна");
    MqttEvent e;
    if (type == QLatin1String("antenna"))
        e = MqttEvent::antennaSupervision(at, QString(), false);
    else if (type == QLatin1String("cancel"))
        e = MqttEvent::cancel(at, code, function, place, room, staff, {});
    else if (type == QLatin1String("repeat"))
        e = MqttEvent::repeat(at, code, function, place, room, staff, callTime);
    else if (type == QLatin1String("escalation"))
        e = MqttEvent::escalation(at, QStringLiteral("warning"), code, function, place, room, staff,
                                  callTime);
    else
        e = MqttEvent::call(at, code, function, place, room, staff);
    e.type = type;
    e.seq = seq;
    if (type == QLatin1String("call"))
        e.callKey = QStringLiteral("c%1").arg(seq);
    QJsonObject o = QJsonDocument::fromJson(e.toJson()).object();
    for (auto it = extra.begin(); it != extra.end(); ++it)
        o.insert(it.key(), it.value());
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

// The event of a payload the test made; a payload the centre refuses ends the test.
inline WardEvent parsed(const QString& ward, const QByteArray& payload)
{
    QString why;
    const std::optional<WardEvent> e = WardEvent::parse(ward, payload, &why);
    if (!e)
        qFatal("an event the test makes was refused: %s", qPrintable(why));
    return *e;
}

// A cancel closing one call after `seconds`, its journal entry unknown to the ward.
inline QByteArray cancel(qint64 seq, const QString& call, int seconds,
                         const QString& time = QStringLiteral("2024-03-01T10:05:00+03:00"))
{
    MqttReaction closed;
    closed.call = call;
    closed.callTime = QDateTime::fromString(QStringLiteral("2024-03-01T10:00:00+03:00"), Qt::ISODate);
    closed.seconds = seconds;
    MqttEvent e = MqttEvent::cancel(QDateTime::fromString(time, Qt::ISODate), QStringLiteral("f6186"),
                                    QStringLiteral("8"), QStringLiteral("Койка № 1"),
                                    QStringLiteral("Палата 5"), QStringLiteral("Тестова Анна"), {closed});
    e.seq = seq;
    return e.toJson();
}

// A TCP port of 127.0.0.1 nobody listens on just now.
inline quint16 freeTcpPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// The program copied into `dir` with its settings file (Windows-1251, CR LF, as it writes it). Its
// dashboard listens on 127.0.0.1 only, on `httpPort` or a free port. Besides the wards of "test/+" it
// takes the ward "ready/<clientId>" that is its alone, for a test to learn when it is subscribed.
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
                                            "Topics=test/+,ready/%2\r\n[Database]\r\nConnInfo=%3\r\n"
                                            "[Http]\r\nAddress=127.0.0.1\r\nPort=%4\r\n")
                                 .arg(brokerPort)
                                 .arg(clientId, connInfo)
                                 .arg(httpPort != 0 ? httpPort : freeTcpPort());
        ini.write(Cp1251::encode(text));
    }
    return exe;
}

// One copy of the program run by a test in the folder installCentral made, ended with the test however
// the test ends (ProcessGuard); its standard error kept.
class CentralProcess
{
public:
    explicit CentralProcess(QString exe) : m_exe(std::move(exe))
    {
        m_process.setWorkingDirectory(QFileInfo(m_exe).path());
        ProcessGuard::guard(m_process);
    }
    ~CentralProcess() { kill(); }
    CentralProcess(const CentralProcess&) = delete;
    CentralProcess& operator=(const CentralProcess&) = delete;

    bool start(const QStringList& args = {})
    {
        m_process.start(m_exe, args);
        return m_process.waitForStarted(5000);
    }
    // Starts it with its dashboard on a port of its own and waits until it serves the page: a port
    // found free may be taken by another program before this one binds it; it then gets another.
    bool startServing(quint16* httpPort)
    {
        for (int attempt = 0; attempt < 5; ++attempt) {
            const quint16 port = freeTcpPort();
            IniFile(QFileInfo(m_exe).path() + QStringLiteral("/HalvaneCentral.ini"))
                .writeInteger(QStringLiteral("Http"), QStringLiteral("Port"), port);
            m_errors.clear();
            if (!start())
                return false;
            const QString serving = QStringLiteral("Панель: http://127.0.0.1:%1/").arg(port);
            const QDeadlineTimer deadline(15000);
            while (!deadline.hasExpired() && running() && !errors().contains(serving) &&
                   !errors().contains(QStringLiteral("новая попытка")))
                QTest::qWait(50);
            if (errors().contains(serving)) {
                *httpPort = port;
                return true;
            }
            if (!running() || deadline.hasExpired())
                return false;
            kill();
        }
        return false;
    }
    void kill()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    // SIGTERM; true when it ended by itself with status 0.
    bool terminate()
    {
        m_process.terminate();
        return m_process.waitForFinished(10000) && m_process.exitStatus() == QProcess::NormalExit &&
               m_process.exitCode() == 0;
    }
    bool running() const { return m_process.state() == QProcess::Running; }
    qint64 pid() const { return m_process.processId(); }
    QProcess& process() { return m_process; }
    QString errors()
    {
        m_errors += QString::fromLocal8Bit(m_process.readAllStandardError());
        return m_errors;
    }
    // Waits until a line of its standard error holds `text`.
    bool waitForLine(const QString& text, int ms = 15000)
    {
        const QDeadlineTimer deadline(ms);
        while (!deadline.hasExpired() && !errors().contains(text) && running())
            QTest::qWait(50);
        return errors().contains(text);
    }

private:
    QString m_exe;
    QProcess m_process;
    QString m_errors;
};

// Publishes to the test's broker with QoS 1, one message a line; retained when asked.
inline bool publish(quint16 brokerPort, const QString& topic, const QList<QByteArray>& payloads,
                    bool retained = false)
{
    QProcess pub;
    QStringList args{
        QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"), QString::number(brokerPort),
        QStringLiteral("-q"), QStringLiteral("1"),         QStringLiteral("-t"), topic,
        QStringLiteral("-l")};
    if (retained)
        args << QStringLiteral("-r");
    pub.start(QStringLiteral("mosquitto_pub"), args);
    if (!pub.waitForStarted(5000))
        return false;
    for (const QByteArray& p : payloads)
        pub.write(p + '\n');
    pub.closeWriteChannel();
    return pub.waitForFinished(60000) && pub.exitCode() == 0;
}

// Waits until the copy run with `clientId` is connected to the broker and subscribed: a client id
// the broker has never seen gets only what is published after its first subscription. A status of
// the ward only this copy takes ("ready/<clientId>"), published again until it is stored, says the
// subscription stands.
inline bool subscribed(CentralProcess& centre, quint16 brokerPort, const QString& clientId,
                       PostgresServer& pg)
{
    if (!centre.waitForLine(QStringLiteral("MQTT: связь с брокером")))
        return false;
    const QString sql = QStringLiteral("SELECT status FROM wards WHERE ward = '%1'").arg(clientId);
    const QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired() && centre.running()) {
        if (!publish(brokerPort, QStringLiteral("ready/%1/status").arg(clientId), {"online"}))
            return false;
        const QDeadlineTimer round(1000);
        while (!round.hasExpired()) {
            if (pg.psql(sql) == QLatin1String("online"))
                return true;
            QTest::qWait(100);
        }
    }
    return false;
}

} // namespace centraltest
