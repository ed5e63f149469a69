// Process start: the first start in an empty directory, a start that cannot write its settings file
// or open its database, an existing empty settings file, and the close question.

#include "AppFixture.h"
#include "Unprivileged.h"
#include "app/Headless.h"
#include "core/engine/WardServer.h"

#include "app/Forms.h"
#include "core/base/AppError.h"
#include "core/db/Database.h"
#include "core/settings/AppState.h"
#include "core/settings/IniFile.h"
#include "gui/journal/TMF.h"
#include "gui/kit/StringGrid.h"

#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QRegularExpression>
#include <QtTest>

#include <unistd.h>

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

class TestStartup : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void firstStartCreatesSettingsAndSeededDatabase();
    void existingEmptySettingsFileWritesOnlyTheClientKeys();
    void settingsFileThatCannotBeWrittenEndsTheStart();
    void databaseThatCannotBeOpenedEndsTheStart();
    void databaseNameWithSubdirectoryOpensBelowTheExecutable();
    void databaseThatCannotTakeTheIndexesStillStarts();
    void closeQuestionCancelKeepsEverythingRunning();
    void closeQuestionOkClosesDatabaseThenSaves();
    void headlessFirstStartWritesTheWindowedSettingsFile();
    void windowAfterTheMainOneFailingEndsTheStartCleanly();
    void settingsFileReadAndWrittenOncePerStart_data();
    void settingsFileReadAndWrittenOncePerStart();
    void interruptedFirstStartLeavesNoSettingsFile();
};

void TestStartup::firstStartCreatesSettingsAndSeededDatabase()
{
    AppFixture app;
    QVERIFY(!QFileInfo::exists(app.iniPath()));
    app.create();

    QVERIFY(QFileInfo::exists(app.iniPath()));
    QVERIFY(QFileInfo::exists(app.dbPath()));
    // Every window adds its section during the same start, in the order the windows are created.
    const QStringList expected{QStringLiteral("DB"),
                               QStringLiteral("Antenna"),
                               QStringLiteral("VisualizationClient"),
                               QStringLiteral("LogForm"),
                               QStringLiteral("logConst"),
                               QStringLiteral("GroupForm"),
                               QStringLiteral("ButsForm"),
                               QStringLiteral("ButsAddForm"),
                               QStringLiteral("GroupEditForm"),
                               QStringLiteral("ButsEditForm"),
                               QStringLiteral("ClearForm"),
                               QStringLiteral("FilterForm"),
                               QStringLiteral("WorkerForm"),
                               QStringLiteral("WorkerEditForm"),
                               QStringLiteral("Escalation"),
                               QStringLiteral("Mqtt"),
                               QStringLiteral("CallsForm"),
                               QStringLiteral("Alerts")};
    QCOMPARE(sectionsInOrder(app.iniPath()), expected);

    TMF* mf = app.mf();
    QCOMPARE(mf->windowTitle(), QStringLiteral("HalvaneServer lite"));
    auto places = mf->server().db().query(
        QStringLiteral("SELECT abcde, btnclr, name, groupsid, workersid FROM buts ORDER BY id"));
    QCOMPARE(places.rowCount(), 2);
    QCOMPARE(places.fieldByName(QStringLiteral("name")), QStringLiteral("Койка № 1"));
    QCOMPARE(places.fieldByName(QStringLiteral("groupsid")), QStringLiteral("1"));
    QCOMPARE(mf->server().db().query(QStringLiteral("SELECT * FROM logs")).rowCount(), 0);

    // The journal grid headers come from the file just written: column 4 reads "Место".
    QCOMPARE(mf->StringGrid1->caption(4), QStringLiteral("Место"));
    QCOMPARE(mf->server().cfg().log_r4, QStringLiteral("прием"));
    QCOMPARE(mf->NMain->title(), QStringLiteral("Журнал событий"));
    QVERIFY(app.dialogs.errors.isEmpty());
}

void TestStartup::existingEmptySettingsFileWritesOnlyTheClientKeys()
{
    AppFixture app;
    {
        QFile empty(app.iniPath());
        QVERIFY(empty.open(QIODevice::WriteOnly));
    }
    app.create();

    IniFile ini(app.iniPath());
    // The features' sections, written whenever the file lacks them, follow.
    QCOMPARE(sectionsInOrder(app.iniPath()),
             QStringList({"VisualizationClient", "Escalation", "Mqtt", "CallsForm", "Alerts"}));
    const QByteArray bytes = fileBytes(app.iniPath());
    QCOMPARE(bytes.left(bytes.indexOf("[Escalation]")).count('='), 4);
    // Keys missing from an existing file take the read defaults, which differ in two places.
    TMF* mf = app.mf();
    QCOMPARE(mf->StringGrid1->caption(4), QStringLiteral("Койка"));
    QCOMPARE(mf->server().cfg().log_r4, QStringLiteral("вызов"));
    QCOMPARE(mf->server().cfg().dbFileName, QStringLiteral("orv_med.db"));
}

