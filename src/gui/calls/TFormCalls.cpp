#include "gui/calls/TFormCalls.h"

#include "core/base/Clock.h"
#include "core/settings/WindowSections.h"
#include "gui/calls/OpenCallsModel.h"
#include "gui/kit/Dialogs.h"
#include "gui/kit/StringGrid.h"

#include <QAction>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QVBoxLayout>

namespace {

// A selected row keeps the colour of its level: the selection is drawn as a frame around the row
// instead of the highlight that would hide a call in alarm.
class LevelKeepingDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        if (!(option.state & QStyle::State_Selected) ||
            !index.data(Qt::BackgroundRole).canConvert<QBrush>()) {
            QStyledItemDelegate::paint(painter, option, index);
            return;
        }
        QStyleOptionViewItem plain(option);
        plain.state &= ~QStyle::State_Selected;
        QStyledItemDelegate::paint(painter, plain, index);

        const QRect r = option.rect.adjusted(0, 0, -1, -1);
        painter->save();
        painter->setPen(QPen(option.palette.color(QPalette::Active, QPalette::Highlight), 2));
        painter->drawLine(r.topLeft() + QPoint(0, 1), r.topRight() + QPoint(0, 1));
        painter->drawLine(r.bottomLeft(), r.bottomRight());
        if (index.column() == 0)
            painter->drawLine(r.topLeft() + QPoint(1, 0), r.bottomLeft() + QPoint(1, 0));
        if (index.column() == index.model()->columnCount() - 1)
            painter->drawLine(r.topRight(), r.bottomRight());
        painter->restore();
    }
};

} // namespace

TFormCalls::TFormCalls(OpenCalls& calls, AntennaWatch& antennas, const EscalationValues& settings,
                       const LogConst& logConst, const JournalTypeTexts& types, QWidget* parent)
    : FormBase(WindowSections::callsForm(), QSize(300, 150), parent), m_calls(calls)
{
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    q1 = designText(QStringLiteral("q1"));
    mCalls = designText(QStringLiteral("mCalls"));

    m_model = new OpenCallsModel(calls, antennas, settings, logConst, types, Clock::moment(), this);
    StringGrid1 = new StringGrid(OpenCallsModel::kColumns, this);
    StringGrid1->setObjectName(QStringLiteral("StringGrid1"));
    StringGrid1->setModel(m_model);
    StringGrid1->setItemDelegate(new LevelKeepingDelegate(StringGrid1));
    for (int c = 0; c < OpenCallsModel::kColumns; ++c) {
        StringGrid1->setCaption(c, designText(QStringLiteral("col%1").arg(c)));
        StringGrid1->setColumnWidth(c, settingsTable().designOf(QStringLiteral("col%1w").arg(c)).toInt());
    }
    StringGrid1->installEventFilter(this);

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    mDismiss = PopupMenu1->addAction(designText(QStringLiteral("mDismiss")));
    mDismiss->setObjectName(QStringLiteral("mDismiss"));
    connect(mDismiss, &QAction::triggered, this, [this] { mDismissClick(); });
    StringGrid1->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(StringGrid1, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        const QModelIndex at = StringGrid1->indexAt(pos);
        if (at.isValid())
            StringGrid1->setRow(at.row() + 1);
        mDismiss->setEnabled(!m_model->callKeyAt(StringGrid1->currentIndex().row()).isEmpty());
        PopupMenu1->popup(StringGrid1->viewport()->mapToGlobal(pos));
    });
    connect(m_model, &OpenCallsModel::antennasChanged, this, [this] { setAntennaSpans(); });
    setAntennaSpans();

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(StringGrid1);
}

void TFormCalls::setAntennaSpans()
{
    StringGrid1->clearSpans();
    for (int row = 0; row < m_model->antennaRows(); ++row)
        StringGrid1->setSpan(row, 0, 1, OpenCallsModel::kColumns);
}

void TFormCalls::InitSection()
{
    InitComm();
    InitDef();
    InitForm();
}

void TFormCalls::InitForm()
{
    // As the other windows: the stored place held to the screen, centred when first shown while
    // still at its design place. The caption and the place are read with the current ones as
    // defaults, the column widths with 50.
    const QRect r = outerGeometry();
    SectionValues values;
    values.set(QStringLiteral("Caption"), readText(QStringLiteral("Caption"), windowTitle()));
    values.set(QStringLiteral("Top"), readInt(QStringLiteral("Top"), r.top()));
    values.set(QStringLiteral("Left"), readInt(QStringLiteral("Left"), r.left()));
    values.set(QStringLiteral("Height"), readInt(QStringLiteral("Height"), r.height()));
    values.set(QStringLiteral("Width"), readInt(QStringLiteral("Width"), r.width()));
    applyCaptionAndGeometry(values);
    q1 = readText(QStringLiteral("q1"), designText(QStringLiteral("q1")));
    mDismiss->setText(readText(QStringLiteral("mDismiss"), designText(QStringLiteral("mDismiss"))));
    mCalls = readText(QStringLiteral("mCalls"), designText(QStringLiteral("mCalls")));
    QStringList captions;
    for (int c = 0; c < OpenCallsModel::kColumns; ++c)
        captions << designText(QStringLiteral("col%1").arg(c));
    StringGrid1->readColumns(ini(), section(), captions);
}

void TFormCalls::InitSave()
{
    saveGeometry();
    IniFile file = ini();
    StringGrid1->saveColumnWidths(file, section());
}

void TFormCalls::mDismissClick()
{
    // The key, not the row: while the question is open a cancel may take the call off, or a new call
    // may push it down.
    const QString key = m_model->callKeyAt(StringGrid1->currentIndex().row());
    if (key.isEmpty())
        return;
    if (!Dialogs::question(this, q1))
        return;
    bool done = false;
    Dialogs::guard(this, [&] {
        m_calls.dismiss(key, Clock::now());
        done = true;
    });
    if (done)
        emit callDismissed(key);
}

bool TFormCalls::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == StringGrid1 && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Delete) {
        mDismissClick();
        return true;
    }
    return FormBase::eventFilter(watched, event);
}
