// The dashboard's HTTP reader and response writer without a socket: what is taken, what is refused
// with which status, how much of the bytes a request takes, and what goes on the wire.

#include "central/web/HttpMessage.h"

#include <QTest>

namespace {

// Expected outcome in the table: a refusal status, or one of these.
constexpr int Complete = 0;
constexpr int NeedMore = -1;

using Header = std::pair<QByteArray, QByteArray>;

QByteArray get(const QByteArray& target, const QByteArray& extra = {})
{
    return "GET " + target + " HTTP/1.1\r\nHost: h\r\n" + extra + "\r\n";
}

QByteArray headers(int count)
{
    QByteArray out;
    for (int i = 0; i < count; ++i)
        out += "X-H" + QByteArray::number(i) + ": v\r\n";
    return out;
}

int outcome(const HttpParser::Result& r)
{
    switch (r.status) {
    case HttpParser::Status::Complete:
        return Complete;
    case HttpParser::Status::NeedMore:
        return NeedMore;
    case HttpParser::Status::Refused:
        return r.refusal;
    }
    return -2;
}

} // namespace

class TestCentralHttp : public QObject
{
    Q_OBJECT

private slots:
    void parse_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("expected");
        QTest::addColumn<QString>("path");

        const QByteArray longTarget = "/" + QByteArray(8200, 'a');
        const QByteArray bigHeader = "X-Big: " + QByteArray(16400, 'b') + "\r\n";
        // Taken.
        QTest::newRow("plain GET") << get("/api/live") << Complete << "/api/live";
        QTest::newRow("root") << get("/") << Complete << "/";
        QTest::newRow("trailing slash dropped") << get("/assets/") << Complete << "/assets";
        QTest::newRow("bare LF") << QByteArray("GET /a HTTP/1.1\nHost: h\n\n") << Complete << "/a";
        QTest::newRow("empty line before") << "\r\n" + get("/a") << Complete << "/a";
        QTest::newRow("HTTP/1.0 needs no Host") << QByteArray("GET /a HTTP/1.0\r\n\r\n") << Complete << "/a";
        QTest::newRow("UTF-8 path") << get("/%D0%B6%D1%83%D1%80%D0%BD%D0%B0%D0%BB") << Complete << "/журнал";
        QTest::newRow("encoded blank") << get("/a%20b") << Complete << "/a b";
        QTest::newRow("dots inside a name")
            << get("/assets/chart.min.js") << Complete << "/assets/chart.min.js";
        QTest::newRow("64 headers") << get("/", headers(63)) << Complete << "/";
        QTest::newRow("body at the limit")
            << "POST /a HTTP/1.1\r\nHost: h\r\nContent-Length: 65536\r\n\r\n" + QByteArray(65536, 'x')
            << Complete << "/a";
        // Not yet whole.
        QTest::newRow("half a request line") << QByteArray("GET /api/li") << NeedMore << "";
        QTest::newRow("half a header block") << QByteArray("GET / HTTP/1.1\r\nHost: h\r\n") << NeedMore << "";
        QTest::newRow("body on its way")
            << QByteArray("POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 10\r\n\r\nabc") << NeedMore << "";
        QTest::newRow("empty") << QByteArray() << NeedMore << "";
        // Sizes.
        QTest::newRow("request line over, unfinished") << "GET " + longTarget << 414 << "";
        QTest::newRow("request line over, finished") << get(longTarget) << 414 << "";
        QTest::newRow("header block over, unfinished") << "GET / HTTP/1.1\r\n" + bigHeader << 431 << "";
        QTest::newRow("header block over, finished") << get("/", bigHeader) << 431 << "";
        QTest::newRow("65 headers") << get("/", headers(64)) << 431 << "";
        QTest::newRow("body over the limit")
            << QByteArray("POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 65537\r\n\r\n") << 413 << "";
        QTest::newRow("huge Content-Length")
            << QByteArray("POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 99999999999999999999999\r\n\r\n")
            << 413 << "";
        // Paths the server never looks up.
        QTest::newRow("..") << get("/assets/../secret") << 400 << "";
        QTest::newRow("%2e%2e") << get("/assets/%2e%2e/secret") << 400 << "";
        QTest::newRow("%2E%2e at the end") << get("/assets/%2E%2e") << 400 << "";
        QTest::newRow("..%2f") << get("/..%2fsecret") << 400 << "";
        QTest::newRow(".") << get("/./a") << 400 << "";
        QTest::newRow("empty segment") << get("//etc/passwd") << 400 << "";
        QTest::newRow("backslash") << get("/a%5c..%5cb") << 400 << "";
        QTest::newRow("%00") << get("/a%00.js") << 400 << "";
        QTest::newRow("control byte") << get("/a%0d%0aSet-Cookie:x") << 400 << "";
        QTest::newRow("bad escape") << get("/a%zz") << 400 << "";
        QTest::newRow("cut escape") << get("/a%4") << 400 << "";
        QTest::newRow("lone percent") << get("/a%") << 400 << "";
        QTest::newRow("not UTF-8") << get("/%ff%fe") << 400 << "";
        QTest::newRow("bad escape in the query") << get("/a?x=%g1") << 400 << "";
        QTest::newRow("NUL in the query") << get("/a?x=%00") << 400 << "";
        QTest::newRow("raw NUL in the target")
            << QByteArray("GET /a\0b HTTP/1.1\r\nHost: h\r\n\r\n", 30) << 400 << "";
        QTest::newRow("fragment") << get("/a#b") << 400 << "";
        QTest::newRow("absolute-form") << get("http://example.org/") << 400 << "";
        QTest::newRow("asterisk-form") << QByteArray("OPTIONS * HTTP/1.1\r\nHost: h\r\n\r\n") << 400 << "";
        QTest::newRow("authority-form")
            << QByteArray("CONNECT example.org:443 HTTP/1.1\r\nHost: h\r\n\r\n") << 400 << "";
        // Request line and header syntax.
        QTest::newRow("HTTP/2.0") << QByteArray("GET / HTTP/2.0\r\nHost: h\r\n\r\n") << 505 << "";
        QTest::newRow("HTTP/2 preface") << QByteArray("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n") << 505 << "";
        QTest::newRow("HTTP/0.9 style") << QByteArray("GET /\r\n\r\n") << 400 << "";
        QTest::newRow("lower-case version") << QByteArray("GET / http/1.1\r\nHost: h\r\n\r\n") << 400 << "";
        QTest::newRow("two blanks") << QByteArray("GET  / HTTP/1.1\r\nHost: h\r\n\r\n") << 400 << "";
        QTest::newRow("method not a token") << QByteArray("G(T / HTTP/1.1\r\nHost: h\r\n\r\n") << 400 << "";
        QTest::newRow("HTTP/1.1 without Host") << QByteArray("GET / HTTP/1.1\r\n\r\n") << 400 << "";
        QTest::newRow("two Hosts") << get("/", "Host: other\r\n") << 400 << "";
        QTest::newRow("blank before the colon") << get("/", "Cookie : a=b\r\n") << 400 << "";
        QTest::newRow("no colon") << get("/", "Cookie\r\n") << 400 << "";
        QTest::newRow("folded line") << get("/", "X-A: a\r\n b\r\n") << 400 << "";
        QTest::newRow("NUL in a value") << get("/", QByteArray("X-A: a\0b\r\n", 10)) << 400 << "";
        QTest::newRow("chunked") << QByteArray(
                                        "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n")
                                 << 501 << "";
        QTest::newRow("chunked beside a length")
            << QByteArray(
                   "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\nabc")
            << 501 << "";
        QTest::newRow("two equal lengths")
            << QByteArray("POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\nContent-Length: 3\r\n\r\nabc")
            << 400 << "";
        QTest::newRow("length list") << QByteArray(
                                            "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 3, 3\r\n\r\nabc")
                                     << 400 << "";
        QTest::newRow("negative length")
            << QByteArray("POST / HTTP/1.1\r\nHost: h\r\nContent-Length: -1\r\n\r\n") << 400 << "";
        QTest::newRow("signed length")
            << QByteArray("POST / HTTP/1.1\r\nHost: h\r\nContent-Length: +3\r\n\r\nabc") << 400 << "";
        QTest::newRow("empty length")
            << QByteArray("POST / HTTP/1.1\r\nHost: h\r\nContent-Length:\r\n\r\n") << 400 << "";
    }

    void parse()
    {
        QFETCH(QByteArray, data);
        QFETCH(int, expected);
        QFETCH(QString, path);
        const HttpParser::Result r = HttpParser::parse(data, HttpParser::Limits());
        QCOMPARE(outcome(r), expected);
        if (expected == Complete) {
            QCOMPARE(r.request.path, path);
            QCOMPARE(r.consumed, data.size());
        }
    }

    // Refusals come as soon as the prefix shows them, not when the client has sent everything.
    void refusesBeforeTheRest()
    {
        const HttpParser::Limits limits;
        QCOMPARE(outcome(HttpParser::parse("GET / HTTP/2.0\r\nHost", limits)), 505);
        QCOMPARE(outcome(HttpParser::parse("GET /../x HTTP/1.1\r\n", limits)), 400);
        QCOMPARE(
            outcome(HttpParser::parse("POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 70000\r\n\r\n", limits)),
            413);
        const HttpParser::Result body =
            HttpParser::parse("POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\n\r\nab", limits);
        QCOMPARE(outcome(body), NeedMore);
        QCOMPARE(body.needed, qsizetype(47 + 5));
    }

    // Pipelined requests: each parse takes exactly one request and leaves the next one's bytes.
    void pipelinedBytesLeftUnconsumed()
    {
        const QByteArray first = "POST /login HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\n\r\nab\r\nc";
        const QByteArray second = get("/next?x=1");
        const QByteArray all = first + second;
        const HttpParser::Result a = HttpParser::parse(all, HttpParser::Limits());
        QCOMPARE(outcome(a), Complete);
        QCOMPARE(a.consumed, first.size());
        QCOMPARE(a.request.body, QByteArray("ab\r\nc"));
        const HttpParser::Result b =
            HttpParser::parse(QByteArrayView(all).sliced(a.consumed), HttpParser::Limits());
        QCOMPARE(outcome(b), Complete);
        QCOMPARE(b.request.path, QStringLiteral("/next"));
        QCOMPARE(b.request.query.value(QStringLiteral("x")), QStringLiteral("1"));
        QVERIFY(b.request.body.isEmpty());
    }

    void requestFields()
    {
        const QByteArray data = "POST /api/journal?ward=%D0%A5%D0%B8%D1%80+1&a=1&a=2&flag&=x HTTP/1.1\r\n"
                                "Host: h\r\nX-Mixed-Case:  padded value \t\r\nAccept: a\r\nAccept: b\r\n"
                                "Content-Length: 0\r\n\r\n";
        const HttpParser::Result r = HttpParser::parse(data, HttpParser::Limits());
        QCOMPARE(outcome(r), Complete);
        const HttpRequest& q = r.request;
        QCOMPARE(q.method, QByteArray("POST"));
        QCOMPARE(q.version, QByteArray("HTTP/1.1"));
        QCOMPARE(q.path, QStringLiteral("/api/journal"));
        QCOMPARE(q.query.value(QStringLiteral("ward")), QStringLiteral("Хир 1"));
        QCOMPARE(q.query.value(QStringLiteral("a")), QStringLiteral("2"));
        QVERIFY(q.query.contains(QStringLiteral("flag")));
        QVERIFY(!q.query.contains(QString()));
        QCOMPARE(q.headers.value("x-mixed-case"), QByteArray("padded value"));
        QCOMPARE(q.headers.value("accept"), QByteArray("a, b"));
        QVERIFY(!q.webSocket);
    }

    void webSocketUpgrade_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<bool>("webSocket");
        const QByteArray ws =
            "Upgrade: WebSocket\r\nConnection: keep-alive, Upgrade\r\nSec-WebSocket-Key: k\r\n"
            "Sec-WebSocket-Version: 13\r\n";
        QTest::newRow("browser's upgrade") << get("/live", ws) << true;
        QTest::newRow("POST") << "POST /live HTTP/1.1\r\nHost: h\r\n" + ws + "\r\n" << false;
        QTest::newRow("no Connection: upgrade") << get("/live", "Upgrade: websocket\r\n") << false;
        QTest::newRow("another protocol") << get("/live", "Upgrade: h2c\r\nConnection: Upgrade\r\n") << false;
    }

    void webSocketUpgrade()
    {
        QFETCH(QByteArray, data);
        QFETCH(bool, webSocket);
        const HttpParser::Result r = HttpParser::parse(data, HttpParser::Limits());
        QCOMPARE(outcome(r), Complete);
        QCOMPARE(r.request.webSocket, webSocket);
    }

    void keepAlive_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<bool>("keepAlive");
        QTest::newRow("1.1") << get("/") << true;
        QTest::newRow("1.1 close") << get("/", "Connection: Close\r\n") << false;
        QTest::newRow("1.0") << QByteArray("GET / HTTP/1.0\r\n\r\n") << false;
        QTest::newRow("1.0 keep-alive")
            << QByteArray("GET / HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n") << true;
    }

    void keepAlive()
    {
        QFETCH(QByteArray, data);
        QFETCH(bool, keepAlive);
        const HttpParser::Result r = HttpParser::parse(data, HttpParser::Limits());
        QCOMPARE(outcome(r), Complete);
        QCOMPARE(r.request.keepAlive(), keepAlive);
    }

    void cookies()
    {
        const QByteArray data =
            get("/", "Cookie: xsid=other; sid=\"abc\";theme=dark\r\nCookie:  lang=ru ; empty=; =anon\r\n");
        const HttpParser::Result r = HttpParser::parse(data, HttpParser::Limits());
        QCOMPARE(outcome(r), Complete);
        const HttpRequest& q = r.request;
        QCOMPARE(q.cookie("sid"), QByteArray("abc"));
        QCOMPARE(q.cookie("xsid"), QByteArray("other"));
        QCOMPARE(q.cookie("theme"), QByteArray("dark"));
        QCOMPARE(q.cookie("lang"), QByteArray("ru"));
        QCOMPARE(q.cookie("empty"), QByteArray());
        QCOMPARE(q.cookie("si"), QByteArray());
        QCOMPARE(q.cookie("missing"), QByteArray());
        QCOMPARE(HttpRequest().cookie("sid"), QByteArray());
    }

    void form_data()
    {
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("password");
        QTest::newRow("plus and escapes")
            << QByteArray("application/x-www-form-urlencoded")
            << QByteArray("name=%D0%90%D0%BD%D0%BD%D0%B0+%D0%9F.&password=a%2Bb%26c%3D+d") << "Анна П."
            << "a+b&c= d";
        QTest::newRow("charset parameter, last one wins")
            << QByteArray("Application/X-WWW-Form-Urlencoded; charset=UTF-8")
            << QByteArray("name=a&password=1&name=b") << "b"
            << "1";
        QTest::newRow("bad escape leaves its pair out")
            << QByteArray("application/x-www-form-urlencoded") << QByteArray("name=x%zz&password=%00&name=ok")
            << "ok"
            << "";
        QTest::newRow("not a form") << QByteArray("application/json") << QByteArray("name=a&password=b") << ""
                                    << "";
        QTest::newRow("no type") << QByteArray() << QByteArray("name=a") << ""
                                 << "";
    }

    void form()
    {
        QFETCH(QByteArray, contentType);
        QFETCH(QByteArray, body);
        QFETCH(QString, name);
        QFETCH(QString, password);
        HttpRequest q;
        if (!contentType.isEmpty())
            q.headers.insert("content-type", contentType);
        q.body = body;
        const QHash<QString, QString> form = q.form();
        QCOMPARE(form.value(QStringLiteral("name")), name);
        QCOMPARE(form.value(QStringLiteral("password")), password);
    }

    void serialize()
    {
        HttpResponse r = HttpResponse::json("{\"a\":1}", 201);
        r.headers.append(Header("Set-Cookie", "sid=x; HttpOnly; SameSite=Strict"));
        r.headers.append(Header("X-Evil", "a\r\nSet-Cookie: forged=1"));
        r.headers.append(Header("Bad Name", "v"));
        r.headers.append(Header("Content-Length", "1"));
        const QByteArray wire = r.serialize(true);
        const qsizetype end = wire.indexOf("\r\n\r\n");
        QVERIFY(end > 0);
        const QList<QByteArray> lines = wire.first(end).split('\n');
        QCOMPARE(lines.first(), QByteArray("HTTP/1.1 201 Created\r"));
        QCOMPARE(wire.sliced(end + 4), QByteArray("{\"a\":1}"));
        const QByteArray head = wire.first(end + 2);
        for (const char* line :
             {"Content-Type: application/json\r\n", "Content-Length: 7\r\n", "Connection: keep-alive\r\n",
              "Cache-Control: no-store\r\n", "X-Content-Type-Options: nosniff\r\n",
              "X-Frame-Options: DENY\r\n", "Referrer-Policy: same-origin\r\n",
              "Content-Security-Policy: default-src 'self'; img-src 'self' data:; frame-ancestors "
              "'none'\r\n",
              "Set-Cookie: sid=x; HttpOnly; SameSite=Strict\r\n"})
            QVERIFY2(head.contains(line), line);
        QVERIFY(!head.contains("forged"));
        QVERIFY(!head.contains("Bad Name"));
        QCOMPARE(head.count("Content-Length"), 1);

        const QByteArray closing = HttpResponse::text(404, QStringLiteral("Не найдено")).serialize(false);
        QVERIFY(closing.startsWith("HTTP/1.1 404 Not Found\r\n"));
        QVERIFY(closing.contains("Connection: close\r\n"));
        QVERIFY(closing.contains("Content-Type: text/plain; charset=utf-8\r\n"));
        QVERIFY(closing.endsWith(QStringLiteral("\r\n\r\nНе найдено").toUtf8()));
    }

    void sessionCookie()
    {
        QCOMPARE(HttpResponse::sessionCookie("sid", "AbC-_9", 43200, false),
                 QByteArray("sid=AbC-_9; Path=/; Max-Age=43200; HttpOnly; SameSite=Strict"));
        QCOMPARE(HttpResponse::sessionCookie("sid", "x", 3600, true),
                 QByteArray("sid=x; Path=/; Max-Age=3600; HttpOnly; SameSite=Strict; Secure"));
        // Logout: gone at once. A value cannot smuggle attributes or a second header.
        QCOMPARE(HttpResponse::sessionCookie("sid", "a; Domain=evil\r\nX: \"1\"", 0, false),
                 QByteArray("sid=aDomain=evilX:1; Path=/; Max-Age=0; HttpOnly; SameSite=Strict"));
    }

    void serializeVariants()
    {
        const QByteArray redirect = HttpResponse::redirect("/login?expired=1").serialize(true);
        QVERIFY(redirect.startsWith("HTTP/1.1 303 See Other\r\n"));
        QVERIFY(redirect.contains("\r\nLocation: /login?expired=1\r\n"));
        QVERIFY(redirect.contains("\r\nContent-Length: 0\r\n"));

        // An answer to HEAD tells the length but sends no body.
        const QByteArray head = HttpResponse::text(200, QStringLiteral("abc")).serialize(true, false);
        QVERIFY(head.contains("\r\nContent-Length: 3\r\n"));
        QVERIFY(head.endsWith("\r\n\r\n"));

        // An asset may ask to be cached: its header replaces the default one.
        HttpResponse asset;
        asset.contentType = "text/css";
        asset.headers.append(Header("Cache-Control", "max-age=3600"));
        const QByteArray cached = asset.serialize(true);
        QCOMPARE(cached.count("Cache-Control"), 1);
        QVERIFY(cached.contains("Cache-Control: max-age=3600\r\n"));

        for (int status : {400, 403, 408, 413, 414, 431, 500, 501, 505}) {
            const HttpResponse refusal = HttpResponse::refusal(status);
            QCOMPARE(refusal.status, status);
            QVERIFY(!refusal.body.isEmpty());
            QVERIFY(refusal.serialize(false).startsWith("HTTP/1.1 " + QByteArray::number(status) + ' '));
        }
    }
};

QTEST_GUILESS_MAIN(TestCentralHttp)
#include "tst_centralhttp.moc"
