#include "central/web/Dashboard.h"

#include "central/PgConnection.h"
#include "central/UserAccounts.h"
#include "central/web/DashboardQueries.h"
#include "central/web/PgWorker.h"
#include "core/base/AppError.h"

#include <QDate>
#include <QFile>
#include <QHostInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QThreadPool>
#include <QUrl>
#include <QWebSocket>

namespace {

const QByteArray kCookie = QByteArrayLiteral("halvane_session");
const QByteArray kXlsx =
    QByteArrayLiteral("application/vnd.openxmlformats-officedocument.spreadsheetml.sheet");

// The statistics' default period: the last 30 days, today among them.
constexpr int kDefaultDays = 30;

QByteArray contentTypeOf(const QString& file)
{
    if (file.endsWith(QLatin1String(".html")))
        return QByteArrayLiteral("text/html; charset=utf-8");
    if (file.endsWith(QLatin1String(".js")))
        return QByteArrayLiteral("text/javascript; charset=utf-8");
    if (file.endsWith(QLatin1String(".css")))
        return QByteArrayLiteral("text/css; charset=utf-8");
    return QByteArrayLiteral("application/octet-stream");
}

HttpResponse errorJson(int status, const QString& message)
{
    return HttpResponse::json(
        QJsonDocument(QJsonObject{{QStringLiteral("error"), message}}).toJson(QJsonDocument::Compact),
        status);
}

// The worker's answer as it goes to the browser: a failure's body is already the page's own
// {"error":…}; the worker's detail (the database's address and its message) is not for the page.
HttpResponse fromReply(const PgWorker::Reply& reply)
{
    HttpResponse response;
    response.status = reply.status;
    response.contentType = reply.contentType;
    response.body = reply.body;
    return response;
}

// A job of the workers whose answer is the body `query` makes.
template <typename Query> PgWorker::Job bodyOf(Query query)
{
    return [query = std::move(query)](Pg::Connection& connection) {
        PgWorker::Reply reply;
        reply.body = query(connection);
        return reply;
    };
}

// The dates a request may name: the house's events are all within them, and the database and the
// reports can count every day of them.
const QDate kFirstDate(1970, 1, 1);
const QDate kLastDate(2999, 12, 31);

// A date of a request, "YYYY-MM-DD" within the dates above, or a null date for an empty text; nullopt
// for anything else.
std::optional<QDate> readDate(const QString& text)
{
    try {
        const QDate date = DashboardQueries::parseDate(text);
        if (!date.isNull() && (date < kFirstDate || date > kLastDate))
            return std::nullopt;
        return date;
    } catch (const AppError&) {
        return std::nullopt;
    }
}

// Whether a journal cursor is one the journal gave (its time within the dates above).
bool goodCursor(const QByteArray& cursor)
{
    const std::optional<DashboardQueries::JournalKey> key = DashboardQueries::decodeCursor(cursor);
    if (!key)
        return false;
    const qint64 first = kFirstDate.startOfDay(Qt::UTC).toMSecsSinceEpoch() * 1000;
    const qint64 last = kLastDate.addDays(1).startOfDay(Qt::UTC).toMSecsSinceEpoch() * 1000;
    return key->timeMicros >= first && key->timeMicros < last;
}

// The host part of a Host header or of a URL's authority, in lower case: "[::1]:8080" is "::1".
QString hostOnly(const QString& authority)
{
    QString host = authority.trimmed().toLower();
    if (host.startsWith(u'[')) {
        const qsizetype end = host.indexOf(u']');
        return end < 0 ? QString() : host.mid(1, end - 1);
    }
    const qsizetype colon = host.lastIndexOf(u':');
    if (colon >= 0)
        host.truncate(colon);
    if (host.endsWith(u'.'))
        host.chop(1);
    return host;
}

// {"type":…,"now":…,"wards":[…]} from the live query's {"now":…,"wards":[…]}, as the text every page
// is sent: made once for all of them.
QString liveMessage(const char* type, const QByteArray& body)
{
    QByteArray message = QByteArrayLiteral("{\"type\":\"") + type + QByteArrayLiteral("\",");
    message += QByteArrayView(body).sliced(1);
    return QString::fromUtf8(message);
}

} // namespace

