#include "AppFixture.h"

#include "app/Forms.h"
#include "core/base/AppError.h"
#include "core/base/Clock.h"
#include "core/db/Database.h"
#include "core/directory/AddButsLogic.h"
#include "core/settings/IniFile.h"
#include "gui/directory/TFormAddButs.h"
#include "gui/directory/TFormButs.h"
#include "gui/journal/TMF.h"
#include "gui/kit/ButtonGroup.h"
#include "gui/kit/StringGrid.h"

#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

namespace {

// One place as stored: btnclr, name, groupsid, workersid, comm ("NULL" for a missing id).
QStringList storedPlace(const QString& abcde)
{
    db::ResultTable t =
        forms().MF->server().db().query(QStringLiteral("SELECT * FROM buts WHERE abcde=?"), {abcde});
    if (t.rowCount() != 1)
        return {QStringLiteral("rows: %1").arg(t.rowCount())};
    const auto id = [&](const char* column) {
        const int c = t.fieldIndex(QString::fromLatin1(column));
        return t.fieldIsNull(c) ? QStringLiteral("NULL") : t.fieldAsText(c);
    };
    return {t.fieldByName(QStringLiteral("btnclr")), t.fieldByName(QStringLiteral("name")), id("groupsid"),
            id("workersid"), t.fieldByName(QStringLiteral("comm"))};
}

int count(const QString& table)
{
    return int(
        forms().MF->server().db().query(QStringLiteral("SELECT count(*) FROM ") + table).fieldAsInteger(0));
}

// One press message as an antenna sends it, handled by the next dispatcher tick.
void press(const QString& message)
{
    TMF* mf = forms().MF;
    mf->server().antenna().IdUDPServerAntUDPRead(message.toUtf8());
    mf->server().TimerObrTimer();
    // An empty tick forgets the batch, so the same text can be pressed again at once.
    mf->server().TimerObrTimer();
}

// Typed character by character, as the keyboard delivers them (any character, not only Latin-1).
void typeText(QWidget* widget, const QString& text)
{
    for (const QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(widget, &press);
        QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(widget, &release);
    }
}

} // namespace

class TestAddButs : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void namesAndComments_data();
    void namesAndComments();
    void replyIsJudged_data();
    void replyIsJudged();

    void newCodesBecomePlacesWhileShown();
    void knownCodeSelectsItsRow();
    void recentlyAddedCodeIsIgnoredUntilTheTimerForgetsIt();
    void failedAdditionStoresNothingAndCanBeRetried();
    void typedPathWaitsUnderTheWaitCursor();
    void everyFieldIsReadableAtTheMinimumSize();
    void startNumberAndWidthTakeDigitsOnly();
    void shortIdentifierSendsNothing();
    void settingsAreWrittenReadAndSaved();

private:
    std::unique_ptr<AppFixture> app;
    TFormAddButs* add() const { return forms().FormAddButs; }
    TFormButs* places() const { return forms().FormButs; }
    // The places window shown and the adding window opened from it, as the operator does.
    void openAdding();
};

void TestAddButs::init()
{
    // The name generation and the reply judging need no program around them.
    const QByteArray test = QTest::currentTestFunction();
    if (test == "namesAndComments" || test == "replyIsJudged")
        return;
    app = std::make_unique<AppFixture>();
    app->create();
}

void TestAddButs::cleanup()
{
    app.reset();
}

void TestAddButs::openAdding()
{
    places()->show();
    places()->ButtonGroup1->click(0);
    QVERIFY(add()->isVisible());
    QVERIFY(app->mf()->server().rButs());
}

