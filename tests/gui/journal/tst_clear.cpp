// Clearing the journal: the bound of the chosen day, what is deleted and what stays, the modal
// dialog's keys, buttons and close box, the reload with the active filter, the settings section.

#include "AppFixture.h"

#include "app/Forms.h"
#include "core/db/Database.h"
#include "gui/journal/TFormClear.h"
#include "gui/journal/TMF.h"
#include "gui/kit/ButtonGroup.h"
#include "gui/kit/StringGrid.h"

#include <QDateEdit>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QTimer>
#include <QToolButton>
#include <QtTest>

#include <functional>

namespace {

void addEntry(TMF* mf, const QString& timest, const QString& ward = QStringLiteral("Палата 1"))
{
    mf->server().db().executeStatement(
        QStringLiteral(
            "INSERT INTO logs (timest, timestr, abcde, f, butsname, groupsname, workersname, reactiontime) "
            "VALUES (?, '', 'f6186', '8', 'Койка 1', ?, '', '')"),
        {timest, ward});
}

QStringList stamps(TMF* mf)
{
    QStringList result;
    db::ResultTable rows = mf->server().db().query(QStringLiteral("SELECT timest FROM logs ORDER BY timest"));
    while (!rows.endOfRows()) {
        result << rows.fieldByName(QStringLiteral("timest"));
        rows.nextRow();
    }
    return result;
}

QLineEdit* pickerEdit(TFormClear* form)
{
    return form->dtp11->findChild<QLineEdit*>();
}

} // namespace

// What the operator does in the open dialog.
using Act = std::function<void(TFormClear*)>;
Q_DECLARE_METATYPE(Act)

class TestClear : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void bound_data();
    void bound();
    void deletesTheChosenDayAndEarlierOnly();
    void enterInThePickerDeletesAndKeepsTheFilter();
    void cancelDeletesNothing_data();
    void cancelDeletesNothing();
    void deleteButtonTakesATypedDate();
    void unwritableSettingsStillEndTheDialog();
    void settingsSection();

private:
    // Opens the dialog as the main window's menu does, acting on it once it is shown.
    void runClearing(const Act& act);

    std::unique_ptr<AppFixture> m_app;
    TMF* mf = nullptr;
    TFormClear* form = nullptr;
};

void TestClear::init()
{
    m_app = std::make_unique<AppFixture>();
    m_app->create();
    mf = m_app->mf();
    form = forms().FormClear;
}

void TestClear::cleanup()
{
    m_app.reset();
}

void TestClear::runClearing(const Act& act)
{
    bool acted = false;
    QTimer::singleShot(0, form, [&] {
        QVERIFY(form->isVisible());
        acted = true;
        act(form);
    });
    mf->NochClick();
    QVERIFY(acted);
    QVERIFY(!form->isVisible());
}

void TestClear::bound_data()
{
    QTest::addColumn<QDate>("day");
    QTest::addColumn<QString>("bound");
    QTest::newRow("a day") << QDate(2017, 12, 3) << QStringLiteral("2017.12.04 00:00:00");
    QTest::newRow("end of year") << QDate(2017, 12, 31) << QStringLiteral("2018.01.01 00:00:00");
    QTest::newRow("leap day") << QDate(2016, 2, 28) << QStringLiteral("2016.02.29 00:00:00");
    QTest::newRow("last day there is") << QDate(9999, 12, 31) << QStringLiteral("9999.12.31 24:00:00");
}

void TestClear::bound()
{
    QFETCH(QDate, day);
    QFETCH(QString, bound);
    QCOMPARE(TFormClear::clearBound(day), bound);
}

