#include "directory/TFormWorkers.h"

#include "settings/WindowSections.h"

namespace {
DirectoryListSetup workerListSetup()
{
    DirectoryListSetup s;
    s.section = QStringLiteral("WorkerForm");
    s.caption = QStringLiteral("Ответственные");
    s.designClient = QSize(339, 253);
    s.description = QStringLiteral("Форма Ответственные");
    s.col0 = QStringLiteral("ФИО");
    // The text carries its own prefix, so its comment is the same text.
    s.m1 = QStringLiteral("Сообщение: Работник с назначенными кнопками не может быть удалён.");
    s.m1Comment = s.m1;
    s.table = &DirectoryTable::staff;
    s.settings = &WindowSections::workerForm;
    return s;
}
} // namespace

TFormWorkers::TFormWorkers(WardServer& server, QWidget* parent) : DirectoryListForm(workerListSetup(), server, parent)
{
    setObjectName(QStringLiteral("TFormWorkers"));
}
