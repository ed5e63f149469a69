// The open-calls window: rows in waiting order with their colours, a tick that repaints only what
// moved, the red line of a silent antenna, a call not yet in the journal marked until it is, taking a
// call off the list, and its settings section.

#include "AppFixture.h"

#include "core/base/Cp1251.h"
#include "core/calls/AntennaWatch.h"
#include "core/calls/OpenCalls.h"
#include "core/db/Database.h"
#include "core/db/Schema.h"
#include "core/settings/AppState.h"
#include "gui/calls/OpenCallsModel.h"
#include "gui/calls/TFormCalls.h"
#include "gui/kit/StringGrid.h"

#include <QAbstractItemModelTester>
#include <QAction>
#include <QBrush>
#include <QFile>
#include <QFont>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace {
const QDateTime kNow(QDate(2017, 12, 3), QTime(14, 5, 9));

// A moment of clocks that ran alike: the wall clock was never set.
Clock::Moment even(const QDateTime& wall)
{
    return {wall, wall.toMSecsSinceEpoch()};
}
} // namespace

class TestCallsWindow : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void rowsInWaitingOrderWithColours();
    void selectedRowKeepsItsColour();
    void silentAntennaLine();
    void callNotYetJournaledIsMarked();
    void dismissal();
    void settingsSection();

private:
    qint64 addEntry(const QString& timest, const QString& abcde, const QString& f, const QString& place);
    QStringList rows() const;
    QString colourOf(int row) const;

    std::unique_ptr<AppFixture> m_app;
    std::unique_ptr<db::Database> m_db;
    std::unique_ptr<OpenCalls> m_calls;
    std::unique_ptr<AntennaWatch> m_antennas;
    std::unique_ptr<TFormCalls> m_form;
};

void TestCallsWindow::init()
{
    m_app = std::make_unique<AppFixture>();
    // The settings file beside the fixture's executable, as the main window's creation would set it.
    App::setExePath(m_app->exePath());
    m_db = db::Database::openDatabase(m_app->dbPath());
    m_db->executeStatement(QStringLiteral("PRAGMA synchronous = OFF"));
    db::runSchema(*m_db);
    db::ensureIndexes(*m_db);
    // Waiting at kNow: 6 minutes, 10 seconds, 3 minutes 9 seconds; one closed.
    addEntry(QStringLiteral("2017.12.03 13:59:09"), QStringLiteral("f6186"), QStringLiteral("8"),
             QStringLiteral("Койка № 1"));
    addEntry(QStringLiteral("2017.12.03 14:04:59"), QStringLiteral("0A1F"), QStringLiteral("b"),
             QStringLiteral("Пульт (31)"));
    addEntry(QStringLiteral("2017.12.03 14:02:00"), QStringLiteral("ba5ac"), QStringLiteral("4"),
             QStringLiteral("Койка № 2"));
    m_db->executeStatement(QStringLiteral(
        "INSERT INTO logs (timest, timestr, abcde, f, butsname, groupsname, workersname, reactiontime) "
        "VALUES ('2017.12.03 14:00:00', '2017.12.03 14:01:00', 'f6186', '8', 'Закрыт', '', '', '00:01:00')"));

    m_calls = std::make_unique<OpenCalls>(m_db.get(), EscalationValues{});
    m_calls->rebuild(even(kNow));
    m_antennas = std::make_unique<AntennaWatch>(60);
    m_form = std::make_unique<TFormCalls>(
        *m_calls, *m_antennas, EscalationValues{}, LogConst{},
        JournalTypeTexts{QStringLiteral("вызов"), QStringLiteral("прием"), QStringLiteral("вызов отв.")});
    m_form->InitSection();
    m_calls->tick(even(kNow));
    m_form->show();
}

void TestCallsWindow::cleanup()
{
    m_form.reset();
    m_antennas.reset();
    m_calls.reset();
    m_db.reset();
    m_app.reset();
    App::setExePath(QString());
}

qint64 TestCallsWindow::addEntry(const QString& timest, const QString& abcde, const QString& f,
                                 const QString& place)
{
    m_db->executeStatement(
        QStringLiteral("INSERT INTO logs (timest, timestr, abcde, f, butsname, groupsname, workersname, "
                       "reactiontime) VALUES (?, '', ?, ?, ?, 'Палата 1', 'Тестова Анна', '')"),
        {timest, abcde, f, place});
    return m_db->query(QStringLiteral("SELECT max(id) FROM logs")).fieldAsInteger(0);
}

