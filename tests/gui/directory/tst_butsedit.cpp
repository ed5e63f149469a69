#include "AppFixture.h"

#include "app/Forms.h"
#include "core/db/Database.h"
#include "core/settings/IniFile.h"
#include "gui/directory/TFormButs.h"
#include "gui/directory/TFormButsEdit.h"
#include "gui/journal/TMF.h"
#include "gui/kit/ButtonGroup.h"
#include "gui/kit/StringGrid.h"

#include <QComboBox>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <QToolButton>

namespace {

db::Database& database()
{
    return forms().MF->server().db();
}

// abcde, btnclr, name, groupsid, workersid, comm of the place `id` ("NULL" for a missing id).
QStringList storedPlace(int id)
{
    db::ResultTable t = database().query(QStringLiteral("SELECT * FROM buts WHERE id=?"), {id});
    const auto idText = [&](const char* column) {
        const int c = t.fieldIndex(QString::fromLatin1(column));
        return t.fieldIsNull(c) ? QStringLiteral("NULL") : t.fieldAsText(c);
    };
    return {t.fieldByName(QStringLiteral("abcde")),
            t.fieldByName(QStringLiteral("btnclr")),
            t.fieldByName(QStringLiteral("name")),
            idText("groupsid"),
            idText("workersid"),
            t.fieldByName(QStringLiteral("comm"))};
}

} // namespace

class TestButsEdit : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void storesWhatWasTypedExactly_data();
    void storesWhatWasTypedExactly();
    void dropDownsFollowTheRecordsAsTheyAreNow();
    void editingFromThePlacesWindow_data();
    void editingFromThePlacesWindow();
    void placeGoneBehindTheListsBackIsNotOpened();

private:
    std::unique_ptr<AppFixture> app;
    TFormButsEdit* editor() const { return forms().FormButsEdit; }
};

void TestButsEdit::init()
{
    app = std::make_unique<AppFixture>();
    app->create();
}

void TestButsEdit::cleanup()
{
    app.reset();
}

void TestButsEdit::storesWhatWasTypedExactly_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("comm");
    QTest::addColumn<int>("ward");  // item of cb4
    QTest::addColumn<int>("staff"); // item of cb6
    QTest::addColumn<QString>("groupsid");
    QTest::addColumn<QString>("workersid");

    QTest::newRow("no ward, no staff: NULL") << "Койка № 1"
                                             << "Тест. 1" << 0 << 0 << "NULL"
                                             << "NULL";
    QTest::newRow("empty name is stored") << ""
                                          << "" << 1 << 1 << "1"
                                          << "1";
    QTest::newRow("double quotes") << "Койка \"у окна\""
                                   << "\"" << 1 << 0 << "1"
                                   << "NULL";
    QTest::newRow("spelled like columns") << "name"
                                          << "abcde" << 0 << 1 << "NULL"
                                          << "1";
    QTest::newRow("statement text") << "x\", name = \"y"
                                    << "1; DELETE FROM buts; --" << 1 << 1 << "1"
                                    << "1";
}

void TestButsEdit::storesWhatWasTypedExactly()
{
    QFETCH(QString, name);
    QFETCH(QString, comm);
    QFETCH(int, ward);
    QFETCH(int, staff);
    QFETCH(QString, groupsid);
    QFETCH(QString, workersid);

    editor()->ForEdit(QStringLiteral("f6186"));
    QCOMPARE(editor()->id, 1);
    QCOMPARE(editor()->eName->text(), QStringLiteral("Койка № 1"));
    QCOMPARE(editor()->eComm->text(), QStringLiteral("Тест. 1"));
    QCOMPARE(editor()->cb4->currentIndex(), 1);
    QCOMPARE(editor()->cb6->currentIndex(), 1);

    editor()->eName->setText(name);
    editor()->eComm->setText(comm);
    editor()->cb4->setCurrentIndex(ward);
    editor()->cb6->setCurrentIndex(staff);
    editor()->AddEdit();
    QCOMPARE(storedPlace(1), (QStringList{"f6186", "f6186", name, groupsid, workersid, comm}));
    QCOMPARE(storedPlace(2), (QStringList{"ba5ac", "ba5ac", "Койка № 2", "1", "1", "Тест. 2"}));

    // Loaded back exactly as stored.
    editor()->ForEdit(QStringLiteral("f6186"));
    QCOMPARE(editor()->eName->text(), name);
    QCOMPARE(editor()->eComm->text(), comm);
    QCOMPARE(editor()->cb4->currentIndex(), ward);
    QCOMPARE(editor()->cb6->currentIndex(), staff);
}

