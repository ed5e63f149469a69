#include "central/web/HttpServer.h"

#include <QElapsedTimer>
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

#include <algorithm>
#include <memory>

#include <sys/socket.h>
#include <unistd.h>

namespace {

// How long a closing connection keeps reading (and dropping) what the client still sends, so that
// the client gets the refusal before the connection is reset.
constexpr int LingerMs = 2000;

constexpr QByteArrayView kHsts = "max-age=31536000";

qint64 monotonicMs()
{
    static const QElapsedTimer clock = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return clock.elapsed();
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

    const QString& group() const { return m_addressKey; }
    // Waiting for a request (none yet, or one still arriving), or answered and closing, rather than
    // answering one.
    bool waiting() const
    {
        return m_phase == Phase::Handshake || m_phase == Phase::Idle || m_phase == Phase::Request ||
               m_phase == Phase::Closing;
    }
    // Since when it has been waiting: its start, the end of its last answer, or its close (a closing
    // connection has its answer on the way: it goes only after those that had to wait longer).
    qint64 waitingSince() const { return m_waitingSince; }
    // Closed at once to make room for a newcomer.
    void evict() { finish(); }

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

    void enterIdle(bool fresh);
    void readRequest();
    qint64 pendingBytes() const;
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
    qint64 m_waitingSince = monotonicMs();
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
        connect(ssl, &QSslSocket::encrypted, this, [this] { enterIdle(true); });
        connect(ssl, &QSslSocket::encryptedBytesWritten, this, &Connection::written);
        m_phase = Phase::Handshake;
        m_timer.start(std::min(m_server->m_limits.requestTimeoutMs, m_server->m_limits.firstByteTimeoutMs));
    } else {
        enterIdle(true);
    }
    m_server->m_open.append(this);
}

HttpServer::Connection::~Connection()
{
    m_server->m_open.removeOne(this);
    if (m_phase != Phase::Gone)
        m_server->release(m_addressKey);
}

qsizetype HttpServer::Connection::headerBound() const
{
    const HttpParser::Limits& parser = m_server->m_limits.parser;
    return qsizetype(parser.requestLine) + parser.headerBlock + 4;
}

void HttpServer::Connection::enterIdle(bool fresh)
{
    m_phase = Phase::Idle;
    m_needed = 0;
    m_waitingSince = monotonicMs();
    m_timer.start(fresh ? m_server->m_limits.firstByteTimeoutMs : m_server->m_limits.idleTimeoutMs);
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
    // is simply awaited. The body may already be here whole (one read brought the whole request), so
    // the request is looked at again at once rather than at the next read, which may never come.
    HttpParser::Result result;
    while (true) {
        if (m_needed > 0 && m_socket->bytesAvailable() < m_needed)
            return;
        const QByteArray data = m_socket->peek(m_needed > 0 ? m_needed : headerBound());
        result = HttpParser::parse(data, m_server->m_limits.parser);
        if (result.status != HttpParser::Status::NeedMore)
            break;
        if (result.needed == 0 || result.needed == m_needed)
            return;
        m_needed = result.needed;
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
    if (m_tls) {
        // A browser that has once reached the dashboard over HTTPS never goes back to plain HTTP.
        HttpResponse secure = response;
        secure.headers.append({QByteArrayLiteral("Strict-Transport-Security"), kHsts.toByteArray()});
        m_socket->write(secure.serialize(keepAlive, !m_head));
    } else {
        m_socket->write(response.serialize(keepAlive, !m_head));
    }
    m_head = false;
    // Restarted on every bit of progress: a client that stops reading is dropped.
    m_timer.start(m_server->m_limits.requestTimeoutMs);
}

void HttpServer::Connection::written()
{
    if (m_phase != Phase::Writing)
        return;
    m_timer.start(m_server->m_limits.requestTimeoutMs);
    if (pendingBytes() > 0)
        return;
    if (m_keepAlive)
        enterIdle(false);
    else
        close();
}

qint64 HttpServer::Connection::pendingBytes() const
{
    qint64 pending = m_socket->bytesToWrite();
    if (m_tls)
        pending += static_cast<QSslSocket*>(m_socket)->encryptedBytesToWrite();
    return pending;
}

void HttpServer::Connection::close()
{
    if (m_tls && m_phase == Phase::Writing) {
        // TLS may still hold the last of the response, encrypted or not, where neither count of
        // bytes to write sees it: push it out first, or the shutdown below would cut it off. Whatever
        // the network cannot take yet brings written() back here once it has gone.
        while (m_socket->flush()) {
        }
        if (pendingBytes() > 0)
            return;
    }
    // Shut the sending side and drain what the client still sends for a moment: closing with
    // unread data would reset the connection and could wipe out the refusal before the client
    // reads it.
    m_phase = Phase::Closing;
    m_waitingSince = monotonicMs();
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

HttpServer::~HttpServer()
{
    // The connections give their places back as they go, while the counts are still here.
    const QObjectList children = this->children();
    for (QObject* child : children)
        delete dynamic_cast<Connection*>(child);
}

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
        *why = QStringLiteral("%1 %2 не читается: %3")
                   .arg(QString::fromUtf8(what), path,
                        !file.exists()                                  ? QStringLiteral("файла нет")
                        : file.error() == QFileDevice::PermissionsError ? QStringLiteral("нет прав на чтение")
                                                                        : file.errorString());
        return false;
    }
    *out = file.read(1 << 20);
    return true;
}

