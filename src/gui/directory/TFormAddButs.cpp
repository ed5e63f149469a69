#include "gui/directory/TFormAddButs.h"

#include "core/base/Clock.h"
#include "core/directory/AddButsLogic.h"
#include "core/directory/PlacesStore.h"
#include "core/engine/WardServer.h"
#include "core/settings/WindowSections.h"
#include "gui/directory/PlacesGrid.h"
#include "gui/directory/TFormButs.h"
#include "gui/kit/Dialogs.h"
#include "gui/kit/StringGrid.h"

#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QHideEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QScrollArea>
#include <QScrollBar>
#include <QThread>
#include <QVBoxLayout>

#include <algorithm>
#include <limits>

namespace {

// The key of the "added" message carries a trailing comma, in writing and in reading alike.
const QString kAddedKey = QStringLiteral("lb1_2,");

// An identifier is "@ADD" material when it has at least this many characters; a cancel identifier
// is sent only when it has exactly this many.
constexpr int kIdentifierLength = 6;
// A code is the first five characters of an identifier.
constexpr int kCodeLength = 5;

QLineEdit* digitsEdit(QWidget* parent, int maxLength)
{
    auto* edit = new QLineEdit(parent);
    // Digits "0" to "9" only (typed or pasted); every other character is dropped.
    edit->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
    edit->setMaxLength(maxLength);
    return edit;
}

qint32 fieldValue(const QLineEdit* edit)
{
    if (edit->text().isEmpty())
        return -1;
    bool ok = false;
    const qint64 n = edit->text().toLongLong(&ok);
    return ok ? static_cast<qint32>(std::clamp<qint64>(n, 0, std::numeric_limits<qint32>::max())) : -1;
}

// -1, written for an empty field, shows as an empty field again.
QString fieldText(qint32 value)
{
    return value < 0 ? QString() : QString::number(value);
}

} // namespace

