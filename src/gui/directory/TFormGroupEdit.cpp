#include "gui/directory/TFormGroupEdit.h"

#include "core/settings/WindowSections.h"
namespace {
DirectoryEditSetup groupEditSetup()
{
    DirectoryEditSetup s;
    s.focusNameOnShow = false;
    s.table = &DirectoryTable::wards;
    s.settings = &WindowSections::groupEditForm;
    return s;
}
} // namespace

TFormGroupEdit::TFormGroupEdit(WardServer& server, QWidget* parent)
    : DirectoryEditForm(groupEditSetup(), server, parent),
      newGroupName(designText(QStringLiteral("newGroupName")))
{
    setObjectName(QStringLiteral("TFormGroupEdit"));
}
