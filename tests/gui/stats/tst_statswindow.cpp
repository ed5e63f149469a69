// The statistics window as the operator uses it: opened from the main window's menu with the last 30
// days, the tables filled from its own thread while presses go on being journaled, a bad period, and
// the report file written through the save dialog.

#include "AppFixture.h"

#include "core/db/Database.h"
#include "core/settings/IniFile.h"
#include "gui/journal/TMF.h"
#include "gui/kit/StringGrid.h"
#include "gui/stats/TFormStats.h"

#include <QAction>
#include <QChartView>
#include <QDateEdit>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QtTest>

namespace {

void addEntry(TMF* mf, const QString& timest, const QString& f, const QString& reaction, const QString& ward)
{
    mf->server().db().executeStatement(
        QStringLiteral(
            "INSERT INTO logs (timest, timestr, abcde, f, butsname, groupsname, workersname, reactiontime) "
            "VALUES (?, ?, 'f6186', ?, 'Койка № 1', ?, 'Тестова Анна', ?)"),
        {timest, reaction.isEmpty() ? QString() : timest, f, ward, reaction});
}

QAction* statsAction(TMF* mf)
{
    for (QAction* action : mf->NMain->actions())
        if (action->objectName() == QStringLiteral("NStats"))
            return action;
    return nullptr;
}

} // namespace

class TestStatsWindow : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void opensFromTheMenuWithTheLastThirtyDays();
    void reversedPeriodIsRefused();
    void tablesFitTheWindowAndNameTheirRows();
    void exportsWhatItShows();

private:
    TFormStats* open();
    std::unique_ptr<AppFixture> m_app;
    TMF* mf = nullptr;
};

void TestStatsWindow::init()
{
    m_app = std::make_unique<AppFixture>();
    m_app->setNow(QDateTime(QDate(2024, 3, 31), QTime(12, 0)));
    m_app->create();
    mf = m_app->mf();
    addEntry(mf, "2024.03.02 08:00:00", "8", "00:01:00", "Палата 1"); // first day of the 30
    addEntry(mf, "2024.03.01 23:59:59", "8", "00:01:00", "Палата 1"); // a day too early
    addEntry(mf, "2024.03.30 21:00:00", "8", "01:00:01", "Палата 2"); // missed
    addEntry(mf, "2024.03.31 09:00:00", "b", "", "Палата 2");         // open
    addEntry(mf, "2024.03.31 09:30:00", "4", "", "Палата 2");
}

void TestStatsWindow::cleanup()
{
    m_app.reset();
    mf = nullptr;
}

TFormStats* TestStatsWindow::open()
{
    QAction* action = statsAction(mf);
    if (!action || action->text() != QStringLiteral("Статистика"))
        return nullptr;
    action->trigger();
    auto* form = mf->findChild<TFormStats*>();
    return form;
}