void TestAddButs::namesAndComments_data()
{
    QTest::addColumn<QString>("e1");
    QTest::addColumn<QString>("e2");
    QTest::addColumn<QString>("e3");
    QTest::addColumn<QString>("e5");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("comm");
    QTest::addColumn<QString>("nextE1");

    QTest::newRow("5 in width 3") << "5"
                                  << "3"
                                  << "КОЙКА _"
                                  << " _"
                                  << "КОЙКА 005"
                                  << " 005"
                                  << "6";
    QTest::newRow("empty width: no filling") << "5"
                                             << ""
                                             << "КОЙКА _"
                                             << " _"
                                             << "КОЙКА 5"
                                             << " 5"
                                             << "6";
    QTest::newRow("width 0: no filling") << "7"
                                         << "0"
                                         << "К_"
                                         << "_"
                                         << "К7"
                                         << "7"
                                         << "8";
    QTest::newRow("longer number used whole") << "1234"
                                              << "3"
                                              << "КОЙКА _"
                                              << ""
                                              << "КОЙКА 1234"
                                              << ""
                                              << "1235";
    QTest::newRow("leading zeros typed") << "007"
                                         << "2"
                                         << "_"
                                         << ""
                                         << "007"
                                         << ""
                                         << "8";
    QTest::newRow("no underscore anywhere") << "5"
                                            << "3"
                                            << "Койка"
                                            << "комм."
                                            << "Койка"
                                            << "комм."
                                            << "5";
    QTest::newRow("underscore in comment only") << "5"
                                                << "3"
                                                << "Койка"
                                                << "№_"
                                                << "Койка"
                                                << "№005"
                                                << "6";
    QTest::newRow("two underscores: first only") << "5"
                                                 << "3"
                                                 << "A_B_"
                                                 << "_x_"
                                                 << "A005B_"
                                                 << "005x_"
                                                 << "6";
    QTest::newRow("empty start number") << ""
                                        << "3"
                                        << "КОЙКА _"
                                        << " _"
                                        << "КОЙКА "
                                        << " "
                                        << "";
    QTest::newRow("end of the range stays") << "999999999"
                                            << ""
                                            << "_"
                                            << ""
                                            << "999999999"
                                            << ""
                                            << "999999999";
}

void TestAddButs::namesAndComments()
{
    QFETCH(QString, e1);
    QFETCH(QString, e2);
    QFETCH(QString, e3);
    QFETCH(QString, e5);
    QFETCH(QString, name);
    QFETCH(QString, comm);
    QFETCH(QString, nextE1);

    const QString number = AddButsNaming::numberText(e1, e2);
    QCOMPARE(AddButsNaming::fillTemplate(e3, number), name);
    QCOMPARE(AddButsNaming::fillTemplate(e5, number), comm);
    QCOMPARE(AddButsNaming::nextNumber(e1, e3, e5), nextE1);
}

void TestAddButs::replyIsJudged_data()
{
    QTest::addColumn<qint16>("reply");
    QTest::addColumn<int>("arrivesAfterPauses"); // -1: never
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("pauses");

    QTest::newRow("@SUC already there") << qint16(1) << 0 << true << 0;
    QTest::newRow("@SUC after two pauses") << qint16(1) << 2 << true << 2;
    QTest::newRow("@SUC at the last pause") << qint16(1) << 10 << true << 10;
    QTest::newRow("early @ERR is a refusal") << qint16(2) << 1 << false << 1;
    QTest::newRow("@ERR already there") << qint16(2) << 0 << false << 0;
    QTest::newRow("late @ERR") << qint16(2) << 6 << false << 6;
    QTest::newRow("silence") << qint16(0) << -1 << false << 10;
}

void TestAddButs::replyIsJudged()
{
    QFETCH(qint16, reply);
    QFETCH(int, arrivesAfterPauses);
    QFETCH(bool, accepted);
    QFETCH(int, pauses);

    std::atomic<qint16> btnAdd{0};
    if (arrivesAfterPauses == 0)
        btnAdd = reply;
    int made = 0;
    const bool result = AddButsReply::await(btnAdd, [&] {
        ++made;
        if (made == arrivesAfterPauses)
            btnAdd = reply;
    });
    QCOMPARE(result, accepted);
    QCOMPARE(made, pauses);
    QCOMPARE(btnAdd.load(), qint16(0));
}

