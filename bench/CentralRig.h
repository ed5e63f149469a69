#pragma once

// What the centre's benchmarks share: a PostgreSQL and a mosquitto started on 127.0.0.1 at free
// ports, a copy of HalvaneCentral from the build directory in a folder of its own beside its
// settings file, a publishing client of the broker, and the centre's CPU time and peak memory.

#include "MosquittoBroker.h"
#include "PostgresServer.h"

#include "core/base/Cp1251.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <mosquitto.h>

#include <cstdio>
#include <unistd.h>

struct CentralRig
{
    PostgresServer pg;
    QTemporaryDir brokerDir;
    MosquittoBroker broker{brokerDir.path(), QStringLiteral("allow_anonymous true\nmax_queued_messages 0")};
    QTemporaryDir centralDir;
    QProcess central;

    QString program() const { return centralDir.filePath(QStringLiteral("HalvaneCentral")); }

    // The database, the broker and the program's folder; `moreSettings` is added to the settings
    // file as it stands (sections with CR LF line ends).
    bool up(const QString& moreSettings = QString())
    {
        if (!pg.init()) {
            std::fprintf(stderr, "PostgreSQL: %s\n", qPrintable(pg.error()));
            return false;
        }
        if (!broker.start()) {
            std::fprintf(stderr, "mosquitto did not start\n");
            return false;
        }
        QFile::copy(QCoreApplication::applicationDirPath() + QStringLiteral("/../HalvaneCentral"), program());
        QFile ini(centralDir.filePath(QStringLiteral("HalvaneCentral.ini")));
        ini.open(QIODevice::WriteOnly);
        ini.write(Cp1251::encode(QStringLiteral("[Broker]\r\nPort=%1\r\nClientId=bench\r\nTopics=bench/+\r\n"
                                                "[Database]\r\nConnInfo=%2\r\n")
                                     .arg(broker.port())
                                     .arg(pg.connInfo()) +
                                 moreSettings));
        return true;
    }
    bool startCentral()
    {
        central.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        central.start(program(), {});
        if (!central.waitForStarted(5000))
            return false;
        QThread::msleep(1500); // connected and subscribed
        return true;
    }
    void stopCentral()
    {
        central.terminate();
        central.waitForFinished(15000);
    }
    qint64 stored() { return pg.psql(QStringLiteral("SELECT count(*) FROM events")).toLongLong(); }
};

// A process's CPU seconds (user + system) and peak resident memory in MiB, from /proc.
inline double cpuSeconds(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = f.readAll().split(')').last().trimmed().split(' ');
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) / double(sysconf(_SC_CLK_TCK));
}
inline double peakMiB(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    f.open(QIODevice::ReadOnly);
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024;
    return 0;
}

// One publishing client for all the simulated wards, on libmosquitto's own thread; publish() may be
// called from any one thread.
class BrokerPublisher
{
public:
    explicit BrokerPublisher(quint16 port)
    {
        mosquitto_lib_init();
        m_mosq = mosquitto_new(nullptr, true, nullptr);
        mosquitto_int_option(m_mosq, MOSQ_OPT_SEND_MAXIMUM, 65535);
        mosquitto_connect(m_mosq, "127.0.0.1", port, 60);
        mosquitto_loop_start(m_mosq);
    }
    ~BrokerPublisher()
    {
        mosquitto_disconnect(m_mosq);
        mosquitto_loop_stop(m_mosq, false);
        mosquitto_destroy(m_mosq);
    }
    BrokerPublisher(const BrokerPublisher&) = delete;
    BrokerPublisher& operator=(const BrokerPublisher&) = delete;

    void publish(const QByteArray& topic, const QByteArray& payload, bool retain = false)
    {
        mosquitto_publish(m_mosq, nullptr, topic.constData(), int(payload.size()), payload.constData(), 1,
                          retain);
    }

private:
    mosquitto* m_mosq = nullptr;
};
