#include "gui/directory/DirectoryListForm.h"

#include "core/base/AppError.h"
#include "core/engine/WardServer.h"
#include "gui/directory/DirectoryEditForm.h"
#include "gui/kit/ButtonGroup.h"
#include "gui/kit/Dialogs.h"
#include "gui/kit/StringGrid.h"

#include <QVBoxLayout>

DirectoryListForm::DirectoryListForm(const DirectoryListSetup& setup, WardServer& server, QWidget* parent)
    : FormBase(setup.settings(), QSize(150, 150), parent), m_setup(setup), m_server(server)
{
    // A close box only.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    q1 = designText(QStringLiteral("q1"));
    m1 = designText(QStringLiteral("m1"));

    StringGrid1 = new StringGrid(2, this);
    StringGrid1->setObjectName(QStringLiteral("StringGrid1"));
    StringGrid1->setCaption(0, designText(QStringLiteral("col0")));
    StringGrid1->setCaption(1, designText(QStringLiteral("col1")));

    ButtonGroup1 = new ButtonGroup(this);
    ButtonGroup1->setObjectName(QStringLiteral("ButtonGroup1"));
    ButtonGroup1->addItem(QStringLiteral("list-add"), QStyle::SP_FileDialogNewFolder,
                          designText(QStringLiteral("bhint0")), [this] { ButtonGroup1Items0Click(); });
    ButtonGroup1->addItem(QStringLiteral("edit-delete"), QStyle::SP_TrashIcon,
                          designText(QStringLiteral("bhint1")), [this] { ButtonGroup1Items1Click(); });
    ButtonGroup1->addItem(QStringLiteral("document-properties"), QStyle::SP_FileDialogDetailedView,
                          designText(QStringLiteral("bhint2")), [this] { ButtonGroup1Items2Click(); });

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(StringGrid1, 1);
    layout->addWidget(ButtonGroup1);
}

DirectoryTable DirectoryListForm::table() const
{
    return m_setup.table(m_server.db());
}

void DirectoryListForm::RefreshForm()
{
    const QList<DirectoryRecord> records = table().records();
    QList<QStringList> rows;
    QList<qint64> ids;
    rows.reserve(records.size());
    ids.reserve(records.size());
    for (const DirectoryRecord& record : records) {
        rows.append({record.name, record.comm});
        ids.append(record.id);
    }
    StringGrid1->cells()->setRows(rows);
    m_ids = ids;
}

qint64 DirectoryListForm::recordIdAt(int row) const
{
    return row >= 1 && row <= m_ids.size() ? m_ids.at(row - 1) : -1;
}

qint64 DirectoryListForm::currentRecordId() const
{
    return recordIdAt(StringGrid1->Row());
}

void DirectoryListForm::ButtonGroup1Items0Click()
{
    DirectoryEditForm* edit = editor();
    if (!edit)
        return;
    edit->ForNew();
    if (edit->exec() != QDialog::Accepted)
        return;
    Dialogs::guard(this, [&] {
        edit->AddNew();
        RefreshForm();
    });
}

void DirectoryListForm::ButtonGroup1Items1Click()
{
    const qint64 id = currentRecordId();
    if (id < 0)
        return;
    Dialogs::guard(this, [&] {
        if (table().placesNaming(id) > 0) {
            Dialogs::message(this, m1);
            return;
        }
        if (!Dialogs::question(this, q1))
            return;
        table().remove(id);
        RefreshForm();
    });
}

void DirectoryListForm::ButtonGroup1Items2Click()
{
    const qint64 id = currentRecordId();
    if (id < 0)
        return;
    DirectoryEditForm* edit = editor();
    if (!edit)
        return;
    // A record gone since the last refill fails here, and the editor is not opened.
    if (!Dialogs::guard(this, [&] { edit->ForEditId(id); }))
        return;
    if (edit->exec() != QDialog::Accepted)
        return;
    Dialogs::guard(this, [&] {
        edit->AddEdit();
        RefreshForm();
    });
}

void DirectoryListForm::FormShow()
{
    Dialogs::guard(this, [this] { RefreshForm(); });
}

void DirectoryListForm::InitForm()
{
    const SectionValues v = readSection();
    applyCaptionAndGeometry(v);
    for (int i = 0; i < 3; ++i)
        ButtonGroup1->setHint(i, v.text(QStringLiteral("bhint%1").arg(i)));
    q1 = v.text(QStringLiteral("q1"));
    m1 = v.text(QStringLiteral("m1"));
    StringGrid1->readColumns(ini(), section(),
                             {designText(QStringLiteral("col0")), designText(QStringLiteral("col1"))});
}

void DirectoryListForm::InitSave()
{
    saveGeometry();
    IniFile file = ini();
    StringGrid1->saveColumnWidths(file, section());
}
