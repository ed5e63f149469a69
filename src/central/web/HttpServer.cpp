#include "central/web/HttpServer.h"

#include <QFile>
#include <QMetaMethod>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>

#include <sys/socket.h>
#include <unistd.h>

namespace {

// How long a closing connection keeps reading (and dropping) what the client still sends, so that
// the client gets the refusal before the connection is reset.
constexpr int LingerMs = 2000;

QString addressKey(const QHostAddress& address)
{
    bool v4 = false;
    const quint32 ip4 = address.toIPv4Address(&v4);
    return v4 ? QHostAddress(ip4).toString() : address.toString();
}

} // namespace

// Accepts sockets itself so that nothing is ever queued: a connection is either served at once or
// closed at once.
class HttpServer::Listener : public QTcpServer
{
public:
    explicit Listener(HttpServer* server) : QTcpServer(server), m_server(server) {}

protected:
    void incomingConnection(qintptr descriptor) override { m_server->accept(descriptor); }

private:
    HttpServer* m_server;
};

// One client's connection: reads one request at a time, waits for its response, writes it, and then
// reads the next one (keep-alive) or closes.
class HttpServer::Connection : public QObject
{
public:
    Connection(HttpServer* server, QTcpSocket* socket, QString addressKey, bool tls);
    ~Connection() override;

private:
    enum class Phase {
        Handshake, // TLS handshake under way
        Idle,      // waiting for a request's first byte
        Request,   // a request is arriving
        Handling,  // the handler has the request
        Writing,   // the response is going out
        Closing,   // written and shut for sending; dropping what still comes in
        Gone,
    };

    void enterIdle();
    void readRequest();
    void respond(quint64 serial, const HttpResponse& response);
    void send(const HttpResponse& response, bool keepAlive);
    void written();
    void close();
    void timedOut();
    void finish();
    qsizetype headerBound() const;

    HttpServer* m_server;
    QTcpSocket* m_socket;
    QString m_addressKey;
    bool m_tls;
    QTimer m_timer;
    Phase m_phase = Phase::Idle;
    quint64 m_serial = 0;
    qsizetype m_needed = 0; // the whole request's size once its header block is in
    bool m_keepAlive = false;
    bool m_head = false;
};

HttpServer::Connection::Connection(HttpServer* server, QTcpSocket* socket, QString addressKey, bool tls)
    : QObject(server), m_server(server), m_socket(socket), m_addressKey(std::move(addressKey)), m_tls(tls)
{
    const HttpParser::Limits& parser = m_server->m_limits.parser;
    m_socket->setParent(this);
    // Qt stops reading from the network once this much waits unread: a client cannot make the
    // server hold more than one request's worth of its bytes.
    m_socket->setReadBufferSize(headerBound() + parser.body);
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &Connection::timedOut);
    connect(m_socket, &QTcpSocket::readyRead, this, &Connection::readRequest);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &Connection::written);
    connect(m_socket, &QTcpSocket::disconnected, this, &Connection::finish);
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        if (error != QAbstractSocket::RemoteHostClosedError || m_phase != Phase::Closing)
            finish();
    });
    if (m_tls) {
        auto* ssl = static_cast<QSslSocket*>(m_socket);
        connect(ssl, &QSslSocket::encrypted, this, &Connection::enterIdle);
        connect(ssl, &QSslSocket::encryptedBytesWritten, this, &Connection::written);
        m_phase = Phase::Handshake;
        m_timer.start(m_server->m_limits.requestTimeoutMs);
    } else {
        enterIdle();
    }
}

HttpServer::Connection::~Connection()
{
    if (m_phase != Phase::Gone)
        m_server->release(m_addressKey);
}

qsizetype HttpServer::Connection::headerBound() const
{
    const HttpParser::Limits& parser = m_server->m_limits.parser;
    return qsizetype(parser.requestLine) + parser.headerBlock + 4;
}

void HttpServer::Connection::enterIdle()
{
    m_phase = Phase::Idle;
    m_needed = 0;
    m_timer.start(m_server->m_limits.idleTimeoutMs);
    if (m_socket->bytesAvailable() > 0)
        readRequest();
}

