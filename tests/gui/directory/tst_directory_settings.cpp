// The settings sections of the ward and staff windows, their geometry and their window conventions.

#include "AppFixture.h"

#include "app/Forms.h"
#include "core/base/Cp1251.h"
#include "core/settings/AppState.h"
#include "gui/directory/TFormGroup.h"
#include "gui/directory/TFormGroupEdit.h"
#include "gui/directory/TFormWorkers.h"
#include "gui/directory/TFormWorkersEdit.h"
#include "gui/kit/ButtonGroup.h"
#include "gui/kit/StringGrid.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <memory>

namespace {

QString readFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return Cp1251::decode(file.readAll());
}

// The "key=value" lines of one section, in file order.
QStringList sectionLines(const QString& text, const QString& section)
{
    QStringList lines;
    bool inside = false;
    for (QString line : text.split(u'\n')) {
        line = line.trimmed();
        if (line.startsWith(u'[')) {
            inside = line == u'[' + section + u']';
            continue;
        }
        if (inside && line.contains(u'='))
            lines << line;
    }
    return lines;
}

FormBase* formOf(const QString& section)
{
    if (section == QLatin1String("GroupForm"))
        return forms().FormGroup;
    if (section == QLatin1String("WorkerForm"))
        return forms().FormWorkers;
    if (section == QLatin1String("GroupEditForm"))
        return forms().FormGroupEdit;
    return forms().FormWorkersEdit;
}

QStringList listSection(const QString& description, const QString& caption, QSize client, const QString& col0,
                        const QString& m1, const QString& m1Comment)
{
    const QSize outer = client + FormBase::designFrame();
    const QString q1 = QStringLiteral("Действительно удалить запись из базы?");
    return {QStringLiteral(";Описание секции=") + description,
            QStringLiteral(";bhint0=Добавить запись"),
            QStringLiteral(";bhint1=Удалить запись"),
            QStringLiteral(";bhint2=Редактировать"),
            QStringLiteral(";colНОМЕР_СТОЛБЦА=описание столбца N"),
            QStringLiteral(";colНОМЕР_СТОЛБЦАw=ширина столбца N"),
            QStringLiteral(";col0=") + col0,
            QStringLiteral(";col1=Комментарий"),
            QStringLiteral(";q1=Вопрос: ") + q1,
            QStringLiteral(";m1=") + m1Comment,
            QStringLiteral("Caption=") + caption,
            QStringLiteral("Top=0"),
            QStringLiteral("Left=0"),
            QStringLiteral("Height=%1").arg(outer.height()),
            QStringLiteral("Width=%1").arg(outer.width()),
            QStringLiteral("bhint0=Добавить запись"),
            QStringLiteral("bhint1=Удалить запись"),
            QStringLiteral("bhint2=Редактировать"),
            QStringLiteral("col0=") + col0,
            QStringLiteral("col1=Комментарий"),
            QStringLiteral("col0w=50"),
            QStringLiteral("col1w=50"),
            QStringLiteral("q1=") + q1,
            QStringLiteral("m1=") + m1};
}

QStringList editSection(const QString& description, const QString& caption, QSize client,
                        const QString& label1, const QString& m1, const QString& m2, const QString& newName)
{
    const QSize outer = client + FormBase::designFrame();
    return {QStringLiteral(";Описание секции=") + description,
            QStringLiteral(";bhint0=Отменить изменения"),
            QStringLiteral(";bhint1=Подтвердить изменения"),
            QStringLiteral(";label1=") + label1,
            QStringLiteral(";label2=Комментарий:"),
            QStringLiteral(";m1=Сообщение:") + m1,
            QStringLiteral(";m2=Сообщение:") + m2,
            QStringLiteral(";newGroupName=Подстановка:") + newName,
            QStringLiteral("Caption=") + caption,
            QStringLiteral("Top=0"),
            QStringLiteral("Left=0"),
            QStringLiteral("Height=%1").arg(outer.height()),
            QStringLiteral("Width=%1").arg(outer.width()),
            QStringLiteral("label1=") + label1,
            QStringLiteral("label2=Комментарий:"),
            QStringLiteral("bhint0=Отменить изменения"),
            QStringLiteral("bhint1=Подтвердить изменения"),
            QStringLiteral("m1=") + m1,
            QStringLiteral("m2=") + m2,
            QStringLiteral("newGroupName=") + newName};
}

