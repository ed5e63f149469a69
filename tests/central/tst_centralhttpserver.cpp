// The dashboard's web server on real sockets on 127.0.0.1: answers, keep-alive, refusals and their
// closing, the clocks on slow and idle clients, the connection caps, late answers, HTTPS, and the
// hand-over of WebSockets (plain and over TLS).

#include "central/web/HttpServer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWebSocket>

#include <memory>

#include <sys/resource.h>

namespace {

// A client that writes raw bytes and collects what comes back, on the test's event loop (the server
// runs on the same one, so nothing here may block).
class RawClient : public QObject
{
public:
    // from: the loopback address to connect from (127.0.0.x), or none.
    explicit RawClient(quint16 port, bool tls = false, const QHostAddress& from = {})
    {
        if (tls) {
            auto* ssl = new QSslSocket(this);
            ssl->setPeerVerifyMode(QSslSocket::VerifyNone);
            if (!from.isNull())
                ssl->bind(from);
            ssl->connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
            socket = ssl;
        } else {
            socket = new QTcpSocket(this);
            if (!from.isNull())
                socket->bind(from);
            socket->connectToHost(QHostAddress::LocalHost, port);
        }
        connect(socket, &QTcpSocket::readyRead, this, [this] { received += socket->readAll(); });
        connect(socket, &QTcpSocket::disconnected, this, [this] { closed = true; });
        connect(socket, &QTcpSocket::errorOccurred, this, [this] { closed = true; });
    }

    void send(const QByteArray& bytes) { socket->write(bytes); }

    // The responses complete so far (status line to the end of the body).
    QList<QByteArray> responses() const
    {
        QList<QByteArray> out;
        qsizetype at = 0;
        while (true) {
            const qsizetype end = received.indexOf("\r\n\r\n", at);
            if (end < 0)
                return out;
            const QByteArray head = received.sliced(at, end - at).toLower();
            const qsizetype cl = head.indexOf("content-length: ");
            const qsizetype length =
                cl < 0 ? 0 : head.mid(cl + 16, head.indexOf('\r', cl) - cl - 16).toLongLong();
            if (received.size() < end + 4 + length)
                return out;
            out.append(received.sliced(at, end + 4 + length - at));
            at = end + 4 + length;
        }
    }
    static int status(const QByteArray& response) { return response.mid(9, 3).toInt(); }
    static QByteArray body(const QByteArray& response)
    {
        return response.sliced(response.indexOf("\r\n\r\n") + 4);
    }

    QTcpSocket* socket = nullptr;
    QByteArray received;
    bool closed = false;
};

QByteArray get(const QByteArray& path, const QByteArray& extra = {})
{
    return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra + "\r\n";
}

HttpSettings local()
{
    HttpSettings s;
    s.Address = QStringLiteral("127.0.0.1");
    s.Port = 0;
    return s;
}

// Answers every request at once with its method and path.
HttpServer::Handler echoPath()
{
    return [](const HttpRequest& request, const HttpServer::Respond& respond) {
        respond(HttpResponse::text(200, QString::fromUtf8(request.method) + ' ' + request.path));
    };
}

} // namespace

