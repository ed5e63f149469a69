#include "gui/directory/TFormWorkersEdit.h"

#include "core/settings/WindowSections.h"
namespace {
DirectoryEditSetup workerEditSetup()
{
    DirectoryEditSetup s;
    s.focusNameOnShow = true;
    s.table = &DirectoryTable::staff;
    s.settings = &WindowSections::workerEditForm;
    return s;
}
} // namespace

TFormWorkersEdit::TFormWorkersEdit(WardServer& server, QWidget* parent)
    : DirectoryEditForm(workerEditSetup(), server, parent),
      newWorkerName(designText(QStringLiteral("newGroupName")))
{
    setObjectName(QStringLiteral("TFormWorkersEdit"));
}