void HttpServer::Connection::readRequest()
{
    if (m_phase == Phase::Closing) {
        m_socket->skip(m_socket->bytesAvailable());
        return;
    }
    if (m_phase == Phase::Idle) {
        if (m_socket->bytesAvailable() == 0)
            return;
        m_phase = Phase::Request;
        m_timer.start(m_server->m_limits.requestTimeoutMs);
    }
    if (m_phase != Phase::Request)
        return; // the next request waits in the socket's bounded buffer
    // Until the header block is complete only its bounded prefix is looked at; after that the body
    // is simply awaited.
    if (m_needed > 0 && m_socket->bytesAvailable() < m_needed)
        return;
    const QByteArray data = m_socket->peek(m_needed > 0 ? m_needed : headerBound());
    HttpParser::Result result = HttpParser::parse(data, m_server->m_limits.parser);
    if (result.status == HttpParser::Status::NeedMore) {
        m_needed = result.needed;
        return;
    }
    if (result.status == HttpParser::Status::Refused) {
        send(HttpResponse::refusal(result.refusal), false);
        return;
    }
    m_needed = 0;
    HttpRequest& request = result.request;
    request.peer = m_socket->peerAddress();
    if (request.webSocket) {
        if (m_server->m_upgrade && m_server->m_upgrade(request)) {
            // The handshake stays in the socket for the WebSocket side to read.
            m_phase = Phase::Gone;
            m_timer.stop();
            m_socket->disconnect(this);
            m_server->release(m_addressKey);
            QTcpSocket* socket = m_socket;
            m_socket = nullptr;
            m_server->handOver(socket, request);
            deleteLater();
            return;
        }
        m_socket->skip(result.consumed);
        send(HttpResponse::refusal(403), false);
        return;
    }
    m_socket->skip(result.consumed);
    m_phase = Phase::Handling;
    m_timer.stop();
    m_keepAlive = request.keepAlive();
    m_head = request.method == "HEAD";
    const quint64 serial = ++m_serial;
    Respond reply = [guard = QPointer<Connection>(this), serial](HttpResponse response) {
        if (guard)
            guard->respond(serial, response);
    };
    try {
        m_server->m_handler(request, reply);
    } catch (...) {
        // A handler that fails still answers, and the connection carries on with the next request.
        reply(HttpResponse::refusal(500));
    }
}

void HttpServer::Connection::respond(quint64 serial, const HttpResponse& response)
{
    if (m_phase != Phase::Handling || serial != m_serial)
        return;
    ++m_serial;
    send(response, m_keepAlive);
}

void HttpServer::Connection::send(const HttpResponse& response, bool keepAlive)
{
    m_keepAlive = keepAlive;
    m_phase = Phase::Writing;
    m_socket->write(response.serialize(keepAlive, !m_head));
    m_head = false;
    // Restarted on every bit of progress: a client that stops reading is dropped.
    m_timer.start(m_server->m_limits.requestTimeoutMs);
}

void HttpServer::Connection::written()
{
    if (m_phase != Phase::Writing)
        return;
    m_timer.start(m_server->m_limits.requestTimeoutMs);
    qint64 pending = m_socket->bytesToWrite();
    if (m_tls)
        pending += static_cast<QSslSocket*>(m_socket)->encryptedBytesToWrite();
    if (pending > 0)
        return;
    if (m_keepAlive)
        enterIdle();
    else
        close();
}

void HttpServer::Connection::close()
{
    // Shut the sending side and drain what the client still sends for a moment: closing with
    // unread data would reset the connection and could wipe out the refusal before the client
    // reads it.
    m_phase = Phase::Closing;
    m_socket->skip(m_socket->bytesAvailable());
    if (m_socket->state() != QAbstractSocket::ConnectedState ||
        ::shutdown(m_socket->socketDescriptor(), SHUT_WR) != 0) {
        finish();
        return;
    }
    m_timer.start(LingerMs);
}

void HttpServer::Connection::timedOut()
{
    switch (m_phase) {
    case Phase::Request:
        send(HttpResponse::refusal(408), false);
        break;
    case Phase::Idle:
        close();
        break;
    default:
        finish();
        break;
    }
}

void HttpServer::Connection::finish()
{
    if (m_phase == Phase::Gone && !m_socket)
        return;
    m_timer.stop();
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
    deleteLater();
    if (m_phase != Phase::Gone) {
        m_phase = Phase::Gone;
        m_server->release(m_addressKey);
    }
}

HttpServer::HttpServer(Handler handler, UpgradeCheck upgrade, QObject* parent)
    : QObject(parent), m_handler(std::move(handler)), m_upgrade(std::move(upgrade))
{
}

HttpServer::~HttpServer() = default;

void HttpServer::setLimits(const Limits& limits)
{
    m_limits = limits;
}

quint16 HttpServer::port() const
{
    return m_listener ? m_listener->serverPort() : 0;
}

static bool readFile(const QString& path, const char* what, QByteArray* out, QString* why)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *why = QStringLiteral("cannot read the %1 %2: %3").arg(QLatin1String(what), path, file.errorString());
        return false;
    }
    *out = file.read(1 << 20);
    return true;
}

