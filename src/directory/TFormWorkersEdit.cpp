#include "directory/TFormWorkersEdit.h"

#include "settings/WindowSections.h"
namespace {
DirectoryEditSetup workerEditSetup()
{
    DirectoryEditSetup s;
    s.section = QStringLiteral("WorkerEditForm");
    s.caption = QStringLiteral("Добавить");
    s.designClient = QSize(323, 116);
    s.description = QStringLiteral("Форма редактирования СОТРУДНИКА");
    s.label1 = QStringLiteral("ФИО:");
    s.m1 = QStringLiteral("ФИО не может быть пустым.");
    s.m2 = QStringLiteral("Такой сотрудник уже есть.");
    s.newName = QStringLiteral("НОВЫЙ СОТРУДНИК");
    s.focusNameOnShow = true;
    s.table = &DirectoryTable::staff;
    s.settings = &WindowSections::workerEditForm;
    return s;
}
} // namespace

TFormWorkersEdit::TFormWorkersEdit(WardServer& server, QWidget* parent)
    : DirectoryEditForm(workerEditSetup(), server, parent), newWorkerName(QStringLiteral("НОВЫЙ СОТРУДНИК"))
{
    setObjectName(QStringLiteral("TFormWorkersEdit"));
}
