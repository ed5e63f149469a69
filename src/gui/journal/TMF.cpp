#include "gui/journal/TMF.h"

#include "core/base/Clock.h"
#include "core/calls/StatusTexts.h"
#include "core/settings/AppState.h"
#include "gui/journal/JournalModel.h"
#include "gui/journal/TFormClear.h"
#include "gui/journal/TFormFilter.h"
#include "gui/kit/Dialogs.h"
#include "gui/kit/FormBase.h"
#include "gui/kit/StatusPanels.h"
#include "gui/kit/StringGrid.h"
#include "gui/kit/WindowGeometry.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QMenuBar>
#include <QStatusBar>

#include <algorithm>
#include <utility>

TMF::TMF(WardServer& server) : m_server(server)
{
    setWindowTitle(QStringLiteral("HalvaneServer lite"));
    setAttribute(Qt::WA_QuitOnClose, true);
    buildWindow();
    WindowGeometry::setOuter(*this, designGeometry());
}

TMF::~TMF()
{
    journal->detach();
    m_server.stop();
}

QRect TMF::designGeometry()
{
    return MainSettings::designOuterGeometry();
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
    connect(
        journal, &JournalModel::conversionFailed, this,
        [this](const QString& message) { Dialogs::error(this, message); }, Qt::QueuedConnection);

    NMain = menuBar()->addMenu(QStringLiteral("Журнал событий"));
    NMain->setObjectName(QStringLiteral("NMain"));
    Nnastr = NMain->addAction(QStringLiteral("Фильтр"), this, [this] { NnastrClick(); });
    Nnastr->setObjectName(QStringLiteral("Nnastr"));
    Noch = NMain->addAction(QStringLiteral("Очистка"), this, [this] { NochClick(); });
    Noch->setObjectName(QStringLiteral("Noch"));
    NStats = NMain->addAction(QString(), this, [this] { emit statsRequested(); });
    NStats->setObjectName(QStringLiteral("NStats"));
    NCalls = NMain->addAction(QStringLiteral("Активные вызовы"), this, [this] { emit callsRequested(); });
    NCalls->setObjectName(QStringLiteral("NCalls"));
    NCalls->setEnabled(false);
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

    statusBar()->setObjectName(QStringLiteral("StatusBar1"));
    statusBar()->setFixedHeight(19);
    statusBar()->setSizeGripEnabled(false);
    auto* panels = new QWidget(statusBar());
    auto* row = new StatusPanelsLayout(panels);
    const auto panel = [&](const char* name) {
        auto* label = new StatusPanel(panels);
        label->setObjectName(QString::fromLatin1(name));
        return label;
    };
    StatusPanel0 = panel("StatusPanel0");
    StatusPanelFilter = panel("StatusPanelFilter");
    StatusPanel1 = panel("StatusPanel1");
    StatusPanel2 = panel("StatusPanel2");
    StatusPanelCalls = panel("StatusPanelCalls");
    StatusPanelCalls->setAlarm(true);
    StatusPanel3 = panel("StatusPanel3");
    StatusPanelAlerts = panel("StatusPanelAlerts");
    StatusPanelErrors = panel("StatusPanelErrors");
    // At the window's width the calls in alarm, a silent antenna and a journal that cannot be
    // written stay whole; the antennas heard are cut first.
    row->addPanel(StatusPanel0, 6, 200);
    row->addPanel(StatusPanelFilter, 5);
    row->addPanel(StatusPanel1, 0, -1, true);
    row->addPanel(StatusPanel2, 8);
    row->addPanel(StatusPanelCalls, 9);
    row->addPanel(StatusPanel3, 7);
    row->addPanel(StatusPanelAlerts, 7);
    row->addPanel(StatusPanelErrors, 4);
    statusBar()->addWidget(panels, 1);
    connect(&Dialogs::HeldErrors::instance(), &Dialogs::HeldErrors::countChanged, StatusPanelErrors,
            [this](int count) { StatusPanelErrors->setText(Dialogs::HeldErrors::text(count)); });

    connect(&m_server, &WardServer::journalChanged, this, [this] { RefreshLog(); });
    connect(&m_server, &WardServer::journalShrank, this, [this] { journalShrank(); });
    connect(&m_server, &WardServer::statusTexts, this,
            [this](const QString& mode, const QString& antennas) { showStatus(mode, antennas); });
    connect(&m_server, &WardServer::journalStatusChanged, StatusPanel2, &QLabel::setText);
    connect(&m_server, &WardServer::openCallsChanged, this, [this] { showCallsStatus(); });
    connect(&m_server, &WardServer::antennaSilenceChanged, this, [this] { showCallsStatus(); });
    connect(&m_server, &WardServer::mqttStatusChanged, StatusPanel3, &QLabel::setText);
    connect(&m_server, &WardServer::alertsStatusChanged, StatusPanelAlerts, &QLabel::setText);
    const auto showError = [this](const QString& message) {
        // After the event loop nobody could close a box: the line on standard error tells it.
        if (m_ended)
            return;
        if (m_starting)
            m_heldAtStart << message;
        else
            Dialogs::error(this, message);
    };
    connect(&m_server, &WardServer::errorRaised, this, showError);
    connect(&m_server, &WardServer::settingsFallbacks, this,
            [showError](const QStringList& lines) { showError(lines.join(u'\n')); });
    connect(&m_server, &WardServer::modeChanged, this, [this] { showMode(); });
    connect(&m_server, &WardServer::filterChanged, this, [this] { showFilter(); });
}

void TMF::FormCreate()
{
    m_server.create();
    InitForm();
    journal->setDatabase(&m_server.db());
}

