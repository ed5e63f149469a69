#pragma once

#include "gui/directory/DirectoryEditForm.h"

// The responsible staff editor; its title reads the same for a new and an existing staff member.
class TFormWorkersEdit : public DirectoryEditForm
{
    Q_OBJECT
public:
    explicit TFormWorkersEdit(WardServer& server, QWidget* parent = nullptr);

    // The name proposed for a new staff member (settings key newGroupName).
    QString newWorkerName;

protected:
    QString& proposedName() override { return newWorkerName; }
};
