// The filter window: its initial state, the coupling of its controls, the drop-downs filled from the
// journal, the kept positions on show, applying and resetting by buttons and keys, and its section
// of the settings file.

#include "AppFixture.h"

#include "app/Forms.h"
#include "core/base/Cp1251.h"
#include "core/db/Database.h"
#include "gui/journal/TFormFilter.h"
#include "gui/journal/TMF.h"
#include "gui/kit/ButtonGroup.h"
#include "gui/kit/StringGrid.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTimeEdit>
#include <QToolButton>
#include <QtTest>

namespace {

void addEntry(TMF* mf, const QString& timest, const QString& ward, const QString& place,
              const QString& f = QStringLiteral("8"), const QString& reaction = {})
{
    mf->server().db().executeStatement(
        QStringLiteral(
            "INSERT INTO logs (timest, timestr, abcde, f, butsname, groupsname, workersname, reactiontime) "
            "VALUES (?, '', 'f6186', ?, ?, ?, 'Тестова Анна', ?)"),
        {timest, f, place, ward, reaction});
}

QStringList items(const QComboBox* box)
{
    QStringList texts;
    for (int i = 0; i < box->count(); ++i)
        texts << box->itemText(i);
    return texts;
}

// The place column of every grid row, top to bottom.
QStringList gridPlaces(TMF* mf)
{
    QStringList places;
    for (int row = 1; row < mf->StringGrid1->RowCount(); ++row)
        places << mf->StringGrid1->Cells(4, row);
    return places;
}

// The keys of one section, in file order, with their values.
QStringList sectionLines(const QString& iniPath, const QString& section)
{
    QFile file(iniPath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines;
    bool inside = false;
    for (const QString& raw : Cp1251::decode(file.readAll()).split(QStringLiteral("\r\n"))) {
        const QString line = raw.trimmed();
        if (line.startsWith(u'[')) {
            inside = line == u'[' + section + u']';
            continue;
        }
        if (inside && !line.isEmpty())
            lines << line;
    }
    return lines;
}

} // namespace

class TestFilterWindow : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void initialState();
    void coupling();
    void dropDownsComeFromTheJournal();
    void showKeepsSelectionsByPosition();
    void buttonsApplyAndReset();
    void activeFilterIsShownInTheMainWindow();
    void escapeAppliesEnterResets();
    void upperBoundTakesTheWholeLastDay();
    void thresholdBeyondRangeKeepsTheClause();
    void settingsSection();

private:
    std::unique_ptr<AppFixture> m_app;
    TMF* mf = nullptr;
    TFormFilter* form = nullptr;
};

void TestFilterWindow::init()
{
    m_app = std::make_unique<AppFixture>();
    m_app->create();
    mf = m_app->mf();
    form = forms().FormFilter;
}

void TestFilterWindow::cleanup()
{
    m_app.reset();
}

void TestFilterWindow::initialState()
{
    const QDate today(2017, 12, 3);
    QVERIFY(!form->cbt1->isChecked());
    QVERIFY(!form->cbt2->isChecked());
    for (QWidget* w : QList<QWidget*>{form->dp1, form->tp1, form->dp2, form->tp2, form->etr1})
        QVERIFY2(!w->isEnabled(), qPrintable(w->objectName()));
    QCOMPARE(form->dp1->date(), today.addDays(-60));
    QCOMPARE(form->dp2->date(), today);
    QCOMPARE(form->tp1->time(), QTime(0, 0, 0));
    QCOMPARE(form->tp2->time(), QTime(23, 59, 59));
    QCOMPARE(form->etr1->text(), QStringLiteral("1"));

    QCOMPARE(items(form->cbg), (QStringList{QStringLiteral("Все"), QStringLiteral("Только без группы")}));
    QCOMPARE(form->cbg->currentIndex(), 0);
    QCOMPARE(items(form->cbp), QStringList{QStringLiteral("Все")});
    QCOMPARE(form->cbp->currentIndex(), -1);
    QCOMPARE(items(form->cbf), (QStringList{QStringLiteral("Все функции"), QStringLiteral("вызов"),
                                            QStringLiteral("прием"), QStringLiteral("вызов отв.")}));
    QCOMPARE(form->cbf_,
             (QStringList{QString(), QStringLiteral("8"), QStringLiteral("4"), QStringLiteral("b")}));
    QCOMPARE(form->cbf->currentIndex(), 0);
    QCOMPARE(items(form->cbtr),
             (QStringList{QStringLiteral("Отключено"), QStringLiteral("Больше"), QStringLiteral("Меньше")}));
    QCOMPARE(form->cbtr->currentIndex(), 0);
    QCOMPARE(form->ButtonGroup1->hint(0), QStringLiteral("Сбросить фильтр"));
    QCOMPARE(form->ButtonGroup1->hint(1), QStringLiteral("Применить фильтр"));

    // Creating the window applies nothing.
    QCOMPARE(mf->server().sWHERE(), QString());
}

