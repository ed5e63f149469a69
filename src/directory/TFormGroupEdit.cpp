#include "directory/TFormGroupEdit.h"

#include "settings/WindowSections.h"
namespace {
DirectoryEditSetup groupEditSetup()
{
    DirectoryEditSetup s;
    s.section = QStringLiteral("GroupEditForm");
    s.caption = QStringLiteral("Редактирование");
    s.designClient = QSize(323, 115);
    s.description = QStringLiteral("Форма редактирования ГРУППЫ");
    s.label1 = QStringLiteral("Название:");
    s.m1 = QStringLiteral("Имя не может быть пустым.");
    s.m2 = QStringLiteral("Такая группа уже есть.");
    s.newName = QStringLiteral("НОВАЯ ГРУППА");
    s.focusNameOnShow = false;
    s.table = &DirectoryTable::wards;
    s.settings = &WindowSections::groupEditForm;
    return s;
}
} // namespace

TFormGroupEdit::TFormGroupEdit(WardServer& server, QWidget* parent)
    : DirectoryEditForm(groupEditSetup(), server, parent), newGroupName(QStringLiteral("НОВАЯ ГРУППА"))
{
    setObjectName(QStringLiteral("TFormGroupEdit"));
}
