#include "AppFixture.h"

#include "app/Forms.h"
#include "core/base/Cp1251.h"
#include "core/db/Database.h"
#include "core/directory/PlacesStore.h"
#include "core/net/StationNotice.h"
#include "core/settings/IniFile.h"
#include "gui/directory/TFormAddButs.h"
#include "gui/directory/TFormButs.h"
#include "gui/journal/TMF.h"
#include "gui/kit/ButtonGroup.h"
#include "gui/kit/StringGrid.h"

#include <QFile>
#include <QPushButton>
#include <QTest>

namespace {

db::Database& database()
{
    return forms().MF->server().db();
}

int count(const QString& table)
{
    return int(database().query(QStringLiteral("SELECT count(*) FROM ") + table).fieldAsInteger(0));
}

QStringList gridRow(const StringGrid* grid, int row)
{
    QStringList cells;
    for (int c = 0; c < grid->ColCount(); ++c)
        cells << grid->Cells(c, row);
    return cells;
}

// One press message handled by the next dispatcher tick; an empty tick after it forgets the batch.
void press(const QString& message)
{
    forms().MF->server().antenna().IdUDPServerAntUDPRead(message.toUtf8());
    forms().MF->server().TimerObrTimer();
    forms().MF->server().TimerObrTimer();
}

// The keys of one section of the settings file, in file order.
QStringList sectionKeys(const QString& iniPath, const QString& section)
{
    QFile file(iniPath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList keys;
    bool inside = false;
    const QStringList lines = Cp1251::decode(file.readAll()).split(u'\n');
    for (const QString& raw : lines) {
        const QString line = raw.trimmed();
        if (line.startsWith(u'[')) {
            inside = line == u'[' + section + u']';
            continue;
        }
        if (inside && line.contains(u'='))
            keys << line.left(line.indexOf(u'=')).trimmed();
    }
    return keys;
}

// The key lines of one section as written, blanks kept, without the geometry a window frame decides.
QStringList sectionTexts(const QString& iniPath, const QString& section)
{
    QFile file(iniPath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    static const QStringList geometry{"Top", "Left", "Height", "Width"};
    QStringList texts;
    bool inside = false;
    const QStringList lines = Cp1251::decode(file.readAll()).split(u'\n');
    for (QString line : lines) {
        line.remove(u'\r');
        if (line.trimmed().startsWith(u'[')) {
            inside = line.trimmed() == u'[' + section + u']';
            continue;
        }
        if (inside && line.contains(u'=') && !geometry.contains(line.left(line.indexOf(u'='))))
            texts << line;
    }
    return texts;
}

QStringList numbered(const QString& prefix, int from, int to, const QString& suffix = QString())
{
    QStringList keys;
    for (int i = from; i <= to; ++i)
        keys << prefix + QString::number(i) + suffix;
    return keys;
}

} // namespace

class TestPlaces : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void listShowsEveryPlaceWithItsNames();
    void idsThatNameNoRecordShowEmptyCells();
    void emptyListShowsOneEmptyRow();
    void deleteRemovesEveryPlaceOfTheCodeOnlyOnOk_data();
    void deleteRemovesEveryPlaceOfTheCodeOnlyOnOk();
    void searchModeSwitchesAndBlinks();
    void searchSelectsThePressedPlace();
    void searchForAnUnknownCodeAsks_data();
    void searchForAnUnknownCodeAsks();
    void closingEndsBothModesAndSavesColumnWidths();
    void searchEndsByItselfWithoutAPress();
    void searchIdleKeyIsAddedToAnOlderFile();
    void modesAreShownInTheMainWindow();
    void firstStartWritesTheSectionsInOrder_data();
    void firstStartWritesTheSectionsInOrder();
    void firstStartWritesTheTexts_data();
    void firstStartWritesTheTexts();

private:
    std::unique_ptr<AppFixture> app;
    TFormButs* places() const { return forms().FormButs; }
    TFormAddButs* add() const { return forms().FormAddButs; }
};

void TestPlaces::init()
{
    app = std::make_unique<AppFixture>();
    app->create();
}

void TestPlaces::cleanup()
{
    app.reset();
}

void TestPlaces::listShowsEveryPlaceWithItsNames()
{
    places()->show();
    const StringGrid* grid = places()->StringGrid1;
    QCOMPARE(grid->RowCount(), 3);
    QCOMPARE(gridRow(grid, 1),
             (QStringList{"f6186", "f6186", "Койка № 1", "Палата 1", "Тестова Анна", "Тест. 1"}));
    QCOMPARE(gridRow(grid, 2),
             (QStringList{"ba5ac", "ba5ac", "Койка № 2", "Палата 1", "Тестова Анна", "Тест. 2"}));
    QCOMPARE(gridRow(grid, 0),
             (QStringList{"Код", "Код отмены", "Название", "Палата", "Ответственный", "Комментарий"}));
    // The code column is there but cannot be seen until dragged wider.
    QCOMPARE(grid->columnWidth(0), 0);
    QCOMPARE(grid->columnWidth(4), 100);
    QCOMPARE(places()->ButtonGroup1->hint(0), QStringLiteral("Регистрация кнопок"));
    QCOMPARE(places()->bSearch->toolTip(), QStringLiteral("Выключить режим поиска по нажатию"));
    QVERIFY(!places()->bSearch->isVisible());

    // The place notice carries the cells as shown.
    QCOMPARE(
        Stations::placeNotice(grid->Cells(0, 1), grid->Cells(1, 1), grid->Cells(2, 1), grid->Cells(3, 1)),
        QStringLiteral("#f6186;0;Палата 1;Койка № 1;f6186;"));

    // A ward renamed elsewhere shows its new name at the next refill; names with quotes as typed.
    database().executeStatement(QStringLiteral("UPDATE groups SET name=? WHERE id=1"), {"Палата \"Б\""});
    places()->RefreshForm();
    QCOMPARE(grid->Cells(3, 2), QStringLiteral("Палата \"Б\""));
}

void TestPlaces::idsThatNameNoRecordShowEmptyCells()
{
    db::Database& db = database();
    db.executeStatement(QStringLiteral("DELETE FROM buts"));
    db.executeStatement(QStringLiteral("INSERT INTO groups (id, name) VALUES (?, ?)"),
                        {qint64(1) << 40, QStringLiteral("Дальняя")});
    db.executeStatement(QStringLiteral("INSERT INTO workers (id, name) VALUES (-3, ?)"), {"Отрицательный"});
    const QString insert = QStringLiteral("INSERT INTO buts (abcde, groupsid, workersid) VALUES (?, ?, ?)");
    db.executeStatement(insert, {"gone", 99, 2});                           // no such records
    db.executeStatement(insert, {"far", qint64(1) << 40, -3});              // far and negative ids
    db.executeStatement(insert, {"text", QStringLiteral("x"), QVariant()}); // not an id at all
    db.executeStatement(QStringLiteral("DELETE FROM workers WHERE id=1"));
    db.executeStatement(insert, {"deleted", 1, 1}); // staff member deleted

    places()->show();
    const StringGrid* grid = places()->StringGrid1;
    QCOMPARE(grid->RowCount(), 5);
    QCOMPARE(gridRow(grid, 1).mid(3, 2), (QStringList{"", ""}));
    QCOMPARE(gridRow(grid, 2).mid(3, 2), (QStringList{"Дальняя", "Отрицательный"}));
    QCOMPARE(gridRow(grid, 3).mid(3, 2), (QStringList{"", ""}));
    QCOMPARE(gridRow(grid, 4).mid(3, 2), (QStringList{"Палата 1", ""}));
    QVERIFY(app->dialogs.errors.isEmpty());
}

void TestPlaces::emptyListShowsOneEmptyRow()
{
    places()->show();
    QCOMPARE(places()->StringGrid1->RowCount(), 3);
    database().executeStatement(QStringLiteral("DELETE FROM buts"));
    places()->RefreshForm();
    QCOMPARE(places()->StringGrid1->RowCount(), 2);
    QCOMPARE(gridRow(places()->StringGrid1, 1), QStringList(6));

    // Delete and edit have nothing to act on; a press in search mode is never found.
    places()->ButtonGroup1->click(1);
    places()->ButtonGroup1->click(2);
    QVERIFY(app->dialogs.questions.isEmpty());
    QVERIFY(app->dialogs.errors.isEmpty());
    places()->ButtonGroup5->click(0);
    app->dialogs.answerNextQuestion(false);
    press(QStringLiteral("f61868"));
    QCOMPARE(app->dialogs.questions, QStringList{places()->q1});
}

void TestPlaces::deleteRemovesEveryPlaceOfTheCodeOnlyOnOk_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<bool>("answer");
    QTest::addColumn<QStringList>("codesLeft");
    QTest::newRow("Cancel") << 3 << false << QStringList{"f6186", "ba5ac", "f6186", "abcde"};
    QTest::newRow("OK") << 3 << true << QStringList{"ba5ac", "abcde"};
    QTest::newRow("OK on a code spelled like its column")
        << 4 << true << QStringList{"f6186", "ba5ac", "f6186"};
}

