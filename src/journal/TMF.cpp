#include "journal/TMF.h"

#include "db/Database.h"
#include "db/Schema.h"
#include "directory/TFormAddButs.h"
#include "directory/TFormButs.h"
#include "directory/TFormGroup.h"
#include "directory/TFormWorkers.h"
#include "journal/Forms.h"
#include "journal/JournalModel.h"
#include "journal/TFormClear.h"
#include "journal/TFormFilter.h"
#include "journal/TFormStats.h"
#include "settings/AppError.h"
#include "settings/AppState.h"
#include "settings/Clock.h"
#include "settings/window/Dialogs.h"
#include "settings/window/FormBase.h"
#include "settings/window/StringGrid.h"
#include "settings/window/WindowGeometry.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QMenuBar>
#include <QStatusBar>

#include <algorithm>

namespace {
// How long a statement waits for another program's lock on the database file (a backup, a viewer)
// before it fails: a nurse call must be journaled once the lock is gone, not dropped.
constexpr int kBusyTimeoutMs = 5000;

const QString kLogForm = QStringLiteral("LogForm");
} // namespace

TMF::TMF()
{
    setWindowTitle(QStringLiteral("HalvaneServer lite"));
    setAttribute(Qt::WA_QuitOnClose, true);
    buildWindow();
    WindowGeometry::setOuter(*this, designGeometry());
}

TMF::~TMF()
{
    stopEverything();
    if (m_db)
        m_db->closeDatabase();
    if (forms().MF == this)
        forms().MF = nullptr;
}

QRect TMF::designGeometry()
{
    // The design client area is 706 x 452 below a menu bar.
    const QSize frame = WindowGeometry::designFrame();
    return QRect(0, 0, 706 + frame.width(), 452 + frame.height() + 20);
}

void TMF::buildWindow()
{
    setFont(QFont(QStringLiteral("Tahoma"), 8));

    journal = new JournalModel(this);
    StringGrid1 = new StringGrid(JournalModel::kColumns, this);
    StringGrid1->setObjectName(QStringLiteral("StringGrid1"));
    StringGrid1->setModel(journal);
    StringGrid1->setContextMenuPolicy(Qt::CustomContextMenu);
    setCentralWidget(StringGrid1);
    connect(journal, &JournalModel::conversionFailed, this,
            [this](const QString& message) { Dialogs::error(this, message); }, Qt::QueuedConnection);

    NMain = menuBar()->addMenu(QStringLiteral("Журнал событий"));
    NMain->setObjectName(QStringLiteral("NMain"));
    Nnastr = NMain->addAction(QStringLiteral("Фильтр"), this, [this] { NnastrClick(); });
    Nnastr->setObjectName(QStringLiteral("Nnastr"));
    Noch = NMain->addAction(QStringLiteral("Очистка"), this, [this] { NochClick(); });
    Noch->setObjectName(QStringLiteral("Noch"));
    NMain->addAction(TFormStats::menuCaption(), this, [this] { TFormStats::showFor(this); })
        ->setObjectName(QStringLiteral("NStats"));
    NData = menuBar()->addMenu(QStringLiteral("База"));
    NData->setObjectName(QStringLiteral("NData"));
    Ngroup = NData->addAction(QStringLiteral("Палаты"), this, [this] { NgroupClick(); });
    Ngroup->setObjectName(QStringLiteral("Ngroup"));
    Nplaces = NData->addAction(QStringLiteral("Койки"), this, [this] { NplacesClick(); });
    Nplaces->setObjectName(QStringLiteral("Nplaces"));
    Nworkers = NData->addAction(QStringLiteral("Ответственные"), this, [this] { NworkersClick(); });
    Nworkers->setObjectName(QStringLiteral("Nworkers"));

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    mExcel = PopupMenu1->addAction(QStringLiteral("В Excel"), this, [this] { mExcelClick(); });
    mExcel->setObjectName(QStringLiteral("mExcel"));
    N1_f = PopupMenu1->addAction(QStringLiteral("Фильтр"), this, [this] { N1_fClick(); });
    N1_f->setObjectName(QStringLiteral("N1_f"));
    connect(StringGrid1, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { PopupMenu1->popup(StringGrid1->viewport()->mapToGlobal(at)); });

    StatusPanel0 = new QLabel(this);
    StatusPanel0->setObjectName(QStringLiteral("StatusPanel0"));
    StatusPanel0->setFixedWidth(200);
    StatusPanel1 = new QLabel(this);
    StatusPanel1->setObjectName(QStringLiteral("StatusPanel1"));
    statusBar()->setObjectName(QStringLiteral("StatusBar1"));
    statusBar()->setFixedHeight(19);
    statusBar()->setSizeGripEnabled(false);
    statusBar()->addWidget(StatusPanel0);
    statusBar()->addWidget(StatusPanel1, 1);

    TimerToAnt.setInterval(500);
    TimerObr.setInterval(300);
    TimerFromClients.setInterval(2100);
    TimerToClients.setInterval(500);
    connect(&TimerToAnt, &QTimer::timeout, this, [this] { TimerToAntTimer(); });
    // Queued: a tick that opens a box (an error, the search question) runs the event loop under it, and
    // Qt never fires a timer again while its own handler is still running. Posting the tick lets the
    // timer fire on, so presses keep being journaled while the box is open.
    connect(&TimerObr, &QTimer::timeout, this, [this] { TimerObrTimer(); }, Qt::QueuedConnection);
    connect(&TimerFromClients, &QTimer::timeout, this, [this] { TimerFromClientsTimer(); });
    connect(&TimerToClients, &QTimer::timeout, this, [this] { TimerToClientsTimer(); });
}

