#include "gui/directory/TFormButsEdit.h"

#include "core/directory/PlacesStore.h"
#include "core/engine/WardServer.h"
#include "core/settings/WindowSections.h"
#include "gui/kit/ButtonGroup.h"
#include "gui/kit/Dialogs.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

const QString kNone = QStringLiteral("Пусто");

void fill(QComboBox* box, QList<qint64>& ids, const QString& none, const QList<PlacesChoice>& choices)
{
    box->clear();
    ids.clear();
    box->addItem(none);
    ids.append(-1);
    for (const PlacesChoice& choice : choices) {
        box->addItem(choice.name);
        ids.append(choice.id);
    }
}

qint32 indexOf(const QList<qint64>& ids, qint64 id)
{
    for (qsizetype i = 1; i < ids.size(); ++i) {
        if (ids.at(i) == id)
            return static_cast<qint32>(i);
    }
    return 0;
}

std::optional<qint64> chosenId(const QComboBox* box, const QList<qint64>& ids)
{
    const int index = box->currentIndex();
    if (index <= 0 || index >= ids.size())
        return std::nullopt;
    return ids.at(index);
}

} // namespace

TFormButsEdit::TFormButsEdit(WardServer& server, QWidget* parent)
    : FormBase(WindowSections::butsEditForm(), QSize(350, 180), parent), m_server(server), m_noneGroup(kNone),
      m_noneWorker(kNone)
{
    setObjectName(QStringLiteral("TFormButsEdit"));
    // No buttons in the title bar: the button group ends the editor.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    move(0, 0);

    l1 = new QLabel(designText(QStringLiteral("label1")), this);
    l1->setObjectName(QStringLiteral("l1"));
    l2 = new QLabel(designText(QStringLiteral("label2")), this);
    l2->setObjectName(QStringLiteral("l2"));
    l3 = new QLabel(designText(QStringLiteral("label3")), this);
    l3->setObjectName(QStringLiteral("l3"));
    l4 = new QLabel(designText(QStringLiteral("label4")), this);
    l4->setObjectName(QStringLiteral("l4"));
    eName = new QLineEdit(this);
    eName->setObjectName(QStringLiteral("eName"));
    cb4 = new QComboBox(this);
    cb4->setObjectName(QStringLiteral("cb4"));
    cb6 = new QComboBox(this);
    cb6->setObjectName(QStringLiteral("cb6"));
    eComm = new QLineEdit(this);
    eComm->setObjectName(QStringLiteral("eComm"));

    ButtonGroup1 = new ButtonGroup(this);
    ButtonGroup1->setObjectName(QStringLiteral("ButtonGroup1"));
    ButtonGroup1->addItem(QStringLiteral("dialog-cancel"), QStyle::SP_DialogCancelButton,
                          designText(QStringLiteral("bhint0")), [this] { ButtonGroup1Items0Click(); });
    ButtonGroup1->addItem(QStringLiteral("dialog-ok"), QStyle::SP_DialogOkButton,
                          designText(QStringLiteral("bhint1")), [this] { ButtonGroup1Items1Click(); });
    ButtonGroup1->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);

    auto* fields = new QGridLayout;
    fields->setColumnStretch(1, 1);
    fields->addWidget(l1, 0, 0);
    fields->addWidget(eName, 0, 1);
    fields->addWidget(l2, 1, 0);
    fields->addWidget(cb4, 1, 1);
    fields->addWidget(l4, 2, 0);
    fields->addWidget(cb6, 2, 1);
    fields->addWidget(l3, 3, 0);
    fields->addWidget(eComm, 3, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(ButtonGroup1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addStretch(1);
    layout->addLayout(buttons);

    setTabOrder(eName, cb4);
    setTabOrder(cb4, cb6);
    setTabOrder(cb6, eComm);
    setTabOrder(eComm, ButtonGroup1->item(0));
    setTabOrder(ButtonGroup1->item(0), ButtonGroup1->item(1));

    // The drop-downs keep Escape and Enter for themselves.
    bindEscapeEnter(
        {eName, eComm, ButtonGroup1, ButtonGroup1->item(0), ButtonGroup1->item(1)},
        [this] { ButtonGroup1Items0Click(); }, [this] { ButtonGroup1Items1Click(); });
}

void TFormButsEdit::InitForm()
{
    const SectionValues v = readSection();
    applyCaptionAndGeometry(v);
    l1->setText(v.text(QStringLiteral("label1")));
    l2->setText(v.text(QStringLiteral("label2")));
    l3->setText(v.text(QStringLiteral("label3")));
    l4->setText(v.text(QStringLiteral("label4")));
    ButtonGroup1->setHint(0, v.text(QStringLiteral("bhint0")));
    ButtonGroup1->setHint(1, v.text(QStringLiteral("bhint1")));
    const SectionValues adding = WindowSections::butsAddForm().read(ini());
    m_noneGroup = adding.text(QStringLiteral("r4_0"));
    m_noneWorker = adding.text(QStringLiteral("r6_0"));
}

void TFormButsEdit::FormShow()
{
    eName->setFocus();
}

void TFormButsEdit::InitCBGroup()
{
    fill(cb4, cb4_id, m_noneGroup, PlacesStore::readGroups(m_server.db()));
}

void TFormButsEdit::InitCBWorker()
{
    fill(cb6, cb6_id, m_noneWorker, PlacesStore::readWorkers(m_server.db()));
}

qint32 TFormButsEdit::cb4_ind(qint64 wardId) const
{
    return indexOf(cb4_id, wardId);
}

qint32 TFormButsEdit::cb6_ind(qint64 staffId) const
{
    return indexOf(cb6_id, staffId);
}

void TFormButsEdit::ForEdit(const QString& abcde)
{
    InitCBGroup();
    InitCBWorker();
    const PlaceRecord place = PlacesStore::readPlace(m_server.db(), abcde);
    id = place.id;
    eName->setText(place.name);
    eComm->setText(place.comm);
    cb4->setCurrentIndex(place.groupsid ? cb4_ind(*place.groupsid) : 0);
    cb6->setCurrentIndex(place.workersid ? cb6_ind(*place.workersid) : 0);
}

void TFormButsEdit::AddEdit()
{
    PlaceRecord place;
    place.id = id;
    place.name = eName->text();
    place.comm = eComm->text();
    place.groupsid = chosenId(cb4, cb4_id);
    place.workersid = chosenId(cb6, cb6_id);
    PlacesStore::updatePlace(m_server.db(), place);
}

void TFormButsEdit::end(int result)
{
    // Ending the modal editor by its buttons counts as closing it: the geometry is saved.
    Dialogs::guard(this, [this] { FormClose(); });
    done(result);
}

void TFormButsEdit::ButtonGroup1Items0Click()
{
    end(QDialog::Rejected);
}

void TFormButsEdit::ButtonGroup1Items1Click()
{
    end(QDialog::Accepted);
}
