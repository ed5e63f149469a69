// The main window: the journal grid's texts, order, fill rule and kept selection; the status bar;
// the menus.

#include "AppFixture.h"

#include "app/Forms.h"
#include "core/base/AppError.h"
#include "core/db/Database.h"
#include "gui/journal/JournalModel.h"
#include "gui/journal/TFormFilter.h"
#include "gui/journal/TMF.h"
#include "gui/kit/StringGrid.h"

#include <QAbstractItemModelTester>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QStatusBar>
#include <QTimer>
#include <QtTest>

#include <sqlite3.h>

namespace {
void addEntry(TMF* mf, const QString& timest, const QString& f, const QString& place,
              const QString& timestr = {}, const QString& reaction = {},
              const QString& ward = QStringLiteral("Палата 1"))
{
    mf->server().db().executeStatement(
        QStringLiteral(
            "INSERT INTO logs (timest, timestr, abcde, f, butsname, groupsname, workersname, reactiontime) "
            "VALUES (?, ?, ?, ?, ?, ?, ?, ?)"),
        {timest, timestr, QStringLiteral("f6186"), f, place, ward, QStringLiteral("Тестова Анна"), reaction});
}

QStringList rowTexts(TMF* mf, int row)
{
    QStringList texts;
    for (int c = 0; c < 8; ++c)
        texts << mf->StringGrid1->Cells(c, row);
    return texts;
}
} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void emptyJournalShowsOneEmptyRow();
    void entryTexts_data();
    void entryTexts();
    void newestFirstAndSelectionKeptByPosition();
    void clauseNarrowsAndFailingClauseKeepsTheGrid();
    void deletionIsCountedAfterShrink();
    void longJournalReadPageByPage();
    void lockedPageIsNotWaitedFor();
    void ticksGoOnWhileABoxIsOpen();
    void statusBar_data();
    void statusBar();
    void menusOpenTheirWindows();
    void journalOutageShownInTheStatusBar();
    void alarmAndOutageStayWholeAtTheDefaultWidth();
    void oneErrorBoxAtATime();

private:
    std::unique_ptr<AppFixture> m_app;
    TMF* mf = nullptr;
};

void TestMainWindow::init()
{
    m_app = std::make_unique<AppFixture>();
    m_app->create();
    mf = m_app->mf();
    // These tests write many rows; waiting for the disk after each one tells them nothing.
    mf->server().db().setSynchronous(false);
}

void TestMainWindow::cleanup()
{
    m_app.reset();
}

void TestMainWindow::emptyJournalShowsOneEmptyRow()
{
    mf->RefreshLog();
    QCOMPARE(mf->StringGrid1->RowCount(), 2);
    QCOMPARE(rowTexts(mf, 1), QStringList(8));
    QCOMPARE(mf->StringGrid1->Cells(0, 0), QStringLiteral("Дата"));

    // Also after the grid showed rows.
    addEntry(mf, QStringLiteral("2017.12.03 14:05:09"), QStringLiteral("8"), QStringLiteral("Койка № 1"));
    addEntry(mf, QStringLiteral("2017.12.03 14:06:09"), QStringLiteral("8"), QStringLiteral("Койка № 1"));
    mf->RefreshLog();
    QCOMPARE(mf->StringGrid1->RowCount(), 3);
    mf->server().db().executeStatement(QStringLiteral("DELETE FROM logs"));
    mf->journalShrank();
    mf->RefreshLog();
    QCOMPARE(mf->StringGrid1->RowCount(), 2);
    QCOMPARE(rowTexts(mf, 1), QStringList(8));
}