void TestPlaces::deleteRemovesEveryPlaceOfTheCodeOnlyOnOk()
{
    QFETCH(int, row);
    QFETCH(bool, answer);
    QFETCH(QStringList, codesLeft);

    const QString insert = QStringLiteral("INSERT INTO buts (abcde, name) VALUES (?, ?)");
    database().executeStatement(insert, {"f6186", "Вторая с тем же кодом"});
    database().executeStatement(insert, {"abcde", "Код как столбец"});
    places()->show();
    places()->StringGrid1->setRow(row);
    app->dialogs.answerNextQuestion(answer);
    places()->ButtonGroup1->click(1);
    QCOMPARE(app->dialogs.questions, QStringList{"Действительно удалить устройство из базы?"});
    QStringList shown;
    for (int r = 1; r < places()->StringGrid1->RowCount(); ++r)
        shown << places()->StringGrid1->Cells(0, r);
    QCOMPARE(shown, codesLeft);
    QCOMPARE(count(QStringLiteral("buts")), codesLeft.size());
    QCOMPARE(count(QStringLiteral("groups")), 1);
}

void TestPlaces::searchModeSwitchesAndBlinks()
{
    TMF* mf = app->mf();
    places()->show();
    places()->ButtonGroup1->click(0);
    QVERIFY(add()->isVisible());

    // On: the adding window goes first, then the timer, the flag and the off button.
    places()->ButtonGroup5->click(0);
    QVERIFY(!add()->isVisible());
    QVERIFY(!mf->server().rButs());
    QVERIFY(mf->server().sButs());
    QVERIFY(places()->bSearch->isVisible());
    QVERIFY(places()->Timer1.isActive());
    QCOMPARE(places()->Timer1.interval(), 1000);

    QCOMPARE(places()->bSearchFontColor(), QColor(Qt::black));
    places()->Timer1Timer();
    QCOMPARE(places()->bSearchFontColor(), QColor(Qt::red));
    places()->Timer1Timer();
    QCOMPARE(places()->bSearchFontColor(), QColor(Qt::black));
    places()->Timer1Timer();

    // Off: the colour stays where it was and the next switch-on goes on from there.
    places()->bSearch->click();
    QVERIFY(!mf->server().sButs());
    QVERIFY(!places()->bSearch->isVisible());
    QVERIFY(!places()->Timer1.isActive());
    QCOMPARE(places()->bSearchFontColor(), QColor(Qt::red));
    places()->ButtonGroup5->click(0);
    places()->Timer1Timer();
    QCOMPARE(places()->bSearchFontColor(), QColor(Qt::black));

    // The registration button ends search mode and starts adding mode.
    places()->ButtonGroup1->click(0);
    QVERIFY(!mf->server().sButs());
    QVERIFY(!places()->bSearch->isVisible());
    QVERIFY(add()->isVisible());
    QVERIFY(mf->server().rButs());
}

