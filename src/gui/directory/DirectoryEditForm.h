#pragma once

#include "core/directory/DirectoryTable.h"
#include "gui/kit/FormBase.h"

class ButtonGroup;
class QLabel;
class QLineEdit;
class WardServer;

// What tells the ward editor and the staff editor apart: their records, their focus and their
// settings section, whose table also holds the design caption, size and texts.
struct DirectoryEditSetup
{
    bool focusNameOnShow = false;
    DirectoryTable (*table)(db::Database&) = nullptr;
    SettingsTable (*settings)() = nullptr;
};

// The modal editor of one ward or staff member: name and comment, a cancel and a confirm button.
// The list prepares it (ForNew or ForEdit), runs it with exec(), and only after OK has it store its
// fields (AddNew or AddEdit). It keeps its last contents between uses.
class DirectoryEditForm : public FormBase
{
    Q_OBJECT
public:
    QLabel* l1 = nullptr;
    QLineEdit* eName = nullptr;
    QLabel* l2 = nullptr;
    QLineEdit* eComm = nullptr;
    ButtonGroup* ButtonGroup1 = nullptr;

    // -1 while a new record is entered; otherwise the key of the record being edited.
    qint32 id = -1;
    QString m1;
    QString m2;

    void ForNew();
    // Loads the first record of that name.
    void ForEdit(const QString& name);
    // Loads the record with that key: what the list uses, so that of two records with the same name
    // the one the operator picked is edited. A key beyond `id`'s 32 bits raises AppError
    // "'<key>' is not a valid integer value" and loads nothing.
    void ForEditId(qint64 recordId);
    void AddNew();
    void AddEdit();
    // Whether the name in eName may be stored: a new record's name must not exist yet, exactly as
    // typed; an edited record's name is not compared with the others.
    bool GoodName();

    // Cancel (also Escape) and confirm (also Enter).
    void ButtonGroup1Items0Click();
    void ButtonGroup1Items1Click();

    void InitForm() override;
    void FormShow() override;
    // A settings file that cannot be written shows the error box; the editor closes all the same.
    void FormClose() override;

    // Every way of ending the editor passes here, so its geometry is saved after OK and Cancel alike.
    void done(int result) override;

    // The text without leading and trailing blanks and control characters (codes up to 32).
    static QString trimControls(const QString& text);

protected:
    DirectoryEditForm(const DirectoryEditSetup& setup, WardServer& server, QWidget* parent);
    // The field holding the proposed name (newGroupName, newWorkerName).
    virtual QString& proposedName() = 0;

    void closeEvent(QCloseEvent* event) override;

private:
    DirectoryTable table() const;
    void load(const DirectoryRecord& record);

    DirectoryEditSetup m_setup;
    WardServer& m_server;
};