void TestMainWindow::entryTexts_data()
{
    QTest::addColumn<QString>("timest");
    QTest::addColumn<QString>("f");
    QTest::addColumn<QString>("timestr");
    QTest::addColumn<QString>("reaction");
    QTest::addColumn<QStringList>("expected");

    const QString ward = QStringLiteral("Палата 1");
    const QString place = QStringLiteral("Койка № 1");
    const QString staff = QStringLiteral("Тестова Анна");
    QTest::newRow("open call") << "2017.12.03 14:05:09"
                               << "8"
                               << ""
                               << "" << QStringList{"3 дек", "14:05:09", "", ward, place, staff, "вызов", ""};
    QTest::newRow("closed after 3 min 7 s")
        << "2017.12.03 14:05:09"
        << "8"
        << "2017.12.03 14:08:16"
        << "00:03:07"
        << QStringList{"3 дек", "14:05:09", "14:08:16", ward, place, staff, "вызов", "3 мин 7 сек"};
    QTest::newRow("second kind, 5 s")
        << "2017.01.21 09:00:00"
        << "4"
        << "2017.01.21 09:00:05"
        << "00:00:05" << QStringList{"21 янв", "09:00:00", "09:00:05", ward, place, staff, "прием", "5 сек"};
    QTest::newRow("missed: an hour and a second")
        << "2017.12.03 14:05:09"
        << "b"
        << "2017.12.03 15:05:10"
        << "01:00:01"
        << QStringList{"3 дек", "14:05:09", "15:05:10", ward, place, staff, "вызов отв.", "пропущено"};
    QTest::newRow("unknown function")
        << "2017.12.03 14:05:09"
        << "x"
        << ""
        << "" << QStringList{"3 дек", "14:05:09", "", ward, place, staff, "", ""};
}

void TestMainWindow::entryTexts()
{
    QFETCH(QString, timest);
    QFETCH(QString, f);
    QFETCH(QString, timestr);
    QFETCH(QString, reaction);
    QFETCH(QStringList, expected);
    addEntry(mf, timest, f, QStringLiteral("Койка № 1"), timestr, reaction);
    mf->RefreshLog();
    QCOMPARE(mf->StringGrid1->RowCount(), 2);
    QCOMPARE(rowTexts(mf, 1), expected);
}

void TestMainWindow::newestFirstAndSelectionKeptByPosition()
{
    for (int i = 0; i < 5; ++i)
        addEntry(mf, QStringLiteral("2017.12.03 10:0%1:00").arg(i), QStringLiteral("8"),
                 QStringLiteral("Место %1").arg(i));
    mf->RefreshLog();
    QCOMPARE(mf->StringGrid1->Cells(4, 1), QStringLiteral("Место 4"));
    QCOMPARE(mf->StringGrid1->Cells(4, 5), QStringLiteral("Место 0"));

    mf->StringGrid1->setRow(2);
    QCOMPARE(mf->StringGrid1->Cells(4, mf->StringGrid1->Row()), QStringLiteral("Место 3"));

    // A new entry at the top: the selection stays at position 2, which now holds the entry below it.
    addEntry(mf, QStringLiteral("2017.12.03 11:00:00"), QStringLiteral("8"), QStringLiteral("Новое"));
    mf->RefreshLog();
    QCOMPARE(mf->StringGrid1->RowCount(), 7);
    QCOMPARE(mf->StringGrid1->Row(), 2);
    QCOMPARE(mf->StringGrid1->Cells(4, 1), QStringLiteral("Новое"));
    QCOMPARE(mf->StringGrid1->Cells(4, 2), QStringLiteral("Место 4"));

    // An entry stamped earlier than the others (a clock set back) still sorts by its stamp.
    addEntry(mf, QStringLiteral("2017.12.01 00:00:00"), QStringLiteral("8"), QStringLiteral("Старое"));
    mf->RefreshLog();
    QCOMPARE(mf->StringGrid1->Cells(4, 7), QStringLiteral("Старое"));
}

void TestMainWindow::clauseNarrowsAndFailingClauseKeepsTheGrid()
{
    addEntry(mf, QStringLiteral("2017.12.03 10:00:00"), QStringLiteral("8"), QStringLiteral("А"));
    addEntry(mf, QStringLiteral("2017.12.03 10:01:00"), QStringLiteral("4"), QStringLiteral("Б"), {}, {},
             QString());
    mf->RefreshLog();
    QCOMPARE(mf->StringGrid1->RowCount(), 3);

    mf->server().setFilter(QStringLiteral(" WHERE (groupsname=?)"), {QString()});
    mf->RefreshLog();
    QCOMPARE(mf->StringGrid1->RowCount(), 2);
    QCOMPARE(mf->StringGrid1->Cells(4, 1), QStringLiteral("Б"));

    // A press while the filter is on: only a matching entry shows.
    addEntry(mf, QStringLiteral("2017.12.03 10:02:00"), QStringLiteral("8"), QStringLiteral("В"));
    mf->RefreshLog();
    QCOMPARE(mf->StringGrid1->RowCount(), 2);

    mf->server().setFilter(QStringLiteral(" WHERE (no_such_column = 1)"), {});
    QVERIFY_THROWS_EXCEPTION(AppError, mf->RefreshLog());
    QCOMPARE(mf->StringGrid1->RowCount(), 2);
    QCOMPARE(mf->StringGrid1->Cells(4, 1), QStringLiteral("Б"));

    mf->server().setFilter(QString(), {});
    mf->RefreshLog();
    QCOMPARE(mf->StringGrid1->RowCount(), 4);
    QCOMPARE(mf->StringGrid1->Cells(4, 1), QStringLiteral("В"));
}

