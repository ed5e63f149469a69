#include "directory/TFormGroup.h"

#include "settings/WindowSections.h"

namespace {
DirectoryListSetup groupListSetup()
{
    DirectoryListSetup s;
    s.section = QStringLiteral("GroupForm");
    s.caption = QStringLiteral("Палаты");
    s.designClient = QSize(316, 228);
    s.description = QStringLiteral("Форма ГРУППЫ");
    s.col0 = QStringLiteral("Название");
    s.m1 = QStringLiteral("Непустая группа не может быть удалена.");
    s.m1Comment = QStringLiteral("Сообщение: ") + s.m1;
    s.table = &DirectoryTable::wards;
    s.settings = &WindowSections::groupForm;
    return s;
}
} // namespace

TFormGroup::TFormGroup(WardServer& server, QWidget* parent) : DirectoryListForm(groupListSetup(), server, parent)
{
    setObjectName(QStringLiteral("TFormGroup"));
}