bool HttpServer::listen(const HttpSettings& settings, QString* why)
{
    QString problem;
    if (!why)
        why = &problem;
    QHostAddress address(QHostAddress::Any);
    if (!settings.Address.isEmpty() && !address.setAddress(settings.Address)) {
        *why = QStringLiteral("[Http] Address %1 is not an IP address").arg(settings.Address);
        return false;
    }
    m_tls = settings.https();
    if (m_tls) {
        QByteArray certPem;
        QByteArray keyPem;
        if (!readFile(settings.CertFile, "certificate", &certPem, why) ||
            !readFile(settings.KeyFile, "key", &keyPem, why))
            return false;
        const QList<QSslCertificate> chain = QSslCertificate::fromData(certPem, QSsl::Pem);
        if (chain.isEmpty() || chain.first().isNull()) {
            *why = QStringLiteral("%1 holds no PEM certificate").arg(settings.CertFile);
            return false;
        }
        QSslKey key;
        for (QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa}) {
            key = QSslKey(keyPem, algorithm, QSsl::Pem, QSsl::PrivateKey);
            if (!key.isNull())
                break;
        }
        if (key.isNull()) {
            *why = QStringLiteral("%1 holds no PEM private key (or one locked with a passphrase)")
                       .arg(settings.KeyFile);
            return false;
        }
        m_ssl = QSslConfiguration::defaultConfiguration();
        m_ssl.setLocalCertificateChain(chain);
        m_ssl.setPrivateKey(key);
        m_ssl.setPeerVerifyMode(QSslSocket::VerifyNone);
        m_ssl.setProtocol(QSsl::TlsV1_2OrLater);
    }
    auto* listener = new Listener(this);
    if (!listener->listen(address, settings.Port)) {
        *why = QStringLiteral("cannot listen on %1 port %2: %3")
                   .arg(settings.Address.isEmpty() ? QStringLiteral("all addresses") : settings.Address)
                   .arg(settings.Port)
                   .arg(listener->errorString());
        delete listener;
        return false;
    }
    delete m_listener;
    m_listener = listener;
    if (!m_webSockets) {
        // The sockets come already past TLS (if any), so the WebSocket side speaks plain frames over
        // whatever QIODevice it is given.
        m_webSockets =
            new QWebSocketServer(QStringLiteral("HalvaneCentral"), QWebSocketServer::NonSecureMode, this);
        m_webSockets->setMaxPendingConnections(m_limits.maxConnections);
        m_webSockets->setHandshakeTimeout(std::chrono::milliseconds(m_limits.requestTimeoutMs));
        connect(m_webSockets, &QWebSocketServer::newConnection, this, &HttpServer::takeWebSockets);
    }
    return true;
}

void HttpServer::accept(qintptr descriptor)
{
    QTcpSocket* socket = m_tls ? new QSslSocket : new QTcpSocket;
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        ::close(static_cast<int>(descriptor));
        return;
    }
    const QString key = addressKey(socket->peerAddress());
    int& fromAddress = m_perAddress[key];
    if (m_connections >= m_limits.maxConnections || fromAddress >= m_limits.maxPerAddress) {
        if (fromAddress == 0)
            m_perAddress.remove(key);
        socket->abort();
        delete socket;
        return;
    }
    ++m_connections;
    ++fromAddress;
    new Connection(this, socket, key, m_tls);
    if (m_tls) {
        auto* ssl = static_cast<QSslSocket*>(socket);
        ssl->setSslConfiguration(m_ssl);
        ssl->startServerEncryption();
    }
}

void HttpServer::release(const QString& addressKey)
{
    --m_connections;
    auto it = m_perAddress.find(addressKey);
    if (it != m_perAddress.end() && --it.value() <= 0)
        m_perAddress.erase(it);
}

void HttpServer::handOver(QTcpSocket* socket, const HttpRequest& request)
{
    dropStaleUpgrades();
    socket->setParent(this);
    const int timeout = m_limits.requestTimeoutMs;
    m_upgrades.append(
        Upgrade{socket, socket->peerAddress(), socket->peerPort(), request, QDeadlineTimer(timeout + 1000)});
    m_webSockets->handleConnection(socket);
    QTimer::singleShot(timeout + 1500, this, &HttpServer::dropStaleUpgrades);
}

void HttpServer::takeWebSockets()
{
    while (QWebSocket* ws = m_webSockets->nextPendingConnection()) {
        const auto it = std::find_if(m_upgrades.begin(), m_upgrades.end(), [ws](const Upgrade& u) {
            return u.port == ws->peerPort() && u.peer == ws->peerAddress();
        });
        if (it == m_upgrades.end() ||
            !isSignalConnected(QMetaMethod::fromSignal(&HttpServer::webSocketConnected))) {
            ws->abort();
            ws->deleteLater();
            if (it != m_upgrades.end())
                m_upgrades.erase(it);
            continue;
        }
        const HttpRequest request = it->request;
        m_upgrades.erase(it);
        emit webSocketConnected(ws, request);
    }
}

void HttpServer::dropStaleUpgrades()
{
    // A handshake the WebSocket side gave up on leaves its socket with us: close it.
    for (auto it = m_upgrades.begin(); it != m_upgrades.end();) {
        if (!it->socket) {
            it = m_upgrades.erase(it);
        } else if (it->deadline.hasExpired()) {
            if (it->socket->parent() == this) {
                it->socket->abort();
                it->socket->deleteLater();
            }
            it = m_upgrades.erase(it);
        } else {
            ++it;
        }
    }
}