void TMF::FormCreate()
{
    const QString overridePath = App::exePathOverride();
    App::setExePath(overridePath.isEmpty() ? QCoreApplication::applicationFilePath() : overridePath);
    IniFile(App::settingsPath()).removeStrayTemporaries();
    App::setFirstStart(!QFileInfo::exists(App::settingsPath()));
    if (App::firstStart()) {
        InitComm();
        InitDef();
    }
    InitForm();

    rButs = false;
    sButs = false;
    antenna.btn_add = 0;

    const QString dbPath = QFileInfo(App::exePath()).absolutePath() + u'/' + cfg.dbFileName;
    m_db = db::Database::openDatabase(dbPath);
    m_db->setSynchronous(true);
    m_db->setBusyTimeout(kBusyTimeoutMs);
    db::runSchema(*m_db);
    db::ensureIndexes(*m_db);
    journal->setDatabase(m_db.get());

    m_clients = std::make_unique<ClientLink>(m_sender, cfg.ToClientsPort, cfg.sFromClient);
    m_writer = std::make_unique<JournalWriter>(
        *m_db,
        [this](const QString& code, const QString& f, const QString& staff, const QString& place) {
            SendEventToClients(code, f, staff, place);
        },
        [this] { RefreshLog(); });
    const auto showError = [this](const QString& message) { Dialogs::error(this, message); };
    m_writer->setReporters({showError, {}, showError});
    m_dispatcher = std::make_unique<Dispatcher>(antenna, *this, rButs, sButs,
                                                [this](const QString& message) { Dialogs::error(this, message); });
}

void TMF::InitComm()
{
    IniFile ini = App::settings();
    MainSettings::InitComm(ini);
}

void TMF::InitDef()
{
    IniFile ini = App::settings();
    MainSettings::InitDef(ini, designGeometry());
}

