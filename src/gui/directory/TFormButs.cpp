#include "gui/directory/TFormButs.h"

#include "core/directory/PlacesStore.h"
#include "core/engine/WardServer.h"
#include "core/net/StationNotice.h"
#include "core/settings/WindowSections.h"
#include "gui/directory/PlacesGrid.h"
#include "gui/directory/TFormAddButs.h"
#include "gui/directory/TFormButsEdit.h"
#include "gui/kit/ButtonGroup.h"
#include "gui/kit/Dialogs.h"
#include "gui/kit/StringGrid.h"

#include <QHBoxLayout>
#include <QHideEvent>
#include <QMenu>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

namespace {

// Grid column N shows the caption of key kCaptionKeys[N]; the width keys follow the columns.
const char* const kCaptionKeys[PlacesStore::kColumns] = {"col0", "col5", "col1", "col2", "col3", "col4"};

QString widthKey(int column)
{
    return QStringLiteral("col%1w").arg(column);
}

} // namespace

TFormButs::TFormButs(WardServer& server, QWidget* parent)
    : FormBase(WindowSections::butsForm(), QSize(280, 165), parent), m_server(server)
{
    setObjectName(QStringLiteral("TFormButs"));
    setWindowFlag(Qt::WindowMinimizeButtonHint, false);
    setWindowFlag(Qt::WindowMaximizeButtonHint, false);
    move(0, 0);

    StringGrid1 = new StringGrid(PlacesStore::kColumns, this);
    StringGrid1->setObjectName(QStringLiteral("StringGrid1"));
    for (int c = 0; c < PlacesStore::kColumns; ++c) {
        StringGrid1->setColumnWidth(c, settingsTable().designOf(widthKey(c)).toInt());
        StringGrid1->setCaption(c, designText(QString::fromLatin1(kCaptionKeys[c])));
    }
    // The grid's right-button menu is the journal's: it acts on the journal, not on the places.
    StringGrid1->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(StringGrid1, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        if (m_popup)
            m_popup->popup(StringGrid1->viewport()->mapToGlobal(at));
    });
    connect(StringGrid1, &QAbstractItemView::doubleClicked, this,
            [this](const QModelIndex& index) { StringGrid1DblClickCell(index.row() + 1, index.column()); });

    ButtonGroup1 = new ButtonGroup(this);
    ButtonGroup1->setObjectName(QStringLiteral("ButtonGroup1"));
    ButtonGroup1->addItem(QStringLiteral("list-add"), QStyle::SP_FileDialogNewFolder,
                          designText(QStringLiteral("bhint0")), [this] { ButtonGroup1Items0Click(); });
    ButtonGroup1->addItem(QStringLiteral("edit-delete"), QStyle::SP_TrashIcon,
                          designText(QStringLiteral("bhint1")), [this] { ButtonGroup1Items1Click(); });
    ButtonGroup1->addItem(QStringLiteral("document-edit"), QStyle::SP_FileDialogDetailedView,
                          designText(QStringLiteral("bhint2")), [this] { ButtonGroup1Items2Click(); });
    ButtonGroup1->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);

    ButtonGroup5 = new ButtonGroup(this);
    ButtonGroup5->setObjectName(QStringLiteral("ButtonGroup5"));
    ButtonGroup5->addItem(QStringLiteral("edit-find"), QStyle::SP_FileDialogContentsView,
                          designText(QStringLiteral("bhint3")), [this] { ButtonGroup5Items0Click(); });
    ButtonGroup5->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);

    bSearch = new QPushButton(designText(QStringLiteral("bscaption")), this);
    bSearch->setObjectName(QStringLiteral("bSearch"));
    bSearch->setToolTip(designText(QStringLiteral("bshint")));
    bSearch->setAutoDefault(false);
    bSearch->setVisible(false);
    setBSearchFontColor(Qt::black);
    connect(bSearch, &QPushButton::clicked, this, [this] { bSearchClick(); });

    auto* strip = new QHBoxLayout;
    strip->setContentsMargins(0, 0, 0, 0);
    strip->addWidget(ButtonGroup1);
    strip->addStretch(1);
    strip->addWidget(bSearch);
    strip->addWidget(ButtonGroup5);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(StringGrid1, 1);
    layout->addLayout(strip);

    Timer1.setInterval(1000);
    connect(&Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
    SearchIdle.setSingleShot(true);
    connect(&SearchIdle, &QTimer::timeout, this, [this] { SearchIdleTimer(); });
}

