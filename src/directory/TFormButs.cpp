#include "directory/TFormButs.h"

#include "directory/PlacesStore.h"
#include "directory/TFormAddButs.h"
#include "directory/TFormButsEdit.h"
#include "journal/Forms.h"
#include "journal/TMF.h"
#include "ui/ButtonGroup.h"
#include "ui/Dialogs.h"
#include "ui/StringGrid.h"

#include <QHBoxLayout>
#include <QHideEvent>
#include <QMenu>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

const QString kDefaultQ1 = QStringLiteral("Нажатая кнопка не найдена в базе. Перейти в режим добавления?");
const QString kDefaultQ2 = QStringLiteral("Действительно удалить устройство из базы?");

// Grid column N shows the caption of key kCaptionKeys[N]; the width keys follow the columns.
const char* const kCaptionKeys[PlacesStore::kColumns] = {"col0", "col5", "col1", "col2", "col3", "col4"};
const QStringList kCaptions = {QStringLiteral("Код"),           QStringLiteral("Код отмены"),
                               QStringLiteral("Название"),      QStringLiteral("Палата"),
                               QStringLiteral("Ответственный"), QStringLiteral("Комментарий")};
// Column 0, the call code, is hidden until the operator drags it wider.
const int kDefaultWidths[PlacesStore::kColumns] = {0, 50, 50, 50, 100, 50};

QString widthKey(int column)
{
    return QStringLiteral("col%1w").arg(column);
}

} // namespace

TFormButs::TFormButs(QWidget* parent)
    : FormBase(QStringLiteral("ButsForm"), QStringLiteral("Места с кнопками вызова"), QSize(348, 307),
               QSize(280, 165), parent)
{
    setObjectName(QStringLiteral("TFormButs"));
    setWindowFlag(Qt::WindowMinimizeButtonHint, false);
    setWindowFlag(Qt::WindowMaximizeButtonHint, false);
    move(0, 0);

    StringGrid1 = new StringGrid(PlacesStore::kColumns, this);
    StringGrid1->setObjectName(QStringLiteral("StringGrid1"));
    for (int c = 0; c < PlacesStore::kColumns; ++c) {
        StringGrid1->setColumnWidth(c, kDefaultWidths[c]);
        StringGrid1->setCaption(c, kCaptions.at(c));
    }
    // The grid's right-button menu is the journal's: it acts on the journal, not on the places.
    StringGrid1->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(StringGrid1, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        if (forms().MF && forms().MF->PopupMenu1)
            forms().MF->PopupMenu1->popup(StringGrid1->viewport()->mapToGlobal(at));
    });
    connect(StringGrid1, &QAbstractItemView::doubleClicked, this,
            [this](const QModelIndex& index) { StringGrid1DblClickCell(index.row() + 1, index.column()); });

    ButtonGroup1 = new ButtonGroup(this);
    ButtonGroup1->setObjectName(QStringLiteral("ButtonGroup1"));
    ButtonGroup1->addItem(QStringLiteral("list-add"), QStyle::SP_FileDialogNewFolder,
                          QStringLiteral("Регистрация кнопок"), [this] { ButtonGroup1Items0Click(); });
    ButtonGroup1->addItem(QStringLiteral("edit-delete"), QStyle::SP_TrashIcon,
                          QStringLiteral("Удалить запись"), [this] { ButtonGroup1Items1Click(); });
    ButtonGroup1->addItem(QStringLiteral("document-edit"), QStyle::SP_FileDialogDetailedView,
                          QStringLiteral("Редактировать"), [this] { ButtonGroup1Items2Click(); });
    ButtonGroup1->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);

    ButtonGroup5 = new ButtonGroup(this);
    ButtonGroup5->setObjectName(QStringLiteral("ButtonGroup5"));
    ButtonGroup5->addItem(QStringLiteral("edit-find"), QStyle::SP_FileDialogContentsView,
                          QStringLiteral("Найти кнопку по нажатию"), [this] { ButtonGroup5Items0Click(); });
    ButtonGroup5->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);

    bSearch = new QPushButton(QStringLiteral("Выключить"), this);
    bSearch->setObjectName(QStringLiteral("bSearch"));
    bSearch->setToolTip(QStringLiteral("Выключить режим поиска по нажатию"));
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
}