Dashboard::Dashboard(Report report, QObject* parent) : QObject(parent), m_report(std::move(report))
{
    m_retryListen.setSingleShot(true);
    connect(&m_retryListen, &QTimer::timeout, this, &Dashboard::listen);
    connect(&m_ping, &QTimer::timeout, this, &Dashboard::ping);
    connect(&m_accounts, &QTimer::timeout, this, &Dashboard::readAccounts);
}

Dashboard::~Dashboard()
{
    if (m_checks)
        m_checks->waitForDone();
    for (LiveClient& client : m_clients)
        if (client.socket)
            client.socket->abort();
    m_server.reset();
    m_heavy.reset();
    m_quick.reset();
}

void Dashboard::start(const HttpSettings& http, const QString& connInfo)
{
    m_http = http;
    m_hosts = {QStringLiteral("localhost")};
    const QString computer = QHostInfo::localHostName().toLower();
    if (!computer.isEmpty()) {
        m_hosts << computer;
        const QString domain = QHostInfo::localDomainName().toLower();
        if (!domain.isEmpty())
            m_hosts << computer + u'.' + domain;
    }
    m_anyHost = false;
    for (const QString& name : http.Hosts.split(u',', Qt::SkipEmptyParts)) {
        const QString host = hostOnly(name);
        if (name.trimmed() == QLatin1String("*"))
            m_anyHost = true;
        else if (!host.isEmpty())
            m_hosts << host;
    }
    m_sessions = std::make_unique<Sessions>(http.SessionHours);
    m_quick = std::make_unique<PgWorker>(connInfo, QStringLiteral("dashboard-live"));
    // The statistics of years of a large house may take minutes; a few such requests wait their
    // turn, more are refused at once.
    m_heavy = std::make_unique<PgWorker>(connInfo, QStringLiteral("dashboard-reports"), kWaitingReports);
    PgWorker::Timing reports;
    reports.connection.statementTimeoutMs = 5 * 60 * 1000;
    m_heavy->setTiming(reports);
    m_checks = std::make_unique<QThreadPool>();
    m_checks->setMaxThreadCount(kParallelChecks);
    m_server = std::make_unique<HttpServer>(
        [this](const HttpRequest& request, HttpServer::Respond respond) {
            handle(request, std::move(respond));
        },
        [this](const HttpRequest& request) { return acceptUpgrade(request); });
    m_server->setLimits(m_limits);
    connect(m_server.get(), &HttpServer::webSocketConnected, this, &Dashboard::liveConnected);
    m_ping.start(m_timing.pingMs);
    m_accounts.start(m_timing.accountsMs);
    listen();
}

quint16 Dashboard::port() const
{
    return m_server ? m_server->port() : 0;
}

void Dashboard::listen()
{
    QString why;
    if (m_server->listen(m_http, &why)) {
        m_listenProblem.clear();
        const QString host = m_http.Address.isEmpty() ? QStringLiteral("*") : m_http.Address;
        if (m_report)
            m_report(QStringLiteral("Панель: %1://%2:%3/")
                         .arg(m_http.https() ? QStringLiteral("https") : QStringLiteral("http"), host)
                         .arg(m_server->port()));
        return;
    }
    if (why != m_listenProblem && m_report)
        m_report(QStringLiteral("Панель: %1; новая попытка каждые %2 с")
                     .arg(why)
                     .arg(m_timing.retryListenMs / 1000));
    m_listenProblem = why;
    m_retryListen.start(m_timing.retryListenMs);
}

// --- requests ----------------------------------------------------------------------------------

std::optional<QString> Dashboard::sessionOf(const HttpRequest& request)
{
    return m_sessions->find(request.cookie(kCookie));
}

QByteArray Dashboard::sessionCookie(const QByteArray& token, int maxAgeSeconds) const
{
    return HttpResponse::sessionCookie(kCookie, token, maxAgeSeconds, m_http.https());
}