TFormAddButs::TFormAddButs(WardServer& server, TFormButs* places, QWidget* parent)
    : FormBase(WindowSections::butsAddForm(), QSize(540, 250), parent), m_server(server), m_places(places)
{
    setObjectName(QStringLiteral("TFormAddButs"));
    setWindowFlag(Qt::WindowMinimizeButtonHint, false);
    setWindowFlag(Qt::WindowMaximizeButtonHint, false);

    QLabel** labels[] = {&lt1, &lt2, &lt3, &lt4, &lt5, &lt6, &lt7, &lt8};
    for (int i = 0; i < 8; ++i) {
        *labels[i] = new QLabel(designText(QStringLiteral("label%1").arg(i + 1)), this);
        (*labels[i])->setObjectName(QStringLiteral("lt%1").arg(i + 1));
    }

    e1 = digitsEdit(this, 9);
    e1->setObjectName(QStringLiteral("e1"));
    e2 = digitsEdit(this, 2);
    e2->setObjectName(QStringLiteral("e2"));
    e3 = new QLineEdit(this);
    e3->setObjectName(QStringLiteral("e3"));
    cb4 = new QComboBox(this);
    cb4->setObjectName(QStringLiteral("cb4"));
    cb6 = new QComboBox(this);
    cb6->setObjectName(QStringLiteral("cb6"));
    e5 = new QLineEdit(this);
    e5->setObjectName(QStringLiteral("e5"));
    e6 = new QLineEdit(this);
    e6->setObjectName(QStringLiteral("e6"));
    e7 = new QLineEdit(this);
    e7->setObjectName(QStringLiteral("e7"));
    Button2 = new QPushButton(designText(QStringLiteral("button2")), this);
    Button2->setObjectName(QStringLiteral("Button2"));
    Button2->setAutoDefault(false);
    connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(); });

    lt1->setBuddy(e1);
    lt2->setBuddy(e2);
    lt3->setBuddy(e3);
    lt4->setBuddy(cb4);
    lt5->setBuddy(e5);
    lt6->setBuddy(cb6);
    lt7->setBuddy(e6);
    lt8->setBuddy(e7);

    // The fields keep the height they need: at the window's minimum size they scroll rather than
    // squash, every label whole beside its field.
    auto* fieldsPanel = new QWidget;
    fieldsPanel->setObjectName(QStringLiteral("fieldsPanel"));
    auto* fields = new QGridLayout(fieldsPanel);
    fields->setContentsMargins(8, 8, 8, 8);
    fields->setColumnStretch(1, 1);
    fields->addWidget(lt1, 0, 0);
    fields->addWidget(e1, 0, 1);
    fields->addWidget(lt2, 1, 0);
    fields->addWidget(e2, 1, 1);
    fields->addWidget(lt3, 2, 0);
    fields->addWidget(e3, 2, 1);
    fields->addWidget(lt4, 3, 0);
    fields->addWidget(cb4, 3, 1);
    fields->addWidget(lt6, 4, 0);
    fields->addWidget(cb6, 4, 1);
    fields->addWidget(lt5, 5, 0);
    fields->addWidget(e5, 5, 1);
    fields->addWidget(lt7, 6, 0);
    fields->addWidget(e6, 6, 1);
    fields->addWidget(lt8, 7, 0);
    fields->addWidget(e7, 7, 1);
    fields->addWidget(Button2, 8, 1, Qt::AlignRight);

    // The message area: a strip in the tooltip colour with the outcome above the count.
    messageArea = new QFrame(this);
    messageArea->setObjectName(QStringLiteral("messageArea"));
    messageArea->setFixedHeight(70);
    messageArea->setAutoFillBackground(true);
    QPalette strip = messageArea->palette();
    strip.setColor(QPalette::Window, strip.color(QPalette::ToolTipBase));
    strip.setColor(QPalette::WindowText, strip.color(QPalette::ToolTipText));
    messageArea->setPalette(strip);
    QFont fixed(QStringLiteral("Courier New"));
    fixed.setStyleHint(QFont::Monospace);
    fixed.setFixedPitch(true);
    fixed.setPixelSize(13);
    lb1 = new QLabel(messageArea);
    lb1->setObjectName(QStringLiteral("lb1"));
    lb2 = new QLabel(messageArea);
    lb2->setObjectName(QStringLiteral("lb2"));
    for (QLabel* label : {lb1, lb2}) {
        label->setFont(fixed);
        label->setAlignment(Qt::AlignCenter);
    }
    auto* messages = new QVBoxLayout(messageArea);
    messages->addWidget(lb1);
    messages->addWidget(lb2);

    fields->setRowStretch(9, 1);
    auto* scroll = new QScrollArea(this);
    scroll->setObjectName(QStringLiteral("fieldsScroll"));
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setWidget(fieldsPanel);
    // Wide enough for every label and its field; only the height scrolls.
    scroll->setMinimumWidth(fieldsPanel->minimumSizeHint().width() +
                            scroll->verticalScrollBar()->sizeHint().width());

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(scroll, 1);
    layout->addWidget(messageArea);

    setTabOrder(e1, e2);
    setTabOrder(e2, e3);
    setTabOrder(e3, cb4);
    setTabOrder(cb4, cb6);
    setTabOrder(cb6, e5);
    setTabOrder(e5, e6);
    setTabOrder(e6, e7);
    setTabOrder(e7, Button2);

    // Design values, the ones a first start writes.
    r3 = designText(QStringLiteral("r3"));
    r4_0 = designText(QStringLiteral("r4_0"));
    r6_0 = designText(QStringLiteral("r6_0"));
    r5 = designText(QStringLiteral("r5"));
    r7 = designText(QStringLiteral("r7"));
    r8 = designText(QStringLiteral("r8"));
    lb2_0 = designText(QStringLiteral("lb2_0"));

    connect(&Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
    replyPause = [] { QThread::msleep(AddButsReply::kPauseMs); };
}

