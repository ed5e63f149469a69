#include "core/settings/WindowSections.h"

#include "core/settings/IniFile.h"

namespace {

using T = SettingsTable;

// A list of wards or of staff members.
struct ListTexts
{
    QString section;
    QString caption;
    QSize designClient;
    QString description;
    QString col0;
    QString m1;
    QString m1Comment;
};

SettingsTable listSection(const ListTexts& t)
{
    const QString comment = QStringLiteral("Комментарий");
    const QString q1 = QStringLiteral("Действительно удалить запись из базы?");
    const QStringList hints = {QStringLiteral("Добавить запись"), QStringLiteral("Удалить запись"),
                               QStringLiteral("Редактировать")};
    QList<SettingsKey> keys;
    keys << T::comment(QStringLiteral("Описание секции"), t.description);
    for (int i = 0; i < hints.size(); ++i)
        keys << T::comment(QStringLiteral("bhint%1").arg(i), hints.at(i));
    keys << T::comment(QStringLiteral("colНОМЕР_СТОЛБЦА"), QStringLiteral("описание столбца N"))
         << T::comment(QStringLiteral("colНОМЕР_СТОЛБЦАw"), QStringLiteral("ширина столбца N"))
         << T::comment(QStringLiteral("col0"), t.col0) << T::comment(QStringLiteral("col1"), comment)
         << T::comment(QStringLiteral("q1"), QStringLiteral("Вопрос: ") + q1)
         << T::comment(QStringLiteral("m1"), t.m1Comment);
    keys << T::captionAndGeometry(t.caption, t.designClient);
    for (int i = 0; i < hints.size(); ++i)
        keys << T::text(QStringLiteral("bhint%1").arg(i), hints.at(i));
    keys << T::text(QStringLiteral("col0"), t.col0) << T::text(QStringLiteral("col1"), comment)
         << T::integer(QStringLiteral("col0w"), 50) << T::integer(QStringLiteral("col1w"), 50)
         << T::text(QStringLiteral("q1"), q1) << T::text(QStringLiteral("m1"), t.m1);
    return SettingsTable(t.section, keys);
}

// The editor of one ward or staff member.
struct EditTexts
{
    QString section;
    QString caption;
    QSize designClient;
    QString description;
    QString label1;
    QString m1;
    QString m2;
    QString newName;
};

SettingsTable editSection(const EditTexts& t)
{
    const QString label2 = QStringLiteral("Комментарий:");
    const QString hint0 = QStringLiteral("Отменить изменения");
    const QString hint1 = QStringLiteral("Подтвердить изменения");
    // The staff editor keeps the ward editor's key for its proposed name.
    const QString newNameKey = QStringLiteral("newGroupName");
    QList<SettingsKey> keys = {
        T::comment(QStringLiteral("Описание секции"), t.description),
        T::comment(QStringLiteral("bhint0"), hint0),
        T::comment(QStringLiteral("bhint1"), hint1),
        T::comment(QStringLiteral("label1"), t.label1),
        T::comment(QStringLiteral("label2"), label2),
        T::comment(QStringLiteral("m1"), QStringLiteral("Сообщение:") + t.m1),
        T::comment(QStringLiteral("m2"), QStringLiteral("Сообщение:") + t.m2),
        T::comment(newNameKey, QStringLiteral("Подстановка:") + t.newName),
    };
    keys << T::captionAndGeometry(t.caption, t.designClient);
    keys << T::text(QStringLiteral("label1"), t.label1) << T::text(QStringLiteral("label2"), label2)
         << T::text(QStringLiteral("bhint0"), hint0) << T::text(QStringLiteral("bhint1"), hint1)
         << T::text(QStringLiteral("m1"), t.m1) << T::text(QStringLiteral("m2"), t.m2)
         << T::text(newNameKey, t.newName);
    return SettingsTable(t.section, keys);
}

} // namespace

