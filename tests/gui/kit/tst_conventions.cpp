// What every window does alike: the error box's text and title, the minimum sizes, the grid's fill
// rule, secondary windows that save only when closed themselves, and the geometry a window is saved
// with coming back as it was, on the screens there are.

#include "AppFixture.h"

#include "app/Forms.h"
#include "core/base/AppError.h"
#include "core/settings/IniFile.h"
#include "gui/directory/TFormAddButs.h"
#include "gui/directory/TFormButs.h"
#include "gui/directory/TFormButsEdit.h"
#include "gui/directory/TFormGroup.h"
#include "gui/directory/TFormGroupEdit.h"
#include "gui/directory/TFormWorkers.h"
#include "gui/directory/TFormWorkersEdit.h"
#include "gui/journal/TFormClear.h"
#include "gui/journal/TFormFilter.h"
#include "gui/journal/TMF.h"
#include "gui/kit/Dialogs.h"
#include "gui/kit/StringGrid.h"
#include "gui/kit/WindowGeometry.h"

#include <QDateEdit>
#include <QFileDialog>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QPushButton>
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
    void firstStartWritesTheDesignSize();
    void sizeComesBackAsSaved();
    void storedGeometryFitsTheScreens_data();
    void storedGeometryFitsTheScreens();
    void hugeStoredGeometryIsHeldToTheScreen();
    void secondaryWindowFirstOpensOverItsOpener();
    void boxesSpeakRussianAndAnEmptyTitleStaysEmpty();
};

namespace {

// Top, Left, Height and Width of a section as the settings file holds them.
QList<int> storedGeometry(const QString& iniPath, const QString& section)
{
    IniFile ini(iniPath);
    QList<int> values;
    for (const char* key : {"Top", "Left", "Height", "Width"})
        values << ini.readInteger(section, QString::fromLatin1(key), -1);
    return values;
}

} // namespace

void TestConventions::errorText_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("shown");
    QTest::newRow("plain") << "Unable to write to /x/y.ini"
                           << "Unable to write to /x/y.ini.";
    QTest::newRow("ends with a full stop") << "Done."
                                           << "Done.";
    QTest::newRow("ends with a character below the full stop") << "Field id Not found. Empty dataset!"
                                                               << "Field id Not found. Empty dataset!";
    QTest::newRow("ends with a quote") << "Failed to open database \"x\""
                                       << "Failed to open database \"x\"";
    QTest::newRow("ends with a letter above") << "Ошибка"
                                              << "Ошибка.";
    QTest::newRow("ends with a digit") << "code 5"
                                       << "code 5.";
    QTest::newRow("empty") << ""
                           << "";
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
        {f.FormGroup, {150, 150}},       {f.FormGroupEdit, {330, 150}}, {f.FormWorkers, {150, 150}},
        {f.FormWorkersEdit, {330, 150}}, {f.FormButs, {280, 165}},      {f.FormButsEdit, {350, 180}},
        {f.FormAddButs, {540, 250}},     {f.FormClear, {310, 125}},     {f.FormFilter, {600, 360}},
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

void TestConventions::firstStartWritesTheDesignSize()
{
    // Windows whose minimum is larger than their design size among them.
    AppFixture app;
    app.create();
    const QList<QPair<QString, QSize>> design{{QStringLiteral("ButsEditForm"), {340, 209}},
                                              {QStringLiteral("ButsAddForm"), {496, 351}},
                                              {QStringLiteral("FilterForm"), {601, 354}},
                                              {QStringLiteral("ClearForm"), {318, 139}},
                                              {QStringLiteral("GroupForm"), {0, 0}}};
    for (const auto& [section, size] : design) {
        const QList<int> stored = storedGeometry(app.iniPath(), section);
        QCOMPARE(stored.mid(0, 2), (QList<int>{0, 0}));
        if (!size.isEmpty())
            QCOMPARE(stored.mid(2), (QList<int>{size.height(), size.width()}));
    }
    // The minimum still limits the window itself.
    QVERIFY(forms().FormButsEdit->outerGeometry().width() >= 350);
}

