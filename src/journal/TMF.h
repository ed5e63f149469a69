#pragma once

#include "antenna/AntennaLink.h"
#include "antenna/Dispatcher.h"
#include "antenna/JournalWriter.h"
#include "antenna/UdpListener.h"
#include "antenna/UdpSender.h"
#include "clients/ClientLink.h"
#include "settings/MainSettings.h"

#include <QMainWindow>
#include <QTimer>

#include <memory>

class QLabel;
class QMenu;
class QAction;
class StringGrid;
class JournalModel;

namespace db {
class Database;
}

// The main window: the journal, and the hub that owns the database connection, the UDP links, the
// four timers, the shared lists and the mode flags. Every other window reaches them through it.
class TMF : public QMainWindow, public DispatchTarget
{
    Q_OBJECT
public:
    TMF();
    ~TMF() override;

    // Creation: the settings file (first start), the main window's sections, the database with its
    // schema, the lists. Raises the error that ends the start (settings file or database).
    void FormCreate();
    // The sending socket, the listeners and the timers, then the journal. False when a port could not
    // be bound: the error has been shown and the program must end.
    bool FormShow();
    // Asks the close question; true when the operator confirmed and the window may close.
    bool FormClose();
    void FormResize();

    void InitComm();
    void InitDef();
    void InitForm();
    void InitSave();

    // Shared state.
    db::Database& db();
    bool databaseOpen() const { return m_db != nullptr; }
    MainSettingsValues cfg;
    AntennaLink antenna;   // SAsign, SAant, SAant_ and btn_add
    bool rButs = false;    // adding mode
    bool sButs = false;    // search mode
    QString sWHERE;        // the journal filter clause, empty for none
    QVariantList sWHEREParams;
    std::atomic<qint16>& btn_add() { return antenna.btn_add; }
    ClientLink& clients() { return *m_clients; }

    // Operations other windows use.
    void SendToAntUDP(const QString& str);
    void BroadcastUDP(const QString& text, qint32 port);
    void SendToClientsUDP(const QString& str);
    void SendEventToClients(const QString& code, const QString& f, const QString& staff, const QString& place);
    void RefreshLog();
    // After entries were deleted: the next refill counts the journal again.
    void journalShrank();

    // The journal writer, as the dispatcher calls it.
    bool IsRegistredButs(const QString& abcde) override;
    void InLogButs(const QDateTime& time_, const QString& abcde_, const QString& f_) override;
    void InLogKB(const QDateTime& time_, const QString& abcd_, const QString& f_) override;
    // Handed on to the button-adding window and the places window.
    void ProcessAddButs(const QString& abcde, const QString& btnclr) override;
    void ProcessAddKB(const QString& ab) override;
    void ObrabSearch(const QString& abcde) override;

    // Timer handlers.
    void TimerToAntTimer();
    void TimerObrTimer();
    void TimerFromClientsTimer();
    void TimerToClientsTimer();

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
    QLabel* StatusPanel0 = nullptr;
    QLabel* StatusPanel1 = nullptr;
    QMenu* NMain = nullptr;
    QAction* Nnastr = nullptr;
    QAction* Noch = nullptr;
    QMenu* NData = nullptr;
    QAction* Ngroup = nullptr;
    QAction* Nplaces = nullptr;
    QAction* Nworkers = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QAction* mExcel = nullptr;
    QAction* N1_f = nullptr;

    QTimer TimerToAnt;
    QTimer TimerObr;
    QTimer TimerFromClients;
    QTimer TimerToClients;

    // The design title, position and outer size.
    static QRect designGeometry();

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void buildWindow();
    void stopEverything();

    std::unique_ptr<db::Database> m_db;
    UdpSender m_sender;
    UdpListener m_antListener;
    UdpListener m_clientListener;
    std::unique_ptr<ClientLink> m_clients;
    std::unique_ptr<JournalWriter> m_writer;
    std::unique_ptr<Dispatcher> m_dispatcher;
    bool m_shown = false;
    bool m_closed = false;
};