void TestPlaces::searchSelectsThePressedPlace()
{
    database().executeStatement(QStringLiteral("INSERT INTO buts (abcde, btnclr, name) VALUES (?, ?, ?)"),
                                {"ba5ac", "ba5ac", "Вторая с тем же кодом"});
    database().executeStatement(QStringLiteral("INSERT INTO buts (abcde, btnclr) VALUES (?, ?)"),
                                {"1a", "1a"});
    places()->show();
    places()->ButtonGroup5->click(0);
    StringGrid* grid = places()->StringGrid1;
    grid->setRow(4);

    // A shared call code selects the first place in list order; a KB unit is found by its unit code.
    press(QStringLiteral("ba5ac8"));
    QCOMPARE(grid->Row(), 2);
    press(QStringLiteral("1a0C0b"));
    QCOMPARE(grid->Row(), 4);
    QVERIFY(app->dialogs.questions.isEmpty());
    QVERIFY(app->mf()->server().sButs());
    // Registered places: their presses are calls all the same, one entry for each of the two places
    // that share the call code and one for the KB unit, as in normal operation.
    QCOMPARE(count(QStringLiteral("logs")), 3);
}

void TestPlaces::searchForAnUnknownCodeAsks_data()
{
    QTest::addColumn<bool>("answer");
    QTest::newRow("OK: adding mode") << true;
    QTest::newRow("Cancel: search goes on") << false;
}

