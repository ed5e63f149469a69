// The ward and staff windows: lists, editors and the statements behind them. Both pairs of windows
// behave alike, so every test runs once for the wards and once for the staff.

#include "AppFixture.h"

#include "app/Forms.h"
#include "core/base/Clock.h"
#include "core/db/Database.h"
#include "gui/directory/TFormGroup.h"
#include "gui/directory/TFormGroupEdit.h"
#include "gui/directory/TFormWorkers.h"
#include "gui/directory/TFormWorkersEdit.h"
#include "gui/journal/TMF.h"
#include "gui/kit/ButtonGroup.h"
#include "gui/kit/StringGrid.h"

#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <functional>
#include <memory>

namespace {

// One of the two directories, as the tests see it.
struct Directory
{
    DirectoryListForm* list = nullptr;
    DirectoryEditForm* edit = nullptr;
    QString table;        // groups, workers
    QString placesColumn; // buts.groupsid, buts.workersid
    QString logColumn;    // the journal's copy of the name
    QString seedName;
    QString seedComm;
    QString newName;
    QString listM1;
    QString editM1;
    QString editM2;
};

Directory directory(const QString& kind)
{
    Directory d;
    if (kind == QLatin1String("wards")) {
        d.list = forms().FormGroup;
        d.edit = forms().FormGroupEdit;
        d.table = QStringLiteral("groups");
        d.placesColumn = QStringLiteral("groupsid");
        d.logColumn = QStringLiteral("groupsname");
        d.seedName = QStringLiteral("Палата 1");
        d.seedComm = QStringLiteral("тест");
        d.newName = QStringLiteral("НОВАЯ ГРУППА");
        d.listM1 = QStringLiteral("Непустая группа не может быть удалена.");
        d.editM1 = QStringLiteral("Имя не может быть пустым.");
        d.editM2 = QStringLiteral("Такая группа уже есть.");
    } else {
        d.list = forms().FormWorkers;
        d.edit = forms().FormWorkersEdit;
        d.table = QStringLiteral("workers");
        d.placesColumn = QStringLiteral("workersid");
        d.logColumn = QStringLiteral("workersname");
        d.seedName = QStringLiteral("Тестова Анна");
        d.seedComm = QStringLiteral("Комментарий");
        d.newName = QStringLiteral("НОВЫЙ СОТРУДНИК");
        d.listM1 = QStringLiteral("Сообщение: Работник с назначенными кнопками не может быть удалён.");
        d.editM1 = QStringLiteral("ФИО не может быть пустым.");
        d.editM2 = QStringLiteral("Такой сотрудник уже есть.");
    }
    return d;
}

void addKinds()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("wards") << QStringLiteral("wards");
    QTest::newRow("staff") << QStringLiteral("staff");
}

} // namespace

class TestDirectory : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<AppFixture> app;
    Directory d;

    db::Database& database() { return app->mf()->server().db(); }

    // The rows of the table as "name|comm", in key order.
    QStringList stored()
    {
        QStringList rows;
        db::ResultTable t =
            database().query(QStringLiteral("SELECT name, comm FROM %1 ORDER BY id").arg(d.table));
        for (; !t.endOfRows(); t.nextRow())
            rows << t.fieldByName(QStringLiteral("name")) + u'|' + t.fieldByName(QStringLiteral("comm"));
        return rows;
    }

    qint64 insertRecord(const QString& name, const QString& comm)
    {
        database().executeStatement(QStringLiteral("INSERT INTO %1(name, comm) VALUES (?, ?)").arg(d.table),
                                    {name, comm});
        return database()
            .query(QStringLiteral("SELECT max(id) AS id FROM %1").arg(d.table))
            .fieldAsInteger(0);
    }

    // The grid's data rows as "name|comm".
    QStringList shown() const
    {
        QStringList rows;
        for (int r = 1; r < d.list->StringGrid1->RowCount(); ++r)
            rows << d.list->StringGrid1->Cells(0, r) + u'|' + d.list->StringGrid1->Cells(1, r);
        return rows;
    }

    // Clicks a list button whose handler runs the editor modally; `script` acts inside the editor's
    // own loop and must end it. Returns whether the editor was opened.
    bool clickWithEditor(int item, const std::function<void(DirectoryEditForm*)>& script)
    {
        bool opened = false;
        DirectoryEditForm* e = d.edit;
        QTimer::singleShot(0, e, [&opened, e, script] {
            if (!e->isVisible())
                return;
            opened = true;
            script(e);
            if (e->isVisible()) {
                // Never leave a test hanging in a modal loop the script failed to end.
                e->reject();
                QFAIL("the editor stayed open");
            }
        });
        d.list->ButtonGroup1->click(item);
        QCoreApplication::processEvents();
        return opened;
    }