void TestStatsWindow::opensFromTheMenuWithTheLastThirtyDays()
{
    TFormStats* form = open();
    QVERIFY(form);
    QVERIFY(form->isVisible());
    QCOMPARE(form->windowTitle(), QStringLiteral("Статистика"));
    QCOMPARE(form->dtpFirst->date(), QDate(2024, 3, 2));
    QCOMPARE(form->dtpLast->date(), QDate(2024, 3, 31));
    QTRY_VERIFY(form->report());
    QVERIFY(!form->computing());
    QCOMPARE(form->Progress->value(), form->Progress->maximum());

    StringGrid* wards = form->Grids[Stats::ByWard];
    QCOMPARE(wards->RowCount(), 3);
    QCOMPARE(wards->Cells(0, 1), QStringLiteral("Палата 1"));
    QCOMPARE(wards->Cells(1, 1), QStringLiteral("1"));
    QCOMPARE(wards->Cells(6, 1), QStringLiteral("0:01:00"));
    QCOMPARE(wards->Cells(0, 2), QStringLiteral("Палата 2"));
    const QStringList second{wards->Cells(1, 2), wards->Cells(2, 2), wards->Cells(3, 2),
                             wards->Cells(4, 2), wards->Cells(5, 2), wards->Cells(9, 2)};
    QCOMPARE(second, (QStringList{"2", "0", "1", "1", "0", "1"}));
    QCOMPARE(form->Grids[Stats::ByHour]->RowCount(), 25);
    QCOMPARE(form->GridExceptions->model()->rowCount(), 2);
    QCOMPARE(form->GridExceptions->model()->index(0, 0).data().toString(),
             QStringLiteral("2024.03.31 09:00:00"));
    QCOMPARE(form->GridExceptions->model()->index(0, 4).data().toString(), QStringLiteral("вызов отв."));
    QVERIFY(form->lSummary->text().contains(QStringLiteral("вызовов 3")));
    QVERIFY(form->ChartDays->chart() && !form->ChartDays->chart()->series().isEmpty());
    QVERIFY(form->ChartHours->chart() && !form->ChartHours->chart()->series().isEmpty());

    // The menu brings the same window back; a new period is computed again, and a call journaled
    // meanwhile by the main window's connection is counted.
    form->hide();
    QCOMPARE(open(), form);
    QTRY_VERIFY(form->report() && !form->computing());
    addEntry(mf, "2024.03.31 10:00:00", "8", "00:00:30", "Палата 1");
    form->dtpFirst->setDate(QDate(2024, 3, 1));
    form->bComputeClick();
    QTRY_VERIFY(!form->computing());
    QCOMPARE(form->report()->total.calls, 5);
    QVERIFY(m_app->dialogs.errors.isEmpty());
}

void TestStatsWindow::reversedPeriodIsRefused()
{
    TFormStats* form = open();
    QVERIFY(form);
    QTRY_VERIFY(form->report() && !form->computing());
    QVERIFY(form->bExport->isEnabled());
    form->dtpFirst->setDate(QDate(2024, 4, 1));
    form->bComputeClick();
    QVERIFY(!form->computing());
    QCOMPARE(m_app->dialogs.errors.size(), 1);
    QVERIFY(m_app->dialogs.errors.first().contains(QStringLiteral("Первый день периода позже последнего")));
    // The tables of the period before are not left under "not computed", nor exported as this one's.
    QCOMPARE(form->lSummary->text(), QStringLiteral("Статистика не рассчитана."));
    QVERIFY(!form->report());
    for (StringGrid* grid : form->Grids) {
        QCOMPARE(grid->RowCount(), 2);
        QCOMPARE(grid->Cells(0, 1), QString());
    }
    QCOMPARE(form->GridExceptions->model()->rowCount(), 0);
    QVERIFY(form->ChartDays->chart()->series().isEmpty());
    QVERIFY(!form->bExport->isEnabled());
}

// At the window's own size every column of a table is seen whole, and the first one says what its
// rows are.
void TestStatsWindow::tablesFitTheWindowAndNameTheirRows()
{
    TFormStats* form = open();
    QVERIFY(form);
    QVERIFY(QTest::qWaitForWindowExposed(form));
    QTRY_VERIFY(form->report() && !form->computing());
    // The size the first start writes; the test screen may be smaller than a ward's.
    {
        IniFile ini(m_app->iniPath());
        form->resize(ini.readInteger(QStringLiteral("StatsForm"), QStringLiteral("Width"), 0),
                     ini.readInteger(QStringLiteral("StatsForm"), QStringLiteral("Height"), 0));
    }
    const QStringList firsts{"Палата", "Ответственный", "Место", "Час", "День недели"};
    for (int g = 0; g < Stats::GroupingCount; ++g) {
        StringGrid* grid = form->Grids[g];
        form->Tabs->setCurrentWidget(grid);
        QCoreApplication::processEvents();
        QCOMPARE(grid->caption(0), firsts.at(g));
        const int last = grid->ColCount() - 1;
        const int right = grid->columnViewportPosition(last) + grid->columnWidth(last);
        QVERIFY2(
            right <= grid->viewport()->width(),
            qPrintable(
                QStringLiteral("%1: %2 of %3").arg(firsts.at(g)).arg(right).arg(grid->viewport()->width())));
        const QFontMetrics header(grid->horizontalHeader()->font());
        for (int c = 1; c <= last; ++c)
            QVERIFY(grid->columnWidth(c) > header.horizontalAdvance(grid->caption(c)));
    }
    // The open call is named as the column that counts it.
    QVERIFY(form->lSummary->text().contains(QStringLiteral("открыто 1")));
    QCOMPARE(form->GridExceptions->model()->index(0, 6).data().toString(), QStringLiteral("открыт"));
}

