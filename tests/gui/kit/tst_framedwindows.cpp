// Windows on a real X display whose window manager draws the frames, and draws each one only after
// the window is mapped: a secondary window opens centred over the window it was opened from, frame
// and all, whether the opener was framed long before or is being framed at the same moment (the
// open-calls window shown at start over the main window).
//
// The test starts its own X server (Xvfb) on a free display and openbox on it; where either program
// is missing it is skipped (exit code 77).

#include "AppFixture.h"

#include "app/Forms.h"
#include "gui/journal/TFormFilter.h"
#include "gui/journal/TMF.h"
#include "gui/kit/WindowGeometry.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>

namespace {

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

// The window manager frames a window a little after it is mapped, and the window kit looks for the
// frame for about a second after a show: wait until the frame is there and has stayed put.
bool settled(QWidget& window)
{
    if (!QTest::qWaitFor([&] { return window.frameGeometry().size() != window.size(); }, 10000))
        return false;
    QRect last = window.frameGeometry();
    QElapsedTimer still;
    still.start();
    QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        QTest::qWait(50);
        if (window.frameGeometry() != last) {
            last = window.frameGeometry();
            still.restart();
        } else if (still.elapsed() >= 1500) {
            return true;
        }
    }
    return false;
}

QString text(QPoint p)
{
    return QStringLiteral("%1,%2").arg(p.x()).arg(p.y());
}

} // namespace

class TestFramedWindows : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void opensCentredOverItsOpener_data();
    void opensCentredOverItsOpener();
};

void TestFramedWindows::opensCentredOverItsOpener_data()
{
    QTest::addColumn<bool>("openerFramedFirst");
    QTest::newRow("from the menu of a framed window") << true;
    QTest::newRow("at start, both framed at once") << false;
}

void TestFramedWindows::opensCentredOverItsOpener()
{
    QFETCH(bool, openerFramedFirst);
    AppFixture app;
    app.create();
    TMF* mf = forms().MF;
    FormBase* filter = forms().FormFilter;
    // A framed window is out of the screen's corner, where a window manager would also push it.
    mf->move(220, 160);
    const QSize filterOuter = WindowGeometry::outer(*filter).size();

    if (openerFramedFirst) {
        mf->show();
        QVERIFY(settled(*mf));
        mf->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(mf));
        mf->Nnastr->trigger();
    } else {
        // As the open-calls window at start: shown right after the main window, over it, while no
        // window is active and neither has its frame yet.
        filter->setFallbackOpener(mf);
        mf->show();
        filter->show();
    }
    QVERIFY(filter->isVisible());
    QVERIFY(settled(*mf));
    QVERIFY(settled(*filter));

    const QRect opener = mf->frameGeometry();
    const QRect window = filter->frameGeometry();
    QVERIFY2(window.size() != filter->size(), "the window manager drew no frame");
    // Centred to the pixel (half a pixel each way when the sizes differ by an odd number).
    const QPoint offset = (window.topLeft() * 2 + QPoint(window.width(), window.height())) -
                          (opener.topLeft() * 2 + QPoint(opener.width(), opener.height()));
    QVERIFY2(qAbs(offset.x()) <= 1 && qAbs(offset.y()) <= 1,
             qPrintable(QStringLiteral("frame %1 over %2: centre off by %3 half pixels")
                            .arg(text(window.topLeft()), text(opener.topLeft()), text(offset))));
    // Its outer size is the one it was given, whatever frame the window manager drew.
    QCOMPARE(window.size(), filterOuter);
}

int main(int argc, char** argv)
{
    XDisplay x;
    QString why;
    const QString display = x.start(why);
    if (display.isEmpty()) {
        std::fprintf(stderr, "SKIP: %s\n", qPrintable(why));
        return 77;
    }
    qputenv("DISPLAY", display.toLocal8Bit());
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication application(argc, argv);
    TestFramedWindows test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_framedwindows.moc"