void TestPlaces::searchForAnUnknownCodeAsks()
{
    QFETCH(bool, answer);

    // A cancel code that is no place's call code is not found either.
    database().executeStatement(QStringLiteral("UPDATE buts SET btnclr=? WHERE abcde=?"), {"c1c1c", "ba5ac"});
    places()->show();
    places()->ButtonGroup5->click(0);
    app->dialogs.answerNextQuestion(answer);
    press(QStringLiteral("c1c1c2"));

    QCOMPARE(app->dialogs.questions,
             QStringList{"Нажатая кнопка не найдена в базе. Перейти в режим добавления?"});
    QCOMPARE(app->mf()->server().sButs(), !answer);
    QCOMPARE(places()->bSearch->isVisible(), !answer);
    QCOMPARE(add()->isVisible(), answer);
    QCOMPARE(app->mf()->server().rButs(), answer);
    // The press that asked is not registered.
    QCOMPARE(count(QStringLiteral("buts")), 2);
}

void TestPlaces::closingEndsBothModesAndSavesColumnWidths()
{
    places()->show();
    places()->ButtonGroup5->click(0);
    places()->StringGrid1->setColumnWidth(0, 60);
    places()->close();
    QVERIFY(!app->mf()->server().sButs());
    QVERIFY(!places()->Timer1.isActive());
    IniFile ini(app->iniPath());
    QCOMPARE(ini.readInteger(QStringLiteral("ButsForm"), QStringLiteral("col0w"), -1), 60);
    QCOMPARE(ini.readInteger(QStringLiteral("ButsForm"), QStringLiteral("col4w"), -1), 100);

    // Hiding the places window hides the adding window and ends adding mode with it.
    places()->show();
    places()->ButtonGroup1->click(0);
    places()->close();
    QVERIFY(!add()->isVisible());
    QVERIFY(!app->mf()->server().rButs());

    // The code column is visible after the next start; edited captions and tooltips are read.
    ini.writeString(QStringLiteral("ButsForm"), QStringLiteral("col5"), QStringLiteral("Отмена"));
    ini.writeString(QStringLiteral("ButsForm"), QStringLiteral("bhint3"), QStringLiteral("Поиск"));
    app->destroy();
    app->create();
    QCOMPARE(places()->StringGrid1->columnWidth(0), 60);
    QCOMPARE(places()->StringGrid1->Cells(1, 0), QStringLiteral("Отмена"));
    QCOMPARE(places()->ButtonGroup5->hint(0), QStringLiteral("Поиск"));
}

