#pragma once

// An X server (Xvfb) of the test's own on a free display, and openbox on it, for the tests that need
// real windows with frames. A test without them is skipped (exit code 77).

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QTemporaryDir>

// An X server of the test's own and a window manager on it.
class XDisplay
{
public:
    ~XDisplay()
    {
        for (QProcess* p : {&m_manager, &m_server}) {
            if (p->state() != QProcess::NotRunning) {
                p->terminate();
                if (!p->waitForFinished(3000))
                    p->kill();
                p->waitForFinished(3000);
            }
        }
    }

    // The display's name (":91"), or an empty text with the reason in why.
    QString start(QString& why)
    {
        const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
        const QString openbox = QStandardPaths::findExecutable(QStringLiteral("openbox"));
        if (xvfb.isEmpty() || openbox.isEmpty()) {
            why = QStringLiteral("Xvfb or openbox is not installed");
            return QString();
        }
        // Displays other programs and other tests use are left alone: a display counts as free when
        // it has neither a lock file nor a socket, and it is ours once the lock names our server
        // (two servers starting at once on one display: the X server's lock lets one of them run).
        for (int n = 90; n < 190; ++n) {
            const QString lock = QStringLiteral("/tmp/.X%1-lock").arg(n);
            const QString socket = QStringLiteral("/tmp/.X11-unix/X%1").arg(n);
            if (QFile::exists(lock) || QFile::exists(socket))
                continue;
            const QString display = QStringLiteral(":%1").arg(n);
            m_server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            m_server.setStandardOutputFile(QProcess::nullDevice());
            m_server.start(xvfb,
                           {display, QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                            QStringLiteral("-screen"), QStringLiteral("0"), QStringLiteral("1280x1024x24")});
            if (!m_server.waitForStarted(5000))
                continue;
            if (!serverOwns(lock, socket)) {
                m_server.kill();
                m_server.waitForFinished(3000);
                continue;
            }
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("DISPLAY"), display);
            // The manager's default configuration, whatever the person running the tests uses.
            env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_config.path());
            m_manager.setProcessEnvironment(env);
            m_manager.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            m_manager.setStandardOutputFile(QProcess::nullDevice());
            m_manager.start(openbox, {QStringLiteral("--sm-disable")});
            if (!m_manager.waitForStarted(5000)) {
                why = QStringLiteral("openbox did not start");
                return QString();
            }
            return display;
        }
        why = QStringLiteral("no free X display between :90 and :189");
        return QString();
    }

private:
    bool serverOwns(const QString& lock, const QString& socket)
    {
        QDeadlineTimer deadline(5000);
        while (!deadline.hasExpired() && m_server.state() == QProcess::Running) {
            QFile file(lock);
            if (QFile::exists(socket) && file.open(QIODevice::ReadOnly)) {
                if (file.readAll().trimmed().toLongLong() == m_server.processId())
                    return true;
            }
            m_server.waitForFinished(20);
        }
        return false;
    }

    QTemporaryDir m_config;
    QProcess m_server;
    QProcess m_manager;
};
