#include "directory/TFormGroup.h"

#include "directory/TFormGroupEdit.h"
#include "journal/Forms.h"

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
    return s;
}
} // namespace

TFormGroup::TFormGroup(QWidget* parent) : DirectoryListForm(groupListSetup(), parent)
{
    setObjectName(QStringLiteral("TFormGroup"));
}

DirectoryEditForm* TFormGroup::editor() const
{
    return forms().FormGroupEdit;
}