void TestStartup::settingsFileThatCannotBeWrittenEndsTheStart()
{
    // The executable's directory cannot hold files: it lies below a plain file (this holds for root too).
    QTemporaryDir dir;
    QFile blocker(dir.filePath(QStringLiteral("blocker")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    AppFixture app;
    const QString exe = dir.filePath(QStringLiteral("blocker/HalvaneServer"));
    App::setExePathOverride(exe);

    try {
        app.create();
        QFAIL("the start went on without its settings file");
    } catch (const AppError& e) {
        QCOMPARE(e.message(), QStringLiteral("Unable to write to ") +
                                  dir.filePath(QStringLiteral("blocker/HalvaneServer.ini")));
    }
    // Nothing half-made stays behind: no window, no database.
    QVERIFY(forms().MF == nullptr);
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("blocker/orv_med.db"))));
}

void TestStartup::databaseThatCannotBeOpenedEndsTheStart()
{
    AppFixture app;
    {
        IniFile ini(app.iniPath());
        ini.writeString(QStringLiteral("DB"), QStringLiteral("FileName"), QStringLiteral("missing/dir/x.db"));
    }
    try {
        app.create();
        QFAIL("the start went on without its database");
    } catch (const AppError& e) {
        QVERIFY2(e.message().startsWith(QStringLiteral("Failed to open database \"") + app.dir() +
                                        QStringLiteral("/missing/dir/x.db\" : ")),
                 qPrintable(e.message()));
    }
    QVERIFY(forms().MF == nullptr);
}