// A name of the settings' Hosts, the computer's own, or an IP address, which no other site can make
// a browser use for a page of its own. A request without Host (HTTP/1.0) names nothing and passes.
bool Dashboard::knownHost(const HttpRequest& request) const
{
    if (m_anyHost || !request.headers.contains(QByteArrayLiteral("host")))
        return true;
    const QString host = hostOnly(QString::fromLatin1(request.headers.value(QByteArrayLiteral("host"))));
    if (host.isEmpty())
        return false;
    return m_hosts.contains(host) || !QHostAddress(host).isNull();
}

// A request a page of another site made the browser send is refused: the page's origin, as the
// browser names it (Origin, or else the Referer's scheme and authority), must be this server's.
bool Dashboard::sameOrigin(const HttpRequest& request, bool strict) const
{
    QByteArray origin = request.headers.value(QByteArrayLiteral("origin"));
    if (origin.isEmpty())
        origin = request.headers.value(QByteArrayLiteral("referer"));
    if (origin.isEmpty())
        return !strict;
    const QUrl url(QString::fromLatin1(origin), QUrl::StrictMode);
    const QByteArray host = request.headers.value(QByteArrayLiteral("host"));
    if (!url.isValid() || host.isEmpty() || url.host().isEmpty())
        return false;
    const QString scheme = m_server && m_server->https() ? QStringLiteral("https") : QStringLiteral("http");
    if (url.scheme().compare(scheme, Qt::CaseInsensitive) != 0)
        return false;
    QByteArray authority = url.host(QUrl::FullyEncoded).toLatin1();
    if (authority.contains(':'))
        authority = '[' + authority + ']';
    if (url.port() != -1)
        authority += ':' + QByteArray::number(url.port());
    return authority.compare(host, Qt::CaseInsensitive) == 0;
}

void Dashboard::handle(const HttpRequest& request, HttpServer::Respond respond)
{
    const QString& path = request.path;
    const bool get = request.method == "GET";
    const bool post = request.method == "POST";
    if (!get && !post) {
        respond(HttpResponse::text(405, QStringLiteral("Метод не поддерживается")));
        return;
    }
    if (!knownHost(request)) {
        respond(HttpResponse::text(
            421,
            QStringLiteral("Страница открыта по имени, которого нет в настройках центра ([Http] Hosts)")));
        return;
    }
    // A POST changes something (a login, a logout): only a page of the dashboard may make one.
    if (post && !sameOrigin(request, true)) {
        respond(HttpResponse::text(403, QStringLiteral("Запрос не со страницы панели отклонён")));
        return;
    }
    // What is served without a session: the login and what its page needs.
    if (path == QLatin1String("/login")) {
        if (post)
            login(request, std::move(respond));
        else if (sessionOf(request))
            respond(HttpResponse::redirect("/"));
        else
            serveAsset(QStringLiteral("login.html"), std::move(respond));
        return;
    }
    if (get && (path == QLatin1String("/assets/login.js") || path == QLatin1String("/assets/style.css"))) {
        serveAsset(path.mid(8), std::move(respond));
        return;
    }

    const std::optional<QString> user = sessionOf(request);
    const bool api = path.startsWith(QLatin1String("/api/"));
    if (!user) {
        if (api)
            respond(errorJson(401, QStringLiteral("Нужно войти")));
        else if (get && path == QLatin1String("/"))
            respond(
                HttpResponse::redirect(request.cookie(kCookie).isEmpty() ? "/login" : "/login?expired=1"));
        else
            respond(HttpResponse::text(404, QStringLiteral("Нет такой страницы")));
        return;
    }
    if (post) {
        if (path == QLatin1String("/logout"))
            logout(request, std::move(respond));
        else
            respond(HttpResponse::text(404, QStringLiteral("Нет такой страницы")));
        return;
    }
    if (path == QLatin1String("/"))
        serveAsset(QStringLiteral("app.html"), std::move(respond));
    else if (path == QLatin1String("/assets/app.js"))
        serveAsset(QStringLiteral("app.js"), std::move(respond));
    else if (path == QLatin1String("/assets/chart.min.js"))
        serveAsset(QStringLiteral("chart.min.js"), std::move(respond));
    else if (path == QLatin1String("/api/me"))
        respond(HttpResponse::json(
            QJsonDocument(QJsonObject{{QStringLiteral("name"), *user}}).toJson(QJsonDocument::Compact)));
    else if (path == QLatin1String("/api/live"))
        live(std::move(respond));
    else if (path == QLatin1String("/api/wards"))
        wards(std::move(respond));
    else if (path == QLatin1String("/api/statistics"))
        statistics(request, false, std::move(respond));
    else if (path == QLatin1String("/api/statistics.xlsx"))
        statistics(request, true, std::move(respond));
    else if (path == QLatin1String("/api/journal"))
        journal(request, std::move(respond));
    else if (api)
        respond(errorJson(404, QStringLiteral("Нет такого запроса")));
    else
        respond(HttpResponse::text(404, QStringLiteral("Нет такой страницы")));
}