void TFormAddButs::InitForm()
{
    const SectionValues v = readSection();
    applyCaptionAndGeometry(v);
    QLabel* const labels[] = {lt1, lt2, lt3, lt4, lt5, lt6, lt7, lt8};
    for (int i = 0; i < 8; ++i)
        labels[i]->setText(v.text(QStringLiteral("label%1").arg(i + 1)));
    Button2->setText(v.text(QStringLiteral("button2")));
    r1 = v.integer(QStringLiteral("r1"));
    r2 = v.integer(QStringLiteral("r2"));
    r3 = v.text(QStringLiteral("r3"));
    r4 = v.integer(QStringLiteral("r4"));
    r6 = v.integer(QStringLiteral("r6"));
    r4_0 = v.text(QStringLiteral("r4_0"));
    r6_0 = v.text(QStringLiteral("r6_0"));
    r5 = v.text(QStringLiteral("r5"));
    r7 = v.text(QStringLiteral("r7"));
    r8 = v.text(QStringLiteral("r8"));
    abfTimer = v.integer(QStringLiteral("abfTimer"));
    lb1_0 = v.text(QStringLiteral("lb1_0"));
    lb1_1 = v.text(QStringLiteral("lb1_1"));
    lb1_2 = v.text(kAddedKey);
    lb1_3 = v.text(QStringLiteral("lb1_3"));
    lb1_4 = v.text(QStringLiteral("lb1_4"));
    lb2_0 = v.text(QStringLiteral("lb2_0"));
    lb3_0 = v.text(QStringLiteral("lb3_0"));
    lb3_1 = v.text(QStringLiteral("lb3_1"));

    // A period of zero seconds or less never fires; a huge one is held at what a timer can count.
    const qint64 periodMs = std::clamp<qint64>(qint64(abfTimer) * 1000, 0, std::numeric_limits<int>::max());
    Timer1.setInterval(static_cast<int>(periodMs));
    lb1->setText(lb1_0);
    lb2->setText(lb2_0 + QString::number(0));
    e1->setText(fieldText(r1));
    e2->setText(fieldText(r2));
    e3->setText(r3);
    // The drop-downs are read by the start once the file lets it (RefreshForm), and whenever the
    // window is shown.
    fillChoices(cb4, r4_0, {}, r4);
    fillChoices(cb6, r6_0, {}, r6);
    e5->setText(r5);
    e6->setText(r7);
    e7->setText(r8);
}

void TFormAddButs::InitSave()
{
    saveGeometry();
    IniFile file = ini();
    file.writeInteger(section(), QStringLiteral("r1"), fieldValue(e1));
    file.writeInteger(section(), QStringLiteral("r2"), fieldValue(e2));
    SettingsTable::writeKept(file, section(), QStringLiteral("r3"), e3->text());
    file.writeInteger(section(), QStringLiteral("r4"), cb4->currentIndex());
    file.writeInteger(section(), QStringLiteral("r6"), cb6->currentIndex());
    SettingsTable::writeKept(file, section(), QStringLiteral("r5"), e5->text());
}

void TFormAddButs::fillChoices(QComboBox* box, const QString& none, const QStringList& names, qint32 index)
{
    box->clear();
    box->addItem(none);
    box->addItems(names);
    // An index beyond the list leaves the drop-down without a selection.
    box->setCurrentIndex(index >= 0 && index < box->count() ? index : -1);
}

void TFormAddButs::RefreshForm()
{
    db::Database& db = m_server.db();
    fillChoices(cb4, r4_0, AddButsStore::groupNames(db), r4);
    fillChoices(cb6, r6_0, AddButsStore::workerNames(db), r6);
}

void TFormAddButs::FormShow()
{
    Dialogs::guard(this, [this] { RefreshForm(); });
    curN = 0;
    if (Timer1.interval() > 0)
        Timer1.start();
    m_server.setRButs(true);
}

void TFormAddButs::FormClose()
{
    Dialogs::guard(this, [this] { InitSave(); });
}

