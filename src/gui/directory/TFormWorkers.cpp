#include "gui/directory/TFormWorkers.h"

#include "core/settings/WindowSections.h"

namespace {
DirectoryListSetup workerListSetup()
{
    DirectoryListSetup s;
    s.table = &DirectoryTable::staff;
    s.settings = &WindowSections::workerForm;
    return s;
}
} // namespace

TFormWorkers::TFormWorkers(WardServer& server, QWidget* parent)
    : DirectoryListForm(workerListSetup(), server, parent)
{
    setObjectName(QStringLiteral("TFormWorkers"));
}
