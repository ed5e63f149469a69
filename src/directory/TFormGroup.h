#pragma once

#include "directory/DirectoryListForm.h"

// The ward list.
class TFormGroup : public DirectoryListForm
{
    Q_OBJECT
public:
    explicit TFormGroup(QWidget* parent = nullptr);

protected:
    DirectoryEditForm* editor() const override;
};
