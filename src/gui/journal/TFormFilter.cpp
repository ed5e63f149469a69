#include "gui/journal/TFormFilter.h"

#include "core/base/Clock.h"
#include "core/engine/WardServer.h"
#include "core/journal/JournalStore.h"
#include "core/settings/WindowSections.h"
#include "gui/kit/ButtonGroup.h"
#include "gui/kit/Dialogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QRegularExpressionValidator>
#include <QSignalBlocker>
#include <QTimeEdit>
#include <QToolButton>
#include <QVBoxLayout>

#include <iterator>

namespace {

// A remembered position, or no selection when the list has become shorter.
void selectPosition(QComboBox* box, int index)
{
    const QSignalBlocker quiet(box);
    box->setCurrentIndex(index < box->count() ? index : -1);
}

} // namespace

TFormFilter::TFormFilter(WardServer& server, QWidget* parent)
    : FormBase(WindowSections::filterForm(), QSize(600, 360), parent), m_server(server)
{
    setObjectName(QStringLiteral("TFormFilter"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    buildWindow();
}

void TFormFilter::buildWindow()
{
    for (int i = 0; i < 8; ++i) {
        lt[i] = new QLabel(designText(QStringLiteral("label%1").arg(i + 1)), this);
        lt[i]->setObjectName(QStringLiteral("lt%1").arg(i + 1));
    }

    const QString longDate = QLocale().dateFormat(QLocale::LongFormat);
    auto makeBound = [this, &longDate](QCheckBox*& check, QDateEdit*& date, QTimeEdit*& time,
                                       const QString& n) {
        check = new QCheckBox(this);
        check->setObjectName(QStringLiteral("cbt") + n);
        date = new QDateEdit(this);
        date->setObjectName(QStringLiteral("dp") + n);
        date->setDisplayFormat(longDate);
        date->setCalendarPopup(true);
        date->setEnabled(false);
        time = new QTimeEdit(this);
        time->setObjectName(QStringLiteral("tp") + n);
        time->setDisplayFormat(QStringLiteral("HH:mm"));
        time->setEnabled(false);
    };
    makeBound(cbt1, dp1, tp1, QStringLiteral("1"));
    makeBound(cbt2, dp2, tp2, QStringLiteral("2"));
    connect(cbt1, &QCheckBox::toggled, this, [this] { cbt1Click(); });
    connect(cbt2, &QCheckBox::toggled, this, [this] { cbt2Click(); });

    auto makeList = [this](const QString& name) {
        auto* box = new QComboBox(this);
        box->setObjectName(name);
        box->setEditable(false);
        box->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        return box;
    };
    cbg = makeList(QStringLiteral("cbg"));
    cbp = makeList(QStringLiteral("cbp"));
    cbf = makeList(QStringLiteral("cbf"));
    cbtr = makeList(QStringLiteral("cbtr"));
    connect(cbg, &QComboBox::currentIndexChanged, this, [this] { cbgChange(); });
    connect(cbtr, &QComboBox::currentIndexChanged, this, [this] { cbtrChange(); });

    etr1 = new QLineEdit(QStringLiteral("1"), this);
    etr1->setObjectName(QStringLiteral("etr1"));
    etr1->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), etr1));
    etr1->setEnabled(false);

    ButtonGroup1 = new ButtonGroup(this);
    ButtonGroup1->setObjectName(QStringLiteral("ButtonGroup1"));
    // The left-hand button resets and the right-hand one applies; each is wired to the handler of the
    // other item's name, and Escape and Enter follow the handlers.
    ButtonGroup1->addItem(QStringLiteral("edit-clear"), QStyle::SP_DialogResetButton,
                          designText(QStringLiteral("bhint0")), [this] { ButtonGroup1Items1Click(); });
    ButtonGroup1->addItem(QStringLiteral("view-filter"), QStyle::SP_DialogApplyButton,
                          designText(QStringLiteral("bhint1")), [this] { ButtonGroup1Items0Click(); });
    bindEscapeEnter(
        {ButtonGroup1->item(0), ButtonGroup1->item(1)}, [this] { ButtonGroup1Items0Click(); },
        [this] { ButtonGroup1Items1Click(); });

    auto* grid = new QGridLayout;
    grid->addWidget(lt[0], 0, 0, 1, 5);
    grid->addWidget(cbt1, 1, 0);
    grid->addWidget(lt[1], 1, 1, Qt::AlignRight);
    grid->addWidget(dp1, 1, 2, 1, 2);
    grid->addWidget(tp1, 1, 4);
    grid->addWidget(cbt2, 2, 0);
    grid->addWidget(lt[2], 2, 1, Qt::AlignRight);
    grid->addWidget(dp2, 2, 2, 1, 2);
    grid->addWidget(tp2, 2, 4);
    grid->addWidget(lt[3], 3, 0, 1, 2);
    grid->addWidget(cbg, 3, 2, 1, 3);
    grid->addWidget(lt[4], 4, 0, 1, 2);
    grid->addWidget(cbp, 4, 2, 1, 3);
    grid->addWidget(lt[5], 5, 0, 1, 2);
    grid->addWidget(cbf, 5, 2, 1, 3);
    grid->addWidget(lt[6], 6, 0, 1, 2);
    grid->addWidget(cbtr, 6, 2);
    auto* threshold = new QHBoxLayout;
    threshold->addWidget(etr1);
    threshold->addWidget(lt[7]);
    grid->addLayout(threshold, 6, 3, 1, 2);
    grid->setColumnStretch(2, 2);
    grid->setColumnStretch(3, 1);
    grid->setColumnStretch(4, 1);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addStretch(1);
    layout->addWidget(ButtonGroup1);

    QWidget* order[] = {cbt1,
                        dp1,
                        tp1,
                        cbt2,
                        dp2,
                        tp2,
                        cbg,
                        cbp,
                        cbf,
                        cbtr,
                        etr1,
                        ButtonGroup1->item(0),
                        ButtonGroup1->item(1)};
    for (std::size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);
}