void TMF::InitForm()
{
    const MainSettingsValues& cfg = m_server.cfg();

    // The title and the place are read with the window's current ones as defaults.
    const QRect current = WindowGeometry::outer(*this);
    MainSettingsValues now;
    now.Caption = m_title.isEmpty() ? windowTitle() : m_title;
    now.Top = current.top();
    now.Left = current.left();
    now.Height = current.height();
    now.Width = current.width();
    const MainSettingsValues place = MainSettings::readStored(App::settings(), now);
    m_title = place.Caption;
    showTitle();
    WindowGeometry::applyStored(*this, place.Left, place.Top, place.Width, place.Height);

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

    const LogConst logConst = logConstFromSettings(cfg);
    journal->setTexts(logConst, JournalTypeTexts{cfg.log_r8, cfg.log_r4, cfg.log_rb});
    m_logConst = logConst;
}

void TMF::InitSave()
{
    IniFile ini = App::settings();
    std::array<qint32, 8> widths{};
    for (int c = 0; c < JournalModel::kColumns; ++c)
        widths[c] = StringGrid1->columnWidth(c);
    MainSettings::InitSave(ini, WindowGeometry::outer(*this), widths, m_server.cfg().excelFileName);
}

bool TMF::FormShow()
{
    if (m_shown)
        return true;
    m_shown = true;
    QString errorText;
    m_starting = true;
    const bool started = m_server.start(&errorText);
    m_starting = false;
    if (!started)
        emit startFailed(errorText);
    else
        // The journal's first page is read by whoever handles the start, once the file lets it.
        emit serverStarted();
    for (const QString& message : std::exchange(m_heldAtStart, {}))
        Dialogs::error(this, message);
    if (!started)
        Dialogs::error(this, errorText);
    return started;
}

bool TMF::FormClose()
{
    if (m_closed)
        return true;
    if (!Dialogs::question(this, m_server.cfg().q1, QString()))
        return false;
    m_closed = true;
    // Nothing may tick or touch the database once it is closed.
    journal->detach();
    m_server.stop();
    Dialogs::guard(this, [this] { InitSave(); });
    return true;
}

void TMF::finishBySignal()
{
    m_closed = true;
    m_ended = true;
    journal->detach();
    m_server.finish();
}

void TMF::stopServer()
{
    m_ended = true;
    journal->detach();
    m_server.stop();
}

void TMF::setJournalWindows(TFormFilter* filter, TFormClear* clear)
{
    m_filter = filter;
    m_clear = clear;
    if (m_filter)
        m_filter->setRefreshLog([this] { RefreshLog(); });
}

void TMF::setCallsMenu(const QString& caption)
{
    NCalls->setEnabled(true);
    NCalls->setText(caption);
    showCallsStatus();
}

void TMF::showCallsStatus()
{
    const EscalationValues& settings = m_server.escalation();
    const OpenCalls* calls = m_server.openCalls();
    const QString alarm = StatusTexts::alarmCount(calls ? calls->alarmCount() : 0, settings);
    QStringList texts;
    if (!alarm.isEmpty())
        texts << alarm;
    if (const AntennaWatch* watch = m_server.antennaWatch()) {
        const QDateTime now = Clock::now();
        for (const AntennaWatch::Silent& antenna : watch->silent())
            texts << StatusTexts::silentAntenna(antenna, settings, now, m_logConst);
    }
    StatusPanelCalls->setText(texts.join(QStringLiteral("; ")));
    m_alarmTitle = alarm;
    showTitle();
}

void TMF::showMode()
{
    // At once, not at the next status tick: the operator has just switched it.
    StatusPanel0->setText(m_server.modeStatus());
    StatusPanel0->setAlarm(m_server.rButs() || m_server.sButs());
    showTitle();
}

void TMF::showFilter()
{
    QString text;
    if (!m_server.sWHERE().isEmpty()) {
        const QString description = m_filter ? m_filter->appliedDescription() : QString();
        text = description.isEmpty() ? m_server.cfg().mm11
                                     : m_server.cfg().mm11 + QStringLiteral(": ") + description;
    }
    StatusPanelFilter->setText(text);
    showTitle();
}

void TMF::showTitle()
{
    // Seen in the task bar too, while the window is behind others: a mode that also takes the presses,
    // a filter that hides entries, the calls in alarm (last).
    QStringList parts{m_title};
    if (m_server.rButs() || m_server.sButs())
        parts << m_server.modeStatus();
    if (!StatusPanelFilter->text().isEmpty())
        parts << StatusPanelFilter->text();
    if (!m_alarmTitle.isEmpty())
        parts << m_alarmTitle;
    setWindowTitle(parts.join(QStringLiteral(" — ")));
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

void TMF::FormResize()
{
    StringGrid1->viewport()->update();
}

void TMF::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    FormResize();
}

void TMF::RefreshLog()
{
    if (!m_server.databaseOpen())
        return;
    journal->refresh(m_server.sWHERE(), m_server.sWHEREParams());
}

void TMF::journalShrank()
{
    journal->invalidateCount();
}

void TMF::TimerFromClientsTimer()
{
    m_server.TimerFromClientsTimer();
}

void TMF::showStatus(const QString& mode, const QString& antennas)
{
    StatusPanel1->setText(antennas);
    StatusPanel0->setText(mode);
    StatusPanel0->setAlarm(m_server.rButs() || m_server.sButs());
}

void TMF::NnastrClick()
{
    if (m_filter)
        m_filter->showOrRaise();
}

void TMF::N1_fClick()
{
    NnastrClick();
}

void TMF::NochClick()
{
    TFormClear* clear = m_clear;
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
    emit groupsRequested();
}

void TMF::NplacesClick()
{
    emit placesRequested();
}

void TMF::NworkersClick()
{
    emit workersRequested();
}