void TestAddButs::newCodesBecomePlacesWhileShown()
{
    QVERIFY(!app->mf()->server().rButs());
    openAdding();
    QCOMPARE(add()->cb4->currentText(), QStringLiteral("Палата 1"));
    QCOMPARE(add()->cb6->currentIndex(), 0);

    press(QStringLiteral("a1b2c8"));
    QCOMPARE(storedPlace(QStringLiteral("a1b2c")), (QStringList{"a1b2c", "КОЙКА 005", "1", "NULL", " 005"}));
    QCOMPARE(add()->e1->text(), QStringLiteral("6"));
    QCOMPARE(add()->lb1->text(), QStringLiteral("Кнопка была дабавлена в базу."));
    QCOMPARE(add()->lb2->text(), QStringLiteral("Добавлено устройств: 1"));
    // The press went to the adding window, not to the journal; the places list shows the new place.
    QCOMPARE(count(QStringLiteral("logs")), 0);
    QCOMPARE(places()->StringGrid1->Cells(2, places()->StringGrid1->RowCount() - 1),
             QStringLiteral("КОЙКА 005"));

    // A KB unit by its unit code, and the next number for the next place.
    press(QStringLiteral("7f0Cxb"));
    QCOMPARE(storedPlace(QStringLiteral("7f")), (QStringList{"7f", "КОЙКА 006", "1", "NULL", " 006"}));
    QCOMPARE(add()->lb1->text(), QStringLiteral("Нажатый блок был дабавлен в базу."));
    QCOMPARE(add()->lb2->text(), QStringLiteral("Добавлено устройств: 2"));

    // Hidden: adding mode ends and presses go to the journal again. Shown again: the count restarts.
    add()->hide();
    QVERIFY(!app->mf()->server().rButs());
    press(QStringLiteral("e9e9e8"));
    QCOMPARE(storedPlace(QStringLiteral("e9e9e")).constFirst(), QStringLiteral("rows: 0"));
    add()->show();
    QVERIFY(app->mf()->server().rButs());
    // Templates with quotes, semicolons or a column's name are stored as typed.
    add()->e3->setText(QStringLiteral("Койка \"_\"; --"));
    add()->e5->setText(QStringLiteral("abcde"));
    press(QStringLiteral("e9e9e8"));
    QCOMPARE(add()->lb2->text(), QStringLiteral("Добавлено устройств: 1"));
    QCOMPARE(storedPlace(QStringLiteral("e9e9e")),
             (QStringList{"e9e9e", "Койка \"007\"; --", "1", "NULL", "abcde"}));
}

void TestAddButs::knownCodeSelectsItsRow()
{
    openAdding();
    StringGrid* grid = places()->StringGrid1;
    QCOMPARE(grid->Cells(0, 2), QStringLiteral("ba5ac"));
    grid->setRow(1);

    press(QStringLiteral("ba5ac8"));
    QCOMPARE(grid->Row(), 2);
    QCOMPARE(add()->lb1->text(), QStringLiteral("Кнопка уже есть в базе."));

    // Only call codes count, letter case included: a code known only as a cancel code is new.
    app->mf()->server().db().executeStatement(
        QStringLiteral("UPDATE buts SET btnclr=\"c0c0c\" WHERE abcde=\"ba5ac\""));
    press(QStringLiteral("BA5AC8"));
    press(QStringLiteral("c0c0c8"));
    QCOMPARE(count(QStringLiteral("buts")), 4);

    // A known KB unit.
    app->mf()->server().db().executeStatement(
        QStringLiteral("INSERT INTO buts (abcde, btnclr) VALUES (\"1a\", \"1a\")"));
    places()->RefreshForm();
    press(QStringLiteral("1a0C0b"));
    QCOMPARE(grid->Cells(0, grid->Row()), QStringLiteral("1a"));
    QCOMPARE(add()->lb1->text(), QStringLiteral("Нажатый блок уже есть в базе."));
    QCOMPARE(count(QStringLiteral("buts")), 5);
}

void TestAddButs::recentlyAddedCodeIsIgnoredUntilTheTimerForgetsIt()
{
    openAdding();
    QCOMPARE(add()->Timer1.interval(), 5000);
    QVERIFY(add()->Timer1.isActive());

    add()->ProcessAddButs(QStringLiteral("d1d1d"), QString());
    QCOMPARE(add()->sl, QStringList{"d1d1d"});
    // Deleted from the list at once: a repeated press of the code is still arriving and adds nothing.
    app->dialogs.answerNextQuestion(true);
    places()->StringGrid1->setRow(3);
    places()->ButtonGroup1->click(1);
    QCOMPARE(count(QStringLiteral("buts")), 2);
    add()->lb1->setText(QStringLiteral("something else"));
    add()->ProcessAddButs(QStringLiteral("d1d1d"), QString());
    QCOMPARE(count(QStringLiteral("buts")), 2);
    QCOMPARE(add()->lb1->text(), QStringLiteral("something else"));

    // The timer forgets the recent codes only while the window has something to say.
    add()->lb1->setText(add()->lb1_0);
    add()->Timer1Timer();
    QCOMPARE(add()->sl.size(), 1);
    add()->lb1->setText(QStringLiteral("something else"));
    add()->Timer1Timer();
    QVERIFY(add()->sl.isEmpty());
    add()->ProcessAddButs(QStringLiteral("d1d1d"), QString());
    QCOMPARE(count(QStringLiteral("buts")), 3);

    // Hiding forgets them too.
    add()->hide();
    QVERIFY(add()->sl.isEmpty());
    QVERIFY(!add()->Timer1.isActive());
}