void TFormAddButs::hideEvent(QHideEvent* event)
{
    FormBase::hideEvent(event);
    if (!event->spontaneous())
        FormHide();
}

void TFormAddButs::FormHide()
{
    m_server.setRButs(false);
    sl.clear();
    failures.clear();
    Timer1.stop();
}

void TFormAddButs::Timer1Timer()
{
    if (lb1->text() != lb1_0)
        sl.clear();
}

void TFormAddButs::AddButs(const QString& abcde, const QString& btnclr)
{
    const QString number = AddButsNaming::numberText(e1->text(), e2->text());
    AddButsPlace place;
    place.abcde = abcde;
    place.btnclr = btnclr;
    place.name = AddButsNaming::fillTemplate(e3->text(), number);
    if (cb4->currentIndex() != 0)
        place.wardName = cb4->currentText();
    if (cb6->currentIndex() != 0)
        place.staffName = cb6->currentText();
    place.comm = AddButsNaming::fillTemplate(e5->text(), number);
    AddButsStore::insertPlace(m_server.db(), place);
    e1->setText(AddButsNaming::nextNumber(e1->text(), e3->text(), e5->text()));
}

void TFormAddButs::processAdd(const QString& code, const QString& btnclr, const QString& knownText,
                              const QString& addedText)
{
    TFormButs* places = m_places;
    if (!places)
        return;
    const int row = PlacesGrid::findCallCode(*places->StringGrid1, code);
    if (row > 0) {
        places->StringGrid1->setRow(row);
        lb1->setText(knownText);
        return;
    }
    // Added moments ago: the same press is still arriving from other antennas.
    if (sl.contains(code))
        return;
    // Failed moments ago: its box is up already; a later press tries again.
    if (failures.holds(code, Clock::now()))
        return;
    sl.append(code);
    try {
        AddButs(code, btnclr.isEmpty() ? code : btnclr);
    } catch (...) {
        // Nothing was inserted: a later press of this code must be able to try again.
        sl.removeOne(code);
        failures.failed(code, Clock::now());
        throw;
    }
    places->RefreshForm();
    lb1->setText(addedText);
    ++curN;
    lb2->setText(lb2_0 + QString::number(curN));
}

void TFormAddButs::ProcessAddButs(const QString& abcde, const QString& btnclr)
{
    processAdd(abcde, btnclr, lb1_1, lb1_2);
}

void TFormAddButs::ProcessAddKB(const QString& ab)
{
    processAdd(ab, ab, lb1_3, lb1_4);
}

void TFormAddButs::Button2Click()
{
    const QString call = AddButsNaming::lowerLatin(e6->text());
    const QString cancel = AddButsNaming::lowerLatin(e7->text());
    if (call.size() < kIdentifierLength) {
        lb1->setText(lb3_1);
        return;
    }
    WardServer* main = &m_server;

    // The antenna listener stores the reply on its own thread while this one pauses.
    const auto pause = [this] { replyPause(); };
    std::atomic<qint16>& reply = main->btn_add();
    const auto accepted = [&](const QString& identifier) {
        // A late reply to an earlier command must not pass for the answer to this one.
        reply.store(0);
        main->SendToAntUDP(QStringLiteral("@ADD") + identifier);
        if (AddButsReply::await(reply, pause))
            return true;
        lb1->setText(lb3_0);
        return false;
    };

    bool failed = false;
    bool cancelAccepted = false;
    {
        // The program takes no input while it waits, up to a second.
        const Dialogs::WaitCursor wait;
        failed = !accepted(call);
        if (cancel.size() == kIdentifierLength) {
            cancelAccepted = accepted(cancel);
            failed = failed || !cancelAccepted;
        }
    }
    if (failed)
        return;
    Dialogs::guard(this, [&] {
        // Asked for by the operator: a failure moments ago does not hold this one back.
        failures.forget(call.left(kCodeLength));
        ProcessAddButs(call.left(kCodeLength), cancelAccepted ? cancel.left(kCodeLength) : QString());
    });
}