class TestCentralHttpServer : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    // A throwaway self-signed certificate and its key, made by openssl; empty strings when openssl
    // could not make them.
    std::pair<QString, QString> makeCertificate(const QString& name)
    {
        const QString cert = m_dir.filePath(name + QStringLiteral(".crt"));
        const QString key = m_dir.filePath(name + QStringLiteral(".key"));
        if (!QFile::exists(cert)) {
            QProcess openssl;
            openssl.start(QStringLiteral("openssl"),
                          {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                           QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-keyout"),
                           key, QStringLiteral("-out"), cert, QStringLiteral("-days"), QStringLiteral("2"),
                           QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1")});
            if (!openssl.waitForFinished(60000) || openssl.exitCode() != 0)
                return {};
        }
        return {cert, key};
    }

private slots:
    void answersGet()
    {
        HttpRequest seen;
        HttpServer server(
            [&seen](const HttpRequest& request, const HttpServer::Respond& respond) {
                seen = request;
                respond(HttpResponse::text(200, QStringLiteral("путь %1").arg(request.path)));
            },
            {});
        QString why;
        QVERIFY2(server.listen(local(), &why), qPrintable(why));
        QVERIFY(server.port() != 0);
        RawClient client(server.port());
        client.send(get("/api/%D0%BC%D0%B5?ward=1", "Cookie: sid=abc\r\n"));
        QTRY_COMPARE(client.responses().size(), 1);
        const QByteArray response = client.responses().first();
        QCOMPARE(RawClient::status(response), 200);
        QCOMPARE(RawClient::body(response), QStringLiteral("путь /api/ме").toUtf8());
        QVERIFY(response.contains("X-Content-Type-Options: nosniff\r\n"));
        QVERIFY(response.contains("Connection: keep-alive\r\n"));
        QVERIFY(!response.contains("Strict-Transport-Security")); // plain HTTP: only HTTPS says so
        QCOMPARE(seen.peer, QHostAddress(QHostAddress::LocalHost));
        QCOMPARE(seen.query.value(QStringLiteral("ward")), QStringLiteral("1"));
        QCOMPARE(seen.cookie("sid"), QByteArray("abc"));
        QVERIFY(!client.closed);
    }

    // One request at a time: the next one, even sent at once behind the first, is read only after the
    // first is answered; answers keep their order; HEAD gets no body; "Connection: close" closes.
    void keepAliveOneAtATime()
    {
        int outstanding = 0;
        int most = 0;
        HttpServer server(
            [&](const HttpRequest& request, const HttpServer::Respond& respond) {
                most = std::max(most, ++outstanding);
                const int delay = request.path == QLatin1String("/slow") ? 200 : 0;
                QTimer::singleShot(delay, [&outstanding, respond, request] {
                    --outstanding;
                    respond(HttpResponse::text(200, request.path + QString::fromUtf8(request.body)));
                });
            },
            {});
        QVERIFY(server.listen(local(), nullptr));
        RawClient client(server.port());
        client.send(get("/first"));
        QTRY_COMPARE(client.responses().size(), 1);
        client.send(get("/slow") + "POST /form HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\n\r\nabc" +
                    "HEAD /head HTTP/1.1\r\nHost: h\r\n\r\n");
        QTRY_COMPARE(client.received.count("HTTP/1.1 200 OK"), 4);
        QTRY_VERIFY(client.received.endsWith("\r\n\r\n"));
        const QList<QByteArray> r = client.responses();
        QCOMPARE(RawClient::body(r[1]), QByteArray("/slow"));
        QCOMPARE(RawClient::body(r[2]), QByteArray("/formabc"));
        // HEAD's response announces the body's length but has none.
        const QByteArray head = client.received.sliced(client.received.lastIndexOf("HTTP/1.1 200 OK"));
        QVERIFY(head.contains("Content-Length: 5\r\n"));
        QVERIFY(head.endsWith("\r\n\r\n"));
        QCOMPARE(most, 1);
        QCOMPARE(server.connectionCount(), 1);
        client.send(get("/last", "Connection: close\r\n"));
        QTRY_VERIFY(client.closed);
        QVERIFY(client.received.endsWith("\r\n\r\n/last"));
        QTRY_COMPARE(server.connectionCount(), 0);
    }

    // A refused request gets its status and the connection is closed; the client reads the refusal
    // even when it was still sending (a big body) as the server closed.
    void refusalsCloseTheConnection_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        QTest::newRow("request line") << get("/" + QByteArray(9000, 'a')) << 414;
        QTest::newRow("header block") << get("/", "X-Big: " + QByteArray(17000, 'b') + "\r\n") << 431;
        QTest::newRow("body with its bytes")
            << "POST /login HTTP/1.1\r\nHost: h\r\nContent-Length: 300000\r\n\r\n" + QByteArray(300000, 'c')
            << 413;
        QTest::newRow("..") << get("/assets/%2e%2e/%2e%2e/etc/passwd") << 400;
        QTest::newRow("chunked")
            << QByteArray("POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n") << 501;
        QTest::newRow("not HTTP") << QByteArray("\x16\x03\x01\x02\x10\x01\xfc\x03\x03\r\n\r\n") << 400;
    }

    void refusalsCloseTheConnection()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        bool handled = false;
        HttpServer server([&handled](const HttpRequest&, const HttpServer::Respond&) { handled = true; }, {});
        QVERIFY(server.listen(local(), nullptr));
        RawClient client(server.port());
        client.send(request);
        QTRY_VERIFY(client.closed);
        QCOMPARE(client.responses().size(), 1);
        QCOMPARE(RawClient::status(client.responses().first()), status);
        QVERIFY(client.responses().first().contains("Connection: close\r\n"));
        QVERIFY(!handled);
        QTRY_COMPARE(server.connectionCount(), 0);
    }

    // A client that sends its request slowly is cut off at the request timeout counted from its first
    // byte, however it trickles; meanwhile another client is answered at once.
    void slowSenderCutOffOthersServed()
    {
        HttpServer server(echoPath(), {});
        server.setLimits({.parser = {}, .requestTimeoutMs = 1500});
        QVERIFY(server.listen(local(), nullptr));

        RawClient slow(server.port());
        RawClient trickle(server.port());
        const QByteArray request = get("/trickle");
        qsizetype sent = 0;
        QTimer drip;
        connect(&drip, &QTimer::timeout, [&] {
            if (sent < request.size())
                trickle.send(request.mid(sent++, 1));
        });
        QTRY_VERIFY(slow.socket->state() == QAbstractSocket::ConnectedState &&
                    trickle.socket->state() == QAbstractSocket::ConnectedState);
        QElapsedTimer clock;
        clock.start();
        slow.send("GET /slow HT");
        drip.start(50);

        QTest::qWait(200);
        RawClient other(server.port());
        QElapsedTimer answer;
        answer.start();
        other.send(get("/other"));
        QTRY_COMPARE(other.responses().size(), 1);
        QVERIFY2(answer.elapsed() < 700, qPrintable(QString::number(answer.elapsed())));
        QCOMPARE(RawClient::body(other.responses().first()), QByteArray("GET /other"));

        QTRY_VERIFY_WITH_TIMEOUT(slow.closed && trickle.closed, 5000);
        QVERIFY2(clock.elapsed() >= 1400 && clock.elapsed() < 4000,
                 qPrintable(QString::number(clock.elapsed())));
        QVERIFY(sent < request.size());
        for (RawClient* c : {&slow, &trickle}) {
            QCOMPARE(c->responses().size(), 1);
            QCOMPARE(RawClient::status(c->responses().first()), 408);
        }
        QVERIFY(!other.closed);
    }

    // A kept-alive connection that stays silent is closed after the idle timeout, quietly.
    void idleConnectionClosed()
    {
        HttpServer server(echoPath(), {});
        server.setLimits({.parser = {}, .idleTimeoutMs = 300});
        QVERIFY(server.listen(local(), nullptr));
        RawClient client(server.port());
        client.send(get("/a"));
        QTRY_COMPARE(client.responses().size(), 1);
        QElapsedTimer clock;
        clock.start();
        QTRY_VERIFY_WITH_TIMEOUT(client.closed, 3000);
        QVERIFY(clock.elapsed() >= 250);
        QCOMPARE(client.responses().size(), 1);
        QTRY_COMPARE(server.connectionCount(), 0);
    }

    // Hundreds of connections that send nothing do not delay a client that asks.
    void idleFloodDoesNotDelayOthers()
    {
        HttpServer server(echoPath(), {});
        server.setLimits({.parser = {}, .maxPerAddress = 1000});
        QVERIFY(server.listen(local(), nullptr));
        std::vector<std::unique_ptr<QTcpSocket>> flood;
        for (int i = 0; i < 300; ++i) {
            flood.push_back(std::make_unique<QTcpSocket>());
            flood.back()->connectToHost(QHostAddress::LocalHost, server.port());
        }
        QTRY_COMPARE_WITH_TIMEOUT(server.connectionCount(), 300, 10000);
        RawClient client(server.port());
        QElapsedTimer clock;
        clock.start();
        client.send(get("/after-the-flood"));
        QTRY_COMPARE(client.responses().size(), 1);
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(RawClient::body(client.responses().first()), QByteArray("GET /after-the-flood"));
    }

    // At a cap the connection that has waited longest for a request makes room for the newcomer;
    // only when every connection is being answered is the newcomer closed at once, unanswered. A
    // freed place is given again.
    void connectionCaps_data()
    {
        QTest::addColumn<int>("maxConnections");
        QTest::addColumn<int>("maxPerAddress");
        QTest::newRow("per address") << 100 << 3;
        QTest::newRow("in all") << 3 << 100;
    }

    void connectionCaps()
    {
        QFETCH(int, maxConnections);
        QFETCH(int, maxPerAddress);
        QList<HttpServer::Respond> held;
        HttpServer server(
            [&held](const HttpRequest& request, const HttpServer::Respond& respond) {
                if (request.path == QLatin1String("/hold"))
                    held.append(respond);
                else
                    respond(HttpResponse::text(200, request.path));
            },
            {});
        server.setLimits({.parser = {}, .maxConnections = maxConnections, .maxPerAddress = maxPerAddress});
        QVERIFY(server.listen(local(), nullptr));
        std::vector<std::unique_ptr<RawClient>> in;
        for (int i = 0; i < 3; ++i) {
            in.push_back(std::make_unique<RawClient>(server.port()));
            QTRY_COMPARE(server.connectionCount(), i + 1);
        }
        // The first one, silent the longest, goes; the newcomer is served.
        RawClient newcomer(server.port());
        newcomer.send(get("/newcomer"));
        QTRY_COMPARE(newcomer.responses().size(), 1);
        QTRY_VERIFY(in[0]->closed);
        QVERIFY(in[0]->received.isEmpty());
        QVERIFY(!in[1]->closed && !in[2]->closed);
        QCOMPARE(server.connectionCount(), 3);

        // Every connection busy with an answer: nobody can make room, the next one is refused.
        for (RawClient* c : {in[1].get(), in[2].get(), &newcomer})
            c->send(get("/hold"));
        QTRY_COMPARE(held.size(), 3);
        RawClient over(server.port());
        over.send(get("/over"));
        QTRY_VERIFY(over.closed);
        QVERIFY(over.received.isEmpty());
        QCOMPARE(server.connectionCount(), 3);
        for (const HttpServer::Respond& respond : held)
            respond(HttpResponse::text(200, QStringLiteral("held")));
        QTRY_COMPARE(newcomer.responses().size(), 2);
        QTRY_VERIFY(in[1]->responses().size() == 1 && in[2]->responses().size() == 1);
        newcomer.socket->disconnectFromHost();
        QTRY_COMPARE(server.connectionCount(), 2);
        RawClient again(server.port());
        again.send(get("/again"));
        QTRY_COMPARE(again.responses().size(), 1);
    }

    // A connection that sends nothing is closed after the first byte's time, well before a
    // kept-alive one that has had its answer.
    void silentNewConnectionClosedSoon()
    {
        HttpServer server(echoPath(), {});
        server.setLimits({.parser = {}, .idleTimeoutMs = 60000, .firstByteTimeoutMs = 300});
        QVERIFY(server.listen(local(), nullptr));
        RawClient answered(server.port());
        answered.send(get("/a"));
        QTRY_COMPARE(answered.responses().size(), 1);
        QElapsedTimer clock;
        clock.start();
        RawClient silent(server.port());
        QTRY_VERIFY_WITH_TIMEOUT(silent.closed, 3000);
        QVERIFY(clock.elapsed() >= 250);
        QVERIFY(silent.received.isEmpty());
        QTest::qWait(300);
        QVERIFY(!answered.closed);
        QCOMPARE(server.connectionCount(), 1);
    }

    // Idle and slow connections from many addresses fill the caps; a client that comes afterwards is
    // still answered, every time, and the caps hold.
    void floodFromManyAddressesLetsOthersIn()
    {
        HttpServer server(echoPath(), {});
        // Clocks long enough that only the caps decide who goes during the test.
        server.setLimits({.parser = {},
                          .maxConnections = 40,
                          .maxPerAddress = 8,
                          .requestTimeoutMs = 60000,
                          .firstByteTimeoutMs = 60000});
        QVERIFY(server.listen(local(), nullptr));
        std::vector<std::unique_ptr<RawClient>> idle;
        std::vector<std::unique_ptr<RawClient>> slow;
        for (int a = 0; a < 10; ++a) {
            const QHostAddress from(QStringLiteral("127.0.0.%1").arg(10 + a));
            for (int i = 0; i < 5; ++i) {
                idle.push_back(std::make_unique<RawClient>(server.port(), false, from));
                slow.push_back(std::make_unique<RawClient>(server.port(), false, from));
            }
        }
        const QByteArray request = get("/slow", "X-Pad: " + QByteArray(300, 'p') + "\r\n");
        int dripped = 0;
        QTimer drip;
        connect(&drip, &QTimer::timeout, [&] {
            for (auto& c : slow)
                if (c->socket->state() == QAbstractSocket::ConnectedState)
                    c->send(request.mid(dripped, 1));
            ++dripped;
        });
        drip.start(100);
        QTRY_VERIFY_WITH_TIMEOUT(
            std::count_if(idle.cbegin(), idle.cend(), [](const auto& c) { return c->closed; }) +
                    std::count_if(slow.cbegin(), slow.cend(), [](const auto& c) { return c->closed; }) >=
                60,
            10000);
        QCOMPARE(server.connectionCount(), 40);
        for (int i = 0; i < 5; ++i) {
            RawClient client(server.port());
            client.send(get("/user"));
            QTRY_COMPARE(client.responses().size(), 1);
            QCOMPARE(RawClient::body(client.responses().first()), QByteArray("GET /user"));
            QVERIFY(server.connectionCount() <= 40);
        }
        QVERIFY(dripped < request.size()); // the slow ones were still sending
    }

    // The key a peer's connections are counted under: an IPv6 host by its /64.
    void addressGroups_data()
    {
        QTest::addColumn<QString>("one");
        QTest::addColumn<QString>("other");
        QTest::addColumn<bool>("same");
        QTest::newRow("IPv4") << "10.0.0.1"
                              << "10.0.0.2" << false;
        QTest::newRow("IPv4 mapped") << "::ffff:10.0.0.1"
                                     << "10.0.0.1" << true;
        QTest::newRow("one /64") << "2001:db8:1:2:3:4:5:6"
                                 << "2001:db8:1:2:ffff:ffff:ffff:ffff" << true;
        QTest::newRow("two /64") << "2001:db8:1:2::1"
                                 << "2001:db8:1:3::1" << false;
    }

    void addressGroups()
    {
        QFETCH(QString, one);
        QFETCH(QString, other);
        QFETCH(bool, same);
        const QString a = HttpServer::addressGroup(QHostAddress(one));
        const QString b = HttpServer::addressGroup(QHostAddress(other));
        QVERIFY(!a.isEmpty());
        QCOMPARE(a == b, same);
    }

    // A request whose header block and body arrive in one read (a body of 60 KiB, past the header
    // block's bound) is answered at once, plain and over TLS.
    void bodyInOneRead_data()
    {
        QTest::addColumn<bool>("tls");
        QTest::newRow("http") << false;
        QTest::newRow("https") << true;
    }

    void bodyInOneRead()
    {
        QFETCH(bool, tls);
        HttpSettings settings = local();
        if (tls) {
            const auto [cert, key] = makeCertificate(QStringLiteral("server"));
            QVERIFY2(!cert.isEmpty(), "openssl could not make a certificate");
            settings.CertFile = cert;
            settings.KeyFile = key;
        }
        HttpServer server(
            [](const HttpRequest& request, const HttpServer::Respond& respond) {
                respond(HttpResponse::text(200, QString::number(request.body.size()) + u' ' +
                                                    QString::fromLatin1(request.body.right(3))));
            },
            {});
        server.setLimits({.parser = {}, .requestTimeoutMs = 8000});
        QVERIFY(server.listen(settings, nullptr));
        RawClient client(server.port(), tls);
        const QByteArray body = QByteArray(60 * 1024 - 3, 'x') + "end";
        QTRY_VERIFY(client.socket->state() == QAbstractSocket::ConnectedState &&
                    (!tls || static_cast<QSslSocket*>(client.socket)->isEncrypted()));
        client.send("POST /form HTTP/1.1\r\nHost: h\r\nContent-Length: " + QByteArray::number(body.size()) +
                    "\r\n\r\n" + body);
        QElapsedTimer clock;
        clock.start();
        QTRY_COMPARE_WITH_TIMEOUT(client.responses().size(), 1, 5000);
        QCOMPARE(RawClient::status(client.responses().first()), 200);
        QCOMPARE(RawClient::body(client.responses().first()), QByteArray("61440 end"));
        QVERIFY2(clock.elapsed() < 4000, qPrintable(QString::number(clock.elapsed())));
    }

    // An answer given after the client has gone does nothing; a second answer to one request is
    // ignored; a handler that throws answers 500 and the connection carries on.
    void lateSecondAndFailingAnswers()
    {
        QList<HttpServer::Respond> held;
        HttpServer server(
            [&held](const HttpRequest& request, const HttpServer::Respond& respond) {
                if (request.path == QLatin1String("/throw"))
                    throw std::runtime_error("handler failed");
                if (request.path == QLatin1String("/twice")) {
                    respond(HttpResponse::text(200, QStringLiteral("one")));
                    respond(HttpResponse::text(200, QStringLiteral("two")));
                    return;
                }
                held.append(respond);
            },
            {});
        QVERIFY(server.listen(local(), nullptr));
        {
            RawClient leaving(server.port());
            leaving.send(get("/held"));
            QTRY_COMPARE(held.size(), 1);
            leaving.socket->abort();
        }
        QTRY_COMPARE(server.connectionCount(), 0);
        held.first()(HttpResponse::text(200, QStringLiteral("late")));
        held.first()(HttpResponse::text(200, QStringLiteral("later")));

        RawClient client(server.port());
        client.send(get("/twice"));
        QTRY_COMPARE(client.responses().size(), 1);
        client.send(get("/throw"));
        QTRY_COMPARE(client.responses().size(), 2);
        client.send(get("/held"));
        QTRY_COMPARE(held.size(), 2);
        held.last()(HttpResponse::text(200, QStringLiteral("held")));
        QTRY_COMPARE(client.responses().size(), 3);
        const QList<QByteArray> r = client.responses();
        QCOMPARE(RawClient::body(r[0]), QByteArray("one"));
        QCOMPARE(RawClient::status(r[1]), 500);
        QCOMPARE(RawClient::body(r[2]), QByteArray("held"));
        QTest::qWait(50);
        QCOMPARE(client.responses().size(), 3);
        QVERIFY(!client.closed);
    }

    // A WebSocket the check lets in reaches the receiver with its request and echoes; one it refuses
    // gets 403 and is closed.
    void webSocketHandOver()
    {
        QList<QWebSocket*> sockets;
        HttpRequest upgraded;
        HttpServer server(echoPath(),
                          [](const HttpRequest& request) { return request.path == QLatin1String("/live"); });
        QVERIFY(server.listen(local(), nullptr));
        connect(&server, &HttpServer::webSocketConnected, this,
                [&](QWebSocket* ws, const HttpRequest& request) {
                    upgraded = request;
                    sockets.append(ws);
                    ws->setMaxAllowedIncomingMessageSize(4096);
                    connect(ws, &QWebSocket::textMessageReceived, ws,
                            [ws](const QString& text) { ws->sendTextMessage(text + text); });
                });
        QWebSocket client;
        QStringList received;
        connect(&client, &QWebSocket::textMessageReceived,
                [&received](const QString& text) { received.append(text); });
        QNetworkRequest request(QUrl(QStringLiteral("ws://127.0.0.1:%1/live?x=1").arg(server.port())));
        request.setRawHeader("Cookie", "sid=abc");
        client.open(request);
        QTRY_COMPARE(client.state(), QAbstractSocket::ConnectedState);
        QTRY_COMPARE(sockets.size(), 1);
        QCOMPARE(upgraded.path, QStringLiteral("/live"));
        QCOMPARE(upgraded.cookie("sid"), QByteArray("abc"));
        QVERIFY(upgraded.webSocket);
        QCOMPARE(server.connectionCount(), 0);
        // The socket belongs to the WebSocket now and goes with it, not with the server.
        QVERIFY(server.findChildren<QTcpSocket*>().isEmpty());
        client.sendTextMessage(QStringLiteral("пинг"));
        QTRY_COMPARE(received, QStringList{QStringLiteral("пингпинг")});

        RawClient refused(server.port());
        refused.send(get("/other",
                         "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"));
        QTRY_VERIFY(refused.closed);
        QCOMPARE(refused.responses().size(), 1);
        QCOMPARE(RawClient::status(refused.responses().first()), 403);
        QCOMPARE(sockets.size(), 1);

        // The server keeps serving plain requests beside the WebSocket.
        RawClient plain(server.port());
        plain.send(get("/plain"));
        QTRY_COMPARE(plain.responses().size(), 1);
        qDeleteAll(sockets);
        QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
    }

    // Over HTTPS: a request answered, and a WebSocket over the same TLS connection echoing.
    void https()
    {
        const auto [cert, key] = makeCertificate(QStringLiteral("server"));
        QVERIFY2(!cert.isEmpty(), "openssl could not make a certificate");
        HttpSettings settings = local();
        settings.CertFile = cert;
        settings.KeyFile = key;
        QList<QWebSocket*> sockets;
        HttpServer server(echoPath(), [](const HttpRequest&) { return true; });
        connect(&server, &HttpServer::webSocketConnected, this,
                [&sockets](QWebSocket* ws, const HttpRequest&) {
                    sockets.append(ws);
                    connect(ws, &QWebSocket::textMessageReceived, ws,
                            [ws](const QString& text) { ws->sendTextMessage(text); });
                });
        server.setLimits({.parser = {}, .requestTimeoutMs = 1000});
        QString why;
        QVERIFY2(server.listen(settings, &why), qPrintable(why));

        RawClient client(server.port(), true);
        client.send(get("/secure"));
        QTRY_COMPARE(client.responses().size(), 1);
        QCOMPARE(RawClient::body(client.responses().first()), QByteArray("GET /secure"));

        // A client that never starts the TLS handshake is closed after the request timeout.
        RawClient silent(server.port());
        QTRY_VERIFY_WITH_TIMEOUT(silent.closed, 3000);

        // Plain HTTP to the HTTPS port is not answered as HTTP.
        RawClient plain(server.port());
        plain.send(get("/plain"));
        QTRY_VERIFY(plain.closed);
        QVERIFY(!plain.received.startsWith("HTTP/1.1 200"));

        QWebSocket ws;
        connect(&ws, &QWebSocket::sslErrors, &ws, [&ws](const QList<QSslError>&) { ws.ignoreSslErrors(); });
        QStringList received;
        connect(&ws, &QWebSocket::textMessageReceived,
                [&received](const QString& text) { received.append(text); });
        ws.open(QUrl(QStringLiteral("wss://127.0.0.1:%1/live").arg(server.port())));
        QTRY_COMPARE(ws.state(), QAbstractSocket::ConnectedState);
        ws.sendTextMessage(QStringLiteral("зашифровано"));
        QTRY_COMPARE(received, QStringList{QStringLiteral("зашифровано")});
        QCOMPARE(sockets.size(), 1);
        qDeleteAll(sockets);
    }

    // Over HTTPS a response that closes the connection arrives whole before the close, refusals of
    // the reader and of the WebSocket check alike, and every response names Strict-Transport-Security.
    void httpsClosingRepliesArrive_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        QTest::newRow("414") << get("/" + QByteArray(9000, 'a')) << 414;
        QTest::newRow("400") << get("/assets/%2e%2e/x") << 400;
        QTest::newRow("501")
            << QByteArray("POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n") << 501;
        QTest::newRow("403 WebSocket")
            << get("/refused", "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                               "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n")
            << 403;
        QTest::newRow("Connection: close") << get("/bye", "Connection: close\r\n") << 200;
        QTest::newRow("HTTP/1.0") << QByteArray("GET /old HTTP/1.0\r\n\r\n") << 200;
    }

    void httpsClosingRepliesArrive()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        const auto [cert, key] = makeCertificate(QStringLiteral("server"));
        QVERIFY2(!cert.isEmpty(), "openssl could not make a certificate");
        HttpSettings settings = local();
        settings.CertFile = cert;
        settings.KeyFile = key;
        HttpServer server(echoPath(), [](const HttpRequest& r) { return r.path == QLatin1String("/live"); });
        QVERIFY(server.listen(settings, nullptr));
        RawClient client(server.port(), true);
        QTRY_VERIFY(static_cast<QSslSocket*>(client.socket)->isEncrypted());
        client.send(request);
        QTRY_VERIFY_WITH_TIMEOUT(client.closed, 5000);
        QCOMPARE(client.responses().size(), 1);
        const QByteArray response = client.responses().first();
        QCOMPARE(RawClient::status(response), status);
        QVERIFY(!RawClient::body(response).isEmpty());
        QVERIFY(response.contains("Connection: close\r\n"));
        QVERIFY(response.contains("Strict-Transport-Security: max-age="));
        QTRY_COMPARE(server.connectionCount(), 0);
    }

    // A certificate or key that cannot serve is a clear refusal to start, naming the file.
    void httpsStartRefused()
    {
        const auto [cert, key] = makeCertificate(QStringLiteral("one"));
        const auto [otherCert, otherKey] = makeCertificate(QStringLiteral("two"));
        QVERIFY(!cert.isEmpty() && !otherKey.isEmpty());
        const QString missing = m_dir.filePath(QStringLiteral("missing.pem"));
        const QString text = m_dir.filePath(QStringLiteral("text.pem"));
        QFile f(text);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("not a PEM file\n");
        f.close();
        struct Case
        {
            QString cert, key, named;
        };
        for (const Case& c :
             {Case{missing, key, missing}, Case{cert, missing, missing}, Case{text, key, text},
              Case{cert, text, text}, Case{cert, otherKey, otherKey}, Case{key, key, key}}) {
            HttpSettings settings = local();
            settings.CertFile = c.cert;
            settings.KeyFile = c.key;
            HttpServer server(echoPath(), {});
            QString why;
            QVERIFY2(!server.listen(settings, &why), qPrintable(c.cert + ' ' + c.key));
            QVERIFY2(why.contains(c.named), qPrintable(why));
        }
        HttpSettings bad = local();
        bad.Address = QStringLiteral("not-an-address");
        HttpServer server(echoPath(), {});
        QString why;
        QVERIFY(!server.listen(bad, &why));
        QVERIFY(why.contains(QLatin1String("not-an-address")));
    }

    // When the process runs out of file descriptors the server goes on accepting once some are free
    // again.
    void acceptsAgainAfterRunningOutOfDescriptors()
    {
        HttpServer server(echoPath(), {});
        QVERIFY(server.listen(local(), nullptr));
        rlimit saved{};
        QVERIFY(::getrlimit(RLIMIT_NOFILE, &saved) == 0);
        const int open = static_cast<int>(
            QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
        rlimit tight = saved;
        tight.rlim_cur = static_cast<rlim_t>(open + 8);
        QVERIFY(::setrlimit(RLIMIT_NOFILE, &tight) == 0);
        std::vector<std::unique_ptr<RawClient>> clients;
        for (int i = 0; i < 8; ++i)
            clients.push_back(std::make_unique<RawClient>(server.port()));
        QTest::qWait(300);
        const int served = server.connectionCount();
        clients.clear();
        QVERIFY(::setrlimit(RLIMIT_NOFILE, &saved) == 0);
        QVERIFY2(served < 8, "the descriptors did not run out");
        RawClient client(server.port());
        client.send(get("/after"));
        QTRY_COMPARE_WITH_TIMEOUT(client.responses().size(), 1, 3000);
    }

    // A WebSocket stays up past the time its handshake was given; an upgrade the check lets in but
    // whose handshake is bad is closed without reaching the receiver; a client that never starts
    // its handshake is closed too.
    void webSocketHandshakes()
    {
        QList<QWebSocket*> sockets;
        HttpServer server(echoPath(), [](const HttpRequest&) { return true; });
        server.setLimits({.parser = {}, .requestTimeoutMs = 300});
        QVERIFY(server.listen(local(), nullptr));
        connect(&server, &HttpServer::webSocketConnected, this,
                [&sockets](QWebSocket* ws, const HttpRequest&) {
                    sockets.append(ws);
                    connect(ws, &QWebSocket::textMessageReceived, ws,
                            [ws](const QString& text) { ws->sendTextMessage(text); });
                });
        QWebSocket client;
        QStringList received;
        connect(&client, &QWebSocket::textMessageReceived,
                [&received](const QString& text) { received.append(text); });
        client.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/live").arg(server.port())));
        QTRY_COMPARE(client.state(), QAbstractSocket::ConnectedState);

        RawClient badKey(server.port());
        badKey.send(
            get("/live", "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"));
        RawClient silent(server.port());
        silent.send(get("/live", "Upgrade: websocket\r\nConnection: Upgrade\r\n").chopped(2));
        QTRY_VERIFY_WITH_TIMEOUT(badKey.closed && silent.closed, 5000);
        QVERIFY(!badKey.received.startsWith("HTTP/1.1 101"));
        QVERIFY(!silent.received.startsWith("HTTP/1.1 101"));

        QTest::qWait(2000);
        client.sendTextMessage(QStringLiteral("ещё здесь"));
        QTRY_COMPARE(received, QStringList{QStringLiteral("ещё здесь")});
        QCOMPARE(sockets.size(), 1);
        QCOMPARE(server.connectionCount(), 0);
        qDeleteAll(sockets);
    }
};

QTEST_GUILESS_MAIN(TestCentralHttpServer)
#include "tst_centralhttpserver.moc"
