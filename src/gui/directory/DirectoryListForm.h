#pragma once

#include "core/directory/DirectoryTable.h"
#include "gui/kit/FormBase.h"

class ButtonGroup;
class DirectoryEditForm;
class StringGrid;
class WardServer;

// What tells the ward list and the staff list apart: their records and their settings section, whose
// table also holds the design caption, size and texts.
struct DirectoryListSetup
{
    DirectoryTable (*table)(db::Database&) = nullptr;
    SettingsTable (*settings)() = nullptr;
};

// A modeless list of all wards or all staff members, with add, delete and edit. It is refilled from
// the database when shown and after every change made through it.
class DirectoryListForm : public FormBase
{
    Q_OBJECT
public:
    StringGrid* StringGrid1 = nullptr;
    ButtonGroup* ButtonGroup1 = nullptr;
    QString q1;
    QString m1;

    // Refills the grid; raises AppError when the database fails.
    void RefreshForm();
    // Add, delete, edit.
    void ButtonGroup1Items0Click();
    void ButtonGroup1Items1Click();
    void ButtonGroup1Items2Click();

    // The key of the record shown in a grid row (from 1), -1 for the empty row.
    qint64 recordIdAt(int row) const;

    void InitForm() override;
    void InitSave() override;
    void FormShow() override;

protected:
    DirectoryListForm(const DirectoryListSetup& setup, WardServer& server, QWidget* parent);

public:
    // The editor the list opens for a new or the selected record.
    void setEditor(DirectoryEditForm* editor) { m_editor = editor; }
    DirectoryEditForm* editor() const { return m_editor; }

private:
    DirectoryTable table() const;
    // The key of the record in the grid's current row, -1 when that row shows none.
    qint64 currentRecordId() const;

    DirectoryListSetup m_setup;
    WardServer& m_server;
    DirectoryEditForm* m_editor = nullptr;
    QList<qint64> m_ids; // the key of each data row, in grid order
};
