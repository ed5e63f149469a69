#pragma once

#include "core/engine/WardServer.h"
#include "gui/kit/StatusPanels.h"

#include <QMainWindow>

class QMenu;
class QAction;
class StringGrid;
class JournalModel;
class TFormClear;
class TFormFilter;

// The main window: the journal, its menus and the status bar, over the ward engine it is given.
// It shows what the engine tells (journal changed, status texts, errors) and asks the application
// through its signals to open the windows of the other folders.
class TMF : public QMainWindow
{
    Q_OBJECT
public:
    explicit TMF(WardServer& server);
    ~TMF() override;

    WardServer& server() { return m_server; }

    // Creation: the engine's creation (settings file, database), then the window's own part of its
    // sections. Raises the error that ends the start (settings file or database).
    void FormCreate();
    // The engine's sockets, listeners and timers; then serverStarted, on which the application reads
    // the journal's first page when the file lets it; then the boxes of what the start reported. False
    // when a port could not be bound: the error has been shown (after startFailed) and the program
    // must end.
    bool FormShow();
    // After the event loop, which a signal ended: no question, nothing saved; what the antennas sent
    // is journaled (or kept in the spool) and the database closed. The engine's errors open no box
    // from now on.
    void finishBySignal();
    // The engine stopped after the event loop (harmless when the close already stopped it), so that
    // what it could not keep is counted; no box from now on either.
    void stopServer();
    // Asks the close question; true when the operator confirmed and the window may close.
    bool FormClose();
    void FormResize();

    void InitForm();
    void InitSave();

    // The clearing window and the filter window, which the journal menu opens.
    void setJournalWindows(TFormFilter* filter, TFormClear* clear);
    // The open-calls window has been made, once the engine has started: the journal menu's item
    // takes its caption and asks the application to open it (callsRequested).
    void setCallsMenu(const QString& caption);

    void RefreshLog();
    // After entries were deleted: the next refill counts the journal again.
    void journalShrank();

    // Status bar, every 2100 ms.
    void TimerFromClientsTimer();

    // Menu handlers.
    void NnastrClick();
    void N1_fClick();
    void NochClick();
    void NgroupClick();
    void NplacesClick();
    void NworkersClick();
    void mExcelClick();

    StringGrid* StringGrid1 = nullptr;
    JournalModel* journal = nullptr;
    // The mode, in the alarm colour while adding or search mode is on.
    StatusPanel* StatusPanel0 = nullptr;
    // The journal filter while one is on: the journal then hides entries.
    StatusPanel* StatusPanelFilter = nullptr;
    StatusPanel* StatusPanel1 = nullptr;
    // Whether the journal can be written: empty while it can, the events waiting while it cannot.
    StatusPanel* StatusPanel2 = nullptr;
    // The calls in alarm and the silent antennas; empty while there are none.
    StatusPanel* StatusPanelCalls = nullptr;
    // The broker the events are published to: empty while publishing is off.
    StatusPanel* StatusPanel3 = nullptr;
    // The alert manager the calls are reported to: empty while reporting is off; its state and the
    // messages waiting otherwise.
    StatusPanel* StatusPanelAlerts = nullptr;
    // The errors raised while an error box is open, which open no box of their own.
    StatusPanel* StatusPanelErrors = nullptr;
    QMenu* NMain = nullptr;
    QAction* Nnastr = nullptr;
    QAction* Noch = nullptr;
    QAction* NStats = nullptr;
    QAction* NCalls = nullptr;
    QMenu* NData = nullptr;
    QAction* Ngroup = nullptr;
    QAction* Nplaces = nullptr;
    QAction* Nworkers = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QAction* mExcel = nullptr;
    QAction* N1_f = nullptr;

    // The design title, position and outer size.
    static QRect designGeometry();

signals:
    // The directory menu: the application opens the windows.
    void groupsRequested();
    void placesRequested();
    void workersRequested();
    // The journal menu's statistics and open-calls items.
    void statsRequested();
    void callsRequested();
    // The engine has started (sockets, timers, open calls).
    void serverStarted();
    // The engine could not start (a port is taken): the error, before its box is shown.
    void startFailed(const QString& message);

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void buildWindow();
    void showStatus(const QString& mode, const QString& antennas);
    void showCallsStatus();
    void showMode();
    void showFilter();
    void showTitle();

    WardServer& m_server;
    TFormFilter* m_filter = nullptr;
    TFormClear* m_clear = nullptr;
    QString m_title;      // the caption as read, before the mode, the filter and the calls in alarm
    QString m_alarmTitle; // the count of calls in alarm; empty while there are none
    LogConst m_logConst;
    bool m_shown = false;
    bool m_closed = false;
    // While the engine starts, its errors wait: a box then would stop the start half-way (before the
    // ports or the timers) until someone clicks it. They are shown once the start is done.
    bool m_starting = false;
    bool m_ended = false;
    QStringList m_heldAtStart;
};