void Dashboard::serveAsset(const QString& file, HttpServer::Respond respond)
{
    QFile asset(QStringLiteral(":/web/") + file);
    if (!asset.open(QIODevice::ReadOnly)) {
        respond(HttpResponse::text(404, QStringLiteral("Нет такой страницы")));
        return;
    }
    HttpResponse response;
    response.contentType = contentTypeOf(file);
    response.body = asset.readAll();
    respond(std::move(response));
}

void Dashboard::login(const HttpRequest& request, HttpServer::Respond respond)
{
    const QHash<QString, QString> form = request.form();
    const QString name = form.value(QStringLiteral("name"));
    const QByteArray password = form.value(QStringLiteral("password")).toUtf8();
    checkPassword(name, password, request.peer, std::move(respond));
}

void Dashboard::checkPassword(const QString& name, const QByteArray& password, const QHostAddress& peer,
                              HttpServer::Respond respond)
{
    if (m_checksWaiting >= kWaitingChecks) {
        respond(HttpResponse::text(
            503, QStringLiteral("Сервер занят проверкой паролей; попробуйте через минуту")));
        return;
    }
    switch (m_throttle.admit(peer, name)) {
    case LoginThrottle::Turn::Refused:
        respond(HttpResponse::redirect("/login?throttled=1"));
        return;
    case LoginThrottle::Turn::Later: {
        // The name's owner from an address of its own waits for the check under way.
        QList<std::function<void()>>& waiting = m_waitingLogins[name.toCaseFolded()];
        if (waiting.size() >= kWaitingPerName) {
            respond(HttpResponse::redirect("/login?throttled=1"));
            return;
        }
        waiting.append(
            [this, name, password, peer, respond] { checkPassword(name, password, peer, respond); });
        return;
    }
    case LoginThrottle::Turn::Check:
        break;
    }
    if (!UserAccounts::nameProblem(name).isEmpty() || password.isEmpty()) {
        loginFinished(peer, name, LoginThrottle::Outcome::Bad);
        respond(HttpResponse::redirect("/login?failed=1"));
        return;
    }
    ++m_checksWaiting;
    m_quick->run(
        bodyOf([name](Pg::Connection& connection) { return UserAccounts::hashOf(connection, name); }), this,
        [this, name, password, peer, respond](const PgWorker::Reply& reply) {
            if (reply.status != 200) {
                --m_checksWaiting;
                loginFinished(peer, name, LoginThrottle::Outcome::Unchecked);
                respond(HttpResponse::text(503, QStringLiteral("База данных недоступна; попробуйте позже")));
                return;
            }
            const QByteArray hash = reply.body;
            m_checks->start([this, name, password, peer, respond, hash] {
                // An unknown name costs as much time as a wrong password.
                static const QByteArray unknown = UserAccounts::hashPassword(QByteArrayLiteral("-"));
                const bool good = UserAccounts::verifyPassword(hash.isEmpty() ? unknown : hash, password) &&
                                  !hash.isEmpty();
                QMetaObject::invokeMethod(
                    this,
                    [this, name, peer, respond, good, hash] {
                        --m_checksWaiting;
                        if (!good) {
                            loginFinished(peer, name, LoginThrottle::Outcome::Bad);
                            respond(HttpResponse::redirect("/login?failed=1"));
                            return;
                        }
                        loginFinished(peer, name, LoginThrottle::Outcome::Good);
                        HttpResponse response = HttpResponse::redirect("/");
                        response.headers.append(
                            {QByteArrayLiteral("Set-Cookie"),
                             sessionCookie(m_sessions->open(name, hash), m_sessions->hours() * 3600)});
                        respond(std::move(response));
                    },
                    Qt::QueuedConnection);
            });
        });
}

