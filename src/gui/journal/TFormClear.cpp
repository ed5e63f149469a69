#include "gui/journal/TFormClear.h"

#include "core/base/Clock.h"
#include "core/engine/WardServer.h"
#include "core/journal/JournalStore.h"
#include "core/settings/WindowSections.h"
#include "gui/kit/ButtonGroup.h"
#include "gui/kit/Dialogs.h"

#include <QCloseEvent>
#include <QDateEdit>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>
#include <QVBoxLayout>

namespace {
constexpr int kDelete = 1;
constexpr int kCancel = 2;
} // namespace

TFormClear::TFormClear(WardServer& server, QWidget* parent)
    : FormBase(WindowSections::clearForm(), QSize(310, 125), parent), m_server(server)
{
    setObjectName(QStringLiteral("TFormClear"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setModal(true);

    gbTime = new QFrame(this);
    gbTime->setObjectName(QStringLiteral("gbTime"));
    gbTime->setFrameShape(QFrame::StyledPanel);
    Label1 = new QLabel(designText(QStringLiteral("label1")), gbTime);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    dtp11 = new QDateEdit(gbTime);
    dtp11->setObjectName(QStringLiteral("dtp11"));
    dtp11->setCalendarPopup(true);
    auto* row = new QHBoxLayout(gbTime);
    row->addWidget(Label1, 1);
    row->addWidget(dtp11, 2);

    ButtonGroup1 = new ButtonGroup(this);
    ButtonGroup1->setObjectName(QStringLiteral("ButtonGroup1"));
    ButtonGroup1->addItem(QStringLiteral("dialog-cancel"), QStyle::SP_DialogCancelButton,
                          designText(QStringLiteral("bhint0")), [this] { ButtonGroup1Items0Click(); });
    ButtonGroup1->addItem(QStringLiteral("edit-delete"), QStyle::SP_TrashIcon,
                          designText(QStringLiteral("bhint1")), [this] { ButtonGroup1Items1Click(); });

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addWidget(gbTime, 1);
    layout->addWidget(ButtonGroup1);

    // The keys must reach the window wherever the focus sits in the picker: the picker passes typed
    // keys to its inner edit.
    QList<QWidget*> keyControls{dtp11, ButtonGroup1->item(0), ButtonGroup1->item(1)};
    if (auto* edit = dtp11->findChild<QLineEdit*>())
        keyControls << edit;
    bindEscapeEnter(
        keyControls, [this] { ButtonGroup1Items0Click(); }, [this] { ButtonGroup1Items1Click(); });
    setTabOrder(dtp11, ButtonGroup1->item(0));
    setTabOrder(ButtonGroup1->item(0), ButtonGroup1->item(1));
}

void TFormClear::InitForm()
{
    const SectionValues v = readSection();
    applyCaptionAndGeometry(v);
    Label1->setText(v.text(QStringLiteral("label1")));
    ButtonGroup1->setHint(0, v.text(QStringLiteral("bhint0")));
    ButtonGroup1->setHint(1, v.text(QStringLiteral("bhint1")));
}

void TFormClear::InitSave()
{
    // A fixed dialog: its size is not the operator's to keep.
    saveGeometry(false);
}

void TFormClear::FormShow()
{
    dtp11->setDate(Clock::now().date().addDays(-30));
    dtp11->setFocus();
}

QString TFormClear::clearBound(const QDate& lastDay)
{
    return JournalStore::clearBound(lastDay);
}

void TFormClear::deleteUpTo(db::Database& database, const QDate& lastDay)
{
    JournalStore(database).deleteUpTo(lastDay);
}

void TFormClear::ClearLog()
{
    deleteUpTo(m_server.db(), dtp11->date());
    m_server.journalCleared();
}

void TFormClear::ButtonGroup1Items0Click()
{
    done(kCancel);
}

void TFormClear::ButtonGroup1Items1Click()
{
    // A date typed but not yet taken by the picker counts as chosen.
    dtp11->interpretText();
    done(kDelete);
}

void TFormClear::done(int result)
{
    if (m_ending || !isVisible()) {
        FormBase::done(result);
        return;
    }
    m_ending = true;
    // A settings file that cannot be written is reported; the dialog ends with its result all the same.
    Dialogs::guard(this, [this] { FormClose(); });
    FormBase::done(result);
    m_ending = false;
}

void TFormClear::reject()
{
    done(kCancel);
}

void TFormClear::closeEvent(QCloseEvent* event)
{
    // The close box cancels; the dialog does not pass through the base's close handling, which
    // would save a second time.
    if (!m_ending && isVisible())
        done(kCancel);
    event->accept();
}