// Why the key cannot serve with the certificate, or empty. OpenSSL checks that the key is the
// certificate's when it prepares a server-side TLS socket, so one is prepared on a throwaway loopback
// connection; nothing is sent on it.
static QString keyMismatch(const QSslConfiguration& config)
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost))
        return {}; // no loopback to try it on: the first connection will tell
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, probe.serverPort());
    if (!probe.waitForNewConnection(2000))
        return {};
    std::unique_ptr<QTcpSocket> accepted(probe.nextPendingConnection());
    const int descriptor = ::dup(static_cast<int>(accepted->socketDescriptor()));
    QSslSocket server;
    if (descriptor < 0 || !server.setSocketDescriptor(descriptor)) {
        if (descriptor >= 0)
            ::close(descriptor);
        return {};
    }
    server.setSslConfiguration(config);
    server.startServerEncryption();
    // Qt reports a key that does not match as a context it could not set up.
    const QString problem =
        server.error() == QAbstractSocket::UnknownSocketError ? QString() : server.errorString();
    server.abort();
    return problem;
}

bool HttpServer::listen(const HttpSettings& settings, QString* why)
{
    QString problem;
    if (!why)
        why = &problem;
    QHostAddress address(QHostAddress::Any);
    if (!settings.Address.isEmpty() && !address.setAddress(settings.Address)) {
        *why = QStringLiteral("[Http] Address %1 - не IP-адрес").arg(settings.Address);
        return false;
    }
    m_tls = settings.https();
    if (m_tls) {
        QByteArray certPem;
        QByteArray keyPem;
        if (!readFile(settings.CertFile, "файл сертификата", &certPem, why) ||
            !readFile(settings.KeyFile, "файл ключа", &keyPem, why))
            return false;
        const QList<QSslCertificate> chain = QSslCertificate::fromData(certPem, QSsl::Pem);
        if (chain.isEmpty() || chain.first().isNull()) {
            *why = QStringLiteral("в %1 нет сертификата PEM").arg(settings.CertFile);
            return false;
        }
        QSslKey key;
        for (QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa}) {
            key = QSslKey(keyPem, algorithm, QSsl::Pem, QSsl::PrivateKey);
            if (!key.isNull())
                break;
        }
        if (key.isNull()) {
            *why =
                QStringLiteral("в %1 нет закрытого ключа PEM (или он закрыт паролем)").arg(settings.KeyFile);
            return false;
        }
        m_ssl = QSslConfiguration::defaultConfiguration();
        m_ssl.setLocalCertificateChain(chain);
        m_ssl.setPrivateKey(key);
        m_ssl.setPeerVerifyMode(QSslSocket::VerifyNone);
        m_ssl.setProtocol(QSsl::TlsV1_2OrLater);
        m_ssl.setAllowedNextProtocols({QByteArray(QSslConfiguration::NextProtocolHttp1_1)});
        const QString mismatch = keyMismatch(m_ssl);
        if (!mismatch.isEmpty()) {
            *why = QStringLiteral("ключ %1 не подходит к сертификату %2 (%3)")
                       .arg(settings.KeyFile, settings.CertFile, mismatch);
            return false;
        }
    }
    auto* listener = new Listener(this);
    // Browsers open several connections at once; a short queue of the kernel would make them wait
    // for its retries.
    listener->setListenBacklogSize(std::clamp(m_limits.maxConnections, 50, 4096));
    if (!listener->listen(address, settings.Port)) {
        const QAbstractSocket::SocketError error = listener->serverError();
        const QString reason = error == QAbstractSocket::AddressInUseError ? QStringLiteral("порт занят")
                               : error == QAbstractSocket::SocketAccessError
                                   ? QStringLiteral("нет прав на этот порт")
                               : error == QAbstractSocket::SocketAddressNotAvailableError
                                   ? QStringLiteral("адрес не принадлежит этой машине")
                                   : listener->errorString();
        *why = QStringLiteral("не удаётся принимать подключения на %1, порт %2: %3")
                   .arg(settings.Address.isEmpty() ? QStringLiteral("всех адресах") : settings.Address)
                   .arg(settings.Port)
                   .arg(reason);
        delete listener;
        return false;
    }
    // Qt stops accepting for good when accept() fails for want of file descriptors; they come back
    // as connections close, so try again shortly.
    connect(listener, &QTcpServer::acceptError, listener,
            [listener] { QTimer::singleShot(200, listener, [listener] { listener->resumeAccepting(); }); });
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