void Dashboard::loginFinished(const QHostAddress& peer, const QString& name, LoginThrottle::Outcome outcome)
{
    m_throttle.finished(peer, name, outcome);
    // The attempts of the name that waited for this check ask again, in their order.
    const QList<std::function<void()>> waiting = m_waitingLogins.take(name.toCaseFolded());
    for (const std::function<void()>& attempt : waiting)
        QMetaObject::invokeMethod(this, attempt, Qt::QueuedConnection);
}

void Dashboard::logout(const HttpRequest& request, HttpServer::Respond respond)
{
    const QByteArray token = request.cookie(kCookie);
    m_sessions->close(token);
    closeEndedSessions(QWebSocketProtocol::CloseCodeNormal, QStringLiteral("выход"));
    HttpResponse response = HttpResponse::redirect("/login");
    response.headers.append({QByteArrayLiteral("Set-Cookie"), sessionCookie(QByteArray(), 0)});
    respond(std::move(response));
}

void Dashboard::live(HttpServer::Respond respond)
{
    m_quick->run(bodyOf([](Pg::Connection& connection) { return DashboardQueries::live(connection, {}); }),
                 this, [respond](const PgWorker::Reply& reply) { respond(fromReply(reply)); });
}

void Dashboard::wards(HttpServer::Respond respond)
{
    m_quick->run(bodyOf([](Pg::Connection& connection) { return DashboardQueries::wardList(connection); }),
                 this, [respond](const PgWorker::Reply& reply) { respond(fromReply(reply)); });
}

void Dashboard::statistics(const HttpRequest& request, bool file, HttpServer::Respond respond)
{
    const std::optional<QDate> firstDay = readDate(request.query.value(QStringLiteral("first")));
    const std::optional<QDate> lastDay = readDate(request.query.value(QStringLiteral("last")));
    const QDate last = lastDay && !lastDay->isNull() ? *lastDay : QDate::currentDate();
    const QDate first = firstDay && !firstDay->isNull() ? *firstDay : last.addDays(1 - kDefaultDays);
    if (!firstDay || !lastDay || first > last || first < kFirstDate) {
        respond(errorJson(
            400, QStringLiteral("Период задан неверно: нужны даты ГГГГ-ММ-ДД с 1970 по 2999 год, первая не "
                                "позже последней")));
        return;
    }
    m_heavy->run(
        [first, last, file](Pg::Connection& connection) {
            PgWorker::Reply reply;
            if (file) {
                reply.body = DashboardQueries::statisticsFile(connection, first, last);
                reply.contentType = kXlsx;
            } else {
                reply.body = DashboardQueries::statistics(connection, first, last);
            }
            return reply;
        },
        this,
        [respond, first, last, file](const PgWorker::Reply& reply) {
            HttpResponse response = fromReply(reply);
            if (file && reply.status == 200)
                response.headers.append({QByteArrayLiteral("Content-Disposition"),
                                         QStringLiteral("attachment; filename=\"halvane-%1-%2.xlsx\"")
                                             .arg(first.toString(Qt::ISODate), last.toString(Qt::ISODate))
                                             .toLatin1()});
            respond(std::move(response));
        });
}

void Dashboard::journal(const HttpRequest& request, HttpServer::Respond respond)
{
    DashboardQueries::JournalQuery query;
    query.ward = request.query.value(QStringLiteral("ward"));
    query.place = request.query.value(QStringLiteral("place"));
    const std::optional<QDate> first = readDate(request.query.value(QStringLiteral("first")));
    const std::optional<QDate> last = readDate(request.query.value(QStringLiteral("last")));
    if (!first || !last) {
        respond(errorJson(400, QStringLiteral("Дата задана неверно: нужна ГГГГ-ММ-ДД с 1970 по 2999 год")));
        return;
    }
    query.first = *first;
    query.last = *last;
    query.after = request.query.value(QStringLiteral("after")).toLatin1();
    if (!query.after.isEmpty() && !goodCursor(query.after)) {
        respond(errorJson(400, QStringLiteral("Неверная позиция в журнале; откройте журнал сначала")));
        return;
    }
    const QString limit = request.query.value(QStringLiteral("limit"));
    if (!limit.isEmpty()) {
        bool ok = false;
        query.limit = limit.toInt(&ok);
        if (!ok) {
            respond(errorJson(400, QStringLiteral("Размер страницы задан неверно")));
            return;
        }
    }
    m_heavy->run(
        bodyOf([query](Pg::Connection& connection) { return DashboardQueries::journal(connection, query); }),
        this, [respond](const PgWorker::Reply& reply) { respond(fromReply(reply)); });
}