void TFormButs::InitComm()
{
    writeComm(QStringLiteral("Описание секции"), QStringLiteral("Форма КОЙКИ"));
    writeComm(QStringLiteral("bhint0"), QStringLiteral("Регистрация кнопок"));
    writeComm(QStringLiteral("bhint1"), QStringLiteral("Удалить запись"));
    writeComm(QStringLiteral("bhint2"), QStringLiteral("Редактировать"));
    writeComm(QStringLiteral("bhint3"), QStringLiteral("Найти кнопку по нажатию"));
    writeComm(QStringLiteral("bshint"), QStringLiteral("Выключить режим поиска по нажатию"));
    writeComm(QStringLiteral("bscaption"), QStringLiteral("Выключить"));
    writeComm(QStringLiteral("colНОМЕР_СТОЛБЦА"), QStringLiteral("описание столбца N"));
    writeComm(QStringLiteral("colНОМЕР_СТОЛБЦАw"), QStringLiteral("ширина столбца N"));
    for (int c = 0; c < PlacesStore::kColumns; ++c)
        writeComm(QString::fromLatin1(kCaptionKeys[c]), kCaptions.at(c));
    writeComm(QStringLiteral("q1"), QStringLiteral("Вопрос: ") + kDefaultQ1);
    writeComm(QStringLiteral("q2"), QStringLiteral("Вопрос: ") + kDefaultQ2);
}

void TFormButs::InitDef()
{
    writeCaptionAndGeometry();
    writeText(QStringLiteral("bhint0"), ButtonGroup1->hint(0));
    writeText(QStringLiteral("bhint1"), ButtonGroup1->hint(1));
    writeText(QStringLiteral("bhint2"), ButtonGroup1->hint(2));
    writeText(QStringLiteral("bhint3"), ButtonGroup5->hint(0));
    writeText(QStringLiteral("bshint"), bSearch->toolTip());
    writeText(QStringLiteral("bscaption"), bSearch->text());
    for (int c = 0; c < PlacesStore::kColumns; ++c)
        writeText(QString::fromLatin1(kCaptionKeys[c]), kCaptions.at(c));
    for (int c = 0; c < PlacesStore::kColumns; ++c)
        writeInt(widthKey(c), kDefaultWidths[c]);
    writeText(QStringLiteral("q1"), kDefaultQ1);
    writeText(QStringLiteral("q2"), kDefaultQ2);
}

void TFormButs::InitForm()
{
    readCaptionAndGeometry();
    ButtonGroup1->setHint(0, readText(QStringLiteral("bhint0"), ButtonGroup1->hint(0)));
    ButtonGroup1->setHint(1, readText(QStringLiteral("bhint1"), ButtonGroup1->hint(1)));
    ButtonGroup1->setHint(2, readText(QStringLiteral("bhint2"), ButtonGroup1->hint(2)));
    ButtonGroup5->setHint(0, readText(QStringLiteral("bhint3"), ButtonGroup5->hint(0)));
    bSearch->setToolTip(readText(QStringLiteral("bshint"), bSearch->toolTip()));
    bSearch->setText(readText(QStringLiteral("bscaption"), bSearch->text()));
    q1 = readText(QStringLiteral("q1"), kDefaultQ1);
    q2 = readText(QStringLiteral("q2"), kDefaultQ2);
    for (int c = 0; c < PlacesStore::kColumns; ++c)
        StringGrid1->setColumnWidth(c, qMax(0, readInt(widthKey(c), kDefaultWidths[c])));
    for (int c = 0; c < PlacesStore::kColumns; ++c)
        StringGrid1->setCaption(c, readText(QString::fromLatin1(kCaptionKeys[c]), kCaptions.at(c)));
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
    if (forms().FormAddButs && forms().FormAddButs->isVisible())
        forms().FormAddButs->hide();
}

void TFormButs::RefreshForm()
{
    if (!forms().MF)
        return;
    // Read everything first: a failing statement leaves the list as it was.
    const QList<QStringList> rows = PlacesStore::readPlaces(forms().MF->db());
    StringGrid1->cells()->setRows(rows);
}

void TFormButs::ObrabSearch(const QString& abcde)
{
    const int row = PlacesStore::findCallCode(*StringGrid1, abcde);
    if (row > 0) {
        StringGrid1->setRow(row);
        return;
    }
    if (Dialogs::question(this, q1))
        ToAddButs();
}

void TFormButs::ToAddButs()
{
    bSearchClick();
    if (forms().FormAddButs)
        forms().FormAddButs->showOrRaise();
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
        PlacesStore::deletePlaces(forms().MF->db(), code);
        RefreshForm();
    });
}

void TFormButs::ButtonGroup1Items2Click()
{
    const QString code = StringGrid1->Cells(0, StringGrid1->Row());
    TFormButsEdit* editor = forms().FormButsEdit;
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
    if (forms().FormAddButs && forms().FormAddButs->isVisible())
        forms().FormAddButs->hide();
    Timer1.start();
    if (forms().MF)
        forms().MF->sButs = true;
    bSearch->setVisible(true);
}

void TFormButs::bSearchClick()
{
    if (forms().MF)
        forms().MF->sButs = false;
    bSearch->setVisible(false);
    Timer1.stop();
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
    if (forms().MF)
        forms().MF->SendToClientsUDP(PlacesStore::placeNotice(
            code, StringGrid1->Cells(1, ARow), StringGrid1->Cells(2, ARow), StringGrid1->Cells(3, ARow)));
}