void TestAddButs::failedAdditionStoresNothingAndCanBeRetried()
{
    openAdding();
    // The chosen ward was deleted after the drop-down was filled.
    app->mf()->server().db().executeStatement(QStringLiteral("DELETE FROM groups"));
    // The antennas send the one press four times: one box.
    for (int i = 0; i < 4; ++i)
        press(QStringLiteral("f0f0f8"));
    QCOMPARE(app->dialogs.errors, QStringList{"Field id Not found. Empty dataset."});
    QCOMPARE(count(QStringLiteral("buts")), 2);
    QCOMPARE(add()->lb1->text(), add()->lb1_0);
    QCOMPARE(add()->e1->text(), QStringLiteral("5"));
    QVERIFY(add()->sl.isEmpty());

    // A press a few seconds later tries again; no selection at all fails the same way.
    const QDateTime failedAt = Clock::now();
    app->setNow(failedAt.addMSecs(AddButsFailures::kHoldMs));
    add()->cb4->setCurrentIndex(-1);
    QVERIFY_THROWS_EXCEPTION(AppError, add()->ProcessAddButs(QStringLiteral("f0f0f"), QString()));
    QCOMPARE(count(QStringLiteral("buts")), 2);

    // With a ward that exists, the press after the pause is added.
    add()->cb4->setCurrentIndex(0);
    press(QStringLiteral("f0f0f8"));
    QCOMPARE(count(QStringLiteral("buts")), 2);
    app->setNow(failedAt.addMSecs(2 * AddButsFailures::kHoldMs));
    press(QStringLiteral("f0f0f8"));
    QCOMPARE(storedPlace(QStringLiteral("f0f0f")),
             (QStringList{"f0f0f", "КОЙКА 005", "NULL", "NULL", " 005"}));
    QCOMPARE(add()->lb2->text(), QStringLiteral("Добавлено устройств: 1"));
    QCOMPARE(app->dialogs.errors.size(), 1);
}

void TestAddButs::typedPathWaitsUnderTheWaitCursor()
{
    openAdding();
    add()->e6->setText(QStringLiteral("a1b2c3"));
    add()->e7->setText(QStringLiteral("d4e5f6"));
    QList<int> cursors;
    add()->replyPause = [&cursors] {
        const QCursor* cursor = QApplication::overrideCursor();
        cursors << (cursor ? int(cursor->shape()) : -1);
    };
    add()->Button2->click();
    // No antenna answers: ten pauses for each identifier, all under the wait cursor, and none after.
    QCOMPARE(cursors, QList<int>(20, int(Qt::WaitCursor)));
    QCOMPARE(QApplication::overrideCursor(), nullptr);
    QCOMPARE(add()->lb1->text(), QStringLiteral("Не удалось настроить антенну."));
}

void TestAddButs::everyFieldIsReadableAtTheMinimumSize()
{
    openAdding();
    QVERIFY(QTest::qWaitForWindowExposed(add()));
    add()->resize(1, 1); // held at the minimum
    QCOMPARE(add()->outerGeometry().size(), add()->minimumOuterSize());
    add()->e3->setText(QStringLiteral("КОЙКА _"));
    QApplication::processEvents();

    const QList<QWidget*> labels{add()->lt1, add()->lt2, add()->lt3, add()->lt4,
                                 add()->lt5, add()->lt6, add()->lt7, add()->lt8};
    const QList<QWidget*> fields{add()->e1, add()->e2, add()->e3, add()->cb4,    add()->cb6,
                                 add()->e5, add()->e6, add()->e7, add()->Button2};
    for (QWidget* w : labels + fields) {
        // Whole, neither squashed nor cut: at least the size it asks for at the least.
        const QSize least = labels.contains(w) ? w->sizeHint() : w->minimumSizeHint();
        QVERIFY2(w->width() >= least.width() && w->height() >= least.height(),
                 qPrintable(QStringLiteral("%1: %2x%3, needs %4x%5")
                                .arg(w->objectName())
                                .arg(w->width())
                                .arg(w->height())
                                .arg(least.width())
                                .arg(least.height())));
        // Nothing lies beyond the window's right edge; what is below is reached by scrolling.
        const QPoint right = w->mapTo(add(), QPoint(w->width(), 0));
        QVERIFY2(right.x() <= add()->width(), qPrintable(w->objectName()));
    }
    // The drop-downs show their texts.
    QVERIFY(add()->cb4->width() >= add()->cb4->sizeHint().width() ||
            add()->cb4->width() >=
                add()->cb4->fontMetrics().horizontalAdvance(add()->cb4->currentText()) + 30);
}