// --- the live channel --------------------------------------------------------------------------

bool Dashboard::acceptUpgrade(const HttpRequest& request)
{
    return request.path == QLatin1String("/live") && knownHost(request) && sameOrigin(request, false) &&
           sessionOf(request) && m_clients.size() < kMaxLiveClients;
}

void Dashboard::liveConnected(QWebSocket* socket, const HttpRequest& request)
{
    const QByteArray token = request.cookie(kCookie);
    socket->setParent(this);
    if (!m_sessions->find(token) || m_clients.size() >= kMaxLiveClients) {
        socket->close(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("нужно войти"));
        socket->deleteLater();
        return;
    }
    // The page sends nothing but a close: whatever else comes (a message, a ping, a pong nobody asked
    // for) is not from the page, and each ping would make the socket queue a pong for a client that
    // may never read. The connection is looked at after each read of its transport, once the
    // WebSocket has taken in what came (its own slot was connected first, so it runs first): still
    // open, what came was not a close.
    socket->setMaxAllowedIncomingFrameSize(4096);
    socket->setMaxAllowedIncomingMessageSize(4096);
    const QPointer<QWebSocket> guard(socket);
    auto drop = [guard] {
        if (guard)
            guard->abort();
    };
    connect(socket, &QWebSocket::textFrameReceived, this, drop);
    connect(socket, &QWebSocket::binaryFrameReceived, this, drop);
    connect(socket, &QWebSocket::pong, this, drop);
    if (auto* transport = socket->findChild<QTcpSocket*>(QString(), Qt::FindDirectChildrenOnly))
        connect(transport, &QIODevice::readyRead, this, [this, guard] {
            if (guard)
                checkClient(guard);
        });
    // An abort emits this at once, maybe from within a loop over the clients: the list is pruned
    // after the loop, from the event loop.
    connect(socket, &QWebSocket::disconnected, this, [this, socket] {
        socket->deleteLater();
        QTimer::singleShot(0, this, [this] {
            m_clients.removeIf([](const LiveClient& client) {
                return !client.socket || client.socket->state() == QAbstractSocket::UnconnectedState;
            });
        });
    });
    m_clients.append(LiveClient{socket, token, false});
    sendSnapshots();
}

void Dashboard::observe(const EventStore::Committed& committed)
{
    QStringList wards = committed.changedWards;
    for (const WardEvent& event : committed.inserted)
        if (event.type == QLatin1String("antenna") && !wards.contains(event.ward))
            wards << event.ward;
    if (wards.isEmpty())
        return;
    QMetaObject::invokeMethod(
        this, [this, wards] { changed(wards); }, Qt::QueuedConnection);
}

void Dashboard::changed(const QStringList& wards)
{
    for (const QString& ward : wards)
        m_changedWards.insert(ward);
    pushChanges();
}

// One query at a time: the changes that come while it runs are gathered for the next one, so that a
// busy house costs one query per round trip rather than one per commit. The worker answers in order,
// so a page that is still waiting for its snapshot may skip what comes before it.
void Dashboard::pushChanges()
{
    if (m_pushing || m_changedWards.isEmpty())
        return;
    const bool anyReady = std::any_of(m_clients.cbegin(), m_clients.cend(),
                                      [](const LiveClient& client) { return client.ready && client.socket; });
    if (!anyReady) {
        m_changedWards.clear();
        return;
    }
    const QStringList wards(m_changedWards.cbegin(), m_changedWards.cend());
    m_changedWards.clear();
    m_pushing = true;
    m_quick->run(
        bodyOf([wards](Pg::Connection& connection) { return DashboardQueries::live(connection, wards); }),
        this, [this, wards](const PgWorker::Reply& reply) {
            m_pushing = false;
            if (reply.status != 200) {
                // The database is away: the same wards once it is back.
                for (const QString& ward : wards)
                    m_changedWards.insert(ward);
                QTimer::singleShot(1000, this, &Dashboard::pushChanges);
                return;
            }
            const QString message = liveMessage("wards", reply.body);
            for (LiveClient& client : m_clients)
                if (client.ready)
                    send(client, message);
            pushChanges();
        });
}