void TestConventions::sizeComesBackAsSaved()
{
    // Offscreen windows have no frame at all, a frame other than the design one.
    AppFixture app;
    app.create();
    app.destroy();
    // The operator gave two windows sizes and places of their own once.
    IniFile ini(app.iniPath());
    ini.writeInteger(QStringLiteral("LogForm"), QStringLiteral("Width"), 650);
    ini.writeInteger(QStringLiteral("LogForm"), QStringLiteral("Left"), 25);
    ini.writeInteger(QStringLiteral("GroupForm"), QStringLiteral("Height"), 260);
    ini.writeInteger(QStringLiteral("GroupForm"), QStringLiteral("Left"), 40);

    const QStringList sections{QStringLiteral("LogForm"), QStringLiteral("GroupForm"),
                               QStringLiteral("FilterForm"), QStringLiteral("ButsAddForm")};
    const auto stored = [&] {
        QList<QList<int>> values;
        for (const QString& section : sections)
            values << storedGeometry(app.iniPath(), section);
        return values;
    };
    // Start, show every window, close it, end.
    const auto cycle = [&app] {
        app.create();
        const Forms& f = forms();
        f.MF->show();
        QVERIFY(QTest::qWaitForWindowExposed(f.MF));
        for (FormBase* form : QList<FormBase*>{f.FormGroup, f.FormFilter, f.FormAddButs}) {
            form->show();
            QVERIFY(QTest::qWaitForWindowExposed(form));
            form->close();
        }
        f.MF->InitSave();
        app.destroy();
    };

    const QList<QList<int>> before = stored();
    cycle();
    const QList<QList<int>> first = stored();
    QCOMPARE(first[0], before[0]);
    QCOMPARE(first[1], before[1]);
    // Windows still at their design position open elsewhere; their size is the design size,
    QCOMPARE(first[2].mid(2), (QList<int>{360, 601}));
    QCOMPARE(first[3].mid(2), (QList<int>{351, 540}));
    // ...held to the minimum where that is larger.
    QCOMPARE(before[2].mid(2), (QList<int>{354, 601}));
    QCOMPARE(before[3].mid(2), (QList<int>{351, 496}));

    for (int start = 2; start <= 3; ++start) {
        cycle();
        QCOMPARE(stored(), first);
    }
}

void TestConventions::storedGeometryFitsTheScreens_data()
{
    QTest::addColumn<QList<qint64>>("stored"); // left, top, width, height
    QTest::addColumn<QList<QRect>>("screens");
    QTest::addColumn<QRect>("expected");
    const QList<QRect> one{QRect(0, 0, 1280, 1024)};
    const QList<QRect> two{QRect(0, 0, 1280, 1024), QRect(1280, 0, 1920, 1080)};
    const qint64 big = std::numeric_limits<qint32>::max();
    const qint64 small = std::numeric_limits<qint32>::min();

    QTest::newRow("on the screen") << QList<qint64>{100, 50, 722, 511} << one << QRect(100, 50, 722, 511);
    QTest::newRow("partly off, title reachable")
        << QList<qint64>{1100, 900, 722, 511} << one << QRect(1100, 900, 722, 511);
    QTest::newRow("design position") << QList<qint64>{0, 0, 340, 209} << one << QRect(0, 0, 340, 209);
    QTest::newRow("monitor removed") << QList<qint64>{2000, 100, 600, 400} << one
                                     << QRect(680, 100, 600, 400);
    QTest::newRow("above the screen") << QList<qint64>{100, -600, 600, 400} << one << QRect(100, 0, 600, 400);
    QTest::newRow("title partly above")
        << QList<qint64>{100, -20, 600, 400} << one << QRect(100, -20, 600, 400);
    QTest::newRow("title out of reach above")
        << QList<qint64>{100, -25, 600, 400} << one << QRect(100, 0, 600, 400);
    QTest::newRow("on the second monitor")
        << QList<qint64>{2000, 100, 600, 400} << two << QRect(2000, 100, 600, 400);
    QTest::newRow("nearest of two") << QList<qint64>{4000, 2000, 600, 400} << two
                                    << QRect(2600, 680, 600, 400);
    QTest::newRow("too large") << QList<qint64>{0, 0, 20000, 20000} << one << QRect(0, 0, 1280, 1024);
    QTest::newRow("held to its own screen")
        << QList<qint64>{0, 0, 20000, 20000} << two << QRect(0, 0, 1280, 1024);
    QTest::newRow("larger second screen")
        << QList<qint64>{1300, 0, 20000, 20000} << two << QRect(1300, 0, 1920, 1080);
    QTest::newRow("no size") << QList<qint64>{10, 10, 0, -5} << one << QRect(10, 10, 1, 1);
    QTest::newRow("extremes") << QList<qint64>{big, big, big, big} << one << QRect(0, 0, 1280, 1024);
    QTest::newRow("negative extremes")
        << QList<qint64>{small, small, small, small} << one << QRect(0, 0, 1, 1);
    QTest::newRow("no screens") << QList<qint64>{big, small, big, 300} << QList<QRect>()
                                << QRect(1 << 24, -(1 << 24), 1 << 14, 300);
}