void TFormButs::InitForm()
{
    const SectionValues v = readSection();
    applyCaptionAndGeometry(v);
    ButtonGroup1->setHint(0, v.text(QStringLiteral("bhint0")));
    ButtonGroup1->setHint(1, v.text(QStringLiteral("bhint1")));
    ButtonGroup1->setHint(2, v.text(QStringLiteral("bhint2")));
    ButtonGroup5->setHint(0, v.text(QStringLiteral("bhint3")));
    bSearch->setToolTip(v.text(QStringLiteral("bshint")));
    bSearch->setText(v.text(QStringLiteral("bscaption")));
    q1 = v.text(QStringLiteral("q1"));
    q2 = v.text(QStringLiteral("q2"));
    // Seconds; at most a day, so that the timer's milliseconds cannot overflow.
    SearchIdle.setInterval(std::clamp(v.integer(QStringLiteral("SearchIdleSec")), 0, 86400) * 1000);
    for (int c = 0; c < PlacesStore::kColumns; ++c)
        StringGrid1->setColumnWidth(c, qMax(0, v.integer(widthKey(c))));
    for (int c = 0; c < PlacesStore::kColumns; ++c)
        StringGrid1->setCaption(c, v.text(QString::fromLatin1(kCaptionKeys[c])));
}

void TFormButs::InitSave()
{
    saveGeometry();
    for (int c = 0; c < PlacesStore::kColumns; ++c)
        writeInt(widthKey(c), StringGrid1->columnWidth(c));
}

void TFormButs::FormShow()
{
    Dialogs::guard(this, [this] { RefreshForm(); });
}

void TFormButs::FormClose()
{
    Dialogs::guard(this, [this] { InitSave(); });
}

void TFormButs::hideEvent(QHideEvent* event)
{
    FormBase::hideEvent(event);
    if (!event->spontaneous())
        FormHide();
}

void TFormButs::FormHide()
{
    bSearchClick();
    if (m_addButs && m_addButs->isVisible())
        m_addButs->hide();
}

void TFormButs::setPartners(TFormAddButs* addButs, TFormButsEdit* editor)
{
    m_addButs = addButs;
    m_editor = editor;
}

void TFormButs::RefreshForm()
{
    // Read everything first: a failing statement leaves the list as it was.
    const QList<QStringList> rows = PlacesStore::readPlaces(m_server.db());
    StringGrid1->cells()->setRows(rows);
}

void TFormButs::ObrabSearch(const QString& abcde)
{
    restartSearchIdle();
    const int row = PlacesGrid::findCallCode(*StringGrid1, abcde);
    if (row > 0) {
        StringGrid1->setRow(row);
        return;
    }
    // The operator is at the window while the question is open: the search does not end under it.
    SearchIdle.stop();
    if (Dialogs::question(this, q1))
        ToAddButs();
    else
        restartSearchIdle();
}

void TFormButs::ToAddButs()
{
    bSearchClick();
    if (m_addButs)
        m_addButs->showOrRaise();
}

void TFormButs::ButtonGroup1Items0Click()
{
    ToAddButs();
}

void TFormButs::ButtonGroup1Items1Click()
{
    const QString code = StringGrid1->Cells(0, StringGrid1->Row());
    if (code.isEmpty())
        return;
    if (!Dialogs::question(this, q2))
        return;
    Dialogs::guard(this, [&] {
        PlacesStore::deletePlaces(m_server.db(), code);
        RefreshForm();
    });
}

void TFormButs::ButtonGroup1Items2Click()
{
    const QString code = StringGrid1->Cells(0, StringGrid1->Row());
    TFormButsEdit* editor = m_editor;
    if (code.isEmpty() || !editor)
        return;
    // A place deleted behind the list's back fails here, and the editor is not opened.
    if (!Dialogs::guard(this, [&] { editor->ForEdit(code); }))
        return;
    if (editor->exec() != QDialog::Accepted)
        return;
    Dialogs::guard(this, [&] {
        editor->AddEdit();
        RefreshForm();
    });
}

void TFormButs::ButtonGroup5Items0Click()
{
    // The two modes are never on together: switching search on ends adding.
    if (m_addButs && m_addButs->isVisible())
        m_addButs->hide();
    Timer1.start();
    m_server.setSButs(true);
    bSearch->setVisible(true);
    restartSearchIdle();
}

void TFormButs::bSearchClick()
{
    m_server.setSButs(false);
    bSearch->setVisible(false);
    Timer1.stop();
    SearchIdle.stop();
}

void TFormButs::restartSearchIdle()
{
    if (m_server.sButs() && SearchIdle.interval() > 0)
        SearchIdle.start();
}

void TFormButs::SearchIdleTimer()
{
    if (m_server.sButs())
        bSearchClick();
}

void TFormButs::Timer1Timer()
{
    setBSearchFontColor(m_bSearchColor == QColor(Qt::black) ? QColor(Qt::red) : QColor(Qt::black));
}

void TFormButs::setBSearchFontColor(const QColor& color)
{
    m_bSearchColor = color;
    bSearch->setStyleSheet(QStringLiteral("QPushButton { color: %1; }").arg(color.name()));
}

void TFormButs::StringGrid1DblClickCell(int ARow, int)
{
    if (ARow < 1 || ARow >= StringGrid1->RowCount())
        return;
    const QString code = StringGrid1->Cells(0, ARow);
    if (code.isEmpty())
        return;
    m_server.SendToClientsUDP(Stations::placeNotice(
        code, StringGrid1->Cells(1, ARow), StringGrid1->Cells(2, ARow), StringGrid1->Cells(3, ARow)));
}
