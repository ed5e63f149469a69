#pragma once

// The dashboard's web server: HTTP/1.1 (HTTPS when the settings name a certificate) on one thread's
// event loop, with every read bounded and every connection on a clock, and WebSockets handed to Qt
// WebSockets once a request for one is let in.
//
// What a request may cost is fixed by Limits: the reader only looks at a bounded prefix of what a
// client sent, a request must arrive whole within requestTimeoutMs of its first byte (408 otherwise),
// a new connection that sends nothing for firstByteTimeoutMs and a kept-alive one that stays silent
// for idleTimeoutMs are closed, and the connections of the whole server and of one address (an IPv6
// address counts with its whole /64) are capped. At a cap the connection that has waited longest for
// a request of its own (silent, or trickling one in) makes room for the newcomer; only when every
// connection is being answered is the newcomer closed at once, never queued. So idle or slow clients
// cannot shut the others out.
//
// Over HTTPS every response carries Strict-Transport-Security, and a response that closes the
// connection is written out whole, through TLS, before the connection is shut.
//
// The receiver of webSocketConnected sets QWebSocket::setMaxAllowedIncomingMessageSize and
// setMaxAllowedIncomingFrameSize to what its channel needs (a few kilobytes): Qt's defaults allow
// messages of gigabytes.

#include "central/CentralSettings.h"
#include "central/web/HttpMessage.h"

#include <QDeadlineTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSslConfiguration>

#include <functional>

class QTcpServer;
class QTcpSocket;
class QWebSocket;
class QWebSocketServer;

class HttpServer : public QObject
{
    Q_OBJECT
public:
    struct Limits
    {
        HttpParser::Limits parser;
        int maxConnections = 1024;    // over it: new connections are closed at once
        int maxPerAddress = 64;       // per peer address
        int requestTimeoutMs = 10000; // from the first byte of a request to its last (slow senders)
        int idleTimeoutMs = 60000;    // keep-alive connection without a request
        // A new connection (or one just past its TLS handshake) that has not sent a byte of its
        // first request by then.
        int firstByteTimeoutMs = 5000;
    };
    // Call once, maybe later, on the server's thread; harmless when the connection has gone. A
    // second call is ignored.
    using Respond = std::function<void(HttpResponse)>;
    using Handler = std::function<void(const HttpRequest&, Respond)>;
    // Asked for a WebSocket upgrade request; true hands the connection to the WebSocket side, false
    // answers 403.
    using UpgradeCheck = std::function<bool(const HttpRequest&)>;

    HttpServer(Handler handler, UpgradeCheck upgrade, QObject* parent = nullptr);
    ~HttpServer() override;

    void setLimits(const Limits& limits); // before listen()
    // HTTPS when settings.https(): reads CertFile and KeyFile (PEM); false with *why naming the
    // file and the problem (unreadable, no certificate, no key, a key not of the certificate).
    bool listen(const HttpSettings& settings, QString* why);
    quint16 port() const;
    // Whether listen() set up HTTPS (session cookies are then marked Secure).
    bool https() const { return m_tls; }
    // The HTTP connections open now (WebSockets handed over are not counted).
    int connectionCount() const { return m_connections; }

    // The key under which a peer's connections are counted: an IPv4 address (an IPv4-mapped IPv6
    // one included) as itself, an IPv6 address by its /64, which one host usually has whole.
    static QString addressGroup(const QHostAddress& address);

signals:
    // A WebSocket the check let in, handshake done (QWebSocketServer::handleConnection on the same
    // socket: the reader only peeks at the header block until it is complete, so the handshake is
    // still in the socket's buffer). `request` is the upgrade request as parsed. The receiver owns
    // the socket.
    void webSocketConnected(QWebSocket* socket, const HttpRequest& request);

private:
    class Connection;
    class Listener;
    friend class Listener;

    // A socket given to the WebSocket side whose handshake has not finished yet.
    struct Upgrade
    {
        QPointer<QTcpSocket> socket;
        QHostAddress peer;
        quint16 port = 0;
        HttpRequest request;
        QDeadlineTimer deadline;
    };

    void accept(qintptr descriptor);
    // Closes the connection of `group` (any group when empty) that has waited longest for a request;
    // false when every one is busy with an answer.
    bool makeRoom(const QString& group);
    void release(const QString& addressKey);
    void handOver(QTcpSocket* socket, const HttpRequest& request);
    void takeWebSockets();
    void dropStaleUpgrades();

    Handler m_handler;
    UpgradeCheck m_upgrade;
    Limits m_limits;
    Listener* m_listener = nullptr;
    QWebSocketServer* m_webSockets = nullptr;
    bool m_tls = false;
    QSslConfiguration m_ssl;
    int m_connections = 0;
    QHash<QString, int> m_perAddress;
    QList<Connection*> m_open;
    QList<Upgrade> m_upgrades;
};