void TFormFilter::InitForm()
{
    const SectionValues v = readSection();
    applyCaptionAndGeometry(v);
    for (int i = 0; i < 8; ++i)
        lt[i]->setText(v.text(QStringLiteral("label%1").arg(i + 1)));
    ButtonGroup1->setHint(0, v.text(QStringLiteral("bhint0")));
    ButtonGroup1->setHint(1, v.text(QStringLiteral("bhint1")));
    sAllFunction = v.text(QStringLiteral("sAllFunction"));
    sAllGroup = v.text(QStringLiteral("sAllGroup"));
    sWithoutGroup = v.text(QStringLiteral("sWithoutGroup"));
    sOff = v.text(QStringLiteral("sOff"));
    sMore = v.text(QStringLiteral("sMore"));
    sLess = v.text(QStringLiteral("sLess"));
    // The controls start from their reset state once their texts are known; nothing is applied, the
    // main window starts with the whole journal. The lists are read by the start once the file lets
    // it (InitLists).
    initControls();
}

void TFormFilter::Init0()
{
    initControls();
    InitLists();
}

void TFormFilter::initControls()
{
    const QDate today = Clock::now().date();
    dp1->setDate(today.addDays(-60));
    dp2->setDate(today);
    tp1->setTime(QTime(0, 0, 0));
    // The upper bound takes in the whole of its day, its last second included.
    tp2->setTime(QTime(23, 59, 59));
    cbt1->setChecked(false);
    cbt2->setChecked(false);
    cbt1Click();
    cbt2Click();

    // The fixed items until the journal's names are read.
    {
        const QSignalBlocker quietWards(cbg);
        const QSignalBlocker quietPlaces(cbp);
        cbg->clear();
        cbg->addItem(sAllGroup);
        cbg->addItem(sWithoutGroup);
        selectPosition(cbg, 0);
        cbp->clear();
        cbp->addItem(QStringLiteral("Все"));
        cbp->setCurrentIndex(-1);
    }

    InitCBF();
    selectPosition(cbf, 0);

    InitCBtr();
    selectPosition(cbtr, 0);
    etr1->setEnabled(false);
}

void TFormFilter::InitLists()
{
    InitCBG();
    selectPosition(cbg, 0);
    InitCBP(0);
}

void TFormFilter::InitCBG()
{
    const QSignalBlocker quiet(cbg);
    cbg->clear();
    cbg->addItem(sAllGroup);
    cbg->addItem(sWithoutGroup);
    for (const QString& name : JournalStore(m_server.db()).wardNames()) {
        // A name that differs only in letter case from one already listed is offered once.
        if (cbg->findText(name, Qt::MatchFixedString) < 0)
            cbg->addItem(name);
    }
}

