#pragma once

#include "gui/directory/DirectoryListForm.h"

// The ward list.
class TFormGroup : public DirectoryListForm
{
    Q_OBJECT
public:
    explicit TFormGroup(WardServer& server, QWidget* parent = nullptr);
};
