// The dashboard as a browser meets it, in the centre's own process on a real PostgreSQL: the login
// and its cookie, what answers only to a session, the accounts removed while logged in, and the live
// channel that pushes what the store commits.

#include "CentralTestSupport.h"
#include "PostgresServer.h"

#include "central/CentralSchema.h"
#include "central/EventStore.h"
#include "central/PgConnection.h"
#include "central/UserAccounts.h"
#include "central/WardMessage.h"
#include "central/web/Dashboard.h"
#include "central/web/DashboardQueries.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkRequest>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>
#include <QUrl>
#include <QWebSocket>

#include <cerrno>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct Reply
{
    int status = 0;
    QMap<QByteArray, QByteArray> headers; // names in lower case; Set-Cookie's last one
    QByteArray body;
};

const QByteArray kPassword = QByteArrayLiteral("верный пароль");

} // namespace

class TestCentralDashboard : public QObject
{
    Q_OBJECT

private:
    PostgresServer m_pg;
    Pg::Connection m_db;
    std::unique_ptr<Dashboard> m_dashboard;
    QStringList m_lines;

    QByteArray self() const { return "127.0.0.1:" + QByteArray::number(m_dashboard->port()); }

    // A request as a browser sends it from the dashboard's page: Host, and for a POST the page's
    // Origin, unless `extra` names its own (or `origin` is false).
    QByteArray requestText(const QByteArray& method, const QByteArray& target, const QByteArray& cookie,
                           const QByteArray& body, const QByteArray& extra, bool origin = true) const
    {
        const QByteArray named = extra.toLower();
        QByteArray text = method + ' ' + target + " HTTP/1.1\r\n";
        if (!named.startsWith("host:") && !named.contains("\nhost:"))
            text += "Host: " + self() + "\r\n";
        text += "Connection: close\r\n";
        if (!cookie.isEmpty())
            text += "Cookie: halvane_session=" + cookie + "\r\n";
        if (method == "POST") {
            text += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                    QByteArray::number(body.size()) + "\r\n";
            if (origin && !named.contains("origin:") && !named.contains("referer:"))
                text += "Origin: http://" + self() + "\r\n";
        }
        return text + extra + "\r\n" + body;
    }
    static Reply parseReply(const QByteArray& all)
    {
        Reply reply;
        const qsizetype end = all.indexOf("\r\n\r\n");
        if (end < 0)
            return reply;
        const QList<QByteArray> lines = all.left(end).split('\n');
        reply.status = lines.value(0).split(' ').value(1).toInt();
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines[i].indexOf(':');
            if (colon > 0)
                reply.headers[lines[i].left(colon).trimmed().toLower()] = lines[i].mid(colon + 1).trimmed();
        }
        reply.body = all.mid(end + 4);
        return reply;
    }
    // One request on a connection of its own, from `from` (a loopback address) or 127.0.0.1; the
    // reply as the server wrote it.
    Reply request(const QByteArray& method, const QByteArray& target, const QByteArray& cookie = {},
                  const QByteArray& body = {}, const QByteArray& extra = {}, bool origin = true,
                  const QHostAddress& from = {})
    {
        return parallel({requestText(method, target, cookie, body, extra, origin)}, from).value(0);
    }
    // The requests at once, each on a connection of its own; their replies in the same order.
    QList<Reply> parallel(const QList<QByteArray>& texts, const QHostAddress& from = {})
    {
        std::vector<std::unique_ptr<QTcpSocket>> sockets;
        for (const QByteArray& text : texts) {
            auto socket = std::make_unique<QTcpSocket>();
            if (!from.isNull())
                socket->bind(from);
            socket->connectToHost(QHostAddress::LocalHost, m_dashboard->port());
            socket->write(text);
            sockets.push_back(std::move(socket));
        }
        QList<QByteArray> all(texts.size());
        const QDeadlineTimer deadline(15000);
        auto open = [&sockets] {
            return std::any_of(sockets.cbegin(), sockets.cend(),
                               [](const auto& s) { return s->state() != QAbstractSocket::UnconnectedState; });
        };
        while (!deadline.hasExpired() && open()) {
            QTest::qWait(5);
            for (size_t i = 0; i < sockets.size(); ++i)
                all[qsizetype(i)] += sockets[i]->readAll();
        }
        QList<Reply> replies;
        for (size_t i = 0; i < sockets.size(); ++i)
            replies << parseReply(all[qsizetype(i)] + sockets[i]->readAll());
        return replies;
    }
    // A new dashboard in place of the one init() started, with other settings.
    void restart(const Dashboard::Timing& timing, const HttpServer::Limits& limits = {},
                 const QString& hosts = {})
    {
        m_dashboard = std::make_unique<Dashboard>([this](const QString& line) { m_lines << line; });
        m_dashboard->setTiming(timing);
        m_dashboard->setServerLimits(limits);
        HttpSettings http;
        http.Address = QStringLiteral("127.0.0.1");
        http.Port = centraltest::freeTcpPort();
        http.Hosts = hosts;
        m_dashboard->start(http, m_pg.connInfo());
        QCOMPARE(m_dashboard->port(), http.Port);
    }
    static qint64 residentBytes()
    {
        QFile status(QStringLiteral("/proc/self/status"));
        if (!status.open(QIODevice::ReadOnly))
            return 0;
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith("VmRSS:"))
                return line.mid(6).trimmed().split(' ').value(0).toLongLong() * 1024;
        return 0;
    }
    static QByteArray form(const QString& name, const QByteArray& password)
    {
        return "name=" + QUrl::toPercentEncoding(name) + "&password=" + QUrl::toPercentEncoding(password);
    }
    // Logs in; the session's token, empty when refused.
    QByteArray login(const QString& name = QStringLiteral("Иванова О.П."),
                     const QByteArray& password = kPassword, const QHostAddress& from = {})
    {
        const Reply reply = request("POST", "/login", {}, form(name, password), {}, true, from);
        const QByteArray cookie = reply.headers.value("set-cookie");
        if (reply.status != 303 || !cookie.startsWith("halvane_session="))
            return {};
        return cookie.mid(16, cookie.indexOf(';') - 16);
    }
    QWebSocket* openLive(const QByteArray& token, const QByteArray& origin = {})
    {
        auto* socket = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, this);
        QNetworkRequest request(QUrl(QStringLiteral("ws://127.0.0.1:%1/live").arg(m_dashboard->port())));
        request.setRawHeader("Cookie", "halvane_session=" + token);
        if (!origin.isEmpty())
            request.setRawHeader("Origin", origin);
        socket->open(request);
        return socket;
    }
    // The first "wards" message among those received (pings come between).
    static std::optional<QJsonObject> wardsMessage(const QList<QJsonObject>& received)
    {
        for (const QJsonObject& o : received)
            if (o.value("type") == "wards")
                return o;
        return std::nullopt;
    }
    WardEvent parsed(const QString& ward, const QByteArray& payload)
    {
        QString why;
        const std::optional<WardEvent> e = WardEvent::parse(ward, payload, &why);
        if (!e)
            qFatal("an event the test makes was refused: %s", qPrintable(why));
        return *e;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(PostgresServer::installed(), "package postgresql is not installed");
        QVERIFY2(m_pg.init(), qPrintable(m_pg.error()));
        m_db.open(m_pg.connInfo());
        CentralSchema::migrate(m_db);
    }

    void init()
    {
        m_db.run("TRUNCATE events, reactions, wards, event_gaps, open_calls, users");
        UserAccounts::store(m_db, QStringLiteral("Иванова О.П."), UserAccounts::hashPassword(kPassword));
        m_lines.clear();
        m_dashboard = std::make_unique<Dashboard>([this](const QString& line) { m_lines << line; });
        Dashboard::Timing timing;
        timing.accountsMs = 200;
        timing.pingMs = 300;
        m_dashboard->setTiming(timing);
        HttpSettings http;
        http.Address = QStringLiteral("127.0.0.1");
        http.Port = centraltest::freeTcpPort();
        m_dashboard->start(http, m_pg.connInfo());
        QCOMPARE(m_dashboard->port(), http.Port);
        QVERIFY2(m_lines.value(0).startsWith(QStringLiteral("Панель: http://127.0.0.1:")),
                 qPrintable(m_lines.join('\n')));
    }
    void cleanup() { m_dashboard.reset(); }

    void onlyASessionSeesAnything()
    {
        // Without a session: the login page, its script and style, and nothing else.
        QCOMPARE(request("GET", "/").status, 303);
        QCOMPARE(request("GET", "/").headers.value("location"), QByteArray("/login"));
        const Reply page = request("GET", "/login");
        QCOMPARE(page.status, 200);
        QVERIFY(page.headers.value("content-type").startsWith("text/html"));
        QVERIFY(page.headers.value("content-security-policy").contains("default-src 'self'"));
        QCOMPARE(request("GET", "/assets/login.js").status, 200);
        for (const QByteArray target : {"/api/live", "/api/me", "/api/journal", "/api/statistics",
                                        "/api/wards", "/api/statistics.xlsx"}) {
            const Reply r = request("GET", target);
            QCOMPARE(r.status, 401);
            QVERIFY2(!r.body.contains("Иванова"), target.constData());
        }
        for (const QByteArray target : {"/assets/app.js", "/assets/chart.min.js", "/nothing"})
            QCOMPARE(request("GET", target).status, 404);
        // A forged cookie and an expired-looking one are nobody's.
        QCOMPARE(request("GET", "/api/me", QByteArray(43, 'A')).status, 401);
        QCOMPARE(request("GET", "/", "forged").headers.value("location"), QByteArray("/login?expired=1"));

        // A wrong password, an unknown name, an empty one.
        QCOMPARE(request("POST", "/login", {}, form(QStringLiteral("Иванова О.П."), "неверный"))
                     .headers.value("location"),
                 QByteArray("/login?failed=1"));
        QCOMPARE(
            request("POST", "/login", {}, form(QStringLiteral("Никто"), kPassword)).headers.value("location"),
            QByteArray("/login?failed=1"));

        const Reply in = request("POST", "/login", {}, form(QStringLiteral("Иванова О.П."), kPassword));
        QCOMPARE(in.status, 303);
        QCOMPARE(in.headers.value("location"), QByteArray("/"));
        const QByteArray cookie = in.headers.value("set-cookie");
        for (const QByteArray flag : {"HttpOnly", "SameSite=Strict", "Path=/", "Max-Age=43200"})
            QVERIFY2(cookie.contains(flag), cookie.constData());
        QVERIFY(!cookie.contains("Secure")); // plain HTTP: a Secure cookie would never come back
        const QByteArray token = cookie.mid(16, cookie.indexOf(';') - 16);
        QCOMPARE(token.size(), 43);

        const Reply me = request("GET", "/api/me", token);
        QCOMPARE(me.status, 200);
        QCOMPARE(QJsonDocument::fromJson(me.body).object().value("name").toString(),
                 QStringLiteral("Иванова О.П."));
        QCOMPARE(request("GET", "/", token).status, 200);
        QCOMPARE(request("GET", "/assets/app.js", token).status, 200);
        QVERIFY(request("GET", "/assets/chart.min.js", token).body.contains("Chart.js v3"));
        QCOMPARE(request("GET", "/api/nothing", token).status, 404);
        QCOMPARE(request("DELETE", "/api/me", token).status, 405);

        // A page of another site cannot log out (or in) on the person's behalf.
        QCOMPARE(request("POST", "/logout", token, {}, "Origin: http://evil.example\r\n").status, 403);
        QCOMPARE(request("GET", "/api/me", token).status, 200);
        const Reply out =
            request("POST", "/logout", token, {},
                    "Origin: http://127.0.0.1:" + QByteArray::number(m_dashboard->port()) + "\r\n");
        QCOMPARE(out.status, 303);
        QVERIFY(out.headers.value("set-cookie").contains("Max-Age=0"));
        QCOMPARE(request("GET", "/api/me", token).status, 401);
    }

    void failedLoginsAreSlowedDown()
    {
        for (int i = 0; i < LoginThrottle::kFreeFailures + 1; ++i)
            QCOMPARE(request("POST", "/login", {}, form(QStringLiteral("Иванова О.П."), "нет"))
                         .headers.value("location"),
                     QByteArray("/login?failed=1"));
        // Now even the right password waits its turn, without being checked.
        QCOMPARE(request("POST", "/login", {}, form(QStringLiteral("Иванова О.П."), kPassword))
                     .headers.value("location"),
                 QByteArray("/login?throttled=1"));
        QTest::qWait(int(LoginThrottle::kFirstDelayMs) + 100);
        QVERIFY(!login().isEmpty());
    }

    void removedAccountIsLoggedOut()
    {
        const QByteArray token = login();
        QVERIFY(!token.isEmpty());
        QWebSocket* live = openLive(token);
        QSignalSpy closed(live, &QWebSocket::disconnected);
        QSignalSpy messages(live, &QWebSocket::textMessageReceived);
        QTRY_VERIFY(!messages.isEmpty());
        QVERIFY(UserAccounts::remove(m_db, QStringLiteral("Иванова О.П.")));
        QTRY_COMPARE_WITH_TIMEOUT(request("GET", "/api/me", token).status, 401, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(!closed.isEmpty(), 5000);
    }

    void liveChannelPushesWhatIsCommitted()
    {
        const QByteArray token = login();
        QVERIFY(!token.isEmpty());
        // No session, or a page of another site: no live channel.
        for (const auto& [cookie, origin] :
             {std::pair<QByteArray, QByteArray>{"forged", {}}, {token, "http://evil.example"}}) {
            QWebSocket* refused = openLive(cookie, origin);
            QSignalSpy errors(refused, &QWebSocket::disconnected);
            QSignalSpy connected(refused, &QWebSocket::connected);
            QTRY_VERIFY(!errors.isEmpty());
            QVERIFY(connected.isEmpty());
        }

        QWebSocket* live = openLive(token, "http://127.0.0.1:" + QByteArray::number(m_dashboard->port()));
        QList<QJsonObject> received;
        connect(live, &QWebSocket::textMessageReceived, this, [&received](const QString& text) {
            received << QJsonDocument::fromJson(text.toUtf8()).object();
        });
        QTRY_VERIFY(!received.isEmpty());
        QCOMPARE(received.first().value("type").toString(), QStringLiteral("snapshot"));
        QVERIFY(received.first().value("wards").toArray().isEmpty());

        // A ward comes online with a call whose place holds markup and quotes.
        const QString hostile = QStringLiteral("<script>alert(1)</script>\"'");
        WardOpenCall call;
        call.call = QStringLiteral("c1");
        call.code = QStringLiteral("f6186");
        call.function = QStringLiteral("8");
        call.place = hostile;
        call.wardName = QStringLiteral("Палата 5");
        call.staff = QStringLiteral("Тестова Анна");
        call.level = QStringLiteral("alarm");
        call.time = QStringLiteral("2024-03-01T10:00:00+03:00");
        QMap<QString, EventInbox::WardState> states;
        states[QStringLiteral("w1")].status = QStringLiteral("online");
        states[QStringLiteral("w1")].open = QList<WardOpenCall>{call};
        const QList<WardEvent> events{
            parsed(QStringLiteral("w1"),
                   centraltest::wardEvent(1, QStringLiteral("call"), {{QStringLiteral("place"), hostile}})),
            parsed(QStringLiteral("w1"),
                   centraltest::wardEvent(2, QStringLiteral("antenna"),
                                          {{QStringLiteral("antenna"), QStringLiteral("3")},
                                           {QStringLiteral("silent"), true}}))};
        received.clear();
        m_dashboard->observe(EventStore::writeBatch(m_db, events, states));
        QTRY_VERIFY_WITH_TIMEOUT(wardsMessage(received), 2000);
        const QJsonObject card = wardsMessage(received)->value("wards").toArray().first().toObject();
        QCOMPARE(card.value("ward").toString(), QStringLiteral("w1"));
        QCOMPARE(card.value("status").toString(), QStringLiteral("online"));
        const QJsonObject shown = card.value("calls").toArray().first().toObject();
        QCOMPARE(shown.value("place").toString(), hostile);
        QCOMPARE(shown.value("level").toString(), QStringLiteral("alarm"));
        QCOMPARE(card.value("silent").toArray().first().toObject().value("antenna").toString(),
                 QStringLiteral("3"));

        // The ward's server dies: its last will says offline.
        QMap<QString, EventInbox::WardState> offline;
        offline[QStringLiteral("w1")].status = QStringLiteral("offline");
        received.clear();
        m_dashboard->observe(EventStore::writeBatch(m_db, {}, offline));
        QTRY_VERIFY_WITH_TIMEOUT(wardsMessage(received), 2000);
        QCOMPARE(
            wardsMessage(received)->value("wards").toArray().first().toObject().value("status").toString(),
            QStringLiteral("offline"));
        // The ping keeps the page sure of its link.
        QTRY_VERIFY_WITH_TIMEOUT(std::any_of(received.cbegin(), received.cend(),
                                             [](const QJsonObject& o) { return o.value("type") == "ping"; }),
                                 2000);
        // The same card over plain HTTP.
        const QJsonArray wards = QJsonDocument::fromJson(request("GET", "/api/live", token).body)
                                     .object()
                                     .value("wards")
                                     .toArray();
        QCOMPARE(wards.size(), 1);
        QCOMPARE(
            wards.first().toObject().value("calls").toArray().first().toObject().value("place").toString(),
            hostile);
    }

    void reportsAnswerWithTheirData()
    {
        const QByteArray token = login();
        QVERIFY(!token.isEmpty());
        EventStore::writeBatch(m_db, {parsed(QStringLiteral("w1"), centraltest::wardEvent(1))}, {});

        const Reply journal = request("GET", "/api/journal?limit=10", token);
        QCOMPARE(journal.status, 200);
        QCOMPARE(QJsonDocument::fromJson(journal.body).object().value("rows").toArray().size(), 1);
        QCOMPARE(request("GET", "/api/journal?first=yesterday", token).status, 400);
        QCOMPARE(request("GET", "/api/journal?after=%27%3B%20DROP%20TABLE%20events", token).status, 400);

        const Reply wards = request("GET", "/api/wards", token);
        QCOMPARE(QJsonDocument::fromJson(wards.body).array().first().toObject().value("ward").toString(),
                 QStringLiteral("w1"));

        const Reply stats = request("GET", "/api/statistics?first=2024-03-01&last=2024-03-31", token);
        QCOMPARE(stats.status, 200);
        QCOMPARE(
            QJsonDocument::fromJson(stats.body).object().value("total").toObject().value("calls").toInt(), 1);
        for (const QByteArray bad :
             {"first=2024-03-31&last=2024-03-01", "first=2024-02-30", "last=31.03.2024"})
            QCOMPARE(request("GET", "/api/statistics?" + bad, token).status, 400);

        const Reply file = request("GET", "/api/statistics.xlsx?first=2024-03-01&last=2024-03-31", token);
        QCOMPARE(file.status, 200);
        QVERIFY(file.body.startsWith("PK"));
        QCOMPARE(file.headers.value("content-disposition"),
                 QByteArray("attachment; filename=\"halvane-2024-03-01-2024-03-31.xlsx\""));
        QCOMPARE(m_db.exec("SELECT count(*) FROM events").text(0, 0), QStringLiteral("1"));
    }

    // Idle and slow connections from many addresses fill every place; a nurse who comes afterwards
    // still opens the login page and logs in, every time.
    void floodOfIdleAndSlowConnectionsLetsAUserIn()
    {
        HttpServer::Limits limits;
        limits.maxConnections = 40;
        limits.maxPerAddress = 8;
        restart(Dashboard::Timing{}, limits);
        std::vector<std::unique_ptr<QTcpSocket>> idle;
        std::vector<std::unique_ptr<QTcpSocket>> slow;
        for (int a = 0; a < 10; ++a) {
            const QHostAddress from(QStringLiteral("127.0.0.%1").arg(20 + a));
            for (int i = 0; i < 5; ++i) {
                for (auto* list : {&idle, &slow}) {
                    list->push_back(std::make_unique<QTcpSocket>());
                    list->back()->bind(from);
                    list->back()->connectToHost(QHostAddress::LocalHost, m_dashboard->port());
                }
            }
        }
        const QByteArray trickle = requestText("POST", "/login", {}, form(QStringLiteral("x"), "y"), {});
        int dripped = 0;
        QTimer drip;
        connect(&drip, &QTimer::timeout, this, [&] {
            for (auto& socket : slow)
                if (socket->state() == QAbstractSocket::ConnectedState)
                    socket->write(trickle.mid(dripped, 1));
            ++dripped;
        });
        drip.start(200);
        auto open = [](const std::vector<std::unique_ptr<QTcpSocket>>& list) {
            return std::count_if(list.cbegin(), list.cend(),
                                 [](const auto& s) { return s->state() == QAbstractSocket::ConnectedState; });
        };
        auto connecting = [](const std::vector<std::unique_ptr<QTcpSocket>>& list) {
            return std::any_of(list.cbegin(), list.cend(), [](const auto& s) {
                return s->state() == QAbstractSocket::ConnectingState ||
                       s->state() == QAbstractSocket::HostLookupState;
            });
        };
        // Every flooding connection got its place, then gave it up to a later one.
        QTRY_VERIFY_WITH_TIMEOUT(!connecting(idle) && !connecting(slow) && open(idle) + open(slow) <= 40,
                                 20000);
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(request("GET", "/login").status, 200);
            QVERIFY(!login().isEmpty());
        }
    }

    // A logged-in client that floods the live channel with pings and never reads is dropped at once:
    // the centre does not queue its pongs without end.
    void pingFloodWithoutReadingIsDropped()
    {
        // A ping of the live channel far away: nothing else looks at the client meanwhile.
        Dashboard::Timing timing;
        timing.pingMs = 60000;
        restart(timing);
        const QByteArray token = login();
        QVERIFY(!token.isEmpty());
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        QVERIFY(fd >= 0);
        const auto closeFd = qScopeGuard([fd] { ::close(fd); });
        const int small = 4096;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(m_dashboard->port());
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QVERIFY(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0);
        const QByteArray upgrade =
            "GET /live HTTP/1.1\r\nHost: " + self() + "\r\nOrigin: http://" + self() +
            "\r\nCookie: halvane_session=" + token +
            "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
        QCOMPARE(::send(fd, upgrade.constData(), size_t(upgrade.size()), MSG_NOSIGNAL),
                 ssize_t(upgrade.size()));
        QByteArray handshake;
        QTRY_VERIFY([&] {
            char buffer[4096];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0)
                handshake.append(buffer, n);
            return handshake.contains("\r\n\r\n");
        }());
        QVERIFY2(handshake.startsWith("HTTP/1.1 101"), handshake.constData());

        // Masked pings with the largest payload a control frame may carry; from now on nothing is
        // read.
        QByteArray pings;
        for (int i = 0; i < 500; ++i) {
            pings += char(0x89);
            pings += char(0x80 | 125);
            pings += QByteArray(4, '\0'); // mask of zeros: the payload as it is
            pings += QByteArray(125, 'p');
        }
        const qint64 before = residentBytes();
        qint64 sent = 0;
        qint64 most = before;
        bool dropped = false;
        QElapsedTimer clock;
        clock.start();
        while (!dropped && sent < 64LL * 1024 * 1024 && clock.elapsed() < 20000) {
            const ssize_t n =
                ::send(fd, pings.constData(), size_t(pings.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
                sent += n;
            else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                dropped = true;
            QCoreApplication::processEvents();
            most = std::max(most, residentBytes());
        }
        qInfo("pings sent before the drop: %lld bytes; resident memory grew by %lld KiB at most", sent,
              (most - before) / 1024);
        QVERIFY2(dropped, qPrintable(QStringLiteral("%1 bytes of pings sent, still connected").arg(sent)));
        QVERIFY2(sent < 4 * 1024 * 1024, qPrintable(QString::number(sent)));
        QVERIFY2(most - before < 32 * 1024 * 1024, qPrintable(QString::number(most - before)));
        // The centre goes on serving.
        QCOMPARE(request("GET", "/api/me", token).status, 200);
    }

    // A parallel burst of guesses from one address gets one password check, not one each.
    void parallelBurstGetsOneCheck()
    {
        QList<QByteArray> texts;
        for (int i = 0; i < 30; ++i)
            texts << requestText("POST", "/login", {},
                                 form(QStringLiteral("Иванова О.П."), "догадка " + QByteArray::number(i)),
                                 {});
        const QList<Reply> replies = parallel(texts);
        int checked = 0;
        int held = 0;
        for (const Reply& r : replies) {
            const QByteArray where = r.headers.value("location");
            if (where == "/login?failed=1")
                ++checked;
            else if (where == "/login?throttled=1")
                ++held;
        }
        // One check at a time for the address; a check that ends while the burst still arrives lets one more
        // in, up to the failures that make the address wait.
        QVERIFY2(checked >= 1 && checked <= LoginThrottle::kFreeFailures + 1,
                 qPrintable(QString::number(checked)));
        QCOMPARE(checked + held, 30);
    }

    // Someone guessing a name from another machine slows the guesses down, but not its owner from an
    // address that has not failed: the right password from there is let in.
    void guessesElsewhereDoNotLockTheOwnerOut()
    {
        const QHostAddress guesser(QStringLiteral("127.0.0.2"));
        const QHostAddress owner(QStringLiteral("127.0.0.3"));
        for (int i = 0; i <= LoginThrottle::kFreeFailures; ++i)
            QCOMPARE(
                request("POST", "/login", {}, form(QStringLiteral("Иванова О.П."), "нет"), {}, true, guesser)
                    .headers.value("location"),
                QByteArray("/login?failed=1"));
        // The guesser is held back, even with the right password...
        QCOMPARE(
            request("POST", "/login", {}, form(QStringLiteral("Иванова О.П."), kPassword), {}, true, guesser)
                .headers.value("location"),
            QByteArray("/login?throttled=1"));
        // ...the owner is not.
        QVERIFY(!login(QStringLiteral("Иванова О.П."), kPassword, owner).isEmpty());
    }

    // A new password, a disabled account or a removed one ends the account's sessions and live
    // channels within 2 s, with the dashboard's own timing.
    void changedAccountIsLoggedOut_data()
    {
        QTest::addColumn<QByteArray>("change");
        QTest::addColumn<bool>("newPasswordWorks");
        QTest::newRow("new password")
            << QByteArray("UPDATE users SET password_hash = $2 WHERE name = $1") << true;
        QTest::newRow("disabled")
            << QByteArray(
                   "UPDATE users SET password_hash = '!' || password_hash WHERE name = $1 AND $2 <> ''")
            << false;
        QTest::newRow("removed") << QByteArray("DELETE FROM users WHERE name = $1 AND $2 <> ''") << false;
    }

    void changedAccountIsLoggedOut()
    {
        QFETCH(QByteArray, change);
        QFETCH(bool, newPasswordWorks);
        Dashboard::Timing timing;
        timing.pingMs = 300;
        restart(timing);
        const QString name = QStringLiteral("Иванова О.П.");
        const QByteArray token = login();
        const QByteArray other = login();
        QVERIFY(!token.isEmpty() && !other.isEmpty());
        QWebSocket* live = openLive(token);
        QSignalSpy closed(live, &QWebSocket::disconnected);
        QSignalSpy messages(live, &QWebSocket::textMessageReceived);
        QTRY_VERIFY(!messages.isEmpty());
        // Time for a reading of the accounts or two: the session is still good.
        QTest::qWait(1500);
        QCOMPARE(request("GET", "/api/me", token).status, 200);

        const QByteArray newPassword = "новый пароль 2";
        const QByteArray newHash = UserAccounts::hashPassword(newPassword);
        m_db.exec(change, {Pg::param(name), newHash});
        // The live channel closes within 2 s; by then the sessions have ended.
        QTRY_VERIFY_WITH_TIMEOUT(!closed.isEmpty(), 2000);
        QCOMPARE(request("GET", "/api/me", token).status, 401);
        QCOMPARE(request("GET", "/api/me", other).status, 401);
        QCOMPARE(login(name, kPassword).isEmpty(), true);
        QCOMPARE(!login(name, newPassword).isEmpty(), newPasswordWorks);
    }

    // Only a page of the dashboard may POST: a login or logout without its Origin (or a Referer of
    // its own) is refused.
    void postNeedsThePagesOrigin_data()
    {
        QTest::addColumn<QByteArray>("extra");
        QTest::addColumn<bool>("origin");
        QTest::addColumn<bool>("let");
        QTest::newRow("Origin") << QByteArray() << true << true;
        QTest::newRow("neither") << QByteArray() << false << false;
        QTest::newRow("own Referer") << QByteArray("Referer: http://%self/login?failed=1\r\n") << false
                                     << true;
        QTest::newRow("foreign Referer")
            << QByteArray("Referer: http://evil.example/login\r\n") << false << false;
        QTest::newRow("foreign Origin") << QByteArray("Origin: http://evil.example\r\n") << false << false;
        QTest::newRow("null Origin") << QByteArray("Origin: null\r\n") << false << false;
        QTest::newRow("another scheme") << QByteArray("Origin: https://%self\r\n") << false << false;
        QTest::newRow("another port") << QByteArray("Origin: http://127.0.0.1:1\r\n") << false << false;
    }

    void postNeedsThePagesOrigin()
    {
        QFETCH(QByteArray, extra);
        QFETCH(bool, origin);
        QFETCH(bool, let);
        extra.replace("%self", self());
        const Reply in =
            request("POST", "/login", {}, form(QStringLiteral("Иванова О.П."), kPassword), extra, origin);
        QCOMPARE(in.status, let ? 303 : 403);
        QCOMPARE(in.headers.value("set-cookie").startsWith("halvane_session="), let);
        const QByteArray token = login();
        const Reply out = request("POST", "/logout", token, {}, extra, origin);
        QCOMPARE(out.status, let ? 303 : 403);
        QCOMPARE(request("GET", "/api/me", token).status, let ? 401 : 200);
    }

    // A request naming a host the dashboard does not know (a name another site points here) is
    // refused; the computer's name, localhost, an IP address and the names of [Http] Hosts are not.
    void unknownHostIsRefused_data()
    {
        QTest::addColumn<QByteArray>("host");
        QTest::addColumn<int>("status");
        QTest::newRow("IP address") << QByteArray("127.0.0.1:%port") << 200;
        QTest::newRow("localhost") << QByteArray("LocalHost:%port") << 200;
        QTest::newRow("IPv6") << QByteArray("[::1]:%port") << 200;
        QTest::newRow("from the settings") << QByteArray("dashboard.hospital.local:%port") << 200;
        QTest::newRow("computer's name") << QSysInfo::machineHostName().toLatin1() + ":%port" << 200;
        QTest::newRow("another name") << QByteArray("rebound.example:%port") << 421;
        QTest::newRow("a name ending like ours") << QByteArray("evil-dashboard.hospital.local") << 421;
    }

    void unknownHostIsRefused()
    {
        QFETCH(QByteArray, host);
        QFETCH(int, status);
        restart(Dashboard::Timing{}, {}, QStringLiteral("dashboard.hospital.local, board.hospital.local"));
        host.replace("%port", QByteArray::number(m_dashboard->port()));
        const Reply page = request("GET", "/login", {}, {}, "Host: " + host + "\r\n");
        QCOMPARE(page.status, status);
        if (status == 421)
            QVERIFY2(page.body.contains("Hosts"), page.body.constData()); // says where to name it
        // The live channel answers to the same names only.
        const QByteArray token = login();
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, m_dashboard->port());
        QVERIFY(socket.waitForConnected(5000));
        socket.write("GET /live HTTP/1.1\r\nHost: " + host + "\r\nCookie: halvane_session=" + token +
                     "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                     "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n");
        QByteArray answer;
        QTRY_VERIFY((answer += socket.readAll()).contains("\r\n\r\n"));
        QCOMPARE(answer.startsWith("HTTP/1.1 101"), status == 200);
    }

    // A journal cursor or a date the database cannot take is a refusal of the request, not the
    // database's failure; so is a statistics period of centuries (over the reports' 100 years).
    void datesAndCursorsOutOfRange_data()
    {
        QTest::addColumn<QByteArray>("target");
        const auto cursor = [](qint64 micros) {
            return DashboardQueries::encodeCursor({micros, QStringLiteral("w1"), 1});
        };
        // Some 30,000 years ahead, and 5000 BC, before any time the database holds.
        QTest::newRow("cursor far ahead") << "/api/journal?after=" + cursor(900'000'000'000'000'000LL);
        QTest::newRow("cursor far back") << "/api/journal?after=" + cursor(-220'000'000'000'000'000LL);
        QTest::newRow("last day 9999") << QByteArray("/api/journal?last=9999-12-31");
        QTest::newRow("first day 0001") << QByteArray("/api/journal?first=0001-01-01");
        QTest::newRow("statistics to 9999") << QByteArray("/api/statistics?first=2024-01-01&last=9999-12-31");
        QTest::newRow("statistics of centuries")
            << QByteArray("/api/statistics?first=1970-01-01&last=2999-12-31");
        QTest::newRow("file of centuries")
            << QByteArray("/api/statistics.xlsx?first=1970-01-01&last=2999-12-31");
    }

    void datesAndCursorsOutOfRange()
    {
        QFETCH(QByteArray, target);
        const QByteArray token = login();
        QVERIFY(!token.isEmpty());
        const Reply r = request("GET", target, token);
        QCOMPARE(r.status, 400);
        QVERIFY(!QJsonDocument::fromJson(r.body).object().value("error").toString().isEmpty());
        // A good cursor and a long but sound period still answer.
        QCOMPARE(request("GET",
                         "/api/journal?after=" + DashboardQueries::encodeCursor(
                                                     {1'700'000'000'000'000LL, QStringLiteral("w1"), 1}),
                         token)
                     .status,
                 200);
    }

    void databaseAwayIsAClearRefusal()
    {
        const QByteArray token = login();
        QVERIFY(!token.isEmpty());
        m_db.close();
        QVERIFY2(m_pg.stop(), qPrintable(m_pg.error()));
        const Reply live = request("GET", "/api/live", token);
        QVERIFY2(live.status == 503, live.body.constData());
        // The page is told in its own words; the database's address and message stay in the centre.
        const QString said = QJsonDocument::fromJson(live.body).object().value("error").toString();
        QVERIFY2(!said.isEmpty() && !said.contains(QString::number(m_pg.port())), qPrintable(said));
        // A login cannot be checked either: said so, not counted as a wrong password.
        QCOMPARE(request("POST", "/login", {}, form(QStringLiteral("Иванова О.П."), kPassword)).status, 503);
        QVERIFY2(m_pg.start(), qPrintable(m_pg.error()));
        m_db.open(m_pg.connInfo());
        QTRY_COMPARE_WITH_TIMEOUT(request("GET", "/api/live", token).status, 200, 15000);
        // The session outlived the outage.
        QCOMPARE(request("GET", "/api/me", token).status, 200);
    }
};

QTEST_GUILESS_MAIN(TestCentralDashboard)
#include "tst_centraldashboard.moc"