void TFormFilter::InitCBP(int wardIndex)
{
    const QSignalBlocker quiet(cbp);
    cbp->clear();
    cbp->addItem(QStringLiteral("Все"));
    // Without a ward selected (the list has shrunk since) the places of every ward are offered, as the
    // clause then does not restrict the ward either.
    if (wardIndex < 0 || wardIndex >= cbg->count())
        wardIndex = 0;
    JournalStore journal(m_server.db());
    cbp->addItems(wardIndex == 0   ? journal.placeNamesOfAllWards()
                  : wardIndex == 1 ? journal.placeNamesWithoutWard()
                                   : journal.placeNamesOfWard(cbg->itemText(wardIndex)));
    cbp->setCurrentIndex(-1);
}

void TFormFilter::InitCBF()
{
    const QSignalBlocker quiet(cbf);
    const MainSettingsValues& cfg = m_server.cfg();
    cbf->clear();
    cbf_.clear();
    cbf->addItem(sAllFunction);
    cbf_ << QString();
    cbf->addItem(cfg.log_r8);
    cbf_ << QStringLiteral("8");
    cbf->addItem(cfg.log_r4);
    cbf_ << QStringLiteral("4");
    cbf->addItem(cfg.log_rb);
    cbf_ << QStringLiteral("b");
}

void TFormFilter::InitCBtr()
{
    const QSignalBlocker quiet(cbtr);
    cbtr->clear();
    cbtr->addItem(sOff);
    cbtr->addItem(sMore);
    cbtr->addItem(sLess);
}

void TFormFilter::FormShow()
{
    // The lists follow the journal, which may have changed while the window was hidden; the
    // selections stay by position.
    Dialogs::guard(this, [this] {
        const int ward = qMax(cbg->currentIndex(), 0);
        InitCBG();
        selectPosition(cbg, ward);
        const int place = qMax(cbp->currentIndex(), 0);
        InitCBP(cbg->currentIndex());
        selectPosition(cbp, place);
    });
}

FilterSelection TFormFilter::selection() const
{
    FilterSelection s;
    s.lowerOn = cbt1->isChecked();
    s.lowerDate = dp1->date();
    s.lowerTime = tp1->time();
    s.upperOn = cbt2->isChecked();
    s.upperDate = dp2->date();
    s.upperTime = tp2->time();
    s.wardIndex = cbg->currentIndex();
    s.wardText = cbg->currentText();
    s.placeIndex = cbp->currentIndex();
    s.placeText = cbp->currentText();
    s.functionIndex = cbf->currentIndex();
    s.functionCode = cbf_.value(cbf->currentIndex());
    s.functionText = cbf->currentText();
    s.reactionIndex = cbtr->currentIndex();
    s.reactionText = cbtr->currentText();
    s.thresholdMinutes = etr1->text();
    return s;
}

void TFormFilter::SetFilter()
{
    // A threshold that is no number raises here, before the main window's clause changes.
    const FilterSelection chosen = selection();
    const FilterClause clause = Filter::buildClause(chosen);
    m_appliedDescription = Filter::describe(chosen);
    m_server.setFilter(clause.where, clause.params);
    if (m_refreshLog)
        m_refreshLog();
}

void TFormFilter::ButtonGroup1Items0Click()
{
    Dialogs::guard(this, [this] { SetFilter(); });
}

void TFormFilter::ButtonGroup1Items1Click()
{
    Dialogs::guard(this, [this] {
        Init0();
        SetFilter();
    });
}

void TFormFilter::cbt1Click()
{
    dp1->setEnabled(cbt1->isChecked());
    tp1->setEnabled(cbt1->isChecked());
}

void TFormFilter::cbt2Click()
{
    dp2->setEnabled(cbt2->isChecked());
    tp2->setEnabled(cbt2->isChecked());
}

void TFormFilter::cbgChange()
{
    Dialogs::guard(this, [this] { InitCBP(cbg->currentIndex()); });
}

void TFormFilter::cbtrChange()
{
    etr1->setEnabled(cbtr->currentIndex() != 0);
}
