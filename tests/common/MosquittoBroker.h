#pragma once

// A real broker for the tests and benchmarks: Debian's mosquitto, started on 127.0.0.1 at a free
// port with a configuration written to a directory of the caller's, and a subscriber that records
// what it receives. The broker is ended with the test however the test ends (ProcessGuard). Header
// only, so that bench/ can use it without a library of its own.

#include "ProcessGuard.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QList>
#include <QProcess>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <mosquitto.h>

#include <mutex>
#include <unistd.h>

class MosquittoBroker
{
public:
    // Extra lines for the listener: TLS files, password file.
    explicit MosquittoBroker(QString dir, QString extraConfig = QString())
        : m_dir(std::move(dir)), m_extra(std::move(extraConfig))
    {
    }
    ~MosquittoBroker() { stop(); }

    static QString binary() { return QStringLiteral("/usr/sbin/mosquitto"); }

    static quint16 freePort()
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        return probe.serverPort();
    }

    quint16 port() const { return m_port; }
    QString log() const
    {
        QFile f(m_dir + QStringLiteral("/mosquitto.log"));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

    // Starts the broker; the first start picks the port, later starts reuse it. Sessions and queued
    // messages are saved on stop and restored on the next start, as an installed broker does.
    bool start()
    {
        if (m_port != 0)
            return startOnPort();
        // A port found free may be taken before the broker binds it: then another one.
        for (int attempt = 0; attempt < 5; ++attempt) {
            m_port = freePort();
            if (startOnPort())
                return true;
            stop();
        }
        return false;
    }

    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(10000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

private:
    bool startOnPort()
    {
        QFile conf(m_dir + QStringLiteral("/mosquitto.conf"));
        if (!conf.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        QByteArray text = "listener " + QByteArray::number(m_port) + " 127.0.0.1\n";
        text += m_extra.isEmpty() ? QByteArray("allow_anonymous true\n") : m_extra.toUtf8() + '\n';
        text += "persistence true\npersistence_location " + m_dir.toUtf8() + "/\n";
        text += "log_dest file " + m_dir.toUtf8() + "/mosquitto.log\n";
        if (::geteuid() == 0)
            text += "user root\n"; // else it would switch to a user who cannot write m_dir
        conf.write(text);
        conf.close();

        m_process.setProcessChannelMode(QProcess::ForwardedChannels);
        ProcessGuard::guard(m_process, SIGTERM);
        m_process.start(binary(), {QStringLiteral("-c"), conf.fileName()});
        if (!m_process.waitForStarted(5000))
            return false;
        const QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired()) {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, m_port);
            // A broker that could not bind its port ends at once: whoever answered was another one.
            if (probe.waitForConnected(200))
                return !m_process.waitForFinished(200) && m_process.state() == QProcess::Running;
            if (m_process.state() != QProcess::Running)
                return false;
            QThread::msleep(50);
        }
        return false;
    }

    QString m_dir;
    QString m_extra;
    quint16 m_port = 0;
    QProcess m_process;
};

// Subscribes to a topic filter with QoS 1 on its own libmosquitto thread and keeps every message.
// With a fixed client id its session outlives the broker's restarts (the broker keeps it), so
// messages published while it reconnects are not missed.
class MqttTestSubscriber
{
public:
    struct Message
    {
        QString topic;
        QByteArray payload;
        bool retained = false;
    };

    struct Options
    {
        QString clientId;
        QString username;
        QString password;
        QString caFile;
    };

    MqttTestSubscriber(quint16 port, QString filter, const Options& options = {})
        : m_filter(std::move(filter))
    {
        mosquitto_lib_init();
        const QByteArray id = options.clientId.toUtf8();
        m_mosq = mosquitto_new(id.isEmpty() ? nullptr : id.constData(), id.isEmpty(), this);
        mosquitto_connect_callback_set(m_mosq, &MqttTestSubscriber::onConnect);
        mosquitto_message_callback_set(m_mosq, &MqttTestSubscriber::onMessage);
        mosquitto_subscribe_callback_set(m_mosq, &MqttTestSubscriber::onSubscribe);
        mosquitto_reconnect_delay_set(m_mosq, 1, 1, false);
        if (!options.username.isEmpty())
            mosquitto_username_pw_set(m_mosq, options.username.toUtf8().constData(),
                                      options.password.toUtf8().constData());
        if (!options.caFile.isEmpty())
            mosquitto_tls_set(m_mosq, options.caFile.toUtf8().constData(), nullptr, nullptr, nullptr,
                              nullptr);
        mosquitto_connect_async(m_mosq, "127.0.0.1", port, 5);
        mosquitto_loop_start(m_mosq);
    }

    ~MqttTestSubscriber()
    {
        mosquitto_disconnect(m_mosq);
        mosquitto_loop_stop(m_mosq, true);
        mosquitto_destroy(m_mosq);
    }

    QList<Message> messages() const
    {
        std::lock_guard lock(m_mutex);
        return m_messages;
    }

    QList<QByteArray> payloads(const QString& topic) const
    {
        QList<QByteArray> out;
        for (const Message& m : messages())
            if (m.topic == topic)
                out << m.payload;
        return out;
    }

    bool subscribed() const
    {
        std::lock_guard lock(m_mutex);
        return m_subscribed;
    }

private:
    static void onConnect(mosquitto* mosq, void* self, int rc)
    {
        auto* s = static_cast<MqttTestSubscriber*>(self);
        if (rc != 0)
            return;
        mosquitto_subscribe(mosq, nullptr, s->m_filter.toUtf8().constData(), 1);
    }

    static void onSubscribe(mosquitto*, void* self, int, int, const int*)
    {
        auto* s = static_cast<MqttTestSubscriber*>(self);
        std::lock_guard lock(s->m_mutex);
        s->m_subscribed = true;
    }

    static void onMessage(mosquitto*, void* self, const mosquitto_message* m)
    {
        auto* s = static_cast<MqttTestSubscriber*>(self);
        std::lock_guard lock(s->m_mutex);
        s->m_messages.append({QString::fromUtf8(m->topic),
                              QByteArray(static_cast<const char*>(m->payload), m->payloadlen), m->retain});
    }

    QString m_filter;
    mosquitto* m_mosq = nullptr;
    mutable std::mutex m_mutex;
    QList<Message> m_messages;
    bool m_subscribed = false;
};