void TestFilterWindow::coupling()
{
    form->show();
    form->cbt1->click();
    QVERIFY(form->dp1->isEnabled() && form->tp1->isEnabled());
    QVERIFY(!form->dp2->isEnabled());
    form->cbt2->click();
    QVERIFY(form->dp2->isEnabled() && form->tp2->isEnabled());
    form->cbt1->click();
    QVERIFY(!form->dp1->isEnabled() && !form->tp1->isEnabled());

    form->cbtr->setCurrentIndex(2);
    QVERIFY(form->etr1->isEnabled());
    form->cbtr->setCurrentIndex(0);
    QVERIFY(!form->etr1->isEnabled());

    // Digits only.
    form->cbtr->setCurrentIndex(1);
    form->etr1->clear();
    QTest::keyClicks(form->etr1, QStringLiteral("1a2-3"));
    QCOMPARE(form->etr1->text(), QStringLiteral("123"));
}

void TestFilterWindow::dropDownsComeFromTheJournal()
{
    addEntry(mf, QStringLiteral("2017.12.01 08:00:00"), QStringLiteral("Палата 2"),
             QStringLiteral("Койка 1"));
    addEntry(mf, QStringLiteral("2017.12.01 08:01:00"), QStringLiteral("Палата 1"),
             QStringLiteral("Койка 2"));
    addEntry(mf, QStringLiteral("2017.12.01 08:02:00"), QStringLiteral("палата 1"),
             QStringLiteral("Койка 1"));
    addEntry(mf, QStringLiteral("2017.12.01 08:03:00"), QString(), QStringLiteral("KB 01"));
    form->show();

    // Ward names from the journal, each once whatever its letter case.
    QCOMPARE(items(form->cbg), (QStringList{QStringLiteral("Все"), QStringLiteral("Только без группы"),
                                            QStringLiteral("Палата 1"), QStringLiteral("Палата 2")}));
    // All wards: a place recorded in two wards is listed twice.
    QCOMPARE(items(form->cbp),
             (QStringList{QStringLiteral("Все"), QStringLiteral("KB 01"), QStringLiteral("Койка 1"),
                          QStringLiteral("Койка 1"), QStringLiteral("Койка 2")}));

    // Choosing a ward lists its places, none selected.
    form->cbp->setCurrentIndex(2);
    form->cbg->setCurrentIndex(1);
    QCOMPARE(items(form->cbp), (QStringList{QStringLiteral("Все"), QStringLiteral("KB 01")}));
    QCOMPARE(form->cbp->currentIndex(), -1);
    form->cbg->setCurrentIndex(3);
    QCOMPARE(items(form->cbp), (QStringList{QStringLiteral("Все"), QStringLiteral("Койка 1")}));
}