void TestAddButs::startNumberAndWidthTakeDigitsOnly()
{
    openAdding();
    for (QLineEdit* edit : {add()->e1, add()->e2}) {
        edit->clear();
        edit->setFocus();
        typeText(edit, QStringLiteral("1a-2 я٣"));
        QCOMPARE(edit->text(), QStringLiteral("12"));
        QTest::keyClick(edit, Qt::Key_Backspace);
        QCOMPARE(edit->text(), QStringLiteral("1"));
    }
    // Pasted text passes the same filter.
    add()->e1->clear();
    add()->e1->insert(QStringLiteral("4x"));
    QCOMPARE(add()->e1->text(), QString());
}

void TestAddButs::shortIdentifierSendsNothing()
{
    openAdding();
    QCOMPARE(add()->e6->text(), QStringLiteral(" _"));
    add()->Button2->click();
    QCOMPARE(add()->lb1->text(), QStringLiteral("Не введен код кнопки."));
    add()->e6->setText(QStringLiteral("abcde"));
    add()->Button2->click();
    QCOMPARE(add()->lb1->text(), QStringLiteral("Не введен код кнопки."));
    QCOMPARE(count(QStringLiteral("buts")), 2);
}

void TestAddButs::settingsAreWrittenReadAndSaved()
{
    IniFile ini(app->iniPath());
    const QString section = QStringLiteral("ButsAddForm");
    QCOMPARE(ini.readString(section, QStringLiteral("lb1_2,"), QString()),
             QStringLiteral("Кнопка была дабавлена в базу."));
    QCOMPARE(ini.readString(section, QStringLiteral("lb1_2"), QStringLiteral("none")),
             QStringLiteral("none"));
    QCOMPARE(ini.readString(section, QStringLiteral(";lb1_2,"), QString()),
             QStringLiteral("Сообщение:Кнопка была дабавлена в базу."));
    // Design values keep their blanks through the settings file.
    QCOMPARE(add()->e5->text(), QStringLiteral(" _"));
    QCOMPARE(add()->lt1->text(), QStringLiteral("Нумеровать койки начиная с "));
    QCOMPARE(add()->lb2->text(), QStringLiteral("Добавлено устройств: 0"));
    QCOMPARE(add()->e3->text(), QStringLiteral("КОЙКА _"));

    // Closing the window saves the fields; an empty number is stored as -1 and shows empty again.
    openAdding();
    add()->e1->clear();
    add()->e2->setText(QStringLiteral("4"));
    add()->e3->setText(QStringLiteral("Место _"));
    add()->e5->setText(QStringLiteral(" к _ "));
    add()->cb4->setCurrentIndex(0);
    add()->cb6->setCurrentIndex(1);
    add()->close();
    QVERIFY(!app->mf()->server().rButs());
    QCOMPARE(ini.readInteger(section, QStringLiteral("r1"), 0), -1);
    QCOMPARE(ini.readInteger(section, QStringLiteral("r2"), 0), 4);
    QCOMPARE(ini.readInteger(section, QStringLiteral("r4"), 9), 0);
    QCOMPARE(ini.readInteger(section, QStringLiteral("r6"), 9), 1);

    // Edited by hand: the key with the comma is the one read; an index beyond the list selects nothing.
    ini.writeString(section, QStringLiteral("lb1_2"), QStringLiteral("ignored"));
    ini.writeString(section, QStringLiteral("lb1_2,"), QStringLiteral("Добавлено!"));
    ini.writeInteger(section, QStringLiteral("r4"), 7);
    ini.writeInteger(section, QStringLiteral("abfTimer"), 2);
    app->destroy();
    app->create();
    QCOMPARE(add()->lb1_2, QStringLiteral("Добавлено!"));
    QCOMPARE(add()->e1->text(), QString());
    QCOMPARE(add()->e2->text(), QStringLiteral("4"));
    QCOMPARE(add()->e3->text(), QStringLiteral("Место _"));
    QCOMPARE(add()->e5->text(), QStringLiteral(" к _ "));
    QCOMPARE(add()->cb4->currentIndex(), -1);
    QCOMPARE(add()->cb6->currentIndex(), 1);
    QCOMPARE(add()->Timer1.interval(), 2000);
}

QTEST_MAIN(TestAddButs)
#include "tst_addbuts.moc"