QStringList TestCallsWindow::rows() const
{
    QStringList result;
    const StringGrid* grid = m_form->StringGrid1;
    for (int row = 1; row < grid->RowCount(); ++row) {
        QStringList cells;
        for (int c = 0; c < grid->ColCount(); ++c)
            cells << grid->Cells(c, row);
        result << cells.join(u'|');
    }
    return result;
}

QString TestCallsWindow::colourOf(int row) const
{
    const QVariant brush = m_form->model()->index(row, 0).data(Qt::BackgroundRole);
    if (!brush.isValid())
        return QStringLiteral("none");
    const QColor c = brush.value<QBrush>().color();
    return c == QColor(255, 150, 150)   ? QStringLiteral("alarm")
           : c == QColor(255, 236, 150) ? QStringLiteral("warning")
           : c == QColor(200, 0, 0)     ? QStringLiteral("antenna")
                                        : c.name();
}

void TestCallsWindow::rowsInWaitingOrderWithColours()
{
    QAbstractItemModelTester tester(m_form->model(), QAbstractItemModelTester::FailureReportingMode::QtTest);
    QCOMPARE(m_form->StringGrid1->Cells(0, 0), QStringLiteral("Место"));
    QCOMPARE(m_form->StringGrid1->Cells(5, 0), QStringLiteral("Ожидание"));
    QCOMPARE(rows(), QStringList({
                         "Койка № 1|Палата 1|Тестова Анна|вызов|13:59:09|6 мин 0 сек",
                         "Койка № 2|Палата 1|Тестова Анна|прием|14:02:00|3 мин 9 сек",
                         "Пульт (31)|Палата 1|Тестова Анна|вызов отв.|14:04:59|10 сек",
                     }));
    QCOMPARE(QStringList({colourOf(0), colourOf(1), colourOf(2)}), QStringList({"alarm", "warning", "none"}));

    // A second later only the waiting column is repainted, and nothing starts over.
    QSignalSpy changed(m_form->model(), &QAbstractItemModel::dataChanged);
    QSignalSpy reset(m_form->model(), &QAbstractItemModel::modelReset);
    m_calls->tick(even(kNow.addSecs(1)));
    QCOMPARE(changed.size(), 1);
    QCOMPARE(changed.at(0).at(0).toModelIndex(), m_form->model()->index(0, OpenCallsModel::kWaitingColumn));
    QCOMPARE(changed.at(0).at(1).toModelIndex(), m_form->model()->index(2, OpenCallsModel::kWaitingColumn));
    QCOMPARE(m_form->StringGrid1->Cells(5, 3), QStringLiteral("11 сек"));
    // The wall clock set back 10 minutes a second later: the waiting times run on as time passes.
    m_calls->tick({kNow.addSecs(2 - 600), kNow.addSecs(2).toMSecsSinceEpoch()});
    QCOMPARE(m_form->StringGrid1->Cells(5, 3), QStringLiteral("12 сек"));
    QCOMPARE(m_form->StringGrid1->Cells(5, 1), QStringLiteral("6 мин 2 сек"));

    // 170 seconds on, the second call has waited past 300 seconds and the newest past 180: those two
    // rows are repainted whole.
    changed.clear();
    m_calls->tick(even(kNow.addSecs(170)));
    QCOMPARE(changed.size(), 3);
    QCOMPARE(changed.at(1).at(0).toModelIndex(), m_form->model()->index(1, 0));
    QCOMPARE(changed.at(2).at(1).toModelIndex(), m_form->model()->index(2, OpenCallsModel::kColumns - 1));
    QCOMPARE(QStringList({colourOf(0), colourOf(1), colourOf(2)}),
             QStringList({"alarm", "alarm", "warning"}));
    QCOMPARE(reset.size(), 0);

    // A new call goes to the bottom, a closed one leaves at once.
    const qint64 id = addEntry(QStringLiteral("2017.12.03 14:08:00"), QStringLiteral("f6186"),
                               QStringLiteral("8"), QStringLiteral("Койка № 1"));
    m_calls->syncWithJournal(even(kNow.addSecs(171)));
    QCOMPARE(m_form->StringGrid1->Cells(0, 4), QStringLiteral("Койка № 1"));
    m_calls->entriesClosed({m_calls->at(0).id, id});
    QCOMPARE(rows().size(), 2);
    QVERIFY(rows().at(0).startsWith(QStringLiteral("Койка № 2|")));
    QCOMPARE(reset.size(), 0);
}