private Q_SLOTS:
    void init()
    {
        app = std::make_unique<AppFixture>();
        app->create();
    }

    void cleanup()
    {
        if (d.list)
            d.list->hide();
        d = Directory();
        app.reset();
    }

    void add_data() { addKinds(); }
    void add()
    {
        QFETCH(QString, kind);
        d = directory(kind);
        d.list->show();
        QCOMPARE(shown(), QStringList{d.seedName + u'|' + d.seedComm});

        // Confirmed at once with Enter in the comment field: the proposed name, an empty comment.
        QVERIFY(clickWithEditor(0, [&](DirectoryEditForm* e) {
            QCOMPARE(e->id, -1);
            QCOMPARE(e->eName->text(), d.newName);
            QCOMPARE(e->eComm->text(), QString());
            QTest::keyClick(e->eComm, Qt::Key_Return);
        }));
        const QStringList afterAdd{d.seedName + u'|' + d.seedComm, d.newName + u'|'};
        QCOMPARE(stored(), afterAdd);
        QCOMPARE(shown(), afterAdd);
        QVERIFY(app->dialogs.messages.isEmpty());

        // The same name again is refused and the editor stays; Escape then leaves without storing.
        QVERIFY(clickWithEditor(0, [&](DirectoryEditForm* e) {
            if (kind == QLatin1String("staff"))
                QCOMPARE(e->focusWidget(), e->eName);
            e->ButtonGroup1->click(1);
            QVERIFY(e->isVisible());
            QCOMPARE(app->dialogs.messages, QStringList{d.editM2});
            QTest::keyClick(e->eName, Qt::Key_Escape);
            QVERIFY(!e->isVisible());
        }));
        QCOMPARE(stored(), afterAdd);

        // Letter case counts: the same name in other letters is a new name.
        const QString otherCase = d.newName.toLower();
        QVERIFY(clickWithEditor(0, [&](DirectoryEditForm* e) {
            e->eName->setText(otherCase);
            e->eComm->setText(QStringLiteral("c"));
            QTest::keyClick(e->ButtonGroup1->item(1), Qt::Key_Return);
        }));
        QCOMPARE(stored(), afterAdd + QStringList{otherCase + QStringLiteral("|c")});
        QCOMPARE(app->dialogs.messages.size(), 1);
    }

    void emptyNameRefused_data() { addKinds(); }
    void emptyNameRefused()
    {
        QFETCH(QString, kind);
        d = directory(kind);
        const QStringList before = stored();
        for (const QString& name : {QString(), QStringLiteral("   "), QStringLiteral(" \t\x01 ")}) {
            app->dialogs.messages.clear();
            QVERIFY(clickWithEditor(0, [&](DirectoryEditForm* e) {
                e->eName->setText(name);
                QTest::keyClick(e->eName, Qt::Key_Return);
                QVERIFY(e->isVisible());
                QCOMPARE(app->dialogs.messages, QStringList{d.editM1});
                QCOMPARE(e->eName->text(), name);
                e->ButtonGroup1->click(0);
            }));
        }
        QCOMPARE(stored(), before);
    }

    void deleteProtectsNamedAndTakesTheChosen_data() { addKinds(); }
    void deleteProtectsNamedAndTakesTheChosen()
    {
        QFETCH(QString, kind);
        d = directory(kind);
        // Two records of the same name (an edit may rename one to the other's name): the operator's
        // row is the one that goes.
        insertRecord(QStringLiteral("Двойник"), QStringLiteral("первый"));
        insertRecord(QStringLiteral("Двойник"), QStringLiteral("второй"));
        d.list->show();
        const QStringList all = stored();
        QCOMPARE(shown(), all);

        // Only one of the seed places still names the seed record: one is enough to protect it.
        database().executeStatement(
            QStringLiteral("UPDATE buts SET %1 = NULL WHERE abcde = ?").arg(d.placesColumn),
            {QStringLiteral("f6186")});
        d.list->StringGrid1->setRow(1);
        d.list->ButtonGroup1->click(1);
        QCOMPARE(app->dialogs.messages, QStringList{d.listM1});
        QVERIFY(app->dialogs.questions.isEmpty());
        QCOMPARE(stored(), all);

        // Cancel keeps the record; OK deletes it and only it.
        d.list->StringGrid1->setRow(3);
        app->dialogs.answerNextQuestion(false);
        d.list->ButtonGroup1->click(1);
        QCOMPARE(app->dialogs.questions,
                 QStringList{QStringLiteral("Действительно удалить запись из базы?")});
        QCOMPARE(app->dialogs.questionTitles, QStringList{QStringLiteral("?")});
        QCOMPARE(stored(), all);

        app->dialogs.answerNextQuestion(true);
        d.list->ButtonGroup1->click(1);
        const QStringList left{d.seedName + u'|' + d.seedComm, QStringLiteral("Двойник|первый")};
        QCOMPARE(stored(), left);
        QCOMPARE(shown(), left);

        // With no place left naming anything, every record can go; the last leaves one empty row,
        // on which delete and edit do nothing.
        database().executeStatement(QStringLiteral("UPDATE buts SET %1 = NULL").arg(d.placesColumn));
        for (int i = 0; i < 2; ++i) {
            app->dialogs.answerNextQuestion(true);
            d.list->StringGrid1->setRow(1);
            d.list->ButtonGroup1->click(1);
        }
        QVERIFY(stored().isEmpty());
        QCOMPARE(d.list->StringGrid1->RowCount(), 2);
        QCOMPARE(shown(), QStringList{QStringLiteral("|")});
        d.list->ButtonGroup1->click(1);
        QVERIFY(!clickWithEditor(2, [](DirectoryEditForm*) {}));
        QCOMPARE(app->dialogs.questions.size(), 4);
        QCOMPARE(app->dialogs.messages.size(), 1);
        QCOMPARE(app->dialogs.unexpectedQuestions, 0);
        QVERIFY(app->dialogs.errors.isEmpty());
    }

    void renameKeepsJournalAndEditsTheChosenRow_data() { addKinds(); }
    void renameKeepsJournalAndEditsTheChosenRow()
    {
        QFETCH(QString, kind);
        d = directory(kind);
        app->mf()->server().InLogButs(Clock::now(), QStringLiteral("f6186"), QStringLiteral("8"));
        app->mf()->server().TimerObrTimer(); // the tick writes what its presses queued
        const QString journalSql = QStringLiteral("SELECT %1 FROM logs").arg(d.logColumn);
        QCOMPARE(database().query(journalSql).fieldAsText(0), d.seedName);

        insertRecord(QStringLiteral("Вторая"), QStringLiteral("своя"));
        d.list->show();
        d.list->StringGrid1->setRow(1);
        QVERIFY(clickWithEditor(2, [&](DirectoryEditForm* e) {
            QCOMPARE(e->eName->text(), d.seedName);
            QCOMPARE(e->eComm->text(), d.seedComm);
            QVERIFY(e->id >= 0);
            e->eName->setText(QStringLiteral("Переименована"));
            e->ButtonGroup1->click(1);
        }));
        QCOMPARE(shown(),
                 (QStringList{QStringLiteral("Переименована|") + d.seedComm, QStringLiteral("Вторая|своя")}));
        // The journal keeps the name the entry was written with; the places keep their reference.
        QCOMPARE(database().query(journalSql).fieldAsText(0), d.seedName);
        QCOMPARE(database()
                     .query(QStringLiteral("SELECT count(*) FROM buts, %1 WHERE buts.%2=%1.id AND %1.name=?")
                                .arg(d.table, d.placesColumn),
                            {QStringLiteral("Переименована")})
                     .fieldAsInteger(0),
                 2);

        // An edit is not compared with the other names; afterwards each row still edits its own record.
        d.list->StringGrid1->setRow(2);
        QVERIFY(clickWithEditor(2, [&](DirectoryEditForm* e) {
            e->eName->setText(QStringLiteral("Переименована"));
            QTest::keyClick(e->eName, Qt::Key_Return);
        }));
        QVERIFY(app->dialogs.messages.isEmpty());
        d.list->StringGrid1->setRow(2);
        QVERIFY(clickWithEditor(2, [&](DirectoryEditForm* e) {
            QCOMPARE(e->eComm->text(), QStringLiteral("своя"));
            e->eComm->setText(QStringLiteral("изменена"));
            QTest::keyClick(e->eComm, Qt::Key_Return);
        }));
        QCOMPARE(stored(), (QStringList{QStringLiteral("Переименована|") + d.seedComm,
                                        QStringLiteral("Переименована|изменена")}));

        // Cancel stores nothing.
        QVERIFY(clickWithEditor(2, [&](DirectoryEditForm* e) {
            e->eName->setText(QStringLiteral("не сохранится"));
            QTest::keyClick(e->eComm, Qt::Key_Escape);
        }));
        QCOMPARE(stored().at(1), QStringLiteral("Переименована|изменена"));
    }

    void textsStayExact_data() { addKinds(); }
    void textsStayExact()
    {
        QFETCH(QString, kind);
        d = directory(kind);
        d.list->show();
        const QStringList texts{QStringLiteral("Палата \"Люкс\""),
                                QStringLiteral("a;b; DROP TABLE buts"),
                                QStringLiteral("name"),
                                QStringLiteral("comm"),
                                QStringLiteral("id"),
                                QStringLiteral("x\" OR \"1\"=\"1"),
                                QStringLiteral(" с пробелом")};
        // Besides the seed record, names that differ only by a leading blank or by letter case are
        // already there: none may be taken for the new one.
        insertRecord(QStringLiteral("с пробелом"), QStringLiteral("похожая"));
        insertRecord(QStringLiteral("NAME"), QStringLiteral("похожая"));
        for (const QString& text : texts) {
            const QStringList before = stored();
            QVERIFY(clickWithEditor(0, [&](DirectoryEditForm* e) {
                e->eName->setText(text);
                e->eComm->setText(text);
                e->ButtonGroup1->click(1);
            }));
            QVERIFY2(app->dialogs.messages.isEmpty(), qPrintable(text));
            QCOMPARE(stored(), before + QStringList{text + u'|' + text});
            QCOMPARE(shown(), stored());

            // Found again exactly as typed.
            QVERIFY(clickWithEditor(0, [&](DirectoryEditForm* e) {
                e->eName->setText(text);
                e->ButtonGroup1->click(1);
                QCOMPARE(app->dialogs.messages, QStringList{d.editM2});
                e->ButtonGroup1->click(0);
            }));
            app->dialogs.messages.clear();

            // Deleting it takes that record alone.
            app->dialogs.answerNextQuestion(true);
            d.list->StringGrid1->setRow(static_cast<int>(before.size()) + 1);
            d.list->ButtonGroup1->click(1);
            QCOMPARE(stored(), before);
        }
        QCOMPARE(database().query(QStringLiteral("SELECT count(*) FROM buts")).fieldAsInteger(0), 2);
        QVERIFY(app->dialogs.errors.isEmpty());
    }

    void wideKeyIsNeverTakenForAnother_data() { addKinds(); }
    void wideKeyIsNeverTakenForAnother()
    {
        QFETCH(QString, kind);
        d = directory(kind);
        // A key beyond 32 bits whose low bits are those of the seed record (key 1), which no place
        // names any more: acting on the wide one must not reach the seed.
        database().executeStatement(QStringLiteral("UPDATE buts SET %1 = NULL").arg(d.placesColumn));
        database().executeStatement(
            QStringLiteral("INSERT INTO %1(id, name, comm) VALUES (4294967297, 'Широкая', '')").arg(d.table));
        d.list->show();
        const QStringList all = stored();
        QCOMPARE(shown(), all);
        QCOMPARE(d.list->recordIdAt(2), Q_INT64_C(4294967297));

        // The editor cannot hold the key: it is not opened and nothing is stored.
        d.list->StringGrid1->setRow(2);
        QVERIFY(!clickWithEditor(2, [](DirectoryEditForm*) {}));
        QCOMPARE(app->dialogs.errors,
                 QStringList{QStringLiteral("'4294967297' is not a valid integer value.")});
        QCOMPARE(stored(), all);

        // Deleting it takes that record alone.
        app->dialogs.answerNextQuestion(true);
        d.list->ButtonGroup1->click(1);
        QCOMPARE(stored(), QStringList{d.seedName + u'|' + d.seedComm});
    }

    void editOfVanishedRecordShowsError_data() { addKinds(); }
    void editOfVanishedRecordShowsError()
    {
        QFETCH(QString, kind);
        d = directory(kind);
        const qint64 id = insertRecord(QStringLiteral("Ушедшая"), QString());
        d.list->show();
        database().executeStatement(QStringLiteral("DELETE FROM %1 WHERE id=?").arg(d.table), {id});
        d.list->StringGrid1->setRow(2);
        QVERIFY(!clickWithEditor(2, [](DirectoryEditForm*) {}));
        QCOMPARE(app->dialogs.errors, QStringList{QStringLiteral("Field id Not found. Empty dataset.")});
        QVERIFY(!d.edit->isVisible());
    }
};

QTEST_MAIN(TestDirectory)
#include "tst_directory.moc"