// The value of a key in a section of the settings file, or a null string.
QString valueOf(const QString& text, const QString& section, const QString& key)
{
    for (const QString& line : sectionLines(text, section))
        if (line.section(u'=', 0, 0) == key)
            return line.section(u'=', 1);
    return QString();
}

} // namespace

class TestDirectorySettings : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<AppFixture> app;
    bool dirty = false;

    // A program just started for the first time. Tests that only look share one; a test that changes
    // something takes scratch() and the next test gets a new one.
    AppFixture& pristine()
    {
        if (!app || dirty) {
            app.reset();
            app = std::make_unique<AppFixture>();
            app->create();
            dirty = false;
        }
        return *app;
    }
    AppFixture& scratch()
    {
        pristine();
        dirty = true;
        return *app;
    }

private Q_SLOTS:
    void cleanupTestCase() { app.reset(); }

    void firstStartWritesSection_data()
    {
        QTest::addColumn<QString>("section");
        QTest::addColumn<QStringList>("expected");
        const QString staffM1 =
            QStringLiteral("Сообщение: Работник с назначенными кнопками не может быть удалён.");
        QTest::newRow("GroupForm") << QStringLiteral("GroupForm")
                                   << listSection(QStringLiteral("Форма ГРУППЫ"), QStringLiteral("Палаты"),
                                                  QSize(316, 228), QStringLiteral("Название"),
                                                  QStringLiteral("Непустая группа не может быть удалена."),
                                                  QStringLiteral(
                                                      "Сообщение: Непустая группа не может быть удалена."));
        QTest::newRow("WorkerForm") << QStringLiteral("WorkerForm")
                                    << listSection(QStringLiteral("Форма Ответственные"),
                                                   QStringLiteral("Ответственные"), QSize(339, 253),
                                                   QStringLiteral("ФИО"), staffM1, staffM1);
        QTest::newRow("GroupEditForm")
            << QStringLiteral("GroupEditForm")
            << editSection(QStringLiteral("Форма редактирования ГРУППЫ"), QStringLiteral("Редактирование"),
                           QSize(323, 115), QStringLiteral("Название:"),
                           QStringLiteral("Имя не может быть пустым."),
                           QStringLiteral("Такая группа уже есть."), QStringLiteral("НОВАЯ ГРУППА"));
        QTest::newRow("WorkerEditForm")
            << QStringLiteral("WorkerEditForm")
            << editSection(QStringLiteral("Форма редактирования СОТРУДНИКА"), QStringLiteral("Добавить"),
                           QSize(323, 116), QStringLiteral("ФИО:"),
                           QStringLiteral("ФИО не может быть пустым."),
                           QStringLiteral("Такой сотрудник уже есть."), QStringLiteral("НОВЫЙ СОТРУДНИК"));
    }
    void firstStartWritesSection()
    {
        QFETCH(QString, section);
        QFETCH(QStringList, expected);
        const QString text = readFile(pristine().iniPath());
        QCOMPARE(sectionLines(text, section), expected);
        QCOMPARE(formOf(section)->windowTitle(), valueOf(text, section, QStringLiteral("Caption")));
    }

    void windowConventions_data()
    {
        QTest::addColumn<QString>("section");
        for (const char* s : {"GroupForm", "WorkerForm", "GroupEditForm", "WorkerEditForm"})
            QTest::newRow(s) << QString::fromLatin1(s);
    }
    void windowConventions()
    {
        QFETCH(QString, section);
        pristine();
        FormBase* form = formOf(section);
        const bool editor = section.contains(QLatin1String("Edit"));
        QCOMPARE(form->minimumOuterSize(), editor ? QSize(330, 150) : QSize(150, 150));
        // A list has a close box only; an editor has no title-bar buttons.
        QCOMPARE(bool(form->windowFlags() & Qt::WindowCloseButtonHint), !editor);
        QVERIFY(!(form->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));

        auto* group = form->findChild<ButtonGroup*>(QStringLiteral("ButtonGroup1"));
        QVERIFY(group);
        QCOMPARE(group->count(), editor ? 2 : 3);
        for (int i = 0; i < group->count(); ++i) {
            QCOMPARE(group->item(i)->iconSize(), QSize(32, 32));
            QVERIFY(!group->item(i)->icon().isNull());
            QVERIFY(!group->hint(i).isEmpty());
        }
        if (!editor)
            return;

        // Tab order: name, comment, then the button group.
        auto* edit = static_cast<DirectoryEditForm*>(form);
        QList<QWidget*> order;
        QWidget* w = edit->eName;
        do {
            if (w->focusPolicy() & Qt::TabFocus)
                order << w;
            w = w->nextInFocusChain();
        } while (w != edit->eName && order.size() < 4);
        QCOMPARE(order, (QList<QWidget*>{edit->eName, edit->eComm, group->item(0), group->item(1)}));
    }

    void laterStartReadsSections()
    {
        scratch().destroy();
        QString text = readFile(app->iniPath());
        // A key removed by hand falls back to its default: for the staff list's m1 that is the
        // written text, prefix and all.
        const QString staffM1 =
            QStringLiteral("Сообщение: Работник с назначенными кнопками не может быть удалён.");
        text.replace(QStringLiteral("\nm1=") + staffM1, QString());
        QFile file(app->iniPath());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(Cp1251::encode(text));
        file.close();
        IniFile ini = App::settings();
        ini.writeString(QStringLiteral("GroupForm"), QStringLiteral("Caption"),
                        QStringLiteral("Палаты отделения"));
        ini.writeString(QStringLiteral("GroupForm"), QStringLiteral("bhint1"), QStringLiteral("Убрать"));
        ini.writeString(QStringLiteral("GroupForm"), QStringLiteral("q1"), QStringLiteral("Точно?"));
        ini.writeString(QStringLiteral("WorkerForm"), QStringLiteral("col0"), QStringLiteral("Сотрудник"));
        ini.writeInteger(QStringLiteral("WorkerForm"), QStringLiteral("col1w"), 77);
        ini.writeString(QStringLiteral("GroupEditForm"), QStringLiteral("m2"), QStringLiteral("Занято."));
        ini.writeString(QStringLiteral("GroupEditForm"), QStringLiteral("bhint0"), QStringLiteral("Отмена"));
        ini.writeString(QStringLiteral("WorkerEditForm"), QStringLiteral("label1"),
                        QStringLiteral("Ф.И.О.:"));
        ini.writeString(QStringLiteral("WorkerEditForm"), QStringLiteral("newGroupName"),
                        QStringLiteral("Иванов"));
        const QString before = readFile(app->iniPath());

        app->create();
        // A later start writes nothing.
        QCOMPARE(readFile(app->iniPath()), before);
        QCOMPARE(forms().FormGroup->windowTitle(), QStringLiteral("Палаты отделения"));
        QCOMPARE(forms().FormGroup->ButtonGroup1->hint(1), QStringLiteral("Убрать"));
        QCOMPARE(forms().FormGroup->q1, QStringLiteral("Точно?"));
        QCOMPARE(forms().FormWorkers->StringGrid1->Cells(0, 0), QStringLiteral("Сотрудник"));
        QCOMPARE(forms().FormWorkers->StringGrid1->columnWidth(1), 77);
        QCOMPARE(forms().FormWorkers->m1, staffM1);
        QCOMPARE(forms().FormGroupEdit->m2, QStringLiteral("Занято."));
        QCOMPARE(forms().FormGroupEdit->ButtonGroup1->hint(0), QStringLiteral("Отмена"));
        QCOMPARE(forms().FormWorkersEdit->l1->text(), QStringLiteral("Ф.И.О.:"));
        forms().FormWorkersEdit->ForNew();
        QCOMPARE(forms().FormWorkersEdit->eName->text(), QStringLiteral("Иванов"));
        QCOMPARE(forms().FormWorkersEdit->newWorkerName, QStringLiteral("Иванов"));
    }

    void closingSavesGeometry_data()
    {
        QTest::addColumn<bool>("wards");
        QTest::newRow("wards") << true;
        QTest::newRow("staff") << false;
    }
    void closingSavesGeometry()
    {
        QFETCH(bool, wards);
        scratch();
        DirectoryListForm* list = wards ? static_cast<DirectoryListForm*>(forms().FormGroup)
                                        : static_cast<DirectoryListForm*>(forms().FormWorkers);
        DirectoryEditForm* edit = wards ? static_cast<DirectoryEditForm*>(forms().FormGroupEdit)
                                        : static_cast<DirectoryEditForm*>(forms().FormWorkersEdit);
        const QString listSection = list->section();
        const QString editSection = edit->section();

        // Shown, moved and left open: ending the program saves nothing for it.
        list->show();
        list->resize(380, 290);
        const QStringList untouched = sectionLines(readFile(app->iniPath()), listSection);
        app->destroy();
        QCOMPARE(sectionLines(readFile(app->iniPath()), listSection), untouched);
        app->create();
        list = wards ? static_cast<DirectoryListForm*>(forms().FormGroup)
                     : static_cast<DirectoryListForm*>(forms().FormWorkers);
        edit = wards ? static_cast<DirectoryEditForm*>(forms().FormGroupEdit)
                     : static_cast<DirectoryEditForm*>(forms().FormWorkersEdit);

        // Closed by its close box: geometry and column widths.
        list->show();
        list->move(30, 40);
        list->resize(400, 300);
        list->StringGrid1->setColumnWidth(0, 120);
        const QRect listOuter = list->outerGeometry();
        QVERIFY(list->close());
        QString text = readFile(app->iniPath());
        QCOMPARE(valueOf(text, listSection, QStringLiteral("Width")).toInt(), listOuter.width());
        QCOMPARE(valueOf(text, listSection, QStringLiteral("Height")).toInt(), listOuter.height());
        QCOMPARE(valueOf(text, listSection, QStringLiteral("col0w")), QStringLiteral("120"));
        QCOMPARE(valueOf(text, listSection, QStringLiteral("col1w")), QStringLiteral("50"));

        // The editor saves whenever it ends, after Cancel and after OK.
        for (int item : {0, 1}) {
            QRect editOuter;
            QTimer::singleShot(0, edit, [&] {
                edit->resize(400 + item * 20, 160);
                editOuter = edit->outerGeometry();
                edit->eName->setText(QStringLiteral("Имя %1").arg(item));
                edit->ButtonGroup1->click(item);
            });
            list->ButtonGroup1->click(0);
            QVERIFY(!edit->isVisible());
            text = readFile(app->iniPath());
            QCOMPARE(valueOf(text, editSection, QStringLiteral("Width")).toInt(), editOuter.width());
        }
        QVERIFY(app->dialogs.messages.isEmpty());
    }

    void unwritableSettingsOnCloseShowsError()
    {
        AppFixture& a = scratch();
        // A directory where the settings file was: every write fails.
        QVERIFY(QFile::remove(a.iniPath()));
        QVERIFY(QDir().mkdir(a.iniPath()));
        DirectoryListForm* list = forms().FormGroup;
        list->show();
        QVERIFY(list->close());
        QVERIFY(!list->isVisible());

        DirectoryEditForm* edit = forms().FormWorkersEdit;
        QTimer::singleShot(0, edit, [edit] { edit->ButtonGroup1->click(0); });
        forms().FormWorkers->ButtonGroup1->click(0);
        QVERIFY(!edit->isVisible());
        const QString message = QStringLiteral("Unable to write to ") + a.iniPath() + u'.';
        QCOMPARE(a.dialogs.errors, (QStringList{message, message}));
    }
};

QTEST_MAIN(TestDirectorySettings)
#include "tst_directory_settings.moc"
