// The open calls in the running program: the sections a first start adds after the existing ones
// (the same file with and without windows), the journal menu's item that opens the open-calls
// window, and the count of calls in alarm in the main window.

#include "AppFixture.h"
#include "app/Forms.h"
#include "app/Headless.h"
#include "core/engine/WardServer.h"
#include "core/settings/AppState.h"
#include "core/settings/IniFile.h"
#include "gui/calls/OpenCallsModel.h"
#include "gui/calls/TFormCalls.h"
#include "gui/journal/TMF.h"
#include "gui/kit/StringGrid.h"

#include <QAction>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QWindow>
#include <QtTest>

namespace {
QStringList sectionsInOrder(const QString& iniPath)
{
    QFile file(iniPath);
    file.open(QIODevice::ReadOnly);
    QStringList sections;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray& line : lines) {
        const QByteArray t = line.trimmed();
        if (t.startsWith('[') && t.endsWith(']'))
            sections << QString::fromLatin1(t.mid(1, t.size() - 2));
    }
    return sections;
}

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}
} // namespace

class TestNetOpenCallsWindow : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void firstStartAddsTheSectionsAfterTheExistingOnes();
    void laterStartCompletesTheFeaturesSectionsInOneWrite();
    void menuItemOpensTheWindowAndTheAlarmCountIsShown();
};

void TestNetOpenCallsWindow::firstStartAddsTheSectionsAfterTheExistingOnes()
{
    // The whole start, up to the open-calls window, writes the file once: the features' sections
    // follow the windows' own, and nothing is written after the creation.
    QByteArray windowed;
    {
        AppFixture app;
        const quint64 writes = IniFile::fileWrites();
        app.create();
        const QByteArray created = fileBytes(app.iniPath());
        QVERIFY(app.show());
        QVERIFY(forms().FormCalls);
        QCOMPARE(IniFile::fileWrites() - writes, quint64(1));
        QCOMPARE(fileBytes(app.iniPath()), created);
        const QStringList sections = sectionsInOrder(app.iniPath());
        QCOMPARE(sections.size(), 18);
        QCOMPARE(sections.mid(14), QStringList({"Escalation", "Mqtt", "CallsForm", "Alerts"}));
        app.destroy();
        windowed = fileBytes(app.iniPath());
    }

    AppFixture headless;
    {
        const quint64 writes = IniFile::fileWrites();
        WardServer server;
        createHeadless(server);
        QString error;
        QVERIFY2(startHeadless(server, &error), qPrintable(error));
        server.stop();
        QCOMPARE(IniFile::fileWrites() - writes, quint64(1));
    }
    QCOMPARE(fileBytes(headless.iniPath()), windowed);
}

void TestNetOpenCallsWindow::laterStartCompletesTheFeaturesSectionsInOneWrite()
{
    // A file from before the features' sections, and one whose first start was cut short inside
    // [Mqtt]: the next start adds what is missing, in one write, and keeps what is there.
    AppFixture app;
    app.create();
    QVERIFY(app.show());
    app.destroy();
    const QByteArray whole = fileBytes(app.iniPath());
    QByteArray cut = whole.left(whole.indexOf("[Escalation]"));
    // Up to the key Username (not its comment key ";Username").
    const qsizetype username = whole.indexOf("\r\nUsername=") + 2;
    cut += whole.mid(whole.indexOf("[Mqtt]"), username - whole.indexOf("[Mqtt]"));
    cut.replace("ClientId=\r\n", "ClientId=ward7\r\n");
    {
        QFile file(app.iniPath());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(cut);
    }
    QVERIFY(!sectionsInOrder(app.iniPath()).contains(QStringLiteral("Escalation")));

    const quint64 writes = IniFile::fileWrites();
    app.create();
    QVERIFY(app.show());
    QCOMPARE(IniFile::fileWrites() - writes, quint64(1));
    app.destroy();
    IniFile ini(app.iniPath());
    QCOMPARE(ini.readString(QStringLiteral("Mqtt"), QStringLiteral("ClientId"), QString()),
             QStringLiteral("ward7"));
    QCOMPARE(ini.readString(QStringLiteral("Mqtt"), QStringLiteral("CaFile"), QStringLiteral("?")),
             QString());
    QCOMPARE(ini.readString(QStringLiteral("Mqtt"), QStringLiteral("Tls"), QString()), QStringLiteral("0"));
    QCOMPARE(ini.readString(QStringLiteral("Escalation"), QStringLiteral("WarnSec"), QString()).isEmpty(),
             false);
    QCOMPARE(sectionsInOrder(app.iniPath()).mid(14),
             QStringList({"Mqtt", "Escalation", "CallsForm", "Alerts"}));
}