// A selected call in alarm is still painted in the alarm colour; the selection shows as a frame.
void TestCallsWindow::selectedRowKeepsItsColour()
{
    StringGrid* grid = m_form->StringGrid1;
    QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
    QCOMPARE(colourOf(0), QStringLiteral("alarm"));
    grid->setRow(1);
    QVERIFY(grid->selectionModel()->isRowSelected(0, QModelIndex()));
    const QImage shot = grid->viewport()->grab().toImage();
    const int top = grid->rowViewportPosition(0);
    for (int c = 0; c < grid->ColCount(); ++c) {
        // Most of the cell, its text and the frame aside, has the alarm colour (a cell under the mouse
        // pointer a shade of it), not the highlight.
        const QRect cell(grid->columnViewportPosition(c), top, grid->columnWidth(c), grid->rowHeight(0));
        int alarm = 0;
        for (int y = cell.top(); y <= cell.bottom(); ++y) {
            for (int x = cell.left(); x <= cell.right(); ++x) {
                const QColor pixel = shot.pixelColor(x, y);
                alarm += pixel.red() >= 220 && pixel.green() <= 170 && pixel.blue() <= 170 ? 1 : 0;
            }
        }
        QVERIFY2(alarm * 2 > cell.width() * cell.height(),
                 qPrintable(QStringLiteral("column %1: %2 of %3 pixels")
                                .arg(c)
                                .arg(alarm)
                                .arg(cell.width() * cell.height())));
    }
    const QColor highlight = grid->palette().color(QPalette::Active, QPalette::Highlight);
    bool framed = false;
    for (int y = top; y <= top + 3; ++y)
        framed = framed || shot.pixelColor(grid->columnViewportPosition(1) + 10, y) == highlight;
    QVERIFY(framed);
}

void TestCallsWindow::silentAntennaLine()
{
    QAbstractItemModelTester tester(m_form->model(), QAbstractItemModelTester::FailureReportingMode::QtTest);
    m_form->StringGrid1->setRow(2); // Койка № 2
    m_antennas->heard({QStringLiteral("A1")}, even(kNow));
    m_antennas->check(even(kNow.addSecs(60)));
    QCOMPARE(m_form->StringGrid1->Cells(0, 1), QStringLiteral("Нет сигнала от антенны A1 с 14:05:09"));
    QCOMPARE(colourOf(0), QStringLiteral("antenna"));
    QCOMPARE(m_form->StringGrid1->columnSpan(0, 0), OpenCallsModel::kColumns);
    QCOMPARE(m_form->model()->callIdAt(0), -1);
    QCOMPARE(rows().size(), 4);
    // The selected call stays selected below the new line.
    QCOMPARE(m_form->StringGrid1->Cells(0, m_form->StringGrid1->Row()), QStringLiteral("Койка № 2"));

    // Delete on the antenna line asks nothing and removes nothing.
    m_form->StringGrid1->setRow(1);
    QTest::keyClick(m_form->StringGrid1, Qt::Key_Delete);
    QCOMPARE(m_app->dialogs.questions.size(), 0);
    QCOMPARE(rows().size(), 4);

    m_antennas->heard({QStringLiteral("a1")}, even(kNow.addSecs(61)));
    m_antennas->check(even(kNow.addSecs(62)));
    QCOMPARE(rows().size(), 3);
    QCOMPARE(m_form->StringGrid1->columnSpan(0, 0), 1);
}

void TestCallsWindow::callNotYetJournaledIsMarked()
{
    QAbstractItemModelTester tester(m_form->model(), QAbstractItemModelTester::FailureReportingMode::QtTest);
    const EventNotice notice{QStringLiteral("ba5ac"), QStringLiteral("8"), QString(),
                             QStringLiteral("Койка № 2")};
    m_calls->callNoticed({0, kNow.addSecs(5), QStringLiteral("ba5ac"), QStringLiteral("8"),
                          QStringLiteral("Койка № 2"), QStringLiteral("Палата 1"), QString(), notice},
                         9, even(kNow.addSecs(5)));
    QCOMPARE(rows().size(), 4);
    QCOMPARE(rows().at(3), QStringLiteral("Койка № 2|Палата 1||вызов (не записан в журнал)|14:05:14|0 сек"));
    const QModelIndex type = m_form->model()->index(3, 3);
    QVERIFY(type.data(Qt::FontRole).value<QFont>().italic());
    QVERIFY(!type.data(Qt::ToolTipRole).toString().isEmpty());
    QVERIFY(!m_form->model()->index(0, 3).data(Qt::FontRole).isValid());

    // The journal takes it: the row is repainted as any other.
    QSignalSpy changed(m_form->model(), &QAbstractItemModel::dataChanged);
    QVERIFY(m_calls->callJournaled(9, 77));
    QCOMPARE(changed.size(), 1);
    QCOMPARE(changed.at(0).at(0).toModelIndex().row(), 3);
    QCOMPARE(rows().at(3), QStringLiteral("Койка № 2|Палата 1||вызов|14:05:14|0 сек"));
    QVERIFY(!type.data(Qt::FontRole).isValid());
    QCOMPARE(m_form->model()->callIdAt(3), 77);
}

