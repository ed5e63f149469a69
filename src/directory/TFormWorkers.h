#pragma once

#include "directory/DirectoryListForm.h"

// The responsible staff list.
class TFormWorkers : public DirectoryListForm
{
    Q_OBJECT
public:
    explicit TFormWorkers(QWidget* parent = nullptr);

protected:
    DirectoryEditForm* editor() const override;
};