namespace WindowSections {

SettingsTable groupForm()
{
    const QString m1 = QStringLiteral("Непустая группа не может быть удалена.");
    return listSection({QStringLiteral("GroupForm"), QStringLiteral("Палаты"), QSize(316, 228),
                        QStringLiteral("Форма ГРУППЫ"), QStringLiteral("Название"), m1,
                        QStringLiteral("Сообщение: ") + m1});
}

SettingsTable workerForm()
{
    // The text carries its own prefix, so its comment is the same text.
    const QString m1 = QStringLiteral("Сообщение: Работник с назначенными кнопками не может быть удалён.");
    return listSection({QStringLiteral("WorkerForm"), QStringLiteral("Ответственные"), QSize(339, 253),
                        QStringLiteral("Форма Ответственные"), QStringLiteral("ФИО"), m1, m1});
}

SettingsTable groupEditForm()
{
    return editSection({QStringLiteral("GroupEditForm"), QStringLiteral("Редактирование"), QSize(323, 115),
                        QStringLiteral("Форма редактирования ГРУППЫ"), QStringLiteral("Название:"),
                        QStringLiteral("Имя не может быть пустым."), QStringLiteral("Такая группа уже есть."),
                        QStringLiteral("НОВАЯ ГРУППА")});
}

SettingsTable workerEditForm()
{
    return editSection({QStringLiteral("WorkerEditForm"), QStringLiteral("Добавить"), QSize(323, 116),
                        QStringLiteral("Форма редактирования СОТРУДНИКА"), QStringLiteral("ФИО:"),
                        QStringLiteral("ФИО не может быть пустым."),
                        QStringLiteral("Такой сотрудник уже есть."), QStringLiteral("НОВЫЙ СОТРУДНИК")});
}

SettingsTable butsForm()
{
    const QString q1 = QStringLiteral("Нажатая кнопка не найдена в базе. Перейти в режим добавления?");
    const QString q2 = QStringLiteral("Действительно удалить устройство из базы?");
    // Grid column N shows the caption of key captionKeys[N]; the width keys follow the columns.
    const QStringList captionKeys = {QStringLiteral("col0"), QStringLiteral("col5"), QStringLiteral("col1"),
                                     QStringLiteral("col2"), QStringLiteral("col3"), QStringLiteral("col4")};
    const QStringList captions = {QStringLiteral("Код"),           QStringLiteral("Код отмены"),
                                  QStringLiteral("Название"),      QStringLiteral("Палата"),
                                  QStringLiteral("Ответственный"), QStringLiteral("Комментарий")};
    // Column 0, the call code, is hidden until the operator drags it wider.
    const int widths[] = {0, 50, 50, 50, 100, 50};
    const QString hints[] = {QStringLiteral("Регистрация кнопок"), QStringLiteral("Удалить запись"),
                             QStringLiteral("Редактировать"), QStringLiteral("Найти кнопку по нажатию")};
    const QString bshint = QStringLiteral("Выключить режим поиска по нажатию");
    const QString bscaption = QStringLiteral("Выключить");

    QList<SettingsKey> keys;
    keys << T::comment(QStringLiteral("Описание секции"), QStringLiteral("Форма КОЙКИ"));
    for (int i = 0; i < 4; ++i)
        keys << T::comment(QStringLiteral("bhint%1").arg(i), hints[i]);
    keys << T::comment(QStringLiteral("bshint"), bshint) << T::comment(QStringLiteral("bscaption"), bscaption)
         << T::comment(QStringLiteral("colНОМЕР_СТОЛБЦА"), QStringLiteral("описание столбца N"))
         << T::comment(QStringLiteral("colНОМЕР_СТОЛБЦАw"), QStringLiteral("ширина столбца N"));
    for (int c = 0; c < captions.size(); ++c)
        keys << T::comment(captionKeys.at(c), captions.at(c));
    keys << T::comment(QStringLiteral("q1"), QStringLiteral("Вопрос: ") + q1)
         << T::comment(QStringLiteral("q2"), QStringLiteral("Вопрос: ") + q2);
    keys << T::captionAndGeometry(QStringLiteral("Места с кнопками вызова"), QSize(348, 307));
    for (int i = 0; i < 4; ++i)
        keys << T::text(QStringLiteral("bhint%1").arg(i), hints[i]);
    keys << T::text(QStringLiteral("bshint"), bshint) << T::text(QStringLiteral("bscaption"), bscaption);
    for (int c = 0; c < captions.size(); ++c)
        keys << T::text(captionKeys.at(c), captions.at(c));
    for (int c = 0; c < captions.size(); ++c)
        keys << T::integer(QStringLiteral("col%1w").arg(c), widths[c]);
    keys << T::text(QStringLiteral("q1"), q1) << T::text(QStringLiteral("q2"), q2);
    keys << T::addedLater(T::comment(
                QStringLiteral("SearchIdleSec"),
                QStringLiteral(
                    "через сколько секунд без нажатия режим поиска выключается сам (0 - не выключается)")))
         << T::addedLater(T::integer(QStringLiteral("SearchIdleSec"), 120));
    return SettingsTable(QStringLiteral("ButsForm"), keys);
}

SettingsTable butsAddForm()
{
    const QStringList labels = {QStringLiteral("Нумеровать койки начиная с "),
                                QStringLiteral("Количество цифр в номере"),
                                QStringLiteral("Шаблон названия (_-заменяется номером)"),
                                QStringLiteral("Палата"),
                                QStringLiteral("Комментарий"),
                                QStringLiteral("Ответственный"),
                                QStringLiteral("Идентификатор кнопки вызова"),
                                QStringLiteral("Идентификатор кнопки отмены")};
    const QString button2 = QStringLiteral("Добавить кнопку");
    const QString lb2_0 = QStringLiteral("Добавлено устройств: ");
    const QString lb3_0 = QStringLiteral("Не удалось настроить антенну.");
    const QString lb3_1 = QStringLiteral("Не введен код кнопки.");
    const QString empty = QStringLiteral("Пусто");
    const QString blankUnderscore = QStringLiteral(" _");
    // The key of the "added" message carries a trailing comma, in writing and in reading alike.
    const QString addedKey = QStringLiteral("lb1_2,");
    const QString says = QStringLiteral("Сообщение:");

    QList<SettingsKey> keys;
    keys << T::comment(QStringLiteral("Описание секции"), QStringLiteral("Форма добавления КНОПОК"));
    for (int i = 0; i < labels.size(); ++i)
        keys << T::comment(QStringLiteral("label%1").arg(i + 1), QStringLiteral("Надпись:") + labels.at(i));
    keys << T::comment(QStringLiteral("button2"), QStringLiteral("Надпись:") + button2)
         << T::comment(QStringLiteral("r1"), QStringLiteral("Нумеровать койки начиная с ..."))
         << T::comment(QStringLiteral("r2"), QStringLiteral("Количество цифр в номере..."))
         << T::comment(QStringLiteral("r3"),
                       QStringLiteral("Шаблон названия (_-заменяется номером): по умолчанию КОЙКА _"))
         << T::comment(QStringLiteral("r4"), QStringLiteral("номер в выпадающем списке палат по умолчанию"))
         << T::comment(QStringLiteral("r6"),
                       QStringLiteral("номер в выпадающем списке сотрудников по умолчанию"))
         << T::comment(QStringLiteral("r4_0"), QStringLiteral("строка для пустой палаты"))
         << T::comment(QStringLiteral("r6_0"), QStringLiteral("строка для неназначенного сотрудника"))
         << T::comment(QStringLiteral("r5"), QStringLiteral("комментарий: _"))
         << T::comment(QStringLiteral("r7"), QStringLiteral("Идентификатор кнопки вызова"))
         << T::comment(QStringLiteral("r8"), QStringLiteral("Идентификатор кнопки отмены"))
         << T::comment(QStringLiteral("abfTimer"), QStringLiteral("время таймера в секундах"))
         << T::comment(QStringLiteral("lb1_0"), says + QStringLiteral("Пусто."))
         << T::comment(QStringLiteral("lb1_1"), says + QStringLiteral("Кнопка уже есть в базе."))
         << T::comment(addedKey, says + QStringLiteral("Кнопка была дабавлена в базу."))
         << T::comment(QStringLiteral("lb1_3"), says + QStringLiteral("блок уже есть в базе."))
         << T::comment(QStringLiteral("lb1_4"), says + QStringLiteral("блок был дабавлен в базу."))
         << T::comment(QStringLiteral("lb2_0"), says + lb2_0)
         << T::comment(QStringLiteral("lb3_0"), says + lb3_0)
         << T::comment(QStringLiteral("lb3_1"), says + lb3_1);
    keys << T::captionAndGeometry(QStringLiteral("Режим добавления"), QSize(480, 312));
    for (int i = 0; i < labels.size(); ++i)
        keys << T::kept(QStringLiteral("label%1").arg(i + 1), labels.at(i));
    keys << T::kept(QStringLiteral("button2"), button2) << T::integer(QStringLiteral("r1"), 5)
         << T::integer(QStringLiteral("r2"), 3)
         // A first start writes the template in capitals; a file without the key reads it in lower case.
         << T::kept(QStringLiteral("r3"), QStringLiteral("КОЙКА _"), QStringLiteral("Койка _"))
         << T::integer(QStringLiteral("r4"), 1) << T::integer(QStringLiteral("r6"), 0)
         << T::kept(QStringLiteral("r4_0"), empty) << T::kept(QStringLiteral("r6_0"), empty)
         << T::kept(QStringLiteral("r5"), blankUnderscore) << T::kept(QStringLiteral("r7"), blankUnderscore)
         << T::kept(QStringLiteral("r8"), blankUnderscore) << T::integer(QStringLiteral("abfTimer"), 5)
         << T::kept(QStringLiteral("lb1_0"), QString())
         << T::kept(QStringLiteral("lb1_1"), QStringLiteral("Кнопка уже есть в базе."))
         << T::kept(addedKey, QStringLiteral("Кнопка была дабавлена в базу."))
         << T::kept(QStringLiteral("lb1_3"), QStringLiteral("Нажатый блок уже есть в базе."))
         << T::kept(QStringLiteral("lb1_4"), QStringLiteral("Нажатый блок был дабавлен в базу."))
         << T::kept(QStringLiteral("lb2_0"), lb2_0) << T::kept(QStringLiteral("lb3_0"), lb3_0)
         << T::kept(QStringLiteral("lb3_1"), lb3_1);
    return SettingsTable(QStringLiteral("ButsAddForm"), keys);
}

SettingsTable butsEditForm()
{
    const QString labels[] = {QStringLiteral("Название:"), QStringLiteral("Палата:"),
                              QStringLiteral("Комментарий:"), QStringLiteral("Ответственный:")};
    const QString hint0 = QStringLiteral("Отменить изменения");
    const QString hint1 = QStringLiteral("Подтвердить изменения");
    QList<SettingsKey> keys;
    keys << T::comment(QStringLiteral("Описание секции"), QStringLiteral("Форма редактирования КНОПКИ"))
         << T::comment(QStringLiteral("bhint0"), hint0) << T::comment(QStringLiteral("bhint1"), hint1);
    for (int i = 0; i < 4; ++i)
        keys << T::comment(QStringLiteral("label%1").arg(i + 1), labels[i]);
    keys << T::captionAndGeometry(QStringLiteral("Редактирование"), QSize(324, 170));
    for (int i = 0; i < 4; ++i)
        keys << T::text(QStringLiteral("label%1").arg(i + 1), labels[i]);
    keys << T::text(QStringLiteral("bhint0"), hint0) << T::text(QStringLiteral("bhint1"), hint1);
    return SettingsTable(QStringLiteral("ButsEditForm"), keys);
}

SettingsTable clearForm()
{
    const QString hint0 = QStringLiteral("Отмена");
    const QString hint1 = QStringLiteral("Удалить");
    QList<SettingsKey> keys = {
        T::comment(QStringLiteral("Описание секции"), QStringLiteral("Форма очистки журнала")),
        T::comment(QStringLiteral("bhint0"), hint0),
        T::comment(QStringLiteral("bhint1"), hint1),
    };
    keys << T::captionAndGeometry(QStringLiteral("Удалить записи в журнале"), QSize(302, 100));
    keys << T::text(QStringLiteral("label1"), QStringLiteral("До :"))
         << T::text(QStringLiteral("bhint0"), hint0) << T::text(QStringLiteral("bhint1"), hint1);
    return SettingsTable(QStringLiteral("ClearForm"), keys);
}

SettingsTable filterForm()
{
    const QString labels[] = {QStringLiteral("Дата/время:"),
                              QStringLiteral("от:"),
                              QStringLiteral("до:"),
                              QStringLiteral("Палата:"),
                              QStringLiteral("Койка:"),
                              QStringLiteral("Функция:"),
                              QStringLiteral("Время реагирования:"),
                              QStringLiteral("мин.")};
    const QString hint0 = QStringLiteral("Сбросить фильтр");
    const QString hint1 = QStringLiteral("Применить фильтр");
    const QString prefix = QStringLiteral("Подстановка:");
    const QList<std::pair<QString, QString>> choices = {
        {QStringLiteral("sAllFunction"), QStringLiteral("Все функции")},
        {QStringLiteral("sAllGroup"), QStringLiteral("Все")},
        {QStringLiteral("sWithoutGroup"), QStringLiteral("Только без группы")},
        {QStringLiteral("sOff"), QStringLiteral("Отключено")},
        {QStringLiteral("sMore"), QStringLiteral("Больше")},
        {QStringLiteral("sLess"), QStringLiteral("Меньше")},
    };
    QList<SettingsKey> keys;
    keys << T::comment(QStringLiteral("Описание секции"), QStringLiteral("Форма фильтра"))
         << T::comment(QStringLiteral("bhint0"), hint0) << T::comment(QStringLiteral("bhint1"), hint1);
    for (int i = 0; i < 8; ++i)
        keys << T::comment(QStringLiteral("label%1").arg(i + 1), QStringLiteral("Надпись:") + labels[i]);
    for (const auto& [key, value] : choices)
        keys << T::comment(key, prefix + value);
    keys << T::captionAndGeometry(QStringLiteral("Фильтр журнала событий"), QSize(585, 315));
    for (int i = 0; i < 8; ++i)
        keys << T::text(QStringLiteral("label%1").arg(i + 1), labels[i]);
    keys << T::text(QStringLiteral("bhint0"), hint0) << T::text(QStringLiteral("bhint1"), hint1);
    for (const auto& [key, value] : choices)
        keys << T::text(key, value);
    return SettingsTable(QStringLiteral("FilterForm"), keys);
}

SettingsTable callsForm()
{
    const QString caption = QStringLiteral("Активные вызовы");
    const QString q1 = QStringLiteral("Убрать вызов из списка активных? Запись в журнале останется.");
    const QString dismiss = QStringLiteral("Убрать из списка");
    const QString captions[] = {QStringLiteral("Место"),         QStringLiteral("Палата"),
                                QStringLiteral("Ответственный"), QStringLiteral("Тип"),
                                QStringLiteral("Время"),         QStringLiteral("Ожидание")};
    const int widths[] = {110, 80, 110, 70, 60, 90};
    QList<SettingsKey> keys;
    keys << T::comment(QStringLiteral("Описание секции"), caption)
         << T::comment(QStringLiteral("colНОМЕР_СТОЛБЦА"), QStringLiteral("описание столбца N"))
         << T::comment(QStringLiteral("colНОМЕР_СТОЛБЦАw"), QStringLiteral("ширина столбца N"));
    for (int c = 0; c < 6; ++c)
        keys << T::comment(QStringLiteral("col%1").arg(c), captions[c]);
    keys << T::comment(QStringLiteral("q1"), QStringLiteral("Вопрос: ") + q1)
         << T::comment(QStringLiteral("mDismiss"), QStringLiteral("Пункт меню: ") + dismiss)
         << T::comment(QStringLiteral("mCalls"), QStringLiteral("Пункт меню главной формы: ") + caption);
    keys << T::captionAndGeometry(caption, QSize(560, 220));
    for (int c = 0; c < 6; ++c)
        keys << T::text(QStringLiteral("col%1").arg(c), captions[c]);
    for (int c = 0; c < 6; ++c)
        keys << T::integer(QStringLiteral("col%1w").arg(c), widths[c]);
    keys << T::text(QStringLiteral("q1"), q1) << T::text(QStringLiteral("mDismiss"), dismiss)
         << T::text(QStringLiteral("mCalls"), caption);
    return SettingsTable(QStringLiteral("CallsForm"), keys);
}

QList<SettingsTable> inCreationOrder()
{
    return {groupForm(), butsForm(),   butsAddForm(), groupEditForm(), butsEditForm(),
            clearForm(), filterForm(), workerForm(),  workerEditForm()};
}

void writeFirstStart(IniFile& ini)
{
    for (const SettingsTable& table : inCreationOrder()) {
        table.writeComments(ini);
        table.writeDefaults(ini);
        table.writeAddedLater(ini);
    }
}

void writeAddedLater(IniFile& ini)
{
    for (const SettingsTable& table : inCreationOrder())
        table.writeAddedLater(ini);
}

} // namespace WindowSections