// A search the operator forgot ends after SearchIdleSec without a press; every press in it starts
// the wait again.
void TestPlaces::searchEndsByItselfWithoutAPress()
{
    // The first start's value.
    places()->show();
    QCOMPARE(places()->SearchIdle.interval(), 120 * 1000);

    {
        IniFile ini(app->iniPath());
        ini.writeInteger(QStringLiteral("ButsForm"), QStringLiteral("SearchIdleSec"), 2);
    }
    places()->InitForm();
    places()->ButtonGroup5->click(0);
    QVERIFY(places()->SearchIdle.isActive());
    QTest::qWait(400);
    const int before = places()->SearchIdle.remainingTime();
    press(QStringLiteral("ba5ac8"));
    QVERIFY2(places()->SearchIdle.remainingTime() > before,
             qPrintable(QStringLiteral("%1 ms left").arg(places()->SearchIdle.remainingTime())));
    QTRY_VERIFY_WITH_TIMEOUT(!app->mf()->server().sButs(), 5000);
    QVERIFY(!places()->bSearch->isVisible());
    QVERIFY(!places()->Timer1.isActive());

    // 0: the search waits for the operator.
    {
        IniFile ini(app->iniPath());
        ini.writeInteger(QStringLiteral("ButsForm"), QStringLiteral("SearchIdleSec"), 0);
    }
    places()->InitForm();
    places()->ButtonGroup5->click(0);
    QVERIFY(!places()->SearchIdle.isActive());
    QVERIFY(app->mf()->server().sButs());
}

