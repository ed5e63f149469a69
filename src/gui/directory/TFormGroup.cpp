#include "gui/directory/TFormGroup.h"

#include "core/settings/WindowSections.h"

namespace {
DirectoryListSetup groupListSetup()
{
    DirectoryListSetup s;
    s.table = &DirectoryTable::wards;
    s.settings = &WindowSections::groupForm;
    return s;
}
} // namespace

TFormGroup::TFormGroup(WardServer& server, QWidget* parent)
    : DirectoryListForm(groupListSetup(), server, parent)
{
    setObjectName(QStringLiteral("TFormGroup"));
}
