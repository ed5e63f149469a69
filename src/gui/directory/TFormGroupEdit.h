#pragma once

#include "gui/directory/DirectoryEditForm.h"

// The ward editor.
class TFormGroupEdit : public DirectoryEditForm
{
    Q_OBJECT
public:
    explicit TFormGroupEdit(WardServer& server, QWidget* parent = nullptr);

    // The name proposed for a new ward.
    QString newGroupName;

protected:
    QString& proposedName() override { return newGroupName; }
};