// A settings file written before the key existed gets it, with its comment, after the section's
// own keys; nothing else in the file changes.
void TestPlaces::searchIdleKeyIsAddedToAnOlderFile()
{
    app->destroy();
    QFile file(app->iniPath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QByteArray older = file.readAll();
    file.close();
    const QByteArray comment = Cp1251::encode(
        QStringLiteral(";SearchIdleSec=через сколько секунд без нажатия режим поиска выключается "
                       "сам (0 - не выключается)\r\n"));
    const QByteArray value = QByteArrayLiteral("SearchIdleSec=120\r\n");
    QVERIFY(older.contains(comment + value));
    older.replace(comment + value, QByteArray());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(older);
    file.close();

    app->create();
    const QStringList keys = sectionKeys(app->iniPath(), QStringLiteral("ButsForm"));
    QCOMPARE(keys.mid(keys.size() - 3), (QStringList{"q2", ";SearchIdleSec", "SearchIdleSec"}));
    QCOMPARE(places()->SearchIdle.interval(), 120 * 1000);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QByteArray now = file.readAll();
    QCOMPARE(now.replace(comment + value, QByteArray()), older);
}

// While a mode also takes the presses, the main window says so at once, in the alarm colour, in its
// status bar and its title.
void TestPlaces::modesAreShownInTheMainWindow()
{
    TMF* mf = app->mf();
    const QString title = mf->windowTitle();
    places()->show();
    places()->ButtonGroup5->click(0);
    QCOMPARE(mf->StatusPanel0->text(), QStringLiteral("Режим поиска."));
    QCOMPARE(mf->StatusPanel0->palette().color(QPalette::WindowText), QColor(0xc0, 0, 0));
    QCOMPARE(mf->windowTitle(), title + QStringLiteral(" — Режим поиска."));

    places()->ButtonGroup1->click(0);
    QCOMPARE(mf->StatusPanel0->text(), QStringLiteral("Режим добавления."));
    QCOMPARE(mf->StatusPanel0->palette().color(QPalette::WindowText), QColor(0xc0, 0, 0));
    QCOMPARE(mf->windowTitle(), title + QStringLiteral(" — Режим добавления."));

    add()->hide();
    QCOMPARE(mf->StatusPanel0->text(), QStringLiteral("Режим регистрации."));
    QVERIFY(mf->StatusPanel0->palette().color(QPalette::WindowText) != QColor(0xc0, 0, 0));
    QCOMPARE(mf->windowTitle(), title);
}

void TestPlaces::firstStartWritesTheSectionsInOrder_data()
{
    QTest::addColumn<QString>("section");
    QTest::addColumn<QStringList>("keys");
    const QStringList geometry{"Caption", "Top", "Left", "Height", "Width"};
    const QStringList captions{"col0", "col5", "col1", "col2", "col3", "col4"};

    QStringList buts{";Описание секции", ";bhint0",    ";bhint1",           ";bhint2",           ";bhint3",
                     ";bshint",          ";bscaption", ";colНОМЕР_СТОЛБЦА", ";colНОМЕР_СТОЛБЦАw"};
    for (const QString& key : captions)
        buts << u';' + key;
    buts << ";q1"
         << ";q2" << geometry << numbered("bhint", 0, 3) << "bshint"
         << "bscaption" << captions << numbered("col", 0, 5, "w") << "q1"
         << "q2"
         << ";SearchIdleSec"
         << "SearchIdleSec";
    QTest::newRow("places window") << "ButsForm" << buts;

    QStringList editor{";Описание секции", ";bhint0", ";bhint1"};
    editor << numbered(";label", 1, 4) << geometry << numbered("label", 1, 4) << "bhint0"
           << "bhint1";
    QTest::newRow("place editor") << "ButsEditForm" << editor;

    const QStringList values{"r1",    "r2",    "r3",    "r4",       "r6",    "r4_0",  "r6_0",
                             "r5",    "r7",    "r8",    "abfTimer", "lb1_0", "lb1_1", "lb1_2,",
                             "lb1_3", "lb1_4", "lb2_0", "lb3_0",    "lb3_1"};
    QStringList adding{";Описание секции"};
    adding << numbered(";label", 1, 8) << ";button2";
    for (const QString& key : values)
        adding << u';' + key;
    adding << geometry << numbered("label", 1, 8) << "button2" << values;
    QTest::newRow("button-adding window") << "ButsAddForm" << adding;
}

void TestPlaces::firstStartWritesTheSectionsInOrder()
{
    QFETCH(QString, section);
    QFETCH(QStringList, keys);
    QCOMPARE(sectionKeys(app->iniPath(), section), keys);
}

void TestPlaces::firstStartWritesTheTexts_data()
{
    QTest::addColumn<QString>("section");
    QTest::addColumn<QStringList>("texts");

    QTest::newRow("places window")
        << "ButsForm"
        << QStringList{";Описание секции=Форма КОЙКИ",
                       ";bhint0=Регистрация кнопок",
                       ";bhint1=Удалить запись",
                       ";bhint2=Редактировать",
                       ";bhint3=Найти кнопку по нажатию",
                       ";bshint=Выключить режим поиска по нажатию",
                       ";bscaption=Выключить",
                       ";colНОМЕР_СТОЛБЦА=описание столбца N",
                       ";colНОМЕР_СТОЛБЦАw=ширина столбца N",
                       ";col0=Код",
                       ";col5=Код отмены",
                       ";col1=Название",
                       ";col2=Палата",
                       ";col3=Ответственный",
                       ";col4=Комментарий",
                       ";q1=Вопрос: Нажатая кнопка не найдена в базе. Перейти в режим добавления?",
                       ";q2=Вопрос: Действительно удалить устройство из базы?",
                       "Caption=Места с кнопками вызова",
                       "bhint0=Регистрация кнопок",
                       "bhint1=Удалить запись",
                       "bhint2=Редактировать",
                       "bhint3=Найти кнопку по нажатию",
                       "bshint=Выключить режим поиска по нажатию",
                       "bscaption=Выключить",
                       "col0=Код",
                       "col5=Код отмены",
                       "col1=Название",
                       "col2=Палата",
                       "col3=Ответственный",
                       "col4=Комментарий",
                       "col0w=0",
                       "col1w=50",
                       "col2w=50",
                       "col3w=50",
                       "col4w=100",
                       "col5w=50",
                       "q1=Нажатая кнопка не найдена в базе. Перейти в режим добавления?",
                       "q2=Действительно удалить устройство из базы?",
                       ";SearchIdleSec=через сколько секунд без нажатия режим поиска выключается сам (0 - не "
                       "выключается)",
                       "SearchIdleSec=120"};

    QTest::newRow("place editor") << "ButsEditForm"
                                  << QStringList{";Описание секции=Форма редактирования КНОПКИ",
                                                 ";bhint0=Отменить изменения",
                                                 ";bhint1=Подтвердить изменения",
                                                 ";label1=Название:",
                                                 ";label2=Палата:",
                                                 ";label3=Комментарий:",
                                                 ";label4=Ответственный:",
                                                 "Caption=Редактирование",
                                                 "label1=Название:",
                                                 "label2=Палата:",
                                                 "label3=Комментарий:",
                                                 "label4=Ответственный:",
                                                 "bhint0=Отменить изменения",
                                                 "bhint1=Подтвердить изменения"};

    // Values with blanks at their ends are quoted so that they read back whole.
    QTest::newRow("button-adding window")
        << "ButsAddForm"
        << QStringList{";Описание секции=Форма добавления КНОПОК",
                       ";label1=Надпись:Нумеровать койки начиная с ",
                       ";label2=Надпись:Количество цифр в номере",
                       ";label3=Надпись:Шаблон названия (_-заменяется номером)",
                       ";label4=Надпись:Палата",
                       ";label5=Надпись:Комментарий",
                       ";label6=Надпись:Ответственный",
                       ";label7=Надпись:Идентификатор кнопки вызова",
                       ";label8=Надпись:Идентификатор кнопки отмены",
                       ";button2=Надпись:Добавить кнопку",
                       ";r1=Нумеровать койки начиная с ...",
                       ";r2=Количество цифр в номере...",
                       ";r3=Шаблон названия (_-заменяется номером): по умолчанию КОЙКА _",
                       ";r4=номер в выпадающем списке палат по умолчанию",
                       ";r6=номер в выпадающем списке сотрудников по умолчанию",
                       ";r4_0=строка для пустой палаты",
                       ";r6_0=строка для неназначенного сотрудника",
                       ";r5=комментарий: _",
                       ";r7=Идентификатор кнопки вызова",
                       ";r8=Идентификатор кнопки отмены",
                       ";abfTimer=время таймера в секундах",
                       ";lb1_0=Сообщение:Пусто.",
                       ";lb1_1=Сообщение:Кнопка уже есть в базе.",
                       ";lb1_2,=Сообщение:Кнопка была дабавлена в базу.",
                       ";lb1_3=Сообщение:блок уже есть в базе.",
                       ";lb1_4=Сообщение:блок был дабавлен в базу.",
                       ";lb2_0=Сообщение:Добавлено устройств: ",
                       ";lb3_0=Сообщение:Не удалось настроить антенну.",
                       ";lb3_1=Сообщение:Не введен код кнопки.",
                       "Caption=Режим добавления",
                       "label1=\"Нумеровать койки начиная с \"",
                       "label2=Количество цифр в номере",
                       "label3=Шаблон названия (_-заменяется номером)",
                       "label4=Палата",
                       "label5=Комментарий",
                       "label6=Ответственный",
                       "label7=Идентификатор кнопки вызова",
                       "label8=Идентификатор кнопки отмены",
                       "button2=Добавить кнопку",
                       "r1=5",
                       "r2=3",
                       "r3=КОЙКА _",
                       "r4=1",
                       "r6=0",
                       "r4_0=Пусто",
                       "r6_0=Пусто",
                       "r5=\" _\"",
                       "r7=\" _\"",
                       "r8=\" _\"",
                       "abfTimer=5",
                       "lb1_0=",
                       "lb1_1=Кнопка уже есть в базе.",
                       "lb1_2,=Кнопка была дабавлена в базу.",
                       "lb1_3=Нажатый блок уже есть в базе.",
                       "lb1_4=Нажатый блок был дабавлен в базу.",
                       "lb2_0=\"Добавлено устройств: \"",
                       "lb3_0=Не удалось настроить антенну.",
                       "lb3_1=Не введен код кнопки."};
}

void TestPlaces::firstStartWritesTheTexts()
{
    QFETCH(QString, section);
    QFETCH(QStringList, texts);
    QCOMPARE(sectionTexts(app->iniPath(), section), texts);
}

QTEST_MAIN(TestPlaces)
#include "tst_places.moc"
