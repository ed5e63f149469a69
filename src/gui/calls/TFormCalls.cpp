#include "gui/calls/TFormCalls.h"

#include "core/base/Clock.h"
#include "core/calls/EscalationSettings.h"
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

const QString kSection = QStringLiteral("CallsForm");
const QString kCaption = QStringLiteral("Активные вызовы");
const QString kQuestion = QStringLiteral("Убрать вызов из списка активных? Запись в журнале останется.");
const QString kDismiss = QStringLiteral("Убрать из списка");

const char16_t* const kColumnCaptions[OpenCallsModel::kColumns] = {
    u"Место", u"Палата", u"Ответственный", u"Тип", u"Время", u"Ожидание",
};
constexpr QSize kDesignClient(560, 220);
constexpr int kColumnWidths[OpenCallsModel::kColumns] = {110, 80, 110, 70, 60, 90};

QString columnCaption(int n)
{
    return QString::fromUtf16(kColumnCaptions[n]);
}

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
    : FormBase(kSection, kCaption, kDesignClient, QSize(300, 150), parent), m_calls(calls)
{
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    q1 = kQuestion;
    mCalls = kCaption;

    m_model = new OpenCallsModel(calls, antennas, settings, logConst, types, Clock::now(), this);
    StringGrid1 = new StringGrid(OpenCallsModel::kColumns, this);
    StringGrid1->setObjectName(QStringLiteral("StringGrid1"));
    StringGrid1->setModel(m_model);
    StringGrid1->setItemDelegate(new LevelKeepingDelegate(StringGrid1));
    for (int c = 0; c < OpenCallsModel::kColumns; ++c) {
        StringGrid1->setCaption(c, columnCaption(c));
        StringGrid1->setColumnWidth(c, kColumnWidths[c]);
    }
    StringGrid1->installEventFilter(this);

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    mDismiss = PopupMenu1->addAction(kDismiss);
    mDismiss->setObjectName(QStringLiteral("mDismiss"));
    connect(mDismiss, &QAction::triggered, this, [this] { mDismissClick(); });
    StringGrid1->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(StringGrid1, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        const QModelIndex at = StringGrid1->indexAt(pos);
        if (at.isValid())
            StringGrid1->setRow(at.row() + 1);
        mDismiss->setEnabled(m_model->callIdAt(StringGrid1->currentIndex().row()) >= 0);
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

void TFormCalls::InitComm()
{
    IniFile file = ini();
    writeComments(file);
}

void TFormCalls::InitDef()
{
    IniFile file = ini();
    writeDefaults(file, QRect(outerGeometry().topLeft(), kDesignClient + designFrame()));
}

void TFormCalls::writeFirstStart(IniFile& ini)
{
    writeComments(ini);
    writeDefaults(ini, QRect(QPoint(0, 0), kDesignClient + designFrame()));
}

void TFormCalls::writeComments(IniFile& file)
{
    const auto comment = [&](const QString& key, const QString& text) {
        writeStringIfMissing(file, kSection, u';' + key, text);
    };
    comment(QStringLiteral("Описание секции"), kCaption);
    comment(QStringLiteral("colНОМЕР_СТОЛБЦА"), QStringLiteral("описание столбца N"));
    comment(QStringLiteral("colНОМЕР_СТОЛБЦАw"), QStringLiteral("ширина столбца N"));
    for (int c = 0; c < OpenCallsModel::kColumns; ++c)
        comment(QStringLiteral("col%1").arg(c), columnCaption(c));
    comment(QStringLiteral("q1"), QStringLiteral("Вопрос: ") + kQuestion);
    comment(QStringLiteral("mDismiss"), QStringLiteral("Пункт меню: ") + kDismiss);
    comment(QStringLiteral("mCalls"), QStringLiteral("Пункт меню главной формы: ") + kCaption);
}

void TFormCalls::writeDefaults(IniFile& file, const QRect& r)
{
    const auto value = [&](const QString& key, const QString& text) {
        writeStringIfMissing(file, kSection, key, text);
    };
    value(QStringLiteral("Caption"), kCaption);
    value(QStringLiteral("Top"), QString::number(r.top()));
    value(QStringLiteral("Left"), QString::number(r.left()));
    value(QStringLiteral("Height"), QString::number(r.height()));
    value(QStringLiteral("Width"), QString::number(r.width()));
    for (int c = 0; c < OpenCallsModel::kColumns; ++c)
        value(QStringLiteral("col%1").arg(c), columnCaption(c));
    for (int c = 0; c < OpenCallsModel::kColumns; ++c)
        value(QStringLiteral("col%1w").arg(c), QString::number(kColumnWidths[c]));
    value(QStringLiteral("q1"), kQuestion);
    value(QStringLiteral("mDismiss"), kDismiss);
    value(QStringLiteral("mCalls"), kCaption);
}

void TFormCalls::InitForm()
{
    // As the other windows: the stored place held to the screen, centred when first shown while
    // still at its design place.
    const QRect r = outerGeometry();
    const IniFile file = ini();
    SectionValues values;
    values.set(QStringLiteral("Caption"),
               file.readString(kSection, QStringLiteral("Caption"), windowTitle()));
    values.set(QStringLiteral("Top"), file.readInteger(kSection, QStringLiteral("Top"), r.top()));
    values.set(QStringLiteral("Left"), file.readInteger(kSection, QStringLiteral("Left"), r.left()));
    values.set(QStringLiteral("Height"), file.readInteger(kSection, QStringLiteral("Height"), r.height()));
    values.set(QStringLiteral("Width"), file.readInteger(kSection, QStringLiteral("Width"), r.width()));
    applyCaptionAndGeometry(values);
    q1 = readText(QStringLiteral("q1"), kQuestion);
    mDismiss->setText(readText(QStringLiteral("mDismiss"), kDismiss));
    mCalls = readText(QStringLiteral("mCalls"), kCaption);
    QStringList captions;
    for (int c = 0; c < OpenCallsModel::kColumns; ++c)
        captions << columnCaption(c);
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
    // The id, not the row: while the question is open a cancel may take the call off, or a new call
    // may push it down.
    const qint64 id = m_model->callIdAt(StringGrid1->currentIndex().row());
    if (id < 0)
        return;
    if (!Dialogs::question(this, q1))
        return;
    bool done = false;
    Dialogs::guard(this, [&] {
        m_calls.dismiss(id);
        done = true;
    });
    if (done)
        emit callDismissed(id);
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
