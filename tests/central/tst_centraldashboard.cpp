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

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkRequest>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>
#include <QUrl>
#include <QWebSocket>

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

    // One request on a connection of its own; the reply as the server wrote it.
    Reply request(const QByteArray& method, const QByteArray& target, const QByteArray& cookie = {},
                  const QByteArray& body = {}, const QByteArray& extra = {})
    {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, m_dashboard->port());
        if (!socket.waitForConnected(5000))
            return {};
        QByteArray text = method + ' ' + target +
                          " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(m_dashboard->port()) +
                          "\r\nConnection: close\r\n";
        if (!cookie.isEmpty())
            text += "Cookie: halvane_session=" + cookie + "\r\n";
        if (method == "POST")
            text += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                    QByteArray::number(body.size()) + "\r\n";
        text += extra + "\r\n" + body;
        socket.write(text);
        QByteArray all;
        const QDeadlineTimer deadline(15000);
        while (!deadline.hasExpired() && socket.state() == QAbstractSocket::ConnectedState) {
            QTest::qWait(5);
            all += socket.readAll();
        }
        all += socket.readAll();
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
    static QByteArray form(const QString& name, const QByteArray& password)
    {
        return "name=" + QUrl::toPercentEncoding(name) + "&password=" + QUrl::toPercentEncoding(password);
    }
    // Logs in; the session's token, empty when refused.
    QByteArray login(const QString& name = QStringLiteral("Иванова О.П."),
                     const QByteArray& password = kPassword)
    {
        const Reply reply = request("POST", "/login", {}, form(name, password));
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