void TestButsEdit::dropDownsFollowTheRecordsAsTheyAreNow()
{
    db::Database& db = database();
    db.executeStatement(QStringLiteral("UPDATE groups SET name=? WHERE id=1"), {"Палата 1а"});
    db.executeStatement(QStringLiteral("INSERT INTO groups (name) VALUES (?)"), {"Палата 2"});
    db.executeStatement(QStringLiteral("UPDATE buts SET groupsid=2, workersid=42 WHERE abcde=?"), {"f6186"});

    editor()->ForEdit(QStringLiteral("f6186"));
    QCOMPARE(editor()->cb4->itemText(0), QStringLiteral("Пусто"));
    QCOMPARE(editor()->cb4->itemText(1), QStringLiteral("Палата 1а"));
    QCOMPARE(editor()->cb4_id, (QList<qint64>{-1, 1, 2}));
    QCOMPARE(editor()->cb4->currentText(), QStringLiteral("Палата 2"));
    // A staff id that names no one opens with the no-one item; confirming then stores NULL.
    QCOMPARE(editor()->cb6_ind(42), 0);
    QCOMPARE(editor()->cb6->currentIndex(), 0);
    editor()->AddEdit();
    QCOMPARE(storedPlace(1).mid(3, 2), (QStringList{"2", "NULL"}));
}

void TestButsEdit::editingFromThePlacesWindow_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("stored");
    QTest::newRow("confirm button") << "confirm" << true;
    QTest::newRow("cancel button") << "cancel" << false;
    QTest::newRow("Enter in the name") << "enter name" << true;
    QTest::newRow("Escape in the name") << "escape name" << false;
    QTest::newRow("Enter in the comment") << "enter comment" << true;
    QTest::newRow("Escape on the button group") << "escape group" << false;
}

void TestButsEdit::editingFromThePlacesWindow()
{
    QFETCH(QString, how);
    QFETCH(bool, stored);

    TFormButs* places = forms().FormButs;
    places->show();
    places->StringGrid1->setRow(2);
    bool shownWithFocus = false;
    QTimer::singleShot(0, editor(), [&] {
        shownWithFocus = editor()->isVisible() && editor()->focusWidget() == editor()->eName;
        editor()->move(33, 44);
        editor()->eName->setText(QStringLiteral("Изменено"));
        if (how == "confirm")
            editor()->ButtonGroup1->click(1);
        else if (how == "cancel")
            editor()->ButtonGroup1->click(0);
        else if (how == "enter name")
            QTest::keyClick(editor()->eName, Qt::Key_Return);
        else if (how == "escape name")
            QTest::keyClick(editor()->eName, Qt::Key_Escape);
        else if (how == "enter comment")
            QTest::keyClick(editor()->eComm, Qt::Key_Enter);
        else if (how == "escape group")
            QTest::keyClick(editor()->ButtonGroup1->item(1), Qt::Key_Escape);
        // Whatever happened, never leave a modal editor open.
        QTimer::singleShot(0, editor(), [] {
            if (forms().FormButsEdit->isVisible())
                forms().FormButsEdit->reject();
        });
    });
    places->ButtonGroup1->click(2);

    QVERIFY(shownWithFocus);
    QVERIFY(!editor()->isVisible());
    const QString name = stored ? QStringLiteral("Изменено") : QStringLiteral("Койка № 2");
    QCOMPARE(storedPlace(2).at(2), name);
    QCOMPARE(places->StringGrid1->Cells(2, 2), name);
    // The editor saves its position whenever it closes, after OK and after Cancel.
    QCOMPARE(IniFile(app->iniPath()).readInteger(QStringLiteral("ButsEditForm"), QStringLiteral("Left"), -1),
             33);
    QVERIFY(app->dialogs.errors.isEmpty());
}

void TestButsEdit::placeGoneBehindTheListsBackIsNotOpened()
{
    TFormButs* places = forms().FormButs;
    places->show();
    places->StringGrid1->setRow(1);
    database().executeStatement(QStringLiteral("DELETE FROM buts WHERE abcde=?"), {"f6186"});
    bool opened = false;
    QTimer::singleShot(0, editor(), [&] {
        opened = editor()->isVisible();
        if (opened)
            editor()->reject();
    });
    places->ButtonGroup1->click(2);
    QCoreApplication::processEvents();
    QVERIFY(!opened);
    QVERIFY(!editor()->isVisible());
    QCOMPARE(app->dialogs.errors, QStringList{"Field id Not found. Empty dataset."});
}

QTEST_MAIN(TestButsEdit)
#include "tst_butsedit.moc"