void TestCallsWindow::dismissal()
{
    const qint64 id = m_calls->at(1).id; // Койка № 2
    const QStringList journalBefore = [this] {
        QStringList r;
        for (db::ResultTable t = m_db->query(QStringLiteral("SELECT * FROM logs ORDER BY id"));
             !t.endOfRows(); t.nextRow())
            r << t.fieldAsText(1) + t.fieldAsText(2) + t.fieldAsText(8);
        return r;
    }();

    // Delete, then Cancel: nothing changes.
    m_form->StringGrid1->setRow(2);
    m_app->dialogs.answerNextQuestion(false);
    QTest::keyClick(m_form->StringGrid1, Qt::Key_Delete);
    QCOMPARE(m_app->dialogs.questions,
             QStringList({"Убрать вызов из списка активных? Запись в журнале останется."}));
    QCOMPARE(rows().size(), 3);

    // The pop-up item, then OK: the row goes, the journal stays, the removal is stored.
    m_app->dialogs.answerNextQuestion(true);
    m_form->mDismiss->trigger();
    QCOMPARE(rows().size(), 2);
    QCOMPARE(m_calls->rowOf(id), -1);
    QCOMPARE(m_db->query(QStringLiteral("SELECT count(*) FROM dismissedcalls WHERE id = ?"),
                         {QVariant(qlonglong(id))})
                 .fieldAsInteger(0),
             1);
    QStringList journalAfter;
    for (db::ResultTable t = m_db->query(QStringLiteral("SELECT * FROM logs ORDER BY id")); !t.endOfRows();
         t.nextRow())
        journalAfter << t.fieldAsText(1) + t.fieldAsText(2) + t.fieldAsText(8);
    QCOMPARE(journalAfter, journalBefore);

    // A database that fails: the error is shown and the call stays.
    m_form->StringGrid1->setRow(1);
    m_db->closeDatabase();
    m_app->dialogs.answerNextQuestion(true);
    QTest::keyClick(m_form->StringGrid1, Qt::Key_Delete);
    QCOMPARE(m_app->dialogs.errors.size(), 1);
    QCOMPARE(rows().size(), 2);
    QCOMPARE(m_app->dialogs.unexpectedQuestions, 0);
}

void TestCallsWindow::settingsSection()
{
    QFile file(App::settingsPath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QStringList lines = Cp1251::decode(file.readAll()).split(QStringLiteral("\r\n"));
    file.close();
    QCOMPARE(lines.first(), QStringLiteral("[CallsForm]"));
    QCOMPARE(lines.at(1), QStringLiteral(";Описание секции=Активные вызовы"));
    QVERIFY(lines.contains(QStringLiteral("Caption=Активные вызовы")));
    QVERIFY(lines.contains(QStringLiteral("col5w=90")));

    // Edited by hand: the edit shows, and the next start keeps it.
    IniFile ini(App::settingsPath());
    ini.writeString(QStringLiteral("CallsForm"), QStringLiteral("col5"), QStringLiteral("Ждёт"));
    ini.writeString(QStringLiteral("CallsForm"), QStringLiteral("q1"), QStringLiteral("Убрать?"));
    m_form->InitSection();
    QCOMPARE(m_form->StringGrid1->Cells(5, 0), QStringLiteral("Ждёт"));
    QCOMPARE(m_form->q1, QStringLiteral("Убрать?"));

    // Closing keeps the column widths.
    m_form->StringGrid1->setColumnWidth(5, 123);
    m_form->close();
    QCOMPARE(ini.readInteger(QStringLiteral("CallsForm"), QStringLiteral("col5w"), 0), 123);
}

QTEST_MAIN(TestCallsWindow)
#include "tst_callswindow.moc"
