#include "gui/directory/DirectoryEditForm.h"

#include "core/base/AppError.h"
#include "core/engine/WardServer.h"
#include "gui/kit/ButtonGroup.h"
#include "gui/kit/Dialogs.h"

#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>

#include <limits>

namespace {
const QString kNewNameKey = QStringLiteral("newGroupName");
}

DirectoryEditForm::DirectoryEditForm(const DirectoryEditSetup& setup, WardServer& server, QWidget* parent)
    : FormBase(setup.settings(), QSize(330, 150), parent), m_setup(setup), m_server(server)
{
    // No buttons in the title bar: the editor ends only through its own buttons, Escape and Enter.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    setModal(true);
    m1 = designText(QStringLiteral("m1"));
    m2 = designText(QStringLiteral("m2"));

    l1 = new QLabel(designText(QStringLiteral("label1")), this);
    l1->setObjectName(QStringLiteral("l1"));
    eName = new QLineEdit(this);
    eName->setObjectName(QStringLiteral("eName"));
    l2 = new QLabel(designText(QStringLiteral("label2")), this);
    l2->setObjectName(QStringLiteral("l2"));
    eComm = new QLineEdit(this);
    eComm->setObjectName(QStringLiteral("eComm"));
    l1->setBuddy(eName);
    l2->setBuddy(eComm);

    ButtonGroup1 = new ButtonGroup(this);
    ButtonGroup1->setObjectName(QStringLiteral("ButtonGroup1"));
    ButtonGroup1->addItem(QStringLiteral("dialog-cancel"), QStyle::SP_DialogCancelButton,
                          designText(QStringLiteral("bhint0")), [this] { ButtonGroup1Items0Click(); });
    ButtonGroup1->addItem(QStringLiteral("dialog-ok"), QStyle::SP_DialogOkButton,
                          designText(QStringLiteral("bhint1")), [this] { ButtonGroup1Items1Click(); });

    auto* layout = new QGridLayout(this);
    layout->setContentsMargins(8, 8, 8, 4);
    layout->addWidget(l1, 0, 0);
    layout->addWidget(eName, 0, 1);
    layout->addWidget(l2, 1, 0);
    layout->addWidget(eComm, 1, 1);
    layout->setRowStretch(2, 1);
    auto* bottom = new QHBoxLayout;
    bottom->addStretch(1);
    bottom->addWidget(ButtonGroup1);
    layout->addLayout(bottom, 3, 0, 1, 2);

    setTabOrder(eName, eComm);
    setTabOrder(eComm, ButtonGroup1->item(0));
    setTabOrder(ButtonGroup1->item(0), ButtonGroup1->item(1));

    bindEscapeEnter(
        {eName, eComm, ButtonGroup1->item(0), ButtonGroup1->item(1)}, [this] { ButtonGroup1Items0Click(); },
        [this] { ButtonGroup1Items1Click(); });
}

DirectoryTable DirectoryEditForm::table() const
{
    return m_setup.table(m_server.db());
}

QString DirectoryEditForm::trimControls(const QString& text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin).unicode() <= 32)
        ++begin;
    while (end > begin && text.at(end - 1).unicode() <= 32)
        --end;
    return text.mid(begin, end - begin);
}

void DirectoryEditForm::ForNew()
{
    id = -1;
    eName->setText(proposedName());
    eComm->clear();
}

void DirectoryEditForm::load(const DirectoryRecord& record)
{
    // The key must survive the trip through `id` unchanged, or storing would update another record.
    if (record.id < std::numeric_limits<qint32>::min() || record.id > std::numeric_limits<qint32>::max())
        throw AppError(QStringLiteral("'%1' is not a valid integer value").arg(record.id));
    id = static_cast<qint32>(record.id);
    eName->setText(record.name);
    eComm->setText(record.comm);
}

void DirectoryEditForm::ForEdit(const QString& name)
{
    load(table().byName(name));
}

void DirectoryEditForm::ForEditId(qint64 recordId)
{
    load(table().byId(recordId));
}

void DirectoryEditForm::AddNew()
{
    table().insert(eName->text(), eComm->text());
}

void DirectoryEditForm::AddEdit()
{
    table().update(id, eName->text(), eComm->text());
}

bool DirectoryEditForm::GoodName()
{
    if (id != -1)
        return true;
    return !table().nameExists(eName->text());
}

void DirectoryEditForm::ButtonGroup1Items0Click()
{
    done(QDialog::Rejected);
}

void DirectoryEditForm::ButtonGroup1Items1Click()
{
    if (trimControls(eName->text()).isEmpty()) {
        Dialogs::message(this, m1);
        return;
    }
    bool good = false;
    if (!Dialogs::guard(this, [&] { good = GoodName(); }))
        return;
    if (good)
        done(QDialog::Accepted);
    else
        Dialogs::message(this, m2);
}

void DirectoryEditForm::done(int result)
{
    // Saved while the window still shows, so its real frame is measured.
    FormClose();
    FormBase::done(result);
}

void DirectoryEditForm::FormClose()
{
    Dialogs::guard(this, [this] { InitSave(); });
}

void DirectoryEditForm::closeEvent(QCloseEvent* event)
{
    // A close requested by the window system or by code counts as Cancel.
    if (isVisible())
        ButtonGroup1Items0Click();
    event->accept();
}

void DirectoryEditForm::FormShow()
{
    if (m_setup.focusNameOnShow)
        eName->setFocus();
}

void DirectoryEditForm::InitForm()
{
    const SectionValues v = readSection();
    applyCaptionAndGeometry(v);
    l1->setText(v.text(QStringLiteral("label1")));
    l2->setText(v.text(QStringLiteral("label2")));
    ButtonGroup1->setHint(0, v.text(QStringLiteral("bhint0")));
    ButtonGroup1->setHint(1, v.text(QStringLiteral("bhint1")));
    m1 = v.text(QStringLiteral("m1"));
    m2 = v.text(QStringLiteral("m2"));
    proposedName() = v.text(kNewNameKey);
}
