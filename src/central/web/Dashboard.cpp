#include "central/web/Dashboard.h"

#include "central/PgConnection.h"
#include "central/UserAccounts.h"
#include "central/web/DashboardQueries.h"
#include "central/web/PgWorker.h"
#include "core/base/AppError.h"

#include <QDate>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
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

// A date of a request, "YYYY-MM-DD", or a null date for an empty text; nullopt for anything else.
std::optional<QDate> readDate(const QString& text)
{
    try {
        return DashboardQueries::parseDate(text);
    } catch (const AppError&) {
        return std::nullopt;
    }
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

// A request a page of another site made the browser send is refused: when the browser names the
// page's origin, it must be this server's.
bool Dashboard::sameOrigin(const HttpRequest& request)
{
    const QByteArray origin = request.headers.value(QByteArrayLiteral("origin"));
    if (origin.isEmpty())
        return true;
    const QUrl url(QString::fromLatin1(origin));
    const QByteArray host = request.headers.value(QByteArrayLiteral("host"));
    QByteArray authority = url.host(QUrl::FullyEncoded).toLatin1();
    if (url.port() != -1)
        authority += ':' + QByteArray::number(url.port());
    return url.isValid() && !host.isEmpty() && authority.compare(host, Qt::CaseInsensitive) == 0;
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
    if (post && !sameOrigin(request)) {
        respond(HttpResponse::text(403, QStringLiteral("Запрос с чужой страницы отклонён")));
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
    const QHostAddress peer = request.peer;
    if (m_throttle.waitMs(peer, name) > 0) {
        respond(HttpResponse::redirect("/login?throttled=1"));
        return;
    }
    if (!UserAccounts::nameProblem(name).isEmpty() || password.isEmpty()) {
        m_throttle.failed(peer, name);
        respond(HttpResponse::redirect("/login?failed=1"));
        return;
    }
    if (m_checksWaiting >= kWaitingChecks) {
        respond(HttpResponse::text(
            503, QStringLiteral("Сервер занят проверкой паролей; попробуйте через минуту")));
        return;
    }
    ++m_checksWaiting;
    m_quick->run(
        bodyOf([name](Pg::Connection& connection) { return UserAccounts::hashOf(connection, name); }), this,
        [this, name, password, peer, respond](const PgWorker::Reply& reply) {
            if (reply.status != 200) {
                --m_checksWaiting;
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
                    [this, name, peer, respond, good] {
                        --m_checksWaiting;
                        if (!good) {
                            m_throttle.failed(peer, name);
                            respond(HttpResponse::redirect("/login?failed=1"));
                            return;
                        }
                        m_throttle.succeeded(peer, name);
                        HttpResponse response = HttpResponse::redirect("/");
                        response.headers.append(
                            {QByteArrayLiteral("Set-Cookie"),
                             sessionCookie(m_sessions->open(name), m_sessions->hours() * 3600)});
                        respond(std::move(response));
                    },
                    Qt::QueuedConnection);
            });
        });
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
    if (!firstDay || !lastDay || first > last) {
        respond(errorJson(
            400, QStringLiteral("Период задан неверно: нужны даты ГГГГ-ММ-ДД, первая не позже последней")));
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
        respond(errorJson(400, QStringLiteral("Дата задана неверно: нужна ГГГГ-ММ-ДД")));
        return;
    }
    query.first = *first;
    query.last = *last;
    query.after = request.query.value(QStringLiteral("after")).toLatin1();
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
    return request.path == QLatin1String("/live") && sameOrigin(request) && sessionOf(request) &&
           m_clients.size() < kMaxLiveClients;
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
    // The page sends nothing but the protocol's own frames.
    socket->setMaxAllowedIncomingFrameSize(4096);
    socket->setMaxAllowedIncomingMessageSize(4096);
    connect(socket, &QWebSocket::disconnected, this, [this, socket] {
        m_clients.removeIf(
            [socket](const LiveClient& client) { return client.socket == socket || !client.socket; });
        socket->deleteLater();
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
    if (!client.socket)
        return;
    if (client.socket->bytesToWrite() > kMaxBacklog) {
        client.socket->abort();
        return;
    }
    client.socket->sendTextMessage(message);
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
    // Nobody logged in: nothing to end.
    if (m_sessions->count() == 0)
        return;
    m_quick->run(bodyOf([](Pg::Connection& connection) {
                     return DashboardQueries::userNames(connection).join(u'\n').toUtf8();
                 }),
                 this, [this](const PgWorker::Reply& reply) {
                     // While the database is away the sessions stay as they are.
                     if (reply.status != 200)
                         return;
                     const QStringList names = QString::fromUtf8(reply.body).split(u'\n', Qt::SkipEmptyParts);
                     if (!m_sessions->keepOnly(QSet<QString>(names.cbegin(), names.cend())).isEmpty())
                         closeEndedSessions(QWebSocketProtocol::CloseCodePolicyViolated,
                                            QStringLiteral("учётная запись удалена"));
                 });
}

// The live channels of sessions that have ended (logout, their hours over, the account removed).
void Dashboard::closeEndedSessions(QWebSocketProtocol::CloseCode code, const QString& why)
{
    for (LiveClient& client : m_clients)
        if (client.socket && !m_sessions->find(client.token))
            client.socket->close(code, why);
}