void TestMainWindow::deletionIsCountedAfterShrink()
{
    for (int i = 0; i < 4; ++i)
        addEntry(mf, QStringLiteral("2017.12.0%1 10:00:00").arg(i + 1), QStringLiteral("8"),
                 QStringLiteral("М"));
    mf->RefreshLog();
    mf->server().db().executeStatement(QStringLiteral("DELETE FROM logs WHERE timest < ?"),
                                       {QStringLiteral("2017.12.03")});
    addEntry(mf, QStringLiteral("2017.12.05 10:00:00"), QStringLiteral("8"), QStringLiteral("Н"));
    mf->journalShrank();
    mf->RefreshLog();
    QCOMPARE(mf->StringGrid1->RowCount(), 4);
    QCOMPARE(mf->StringGrid1->Cells(4, 1), QStringLiteral("Н"));
}

void TestMainWindow::longJournalReadPageByPage()
{
    QAbstractItemModelTester tester(mf->journal, QAbstractItemModelTester::FailureReportingMode::QtTest);
    mf->server().db().executeStatement(QStringLiteral("BEGIN"));
    for (int i = 0; i < 1000; ++i)
        addEntry(mf,
                 QDateTime(QDate(2017, 1, 1), QTime(0, 0))
                     .addSecs(i * 60)
                     .toString(QStringLiteral("yyyy.MM.dd hh:mm:ss")),
                 QStringLiteral("8"), QStringLiteral("Место %1").arg(i));
    mf->server().db().executeStatement(QStringLiteral("COMMIT"));
    mf->RefreshLog();
    QCOMPARE(mf->StringGrid1->RowCount(), 1001);
    // Rows across page borders, read out of order, and again after older pages were dropped.
    for (int row : {1000, 1, 64, 65, 500, 129, 1000, 2})
        QCOMPARE(mf->StringGrid1->Cells(4, row), QStringLiteral("Место %1").arg(1000 - row));
    QCOMPARE(mf->StringGrid1->Cells(1, 1000), QStringLiteral("00:00:00"));

    // The export reads the same texts in the same order, all of them.
    QStringList places;
    mf->journal->forEachEntry([&](const QStringList& row) { places << row.at(4); });
    QCOMPARE(places.size(), 1000);
    QCOMPARE(places.first(), QStringLiteral("Место 999"));
    QCOMPARE(places.last(), QStringLiteral("Место 0"));
}

