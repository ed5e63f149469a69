#include "directory/TFormWorkers.h"

#include "directory/TFormWorkersEdit.h"
#include "journal/Forms.h"

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
    return s;
}
} // namespace

TFormWorkers::TFormWorkers(QWidget* parent) : DirectoryListForm(workerListSetup(), parent)
{
    setObjectName(QStringLiteral("TFormWorkers"));
}

DirectoryEditForm* TFormWorkers::editor() const
{
    return forms().FormWorkersEdit;
}