QString HttpServer::addressGroup(const QHostAddress& address)
{
    bool v4 = false;
    const quint32 ip4 = address.toIPv4Address(&v4);
    if (v4)
        return QHostAddress(ip4).toString();
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return address.toString();
    Q_IPV6ADDR bytes = address.toIPv6Address();
    for (int i = 8; i < 16; ++i)
        bytes[i] = 0;
    return QHostAddress(bytes).toString() + QStringLiteral("/64");
}

void HttpServer::accept(qintptr descriptor)
{
    QTcpSocket* socket = m_tls ? new QSslSocket : new QTcpSocket;
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        ::close(static_cast<int>(descriptor));
        return;
    }
    const QString key = addressGroup(socket->peerAddress());
    // Over a cap the longest waiting connection goes, of the same address when that one's cap is
    // reached; the newcomer is refused only when none is waiting.
    const bool roomFromAddress = m_perAddress.value(key) < m_limits.maxPerAddress || makeRoom(key);
    const bool room = roomFromAddress && (m_connections < m_limits.maxConnections || makeRoom({}));
    if (!room) {
        socket->abort();
        delete socket;
        return;
    }
    ++m_connections;
    ++m_perAddress[key];
    new Connection(this, socket, key, m_tls);
    if (m_tls) {
        auto* ssl = static_cast<QSslSocket*>(socket);
        ssl->setSslConfiguration(m_ssl);
        ssl->startServerEncryption();
    }
}

bool HttpServer::makeRoom(const QString& group)
{
    Connection* oldest = nullptr;
    for (Connection* c : std::as_const(m_open)) {
        if (!c->waiting() || (!group.isEmpty() && c->group() != group))
            continue;
        if (!oldest || c->waitingSince() < oldest->waitingSince())
            oldest = c;
    }
    if (!oldest)
        return false;
    oldest->evict();
    return true;
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
        // The WebSocket uses the socket but does not take it: make it the socket's owner so that the
        // socket goes with it rather than staying with the server for the server's whole life.
        if (it->socket && it->socket->parent() == this)
            it->socket->setParent(ws);
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