void TestFilterWindow::showKeepsSelectionsByPosition()
{
    addEntry(mf, QStringLiteral("2017.12.01 08:00:00"), QStringLiteral("Палата 2"),
             QStringLiteral("Койка 1"));
    addEntry(mf, QStringLiteral("2017.12.01 08:01:00"), QStringLiteral("Палата 2"),
             QStringLiteral("Койка 3"));
    form->show();
    form->cbg->setCurrentIndex(2);
    form->cbp->setCurrentIndex(2);
    QCOMPARE(form->cbp->currentText(), QStringLiteral("Койка 3"));
    form->hide();

    // A ward that sorts first moves the names; the positions stay.
    addEntry(mf, QStringLiteral("2017.12.01 08:02:00"), QStringLiteral("Палата 1"),
             QStringLiteral("Койка 7"));
    addEntry(mf, QStringLiteral("2017.12.01 08:03:00"), QStringLiteral("Палата 1"),
             QStringLiteral("Койка 8"));
    form->show();
    QCOMPARE(form->cbg->currentIndex(), 2);
    QCOMPARE(form->cbg->currentText(), QStringLiteral("Палата 1"));
    QCOMPARE(items(form->cbp),
             (QStringList{QStringLiteral("Все"), QStringLiteral("Койка 7"), QStringLiteral("Койка 8")}));
    QCOMPARE(form->cbp->currentIndex(), 2);
    form->hide();

    // Positions beyond the shortened lists leave them without a selection; the places of every ward
    // are then offered.
    form->cbg->setCurrentIndex(3);
    form->cbp->setCurrentIndex(2);
    QCOMPARE(form->cbp->currentText(), QStringLiteral("Койка 3"));
    mf->server().db().executeStatement(
        QStringLiteral("DELETE FROM logs WHERE groupsname = 'Палата 2' OR butsname = 'Койка 8'"));
    form->show();
    QCOMPARE(form->cbg->currentIndex(), -1);
    QCOMPARE(items(form->cbp), (QStringList{QStringLiteral("Все"), QStringLiteral("Койка 7")}));
    QCOMPARE(form->cbp->currentIndex(), -1);
    QVERIFY(m_app->dialogs.errors.isEmpty());
    form->SetFilter();
    QCOMPARE(mf->server().sWHERE(), QString());
}

void TestFilterWindow::buttonsApplyAndReset()
{
    addEntry(mf, QStringLiteral("2017.11.30 10:00:00"), QStringLiteral("Палата 1"),
             QStringLiteral("Койка 1"));
    addEntry(mf, QStringLiteral("2017.12.01 08:00:00"), QStringLiteral("Палата 1"), QStringLiteral("Койка 2"),
             QStringLiteral("8"), QStringLiteral("00:03:07"));
    addEntry(mf, QStringLiteral("2017.12.02 08:00:00"), QStringLiteral("Палата 2"),
             QStringLiteral("Койка 3"));
    mf->RefreshLog();
    form->show();

    form->cbt1->click();
    form->dp1->setDate(QDate(2017, 12, 1));
    form->tp1->setTime(QTime(8, 0));
    form->cbg->setCurrentIndex(2);
    QCOMPARE(form->cbg->currentText(), QStringLiteral("Палата 1"));

    // The right-hand button applies.
    form->ButtonGroup1->item(1)->click();
    QCOMPARE(mf->server().sWHERE(), QStringLiteral(" WHERE (timest >= ?) AND (groupsname=?)"));
    QCOMPARE(mf->server().sWHEREParams(),
             (QVariantList{QStringLiteral("2017.12.01 08:00:00"), QStringLiteral("Палата 1")}));
    QCOMPARE(gridPlaces(mf), QStringList{QStringLiteral("Койка 2")});
    QVERIFY(form->isVisible());

    // A filter that matches nothing shows one empty row.
    form->cbf->setCurrentIndex(2);
    form->ButtonGroup1->item(1)->click();
    QCOMPARE(gridPlaces(mf), QStringList{QString()});

    // The left-hand button resets the controls and applies: the whole journal again.
    form->ButtonGroup1->item(0)->click();
    QVERIFY(!form->cbt1->isChecked());
    QVERIFY(!form->dp1->isEnabled());
    QCOMPARE(form->cbg->currentIndex(), 0);
    QCOMPARE(form->cbf->currentIndex(), 0);
    QCOMPARE(mf->server().sWHERE(), QString());
    QVERIFY(mf->server().sWHEREParams().isEmpty());
    QCOMPARE(gridPlaces(mf),
             (QStringList{QStringLiteral("Койка 3"), QStringLiteral("Койка 2"), QStringLiteral("Койка 1")}));
    QVERIFY(form->isVisible());
    QVERIFY(m_app->dialogs.errors.isEmpty());
}

