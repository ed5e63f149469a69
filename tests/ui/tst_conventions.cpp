// What every window does alike: the error box's text and title, the minimum sizes, the grid's fill
// rule, and secondary windows that save only when closed themselves.

#include "AppFixture.h"

#include "directory/TFormAddButs.h"
#include "directory/TFormButs.h"
#include "directory/TFormButsEdit.h"
#include "directory/TFormGroup.h"
#include "directory/TFormGroupEdit.h"
#include "directory/TFormWorkers.h"
#include "directory/TFormWorkersEdit.h"
#include "app/Forms.h"
#include "journal/TFormClear.h"
#include "journal/TFormFilter.h"
#include "journal/TMF.h"
#include "settings/AppError.h"
#include "settings/IniFile.h"
#include "ui/StringGrid.h"

#include <QDateEdit>
#include <QtTest>

class TestConventions : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void errorText_data();
    void errorText();
    void errorBoxCarriesTheProgramTitle();
    void minimumSizes();
    void gridFillRule();
    void datesAreShownInRussian();
    void secondaryWindowSavesOnlyWhenClosedItself();
};

void TestConventions::errorText_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("shown");
    QTest::newRow("plain") << "Unable to write to /x/y.ini" << "Unable to write to /x/y.ini.";
    QTest::newRow("ends with a full stop") << "Done." << "Done.";
    QTest::newRow("ends with a character below the full stop") << "Field id Not found. Empty dataset!"
                                                              << "Field id Not found. Empty dataset!";
    QTest::newRow("ends with a quote") << "Failed to open database \"x\"" << "Failed to open database \"x\"";
    QTest::newRow("ends with a letter above") << "Ошибка" << "Ошибка.";
    QTest::newRow("ends with a digit") << "code 5" << "code 5.";
    QTest::newRow("empty") << "" << "";
}

void TestConventions::errorText()
{
    QFETCH(QString, message);
    QTEST(Dialogs::errorText(message), "shown");
}

void TestConventions::errorBoxCarriesTheProgramTitle()
{
    AppFixture app;
    app.create();
    QVERIFY(!Dialogs::guard(app.mf(), [] { throw AppError(QStringLiteral("Table is at End of File")); }));
    QCOMPARE(app.dialogs.errorTitles, QStringList{QStringLiteral("HalvaneServer")});
    QCOMPARE(app.dialogs.errors, QStringList{QStringLiteral("Table is at End of File.")});
}

void TestConventions::minimumSizes()
{
    AppFixture app;
    app.create();
    const Forms& f = forms();
    const QList<QPair<FormBase*, QSize>> expected{
        {f.FormGroup, {150, 150}},     {f.FormGroupEdit, {330, 150}}, {f.FormWorkers, {150, 150}},
        {f.FormWorkersEdit, {330, 150}}, {f.FormButs, {280, 165}},    {f.FormButsEdit, {350, 180}},
        {f.FormAddButs, {540, 250}},   {f.FormClear, {310, 125}},     {f.FormFilter, {600, 360}},
    };
    for (const auto& [form, size] : expected) {
        QCOMPARE(form->minimumOuterSize(), size);
        // Asked to shrink below it, the window stops there (offscreen windows have no frame).
        form->show();
        form->resize(10, 10);
        QVERIFY2(form->width() >= size.width() - FormBase::designFrame().width() &&
                     form->height() >= size.height() - FormBase::designFrame().height(),
                 qPrintable(form->objectName()));
        form->hide();
    }
    // The main window has no minimum of its own.
    QCOMPARE(app.mf()->minimumSize(), QSize(0, 0));
}

void TestConventions::gridFillRule()
{
    StringGrid grid(3);
    grid.cells()->setRows({{"a", "b", "c"}, {"d", "e", "f"}});
    QCOMPARE(grid.RowCount(), 3);
    grid.setRow(2);
    grid.cells()->setRows({});
    QCOMPARE(grid.RowCount(), 2);
    for (int c = 0; c < 3; ++c)
        QCOMPARE(grid.Cells(c, 1), QString());
}

void TestConventions::datesAreShownInRussian()
{
    AppFixture app;
    app.create();
    QDateEdit* picker = forms().FormClear->dtp11;
    picker->setDate(QDate(2017, 12, 3));
    QCOMPARE(picker->locale().language(), QLocale::Russian);
    QCOMPARE(picker->text(), QStringLiteral("03.12.2017"));
}

void TestConventions::secondaryWindowSavesOnlyWhenClosedItself()
{
    AppFixture app;
    app.create();
    FormBase* group = forms().FormGroup;
    group->show();
    group->move(123, 45);
    app.destroy(); // the program ends with the window open: nothing is saved for it
    IniFile ini(app.iniPath());
    QVERIFY(ini.readInteger(QStringLiteral("GroupForm"), QStringLiteral("Left"), 0) != 123);

    app.create();
    group = forms().FormGroup;
    group->show();
    group->move(123, 45);
    group->close();
    QCOMPARE(ini.readInteger(QStringLiteral("GroupForm"), QStringLiteral("Left"), 0), 123);
    QCOMPARE(ini.readInteger(QStringLiteral("GroupForm"), QStringLiteral("Top"), 0), 45);
}

QTEST_MAIN(TestConventions)
#include "tst_conventions.moc"