void TMF::InitForm()
{
    IniFile ini = App::settings();
    cfg = MainSettings::read(ini);

    const QRect current = WindowGeometry::outer(*this);
    setWindowTitle(ini.readString(kLogForm, QStringLiteral("Caption"), windowTitle()));
    const int top = ini.readInteger(kLogForm, QStringLiteral("Top"), current.top());
    const int left = ini.readInteger(kLogForm, QStringLiteral("Left"), current.left());
    const int height = ini.readInteger(kLogForm, QStringLiteral("Height"), current.height());
    const int width = ini.readInteger(kLogForm, QStringLiteral("Width"), current.width());
    WindowGeometry::applyStored(*this, left, top, width, height);

    NMain->setTitle(cfg.mm1);
    Nnastr->setText(cfg.mm11);
    Noch->setText(cfg.mm12);
    NData->setTitle(cfg.mm2);
    Ngroup->setText(cfg.mm21);
    Nplaces->setText(cfg.mm22);
    Nworkers->setText(cfg.mm23);
    mExcel->setText(cfg.mInExcel);
    N1_f->setText(cfg.mm11);

    for (int c = 0; c < JournalModel::kColumns; ++c)
        StringGrid1->setColumnWidth(c, qMax(0, cfg.colw[c]));
    for (int c = 0; c < JournalModel::kColumns; ++c)
        journal->setCaption(c, cfg.col[c]);

    LogConst logConst;
    logConst.s_min = cfg.s_min;
    logConst.s_sec = cfg.s_sec;
    logConst.s_noreaction = cfg.s_noreaction;
    logConst.s_maxreactiontime = cfg.s_maxreactiontime;
    for (int m = 0; m < 12; ++m)
        logConst.s_m[m] = cfg.s_m[m];
    journal->setTexts(logConst, JournalTypeTexts{cfg.log_r8, cfg.log_r4, cfg.log_rb});

    sWHERE.clear();
    sWHEREParams.clear();
}

void TMF::InitSave()
{
    IniFile ini = App::settings();
    std::array<qint32, 8> widths{};
    for (int c = 0; c < JournalModel::kColumns; ++c)
        widths[c] = StringGrid1->columnWidth(c);
    MainSettings::InitSave(ini, WindowGeometry::outer(*this), widths, cfg.excelFileName);
}

bool TMF::FormShow()
{
    if (m_shown)
        return true;
    m_shown = true;
    QString errorText;
    if (!m_sender.open(&errorText)) {
        Dialogs::error(this, errorText);
        return false;
    }
    TimerToAnt.start();
    if (!m_antListener.start(cfg.FromAntPort,
                             [this](const QByteArray& data, const QHostAddress&) {
                                 antenna.IdUDPServerAntUDPRead(data);
                             },
                             &errorText)) {
        stopEverything();
        Dialogs::error(this, errorText);
        return false;
    }
    if (!m_clientListener.start(cfg.FromClientsPort,
                                [this](const QByteArray& data, const QHostAddress& sender) {
                                    m_clients->IdUDPServerClUDPRead(data, sender);
                                },
                                &errorText)) {
        stopEverything();
        Dialogs::error(this, errorText);
        return false;
    }
    TimerFromClients.start();
    TimerToClients.start();
    TimerObr.start();
    Dialogs::guard(this, [this] { RefreshLog(); });
    return true;
}

void TMF::stopEverything()
{
    TimerToAnt.stop();
    TimerObr.stop();
    TimerFromClients.stop();
    TimerToClients.stop();
    m_antListener.stop();
    m_clientListener.stop();
}

bool TMF::FormClose()
{
    if (m_closed)
        return true;
    if (!Dialogs::question(this, cfg.q1, QString()))
        return false;
    m_closed = true;
    // Nothing may tick or touch the database once it is closed.
    stopEverything();
    journal->detach();
    if (m_db) {
        // Events still waiting are written now, or stay in the spool for the next start.
        if (m_writer)
            m_writer->flushQueue();
        m_dispatcher.reset();
        m_writer.reset(); // it holds the connection
        m_db->closeDatabase();
        m_db.reset();
    }
    Dialogs::guard(this, [this] { InitSave(); });
    return true;
}

void TMF::closeEvent(QCloseEvent* event)
{
    if (!FormClose()) {
        event->ignore();
        return;
    }
    event->accept();
    // The hidden windows end with the program and save nothing.
    QCoreApplication::quit();
}

