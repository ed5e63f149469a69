#pragma once

#include "gui/directory/DirectoryListForm.h"

// The responsible staff list.
class TFormWorkers : public DirectoryListForm
{
    Q_OBJECT
public:
    explicit TFormWorkers(WardServer& server, QWidget* parent = nullptr);
};