void TestStartup::databaseThatCannotTakeTheIndexesStillStarts()
{
    AppFixture app;
    app.create();
    app.destroy();
    {
        // A file made by another hand: a table holds the name of one of the program's indexes.
        auto db = db::Database::openDatabase(app.dbPath());
        db->executeStatement(QStringLiteral("DROP INDEX logs_timest"));
        db->executeStatement(QStringLiteral("CREATE TABLE logs_timest (x)"));
        db->executeStatement(
            QStringLiteral("INSERT INTO logs (timest, timestr, abcde, f, butsname, groupsname, "
                           "workersname, reactiontime) VALUES ('2017.12.01 08:00:00', '', "
                           "'f6186', '8', 'Койка № 1', 'Палата 1', '', '')"));
    }
    app.create();
    QVERIFY(app.dialogs.errors.isEmpty());
    app.mf()->RefreshLog();
    QCOMPARE(app.mf()->StringGrid1->RowCount(), 2);
    QCOMPARE(app.mf()->StringGrid1->Cells(4, 1), QStringLiteral("Койка № 1"));
    app.destroy();

    // A file the program may not change, read by an ordinary user (root may change any file).
    {
        const Unprivileged user(app.dir());
        QVERIFY(user.ok());
        QVERIFY(QFile::setPermissions(app.dbPath(), QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
        app.create();
        QVERIFY(app.dialogs.errors.isEmpty());
        app.mf()->RefreshLog();
        QCOMPARE(app.mf()->StringGrid1->Cells(4, 1), QStringLiteral("Койка № 1"));
        app.destroy();
    }
}

void TestStartup::databaseNameWithSubdirectoryOpensBelowTheExecutable()
{
    AppFixture app;
    QVERIFY(QDir(app.dir()).mkdir(QStringLiteral("data")));
    {
        IniFile ini(app.iniPath());
        ini.writeString(QStringLiteral("DB"), QStringLiteral("FileName"), QStringLiteral("data/ward.db"));
    }
    app.create();
    QVERIFY(QFileInfo::exists(app.dir() + QStringLiteral("/data/ward.db")));
    QCOMPARE(app.mf()->server().db().query(QStringLiteral("SELECT * FROM buts")).rowCount(), 2);
}

void TestStartup::closeQuestionCancelKeepsEverythingRunning()
{
    AppFixture app;
    app.create();
    TMF* mf = app.mf();
    const QByteArray before = fileBytes(app.iniPath());
    mf->server().TimerObr.start();

    app.dialogs.answerNextQuestion(false);
    QVERIFY(!mf->close());
    QCOMPARE(app.dialogs.questions, QStringList{QStringLiteral("Действительно закрыть программу?")});
    QCOMPARE(app.dialogs.questionTitles, QStringList{QString()});
    QVERIFY(mf->server().databaseOpen());
    QVERIFY(mf->server().TimerObr.isActive());
    QCOMPARE(fileBytes(app.iniPath()), before);
}

void TestStartup::closeQuestionOkClosesDatabaseThenSaves()
{
    AppFixture app;
    app.create();
    TMF* mf = app.mf();
    mf->server().TimerObr.start();
    mf->server().TimerToClients.start();
    mf->StringGrid1->setColumnWidth(3, 123);
    mf->server().setExcelFileName(app.dir() + QStringLiteral("/отчёт.xlsx"));

    app.dialogs.answerNextQuestion(true);
    mf->close();
    QVERIFY(!mf->server().databaseOpen());
    // No timer may tick once the database is closed.
    QVERIFY(!mf->server().TimerObr.isActive());
    QVERIFY(!mf->server().TimerToClients.isActive());
    QVERIFY(!mf->server().TimerToAnt.isActive());
    QVERIFY(!mf->server().TimerFromClients.isActive());

    IniFile ini(app.iniPath());
    QCOMPARE(ini.readInteger(QStringLiteral("LogForm"), QStringLiteral("col3w"), 0), 123);
    QCOMPARE(ini.readString(QStringLiteral("LogForm"), QStringLiteral("excelFileName"), QString()),
             app.dir() + QStringLiteral("/отчёт.xlsx"));
    QVERIFY(ini.readInteger(QStringLiteral("LogForm"), QStringLiteral("Width"), 0) > 0);
    // A second attempt asks nothing more.
    QVERIFY(mf->FormClose());
    QCOMPARE(app.dialogs.questions.size(), 1);
}

QTEST_MAIN(TestStartup)
void TestStartup::headlessFirstStartWritesTheWindowedSettingsFile()
{
    QByteArray windowed;
    {
        AppFixture app;
        app.create();
        windowed = fileBytes(app.iniPath());
    }
    AppFixture headless;
    {
        WardServer server;
        createHeadless(server);
        QVERIFY(server.databaseOpen());
    }
    QVERIFY(!windowed.isEmpty());
    QCOMPARE(fileBytes(headless.iniPath()), windowed);
    QCOMPARE(sectionsInOrder(headless.iniPath()).size(), 18);
    QVERIFY(QFileInfo::exists(headless.dbPath()));
}

void TestStartup::windowAfterTheMainOneFailingEndsTheStartCleanly()
{
    // The main window opens this database; the filter window, created later, cannot read its journal.
    AppFixture app;
    {
        auto db = db::Database::openDatabase(app.dbPath());
        db->executeStatement(
            QStringLiteral("CREATE TABLE logs (id INTEGER PRIMARY KEY, timest TEXT, abcde TEXT)"));
        db->closeDatabase();
    }
    QVERIFY_THROWS_EXCEPTION(AppError, app.create());
    QVERIFY(forms().MF == nullptr);
    QVERIFY(forms().server == nullptr);
    // A second start in the same process finds nothing left over.
    QVERIFY_THROWS_EXCEPTION(AppError, app.create());
}

void TestStartup::settingsFileReadAndWrittenOncePerStart_data()
{
    QTest::addColumn<bool>("fileThere");
    QTest::addColumn<bool>("headless");
    QTest::addColumn<quint64>("reads");
    QTest::addColumn<quint64>("writes");

    // A first start finds no file to read and writes the whole file in one step; a later start reads
    // it once and has nothing to write.
    QTest::newRow("first start, windows") << false << false << quint64(0) << quint64(1);
    QTest::newRow("first start, headless") << false << true << quint64(0) << quint64(1);
    QTest::newRow("later start, windows") << true << false << quint64(1) << quint64(0);
    QTest::newRow("later start, headless") << true << true << quint64(1) << quint64(0);
}

void TestStartup::settingsFileReadAndWrittenOncePerStart()
{
    QFETCH(bool, fileThere);
    QFETCH(bool, headless);
    QFETCH(quint64, reads);
    QFETCH(quint64, writes);

    AppFixture app;
    if (fileThere) {
        app.create();
        app.destroy();
    }
    const QByteArray before = fileBytes(app.iniPath());
    const quint64 readsBefore = IniFile::fileReads();
    const quint64 writesBefore = IniFile::fileWrites();
    if (headless) {
        WardServer server;
        createHeadless(server);
    } else {
        app.create();
    }
    QCOMPARE(IniFile::fileReads() - readsBefore, reads);
    QCOMPARE(IniFile::fileWrites() - writesBefore, writes);
    QCOMPARE(sectionsInOrder(app.iniPath()).size(), 18);
    if (fileThere)
        QCOMPARE(fileBytes(app.iniPath()), before);
}

void TestStartup::interruptedFirstStartLeavesNoSettingsFile()
{
    // The main window's sections are made, then a later window fails: a file without the later
    // sections would never be completed, since the next start would not be a first start.
    AppFixture app;
    {
        auto db = db::Database::openDatabase(app.dbPath());
        db->executeStatement(
            QStringLiteral("CREATE TABLE logs (id INTEGER PRIMARY KEY, timest TEXT, abcde TEXT)"));
        db->closeDatabase();
    }
    QVERIFY_THROWS_EXCEPTION(AppError, app.create());
    QVERIFY(!QFileInfo::exists(app.iniPath()));

    // Once the journal is sound again, the next start is a first start and writes the whole file.
    QVERIFY(QFile::remove(app.dbPath()));
    app.create();
    QCOMPARE(sectionsInOrder(app.iniPath()).size(), 18);
}

#include "tst_startup.moc"