void Dashboard::sendSnapshots()
{
    if (m_snapshotting)
        return;
    QList<QPointer<QWebSocket>> waiting;
    for (const LiveClient& client : std::as_const(m_clients))
        if (!client.ready && client.socket)
            waiting << client.socket;
    if (waiting.isEmpty())
        return;
    m_snapshotting = true;
    m_quick->run(bodyOf([](Pg::Connection& connection) { return DashboardQueries::live(connection, {}); }),
                 this, [this, waiting](const PgWorker::Reply& reply) {
                     m_snapshotting = false;
                     if (reply.status != 200) {
                         QTimer::singleShot(1000, this, &Dashboard::sendSnapshots);
                         return;
                     }
                     const QString message = liveMessage("snapshot", reply.body);
                     for (LiveClient& client : m_clients) {
                         if (!client.ready && client.socket && waiting.contains(client.socket)) {
                             client.ready = true;
                             send(client, message);
                         }
                     }
                     sendSnapshots(); // pages that came while it ran
                 });
}

void Dashboard::send(LiveClient& client, const QString& message)
{
    if (!client.socket || client.socket->state() != QAbstractSocket::ConnectedState)
        return;
    if (client.socket->bytesToWrite() > kMaxBacklog) {
        client.socket->abort();
        return;
    }
    client.socket->sendTextMessage(message);
}

void Dashboard::checkClient(QWebSocket* socket)
{
    // A client that breaks the rules may not read either: no close handshake to wait for.
    if (socket->state() == QAbstractSocket::ConnectedState || socket->bytesToWrite() > kMaxBacklog)
        socket->abort();
}

void Dashboard::closeClient(QWebSocket* socket, QWebSocketProtocol::CloseCode code, const QString& why)
{
    if (socket->state() != QAbstractSocket::ConnectedState)
        return;
    socket->close(code, why);
    // A client that does not answer the close is cut off.
    QTimer::singleShot(1000, socket, [socket] { socket->abort(); });
}

void Dashboard::ping()
{
    const QString message =
        QStringLiteral("{\"type\":\"ping\",\"now\":%1}").arg(QDateTime::currentMSecsSinceEpoch());
    closeEndedSessions(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("сеанс закончился"));
    for (LiveClient& client : m_clients)
        if (client.ready)
            send(client, message);
}

void Dashboard::readAccounts()
{
    // Nobody logged in: nothing to end. One reading at a time, however slow the database.
    if (m_sessions->count() == 0 || m_readingAccounts)
        return;
    m_readingAccounts = true;
    auto accounts = std::make_shared<QHash<QString, QByteArray>>();
    m_quick->run(
        [accounts](Pg::Connection& connection) {
            *accounts = UserAccounts::activeAccounts(connection);
            return PgWorker::Reply();
        },
        this,
        [this, accounts](const PgWorker::Reply& reply) {
            m_readingAccounts = false;
            // While the database is away the sessions stay as they are.
            if (reply.status != 200)
                return;
            if (!m_sessions->keepOnly(*accounts).isEmpty())
                closeEndedSessions(QWebSocketProtocol::CloseCodePolicyViolated,
                                   QStringLiteral("учётная запись изменена или удалена"));
        });
}

// The live channels of sessions that have ended (logout, their hours over, the account removed).
void Dashboard::closeEndedSessions(QWebSocketProtocol::CloseCode code, const QString& why)
{
    for (LiveClient& client : m_clients)
        if (client.socket && !m_sessions->find(client.token))
            closeClient(client.socket, code, why);
}
