#pragma once

#include "central/CentralSettings.h"
#include "central/EventStore.h"
#include "central/web/HttpMessage.h"
#include "central/web/HttpServer.h"
#include "central/web/Sessions.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QTimer>
#include <QWebSocketProtocol>

#include <functional>
#include <memory>

class PgWorker;
class QThreadPool;
class QWebSocket;

// The dashboard of the house, served over HTTP(S) by the centre: the login, the pages and their data
// requests, and the live channel that pushes every change of a ward's state to the open pages.
//
// Every page, data request and the live channel answer only to a session; the login page, its
// script and the style sheet are the only things served without one. A request that names a host
// the settings do not know is refused (a page of another site cannot reach the dashboard through a
// name of its own that points here), and so is a POST that does not show it comes from a page of
// the dashboard itself (its Origin, or else its Referer). The page sends nothing on the live
// channel: a client that sends anything there but a close is dropped. The data come from PostgreSQL
// through two workers of their own: a quick one for the live view, the accounts and the journal's
// list of wards, and one for the statistics and the journal, which may take longer.
class Dashboard : public QObject
{
    Q_OBJECT

public:
    using Report = std::function<void(const QString& line)>;

    struct Timing
    {
        int retryListenMs = 10000; // a port that cannot be taken is tried again this often
        int pingMs = 10000;        // the live channel's "ping", and the check of its sessions
        // How often the accounts are read again while someone is logged in: a removed or disabled
        // account, or one with a new password, is logged out within this time (and a close).
        int accountsMs = 1000;
    };

    // The most password checks at once, each taking 64 MiB for a moment, and waiting for a turn.
    static constexpr int kParallelChecks = 2;
    static constexpr int kWaitingChecks = 16;
    // A live client that does not read: once this much waits for it, it is dropped (its page
    // reconnects and gets the whole picture again).
    static constexpr qint64 kMaxBacklog = 8 * 1024 * 1024;
    static constexpr qsizetype kMaxLiveClients = 500;
    static constexpr int kWaitingReports = 16;
    // Logins of one name waiting for the check of another attempt of the name to end.
    static constexpr int kWaitingPerName = 4;

    Dashboard(Report report, QObject* parent = nullptr);
    ~Dashboard() override;

    void setTiming(const Timing& timing) { m_timing = timing; } // before start()
    void setServerLimits(const HttpServer::Limits& limits) { m_limits = limits; }

    // Listens on [Http] and reads [Database]'s connection; when the address cannot be taken it says
    // so in one line and tries again, the centre going on with its work meanwhile.
    void start(const HttpSettings& http, const QString& connInfo);
    quint16 port() const;

    // Called by the store's thread after each commit.
    void observe(const EventStore::Committed& committed);

private:
    struct LiveClient
    {
        QPointer<QWebSocket> socket;
        QByteArray token;
        bool ready = false; // has had its snapshot
    };

    void listen();
    void handle(const HttpRequest& request, HttpServer::Respond respond);
    bool acceptUpgrade(const HttpRequest& request);
    void liveConnected(QWebSocket* socket, const HttpRequest& request);

    void login(const HttpRequest& request, HttpServer::Respond respond);
    void logout(const HttpRequest& request, HttpServer::Respond respond);
    void serveAsset(const QString& file, HttpServer::Respond respond);
    void statistics(const HttpRequest& request, bool file, HttpServer::Respond respond);
    void journal(const HttpRequest& request, HttpServer::Respond respond);
    void wards(HttpServer::Respond respond);
    void live(HttpServer::Respond respond);

    std::optional<QString> sessionOf(const HttpRequest& request);
    QByteArray sessionCookie(const QByteArray& token, int maxAgeSeconds) const;
    bool knownHost(const HttpRequest& request) const;
    // Whether the page that made the browser send the request is one of ours. strict: the request
    // must say so (Origin, or a Referer); otherwise a request that names no page passes.
    bool sameOrigin(const HttpRequest& request, bool strict) const;
    void checkPassword(const QString& name, const QByteArray& password, const QHostAddress& peer,
                       HttpServer::Respond respond);
    void loginFinished(const QHostAddress& peer, const QString& name, LoginThrottle::Outcome outcome);

    void changed(const QStringList& wards);
    void pushChanges();
    void sendSnapshots();
    void send(LiveClient& client, const QString& message);
    void ping();
    void readAccounts();
    void closeEndedSessions(QWebSocketProtocol::CloseCode code, const QString& why);
    // A close with its reason; a client that does not answer it within a second is cut off.
    void closeClient(QWebSocket* socket, QWebSocketProtocol::CloseCode code, const QString& why);
    // Drops a client that has sent a frame other than a close, or whose backlog is over kMaxBacklog.
    void checkClient(QWebSocket* socket);

    const Report m_report;
    Timing m_timing;
    HttpServer::Limits m_limits;
    HttpSettings m_http;
    std::unique_ptr<HttpServer> m_server;
    std::unique_ptr<PgWorker> m_quick;
    std::unique_ptr<PgWorker> m_heavy;
    std::unique_ptr<QThreadPool> m_checks;
    int m_checksWaiting = 0;
    std::unique_ptr<Sessions> m_sessions;
    LoginThrottle m_throttle;
    QHash<QString, QList<std::function<void()>>> m_waitingLogins; // by the name, case-folded
    QStringList m_hosts;                                          // lower case
    bool m_anyHost = false;
    QTimer m_retryListen;
    QTimer m_ping;
    QTimer m_accounts;
    QString m_listenProblem;

    QList<LiveClient> m_clients;
    QSet<QString> m_changedWards;
    bool m_pushing = false;
    bool m_readingAccounts = false;
    bool m_snapshotting = false;
};