void TestConventions::storedGeometryFitsTheScreens()
{
    QFETCH(QList<qint64>, stored);
    QFETCH(QList<QRect>, screens);
    QFETCH(QRect, expected);
    QCOMPARE(WindowGeometry::fitToScreens(stored[0], stored[1], stored[2], stored[3], screens), expected);
}

void TestConventions::hugeStoredGeometryIsHeldToTheScreen()
{
    AppFixture app;
    app.create();
    app.destroy();
    IniFile ini(app.iniPath());
    for (const QString& section : {QStringLiteral("LogForm"), QStringLiteral("GroupForm")}) {
        for (const char* key : {"Top", "Left", "Height", "Width"})
            ini.writeInteger(section, QString::fromLatin1(key), std::numeric_limits<qint32>::max());
    }
    app.create();
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    for (QWidget* window : QList<QWidget*>{forms().MF, forms().FormGroup}) {
        const QRect outer = WindowGeometry::outer(*window);
        QVERIFY2(screen.contains(outer), qPrintable(window->objectName()));
    }
}

void TestConventions::secondaryWindowFirstOpensOverItsOpener()
{
    AppFixture app;
    app.create();
    TMF* mf = forms().MF;
    mf->move(40, 30);
    mf->show();
    mf->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(mf));

    FormBase* filter = forms().FormFilter;
    mf->Nnastr->trigger();
    QVERIFY(filter->isVisible());
    const QPoint offset = WindowGeometry::outer(*filter).center() - WindowGeometry::outer(*mf).center();
    QVERIFY2(offset.manhattanLength() <= 2,
             qPrintable(QStringLiteral("%1,%2").arg(offset.x()).arg(offset.y())));

    // Once moved and closed, the stored position is where it opens, also after a restart.
    filter->move(30, 40);
    filter->close();
    mf->Nnastr->trigger();
    QCOMPARE(WindowGeometry::outer(*filter).topLeft(), QPoint(30, 40));
    filter->close();
    app.destroy();
    app.create();
    forms().MF->show();
    forms().MF->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(forms().MF));
    forms().MF->Nnastr->trigger();
    QCOMPARE(WindowGeometry::outer(*forms().FormFilter).topLeft(), QPoint(30, 40));
}

void TestConventions::boxesSpeakRussianAndAnEmptyTitleStaysEmpty()
{
    const QString catalogue =
        QLibraryInfo::path(QLibraryInfo::TranslationsPath) + QStringLiteral("/qtbase_ru.qm");
    if (!QFile::exists(catalogue))
        QSKIP(qPrintable(QStringLiteral("Qt's Russian catalogue %1 is not installed "
                                        "(Debian package qt6-translations-l10n)")
                             .arg(catalogue)));
    QVERIFY(Dialogs::installQtTranslations());

    // The real question box, as the close question shows it, answered by a click on its Cancel.
    Dialogs::setProvider(nullptr);
    QString cancelText;
    QString okText;
    QString title;
    bool seen = false;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (!box || !box->isVisible())
                continue;
            seen = true;
            poll.stop();
            cancelText = box->button(QMessageBox::Cancel)->text();
            okText = box->button(QMessageBox::Ok)->text();
            title = box->windowTitle();
            box->button(QMessageBox::Cancel)->click();
            return;
        }
    });
    poll.start(10);
    const bool ok = Dialogs::question(nullptr, QStringLiteral("Действительно закрыть программу?"), QString());
    QVERIFY(seen);
    QVERIFY(!ok);
    QCOMPARE(cancelText.remove(u'&'), QStringLiteral("Отмена"));
    QCOMPARE(okText.remove(u'&'), QStringLiteral("OK"));
    // Not left empty, which the platform would fill with the program's name, yet nothing to read.
    QVERIFY(!title.isEmpty());
    QCOMPARE(title.trimmed(), QString());
    QCOMPARE(Dialogs::shownTitle(QStringLiteral("?")), QStringLiteral("?"));

    // The export's save dialog.
    QFileDialog save;
    save.setOption(QFileDialog::DontUseNativeDialog);
    save.setAcceptMode(QFileDialog::AcceptSave);
    QVERIFY2(save.windowTitle() != QStringLiteral("Save As"), qPrintable(save.windowTitle()));
}

QTEST_MAIN(TestConventions)
#include "tst_conventions.moc"