void TestNetOpenCallsWindow::menuItemOpensTheWindowAndTheAlarmCountIsShown()
{
    AppFixture app;
    app.create();
    QVERIFY(forms().FormCalls == nullptr);
    TMF* mf = app.mf();
    QVERIFY(!mf->NCalls->isEnabled());
    QVERIFY(app.show());
    const QString panel0 = mf->StatusPanel0->text();
    const QString panel1 = mf->StatusPanel1->text();
    const QString title = mf->windowTitle();

    TFormCalls* calls = forms().FormCalls;
    QVERIFY(calls);
    // Shown at start by default, over the main window; closed, the journal menu's item shows it again.
    QVERIFY(calls->isVisible());
    // A window of the main one: the window system keeps it above the journal, and not above other
    // programs.
    QCOMPARE(calls->parentWidget(), static_cast<QWidget*>(mf));
    QVERIFY(calls->windowHandle() && calls->windowHandle()->transientParent() == mf->windowHandle());
    QVERIFY(!(calls->windowFlags() & Qt::WindowStaysOnTopHint));
    const QPoint offCentre = calls->frameGeometry().center() - mf->frameGeometry().center();
    QVERIFY2(offCentre.manhattanLength() <= 40,
             qPrintable(QStringLiteral("%1,%2").arg(offCentre.x()).arg(offCentre.y())));
    calls->close();
    QVERIFY(!calls->isVisible());
    QVERIFY(mf->NMain->actions().contains(mf->NCalls));
    QVERIFY(mf->NCalls->isEnabled());
    QCOMPARE(mf->NCalls->text(), calls->mCalls);
    mf->NCalls->trigger();
    QVERIFY(calls->isVisible());

    // The timers are driven by hand: a call waits past AlarmSec.
    WardServer& server = mf->server();
    server.TimerCalls.stop();
    server.TimerFromClients.stop();
    const QDateTime start(QDate(2017, 12, 3), QTime(14, 5, 9));
    JournaledCall call;
    call.id = 1;
    call.time = start;
    call.code = QStringLiteral("f6186");
    call.f = QStringLiteral("8");
    call.place = QStringLiteral("Койка № 1");
    server.openCalls()->callJournaled(call, Clock::moment());
    server.TimerCallsTimer();
    QCOMPARE(mf->StatusPanelCalls->text(), QString());
    QCOMPARE(mf->windowTitle(), title);

    app.setNow(start.addSecs(server.escalation().AlarmSec));
    server.TimerCallsTimer();
    QCOMPARE(mf->StatusPanelCalls->text(), QStringLiteral("Вызовов в тревоге: 1"));
    QVERIFY2(mf->windowTitle().startsWith(title) &&
                 mf->windowTitle().endsWith(QStringLiteral("Вызовов в тревоге: 1")),
             qPrintable(mf->windowTitle()));
    QCOMPARE(calls->model()->rowCount(), 1);
    // The panels of before keep their texts.
    QCOMPARE(mf->StatusPanel0->text(), panel0);
    QCOMPARE(mf->StatusPanel1->text(), panel1);

    // Taken off the list by the operator: the count goes with it.
    app.dialogs.answerNextQuestion(true);
    calls->StringGrid1->setRow(1);
    calls->mDismissClick();
    QCOMPARE(calls->model()->rowCount(), 0);
    QCOMPARE(mf->StatusPanelCalls->text(), QString());
    QCOMPARE(mf->windowTitle(), title);
}

QTEST_MAIN(TestNetOpenCallsWindow)
#include "tst_net_opencalls_window.moc"