// A filter hides entries, new calls among them: while one is on, the main window says which, in its
// title and its status bar.
void TestFilterWindow::activeFilterIsShownInTheMainWindow()
{
    addEntry(mf, QStringLiteral("2017.12.01 08:00:00"), QStringLiteral("Палата 1"),
             QStringLiteral("Койка 2"));
    mf->RefreshLog();
    const QString title = mf->windowTitle();
    QCOMPARE(mf->StatusPanelFilter->text(), QString());
    form->show();

    form->cbt1->click();
    form->dp1->setDate(QDate(2017, 12, 1));
    form->tp1->setTime(QTime(8, 0));
    form->cbg->setCurrentIndex(2);
    form->cbf->setCurrentIndex(1);
    form->cbtr->setCurrentIndex(1);
    form->etr1->setText(QStringLiteral("5"));
    form->ButtonGroup1->item(1)->click();
    const QString shown =
        QStringLiteral("Фильтр: с 01.12.2017 08:00, Палата 1, вызов, реакция: Больше 5 мин.");
    QCOMPARE(mf->StatusPanelFilter->text(), shown);
    QCOMPARE(mf->windowTitle(), title + QStringLiteral(" — ") + shown);

    // Everything back to its reset state: no filter, nothing said.
    form->ButtonGroup1->item(0)->click();
    QCOMPARE(mf->StatusPanelFilter->text(), QString());
    QCOMPARE(mf->windowTitle(), title);
}

void TestFilterWindow::escapeAppliesEnterResets()
{
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form));
    form->cbt2->click();
    form->cbtr->setCurrentIndex(1);

    QToolButton* reset = form->ButtonGroup1->item(0);
    QToolButton* apply = form->ButtonGroup1->item(1);
    for (QToolButton* button : {reset, apply}) {
        mf->server().setFilter(QString(), {});
        button->setFocus();
        QTest::keyClick(button, Qt::Key_Escape);
        QCOMPARE(mf->server().sWHERE(),
                 QStringLiteral(" WHERE (timest <= ?) AND (reactiontime >=? AND reactiontime<>\"\")"));
        QVERIFY(form->cbt2->isChecked());
        QVERIFY(form->isVisible());
    }

    apply->setFocus();
    QTest::keyClick(apply, Qt::Key_Return);
    QCOMPARE(mf->server().sWHERE(), QString());
    QVERIFY(!form->cbt2->isChecked());
    QCOMPARE(form->cbtr->currentIndex(), 0);
    QVERIFY(!form->etr1->isEnabled());
    QVERIFY(form->isVisible());

    // Elsewhere the keys neither apply nor close.
    form->cbt1->click();
    form->cbt1->setFocus();
    QTest::keyClick(form->cbt1, Qt::Key_Escape);
    QTest::keyClick(form->cbt1, Qt::Key_Return);
    QCOMPARE(mf->server().sWHERE(), QString());
    QVERIFY(form->isVisible());
}

void TestFilterWindow::upperBoundTakesTheWholeLastDay()
{
    addEntry(mf, QStringLiteral("2017.12.03 22:58:59"), QStringLiteral("Палата 1"),
             QStringLiteral("Койка 1"));
    addEntry(mf, QStringLiteral("2017.12.03 22:59:00"), QStringLiteral("Палата 1"),
             QStringLiteral("Койка 2"));
    addEntry(mf, QStringLiteral("2017.12.03 23:59:59"), QStringLiteral("Палата 1"),
             QStringLiteral("Койка 3"));
    addEntry(mf, QStringLiteral("2017.12.04 00:00:00"), QStringLiteral("Палата 1"),
             QStringLiteral("Койка 4"));
    form->show();

    // Ticking the upper bound alone, at its default time, keeps every entry of today.
    form->cbt2->click();
    form->ButtonGroup1->item(1)->click();
    QCOMPARE(mf->server().sWHEREParams(), QVariantList{QStringLiteral("2017.12.03 23:59:59")});
    QCOMPARE(gridPlaces(mf),
             (QStringList{QStringLiteral("Койка 3"), QStringLiteral("Койка 2"), QStringLiteral("Койка 1")}));

    // The reset brings the same time back.
    form->tp2->setTime(QTime(8, 0));
    form->ButtonGroup1->item(0)->click();
    QCOMPARE(form->tp2->time(), QTime(23, 59, 59));
}

