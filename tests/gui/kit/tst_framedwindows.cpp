// Windows on a real X display whose window manager draws the frames, and draws each one only after
// the window is mapped: a secondary window opens centred over the window it was opened from, frame
// and all, whether the opener was framed long before or is being framed at the same moment (the
// open-calls window shown at start over the main window).
//
// The test starts its own X server (Xvfb) on a free display and openbox on it; where either program
// is missing it is skipped (exit code 77).

#include "AppFixture.h"
#include "XDisplay.h"

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