void TMF::FormResize() { StringGrid1->viewport()->update(); }

void TMF::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    FormResize();
}

db::Database& TMF::db()
{
    if (!m_db)
        throw AppError(QStringLiteral("Database is closed"));
    return *m_db;
}

void TMF::SendToAntUDP(const QString& str) { BroadcastUDP(str, cfg.ToAntPort); }

void TMF::BroadcastUDP(const QString& text, qint32 port) { m_sender.BroadcastUDP(text, port); }

void TMF::SendToClientsUDP(const QString& str)
{
    if (m_clients)
        m_clients->SendToClientsUDP(str);
}

void TMF::SendEventToClients(const QString& code, const QString& f, const QString& staff, const QString& place)
{
    if (m_clients)
        m_clients->SendEventToClients(code, f, staff, place);
}

void TMF::RefreshLog()
{
    if (!m_db)
        return;
    journal->refresh(sWHERE, sWHEREParams);
}

void TMF::journalShrank() { journal->invalidateCount(); }

bool TMF::IsRegistredButs(const QString& abcde) { return m_writer->IsRegistredButs(abcde); }

void TMF::InLogButs(const QDateTime& time_, const QString& abcde_, const QString& f_)
{
    m_writer->InLogButs(time_, abcde_, f_);
}

void TMF::InLogKB(const QDateTime& time_, const QString& abcd_, const QString& f_)
{
    m_writer->InLogKB(time_, abcd_, f_);
}

void TMF::ProcessAddButs(const QString& abcde, const QString& btnclr)
{
    if (forms().FormAddButs)
        forms().FormAddButs->ProcessAddButs(abcde, btnclr);
}

void TMF::ProcessAddKB(const QString& ab)
{
    if (forms().FormAddButs)
        forms().FormAddButs->ProcessAddKB(ab);
}

void TMF::ObrabSearch(const QString& abcde)
{
    if (forms().FormButs)
        forms().FormButs->ObrabSearch(abcde);
}

void TMF::TimerToAntTimer() { SendToAntUDP(QStringLiteral("@REG")); }

void TMF::TimerObrTimer()
{
    if (m_dispatcher && m_db) {
        m_dispatcher->TimerObrTimer();
        m_writer->flushQueue();
    }
}

void TMF::TimerToClientsTimer() { SendToClientsUDP(cfg.sToClient); }

void TMF::TimerFromClientsTimer()
{
    QStringList heard = antenna.takeSignOns();
    if (heard.isEmpty()) {
        StatusPanel1->setText(cfg.ant0text);
    } else if (heard.size() == 1) {
        StatusPanel1->setText(cfg.ant1text + u' ' + heard.constFirst() + u'.');
    } else {
        std::sort(heard.begin(), heard.end(),
                  [](const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) < 0; });
        StatusPanel1->setText(cfg.antNtext + u' ' + heard.join(QStringLiteral(", ")) + u'.');
    }
    StatusPanel0->setText(rButs ? cfg.reg0text : sButs ? cfg.reg1text : cfg.reg2text);
}

void TMF::NnastrClick()
{
    if (forms().FormFilter)
        forms().FormFilter->showOrRaise();
}

void TMF::N1_fClick() { NnastrClick(); }

void TMF::NochClick()
{
    TFormClear* clear = forms().FormClear;
    if (!clear)
        return;
    if (clear->exec() == 1) {
        Dialogs::guard(this, [&] {
            clear->ClearLog();
            RefreshLog();
        });
    }
}

void TMF::NgroupClick()
{
    if (forms().FormGroup)
        forms().FormGroup->showOrRaise();
}

void TMF::NplacesClick()
{
    if (forms().FormButs)
        forms().FormButs->showOrRaise();
}

void TMF::NworkersClick()
{
    if (forms().FormWorkers)
        forms().FormWorkers->showOrRaise();
}