void TestMainWindow::lockedPageIsNotWaitedFor()
{
    mf->server().db().executeStatement(QStringLiteral("BEGIN"));
    for (int i = 0; i < 200; ++i)
        addEntry(mf,
                 QDateTime(QDate(2017, 1, 1), QTime(0, 0))
                     .addSecs(i * 60)
                     .toString(QStringLiteral("yyyy.MM.dd hh:mm:ss")),
                 QStringLiteral("8"), QStringLiteral("Место %1").arg(i));
    mf->server().db().executeStatement(QStringLiteral("COMMIT"));
    mf->RefreshLog();

    // Another program holds the file: the rows of a page not read yet say so at once, however many
    // of their cells the grid asks for, and nothing is reported as an error.
    sqlite3* other = nullptr;
    QCOMPARE(sqlite3_open(QFile::encodeName(m_app->dbPath()).constData(), &other), SQLITE_OK);
    QCOMPARE(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    QElapsedTimer timer;
    timer.start();
    for (int row = 150; row < 160; ++row) {
        for (int c = 0; c < 8; ++c)
            QCOMPARE(mf->StringGrid1->Cells(c, row), c == 0 ? JournalModel::busyText() : QString());
    }
    QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(m_app->dialogs.errors.size(), 0);

    // Once the file is free the page is read again by itself.
    QCOMPARE(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
    QTRY_COMPARE_WITH_TIMEOUT(mf->StringGrid1->Cells(4, 150), QStringLiteral("Место 50"),
                              3 * JournalModel::kRetryMs);
    QCOMPARE(m_app->dialogs.errors.size(), 0);
}

namespace {
// An error box that stays open for a while, running the event loop as a real one does.
class SlowErrorBox : public ScriptedDialogs
{
public:
    void error(QWidget* parent, const QString& title, const QString& text) override
    {
        ScriptedDialogs::error(parent, title, text);
        if (errors.size() == 1) {
            QEventLoop loop;
            QTimer::singleShot(1500, &loop, &QEventLoop::quit);
            loop.exec();
            journalRowsWhileOpen = rowsNow();
        }
    }
    std::function<qint64()> rowsNow;
    qint64 journalRowsWhileOpen = -1;
};
} // namespace

void TestMainWindow::ticksGoOnWhileABoxIsOpen()
{
    // An entry whose stamp cannot be read makes the cancel of its place fail with an error box.
    mf->server().db().executeStatement(
        QStringLiteral("INSERT INTO logs (timest, timestr, abcde, f, butsname, groupsname, workersname, "
                       "reactiontime) VALUES ('hand-edited', '', 'f6186', '8', '', '', '', '')"));
    SlowErrorBox box;
    box.rowsNow = [this] {
        return mf->server().db().query(QStringLiteral("SELECT id FROM logs")).rowCount();
    };
    mf->server().TimerObr.start();
    mf->server().antenna().IdUDPServerAntUDPRead(QByteArrayLiteral("f61862"));
    // While the box is open, a call from another place arrives and must be journaled.
    QTimer::singleShot(500, this,
                       [this] { mf->server().antenna().IdUDPServerAntUDPRead(QByteArrayLiteral("ba5ac8")); });
    QTRY_COMPARE_WITH_TIMEOUT(box.journalRowsWhileOpen, qint64(2), 5000);
    QCOMPARE(box.errors.size(), 1);
    mf->server().TimerObr.stop();
}

void TestMainWindow::statusBar_data()
{
    QTest::addColumn<QStringList>("signOns");
    QTest::addColumn<bool>("adding");
    QTest::addColumn<bool>("searching");
    QTest::addColumn<QString>("panel0");
    QTest::addColumn<QString>("panel1");

    QTest::newRow("nothing heard") << QStringList{} << false << false << "Режим регистрации."
                                   << "Подключенные антенны не найдены.";
    QTest::newRow("one antenna, several sign-ons")
        << QStringList{"###A1", "###A1", "###a1"} << false << true << "Режим поиска."
        << "Подключена антенна A1.";
    QTest::newRow("letter case ignored in the sort")
        << QStringList{"###B2", "###a1"} << true << false << "Режим добавления."
        << "Подключены антенны a1, B2.";
    QTest::newRow("sorted as text") << QStringList{"###7", "###12"} << true << true << "Режим добавления."
                                    << "Подключены антенны 12, 7.";
}

void TestMainWindow::statusBar()
{
    QFETCH(QStringList, signOns);
    QFETCH(bool, adding);
    QFETCH(bool, searching);
    for (const QString& s : signOns)
        mf->server().antenna().IdUDPServerAntUDPRead(s.toUtf8());
    mf->server().setRButs(adding);
    mf->server().setSButs(searching);
    mf->TimerFromClientsTimer();
    QTEST(mf->StatusPanel0->text(), "panel0");
    QTEST(mf->StatusPanel1->text(), "panel1");
    // The identities heard last period are forgotten.
    mf->TimerFromClientsTimer();
    QCOMPARE(mf->StatusPanel1->text(), QStringLiteral("Подключенные антенны не найдены."));
}

void TestMainWindow::menusOpenTheirWindows()
{
    QCOMPARE(mf->Nnastr->text(), mf->N1_f->text());
    QCOMPARE(mf->mExcel->text(), QStringLiteral("В Excel"));
    QWidget* filter = forms().FormFilter;
    QVERIFY(!filter->isVisible());
    mf->N1_f->trigger();
    QVERIFY(filter->isVisible());
    filter->hide();
    mf->Nnastr->trigger();
    QVERIFY(filter->isVisible());
}

void TestMainWindow::journalOutageShownInTheStatusBar()
{
    QCOMPARE(mf->StatusPanel2->text(), QString());
    // Another program holds the file's write lock while a call comes in.
    sqlite3* other = nullptr;
    QCOMPARE(sqlite3_open(QFile::encodeName(m_app->dbPath()).constData(), &other), SQLITE_OK);
    QCOMPARE(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    mf->server().antenna().IdUDPServerAntUDPRead("f61868");
    mf->server().TimerObrTimer();
    QCOMPARE(mf->StatusPanel2->text(), QStringLiteral("Журнал недоступен, ожидают записи: 1"));
    // The outage's start is told once in the error box; the other panels keep their texts.
    QCOMPARE(m_app->dialogs.errors.size(), 1);
    mf->TimerFromClientsTimer();
    QCOMPARE(mf->StatusPanel1->text(), QStringLiteral("Подключенные антенны не найдены."));
    QCOMPARE(mf->StatusPanel2->text(), QStringLiteral("Журнал недоступен, ожидают записи: 1"));

    QCOMPARE(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
    mf->server().TimerObrTimer();
    QCOMPARE(mf->StatusPanel2->text(), QString());
    QCOMPARE(mf->server().db().query(QStringLiteral("SELECT count(*) FROM logs")).fieldAsInteger(0), 1);
    QCOMPARE(m_app->dialogs.errors.size(), 1);
}

// Every panel full at the window's first-start width: the calls in alarm, a silent antenna and the
// journal outage stay whole; the antennas heard and the other panels are cut first, their whole text
// then in the tooltip.
void TestMainWindow::alarmAndOutageStayWholeAtTheDefaultWidth()
{
    mf->show();
    QVERIFY(QTest::qWaitForWindowExposed(mf));
    mf->StatusPanel1->setText(QStringLiteral("Подключенные антенны: 192.168.100.101, 192.168.100.102, "
                                             "192.168.100.103, 192.168.100.104"));
    mf->StatusPanelFilter->setText(QStringLiteral("Фильтр: с 01.12.2017 08:00, Палата 1, вызов"));
    mf->StatusPanel2->setText(QStringLiteral("Журнал недоступен, ожидают записи: 12"));
    mf->StatusPanelCalls->setText(
        QStringLiteral("Вызовов в тревоге: 3; Нет сигнала от антенны A1 с 08:15:00"));
    mf->StatusPanel3->setText(QStringLiteral("MQTT: нет связи с брокером 192.168.100.5:1883"));
    // Laid out again once the texts are in.
    QTRY_VERIFY(mf->StatusPanel3->width() > 0);
    QVERIFY(mf->StatusPanel1->elided());

    const QRect bar = mf->statusBar()->rect();
    for (StatusPanel* whole : {mf->StatusPanelCalls, mf->StatusPanel2}) {
        QVERIFY2(!whole->elided(), qPrintable(whole->objectName()));
        QVERIFY(whole->toolTip().isEmpty());
        const QRect at(whole->mapTo(mf->statusBar(), QPoint(0, 0)), whole->size());
        QVERIFY2(bar.contains(at), qPrintable(whole->objectName()));
    }
    QCOMPARE(mf->StatusPanel1->toolTip(), mf->StatusPanel1->text());
    // The calls in alarm keep their colour.
    QCOMPARE(mf->StatusPanelCalls->palette().color(QPalette::WindowText), QColor(0xc0, 0, 0));
}

void TestMainWindow::oneErrorBoxAtATime()
{
    // While the first box is open, the engine reports twice more, as a failing database does on every
    // tick: no box opens inside the open one; the status bar counts them instead.
    QString panelWhileOpen;
    m_app->dialogs.whileErrorOpen = [&] {
        emit mf->server().errorRaised(QStringLiteral("Second"));
        emit mf->server().errorRaised(QStringLiteral("Third"));
        panelWhileOpen = mf->StatusPanelErrors->text();
    };
    emit mf->server().errorRaised(QStringLiteral("First"));
    QCOMPARE(m_app->dialogs.errors, QStringList{QStringLiteral("First.")});
    QCOMPARE(panelWhileOpen, QStringLiteral("Ошибок, пока открыто сообщение: 2"));
    // The count goes when the box closes, and the next error has a box of its own.
    QCOMPARE(mf->StatusPanelErrors->text(), QString());
    QVERIFY(!Dialogs::HeldErrors::instance().boxOpen());
    emit mf->server().errorRaised(QStringLiteral("Fourth"));
    QCOMPARE(m_app->dialogs.errors, (QStringList{QStringLiteral("First."), QStringLiteral("Fourth.")}));
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