void TestStatsWindow::exportsWhatItShows()
{
    TFormStats* form = open();
    QVERIFY(form);
    QTRY_VERIFY(form->report() && !form->computing());

    // Cancelling the dialog writes nothing.
    m_app->dialogs.setNextSaveFileName(QString());
    form->bExport->click();
    QCOMPARE(m_app->dialogs.saveDialogFilters, QStringList{"*.xlsx"});
    QVERIFY(m_app->dialogs.opened.isEmpty());

    const QString chosen = m_app->dir() + QStringLiteral("/отчёт");
    m_app->dialogs.setNextSaveFileName(chosen);
    form->bExport->click();
    QVERIFY(QFile::exists(chosen + QStringLiteral(".xlsx")));
    QCOMPARE(m_app->dialogs.opened, QStringList{chosen + QStringLiteral(".xlsx")});
    QVERIFY(m_app->dialogs.errors.isEmpty());
    // The window says where it wrote.
    QVERIFY2(form->lSaved->text().contains(chosen + QStringLiteral(".xlsx")),
             qPrintable(form->lSaved->text()));

    // Without a program that opens it, the operator is told where the file is; a name of another kind
    // gets ".xlsx", as the journal's export gives it.
    m_app->dialogs.desktopOpens = false;
    const QString text = m_app->dir() + QStringLiteral("/отчёт.txt");
    m_app->dialogs.setNextSaveFileName(text);
    form->bExport->click();
    QVERIFY(!QFile::exists(text));
    QVERIFY(QFile::exists(text + QStringLiteral(".xlsx")));
    QCOMPARE(m_app->dialogs.messages.size(), 1);
    QVERIFY2(m_app->dialogs.messages.first().contains(text + QStringLiteral(".xlsx")),
             qPrintable(m_app->dialogs.messages.first()));

    // A file that is there is replaced only when the operator says so.
    QFile::resize(chosen + QStringLiteral(".xlsx"), 3);
    m_app->dialogs.answerNextQuestion(false);
    m_app->dialogs.setNextSaveFileName(chosen);
    form->bExport->click();
    QCOMPARE(m_app->dialogs.questions.size(), 1);
    QVERIFY(m_app->dialogs.questions.first().contains(QStringLiteral("уже существует")));
    QCOMPARE(QFileInfo(chosen + QStringLiteral(".xlsx")).size(), 3);
    m_app->dialogs.answerNextQuestion(true);
    m_app->dialogs.setNextSaveFileName(chosen);
    form->bExport->click();
    QVERIFY(QFileInfo(chosen + QStringLiteral(".xlsx")).size() > 3);
    QVERIFY(m_app->dialogs.errors.isEmpty());

    // A folder that is gone: the error box, and the window carries on.
    m_app->dialogs.setNextSaveFileName(m_app->dir() + QStringLiteral("/нет/отчёт.xlsx"));
    form->bExport->click();
    QCOMPARE(m_app->dialogs.errors.size(), 1);
    QVERIFY(m_app->dialogs.errors.first().contains(QStringLiteral("Unable to write to")));
}

QTEST_MAIN(TestStatsWindow)
#include "tst_statswindow.moc"