void TestFilterWindow::thresholdBeyondRangeKeepsTheClause()
{
    form->show();
    form->cbg->setCurrentIndex(1);
    form->ButtonGroup1->item(1)->click();
    QCOMPARE(mf->server().sWHERE(), QStringLiteral(" WHERE (groupsname=\"\")"));

    form->cbtr->setCurrentIndex(2);
    form->etr1->setText(QStringLiteral("99999999999"));
    form->ButtonGroup1->item(1)->click();
    QCOMPARE(m_app->dialogs.errors,
             QStringList{QStringLiteral("'99999999999' is not a valid integer value.")});
    QCOMPARE(mf->server().sWHERE(), QStringLiteral(" WHERE (groupsname=\"\")"));
}

void TestFilterWindow::settingsSection()
{
    const QStringList lines = sectionLines(m_app->iniPath(), QStringLiteral("FilterForm"));
    QStringList keys;
    for (const QString& line : lines)
        keys << line.section(u'=', 0, 0);
    const QStringList expectedKeys = {QStringLiteral(";Описание секции"),
                                      QStringLiteral(";bhint0"),
                                      QStringLiteral(";bhint1"),
                                      QStringLiteral(";label1"),
                                      QStringLiteral(";label2"),
                                      QStringLiteral(";label3"),
                                      QStringLiteral(";label4"),
                                      QStringLiteral(";label5"),
                                      QStringLiteral(";label6"),
                                      QStringLiteral(";label7"),
                                      QStringLiteral(";label8"),
                                      QStringLiteral(";sAllFunction"),
                                      QStringLiteral(";sAllGroup"),
                                      QStringLiteral(";sWithoutGroup"),
                                      QStringLiteral(";sOff"),
                                      QStringLiteral(";sMore"),
                                      QStringLiteral(";sLess"),
                                      QStringLiteral("Caption"),
                                      QStringLiteral("Top"),
                                      QStringLiteral("Left"),
                                      QStringLiteral("Height"),
                                      QStringLiteral("Width"),
                                      QStringLiteral("label1"),
                                      QStringLiteral("label2"),
                                      QStringLiteral("label3"),
                                      QStringLiteral("label4"),
                                      QStringLiteral("label5"),
                                      QStringLiteral("label6"),
                                      QStringLiteral("label7"),
                                      QStringLiteral("label8"),
                                      QStringLiteral("bhint0"),
                                      QStringLiteral("bhint1"),
                                      QStringLiteral("sAllFunction"),
                                      QStringLiteral("sAllGroup"),
                                      QStringLiteral("sWithoutGroup"),
                                      QStringLiteral("sOff"),
                                      QStringLiteral("sMore"),
                                      QStringLiteral("sLess")};
    QCOMPARE(keys, expectedKeys);
    QVERIFY(lines.contains(QStringLiteral(";Описание секции=Форма фильтра")));
    QVERIFY(lines.contains(QStringLiteral(";label7=Надпись:Время реагирования:")));
    QVERIFY(lines.contains(QStringLiteral(";sWithoutGroup=Подстановка:Только без группы")));
    QVERIFY(lines.contains(QStringLiteral("Caption=Фильтр журнала событий")));
    QVERIFY(lines.contains(QStringLiteral("label8=мин.")));
    QVERIFY(lines.contains(QStringLiteral("sLess=Меньше")));

    // Texts edited in the file are what the next start shows.
    m_app->destroy();
    IniFile ini(m_app->iniPath());
    ini.writeString(QStringLiteral("FilterForm"), QStringLiteral("sAllGroup"), QStringLiteral("Любая"));
    ini.writeString(QStringLiteral("FilterForm"), QStringLiteral("label4"), QStringLiteral("Отделение:"));
    ini.writeString(QStringLiteral("FilterForm"), QStringLiteral("bhint1"), QStringLiteral("Применить"));
    m_app->create();
    form = forms().FormFilter;
    QCOMPARE(form->cbg->itemText(0), QStringLiteral("Любая"));
    QCOMPARE(form->lt[3]->text(), QStringLiteral("Отделение:"));
    QCOMPARE(form->ButtonGroup1->hint(1), QStringLiteral("Применить"));
}

QTEST_MAIN(TestFilterWindow)
#include "tst_filterwindow.moc"