void TestClear::deletesTheChosenDayAndEarlierOnly()
{
    for (const char* ts : {"2016.01.01 12:00:00", "2017.12.02 23:59:59", "2017.12.03 00:00:00",
                           "2017.12.03 23:59:59", "2017.12.04 00:00:00", "2017.12.04 00:00:01"})
        addEntry(mf, QString::fromLatin1(ts));
    TFormClear::deleteUpTo(mf->server().db(), QDate(2017, 12, 3));
    QCOMPARE(stamps(mf),
             (QStringList{QStringLiteral("2017.12.04 00:00:00"), QStringLiteral("2017.12.04 00:00:01")}));

    // A day before the oldest entry deletes nothing.
    TFormClear::deleteUpTo(mf->server().db(), QDate(2000, 1, 1));
    QCOMPARE(stamps(mf).size(), 2);
}

void TestClear::enterInThePickerDeletesAndKeepsTheFilter()
{
    // Today is 2017-12-03 in the fixture: the dialog proposes 2017-11-03.
    addEntry(mf, QStringLiteral("2017.11.02 10:00:00"));
    addEntry(mf, QStringLiteral("2017.11.03 23:59:59"));
    addEntry(mf, QStringLiteral("2017.11.04 00:00:00"), QStringLiteral("Палата 2"));
    addEntry(mf, QStringLiteral("2017.12.03 14:00:00"));
    mf->server().setFilter(QStringLiteral(" WHERE (groupsname=?)"), {QStringLiteral("Палата 1")});
    mf->RefreshLog();
    QCOMPARE(mf->StringGrid1->RowCount(), 4);

    form->dtp11->setDate(QDate(2000, 1, 1)); // a date left from an earlier showing is replaced
    runClearing([](TFormClear* f) {
        QCOMPARE(f->dtp11->date(), QDate(2017, 11, 3));
        QTest::keyClick(pickerEdit(f), Qt::Key_Return);
    });
    QCOMPARE(stamps(mf),
             (QStringList{QStringLiteral("2017.11.04 00:00:00"), QStringLiteral("2017.12.03 14:00:00")}));
    // Reloaded through the same filter: only the ward's entry is shown.
    QCOMPARE(mf->StringGrid1->RowCount(), 2);
    QCOMPARE(mf->StringGrid1->Cells(1, 1), QStringLiteral("14:00:00"));
    QCOMPARE(mf->server().sWHERE(), QStringLiteral(" WHERE (groupsname=?)"));
    QVERIFY(m_app->dialogs.errors.isEmpty());
    QVERIFY(m_app->dialogs.questions.isEmpty());
}

void TestClear::cancelDeletesNothing_data()
{
    QTest::addColumn<Act>("act");
    QTest::newRow("escape in the picker")
        << Act([](TFormClear* f) { QTest::keyClick(pickerEdit(f), Qt::Key_Escape); });
    QTest::newRow("escape on the delete button") << Act([](TFormClear* f) {
        f->ButtonGroup1->item(1)->setFocus();
        QTest::keyClick(f->ButtonGroup1->item(1), Qt::Key_Escape);
    });
    QTest::newRow("cancel button") << Act([](TFormClear* f) { f->ButtonGroup1->item(0)->click(); });
    QTest::newRow("close box") << Act([](TFormClear* f) { f->close(); });
}

void TestClear::cancelDeletesNothing()
{
    QFETCH(Act, act);
    addEntry(mf, QStringLiteral("2017.01.01 10:00:00"));
    addEntry(mf, QStringLiteral("2017.12.03 10:00:00"));

    int result = -1;
    QTimer::singleShot(0, form, [&] { act(form); });
    result = form->exec();
    QCOMPARE(result, 2);
    QVERIFY(!form->isVisible());
    QCOMPARE(stamps(mf).size(), 2);

    // The menu's way: nothing deleted.
    runClearing(act);
    QCOMPARE(stamps(mf).size(), 2);
}

void TestClear::deleteButtonTakesATypedDate()
{
    addEntry(mf, QStringLiteral("2017.11.20 10:00:00"));
    addEntry(mf, QStringLiteral("2017.11.21 10:00:00"));
    QDate typed;
    runClearing([&typed](TFormClear* f) {
        // Typed over the proposed day (30 days back), section by section, as the operator does.
        f->dtp11->setFocus();
        const QList<QPair<QDateTimeEdit::Section, QString>> sections{{QDateTimeEdit::DaySection, "20"},
                                                                     {QDateTimeEdit::MonthSection, "11"},
                                                                     {QDateTimeEdit::YearSection, "2017"}};
        for (const auto& [section, text] : sections) {
            f->dtp11->setSelectedSection(section);
            QTest::keyClicks(f->dtp11, text);
        }
        typed = f->dtp11->date();
        QCOMPARE(f->ButtonGroup1->hint(1), QStringLiteral("Удалить"));
        f->ButtonGroup1->item(1)->click();
    });
    QCOMPARE(typed, QDate(2017, 11, 20));
    QCOMPARE(stamps(mf), QStringList{QStringLiteral("2017.11.21 10:00:00")});
}

void TestClear::unwritableSettingsStillEndTheDialog()
{
    addEntry(mf, QStringLiteral("2017.11.20 10:00:00"));
    addEntry(mf, QStringLiteral("2017.11.21 10:00:00"));
    // A directory where the settings file was: saving the position fails on every close.
    QVERIFY(QFile::remove(m_app->iniPath()));
    QVERIFY(QDir().mkdir(m_app->iniPath()));
    const QString error = QStringLiteral("Unable to write to ") + m_app->iniPath() + u'.';

    // The error is shown, the dialog ends with its result and the deletion goes ahead.
    runClearing([](TFormClear* f) {
        f->dtp11->setDate(QDate(2017, 11, 20));
        f->ButtonGroup1->item(1)->click();
    });
    QCOMPARE(stamps(mf), QStringList{QStringLiteral("2017.11.21 10:00:00")});
    QCOMPARE(m_app->dialogs.errors, QStringList{error});

    // Next time the dialog still saves and ends: the close box cancels.
    int result = -1;
    QTimer::singleShot(0, form, [this] { form->close(); });
    result = form->exec();
    QCOMPARE(result, 2);
    QVERIFY(!form->isVisible());
    QCOMPARE(stamps(mf).size(), 1);
    QCOMPARE(m_app->dialogs.errors, (QStringList{error, error}));
}

void TestClear::settingsSection()
{
    IniFile ini(m_app->iniPath());
    const QString s = QStringLiteral("ClearForm");
    QCOMPARE(ini.readString(s, QStringLiteral(";Описание секции"), QString()),
             QStringLiteral("Форма очистки журнала"));
    QCOMPARE(ini.readString(s, QStringLiteral(";bhint0"), QString()), QStringLiteral("Отмена"));
    QCOMPARE(ini.readString(s, QStringLiteral("Caption"), QString()),
             QStringLiteral("Удалить записи в журнале"));
    QCOMPARE(ini.readString(s, QStringLiteral("label1"), QString()), QStringLiteral("До :"));
    QCOMPARE(ini.readString(s, QStringLiteral("bhint1"), QString()), QStringLiteral("Удалить"));
    const qint32 height = ini.readInteger(s, QStringLiteral("Height"), -1);
    const qint32 width = ini.readInteger(s, QStringLiteral("Width"), -1);
    QVERIFY(height > 0 && width > 0);

    // Closing saves the position only, once.
    form->move(123, 45);
    form->resize(form->width() + 40, form->height() + 30);
    runClearing([](TFormClear* f) { f->ButtonGroup1->item(0)->click(); });
    QCOMPARE(ini.readInteger(s, QStringLiteral("Left"), -1), 123);
    QCOMPARE(ini.readInteger(s, QStringLiteral("Top"), -1), 45);
    QCOMPARE(ini.readInteger(s, QStringLiteral("Height"), -1), height);
    QCOMPARE(ini.readInteger(s, QStringLiteral("Width"), -1), width);
}

QTEST_MAIN(TestClear)
#include "tst_clear.moc"
