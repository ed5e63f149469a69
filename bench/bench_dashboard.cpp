// The dashboard's live channel under a busy house: HalvaneCentral between a mosquitto and a
// PostgreSQL started here on 127.0.0.1 at free ports, simulated wards publishing their calls and
// cancels with their open lists as a ward server does, and pages of the dashboard connected to
// /live. Run by hand:
//
//   build/bench/bench_dashboard [WARDS] [RATE] [CLIENTS] [SECONDS]
//        WARDS wards (200) each publishing RATE events a second (5), calls and cancels by turns,
//        for SECONDS (60), while CLIENTS pages (50) are connected: the time from the publishing of
//        a call or cancel to the first "wards" message at a page that shows it on (off) its ward's
//        card (median, 99th percentile, maximum over every page and change), split into the time
//        until the centre made the message ("now") and from there to the page; messages and bytes
//        a second per page; the centre's CPU time (by thread) and peak memory; and where the time
//        before the message goes: from a call's publish to its storing transaction, the store's
//        transactions, the statements the database ran (pg_stat_statements) and the rows of
//        open_calls and wards the store left dead.
//
// Every call carries its own key (w<ward>-<seq>), which is what the pages look for. The pages share
// a login by tens (each login costs an Argon2 check); more than 60 pages from one address meet the
// server's bound of connections per address.

#include "CentralRig.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>
#include <QWebSocket>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr int kOpenCalls = 5;      // each ward's open list goes between this many calls and one more
constexpr int kPagesPerLogin = 10; // pages sharing one session
constexpr int kDrainMs = 5000;     // how long the pages are heard after the last publish
const QByteArray kUser = "bench";
const QByteArray kPassword = "bench-password";

qint64 nowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The calls the wards have published, by their keys: when each was published and cancelled.
class Markers
{
public:
    struct Marker
    {
        qint64 publishedUs = 0;
        qint64 cancelledUs = 0; // 0 while it is open
    };

    int add(const QString& key, qint64 publishedUs)
    {
        const std::lock_guard lock(m_mutex);
        m_index.insert(key, int(m_markers.size()));
        m_markers.push_back({publishedUs, 0});
        return int(m_markers.size()) - 1;
    }
    void cancel(int marker, qint64 cancelledUs)
    {
        const std::lock_guard lock(m_mutex);
        m_markers[size_t(marker)].cancelledUs = cancelledUs;
    }
    int find(const QString& key) const
    {
        const std::lock_guard lock(m_mutex);
        return m_index.value(key, -1);
    }
    Marker at(int marker) const
    {
        const std::lock_guard lock(m_mutex);
        return m_markers[size_t(marker)];
    }
    int size() const
    {
        const std::lock_guard lock(m_mutex);
        return int(m_markers.size());
    }

private:
    mutable std::mutex m_mutex;
    QHash<QString, int> m_index;
    std::vector<Marker> m_markers;
};

// The wards of the house as their servers publish them: a retained "online", and for every call or
// cancel its event on <prefix>/events and the new open list, retained, on <prefix>/open.
class Wards
{
public:
    Wards(int count, BrokerPublisher& publisher, Markers& markers)
        : m_wards(size_t(count)), m_publisher(publisher), m_markers(markers)
    {
        for (int w = 0; w < count; ++w)
            m_wards[size_t(w)].prefix = "bench/w" + QByteArray::number(w);
    }

    void online()
    {
        for (const Ward& ward : m_wards)
            m_publisher.publish(ward.prefix + "/status", "online", true);
    }

    // A new call of the ward, or the cancel of its longest waiting one.
    void step(int w, bool call)
    {
        Ward& ward = m_wards[size_t(w)];
        const QDateTime now = QDateTime::currentDateTime();
        const QString time = now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODate);
        const qint64 seq = ++ward.seq;
        const qint64 published = nowUs();
        QJsonObject event{{QStringLiteral("seq"), seq},
                          {QStringLiteral("time"), time},
                          {QStringLiteral("staff"), QStringLiteral("Иванова Мария")}};
        if (call || ward.open.empty()) {
            OpenCall c;
            c.key = QStringLiteral("w%1-%2").arg(w).arg(seq);
            c.code = QStringLiteral("b%1").arg(seq % 40);
            c.place = QStringLiteral("Койка № %1").arg(seq % 40);
            c.room = QStringLiteral("Палата %1").arg(seq % 8);
            c.time = time;
            c.ms = now.toMSecsSinceEpoch();
            c.marker = m_markers.add(c.key, published);
            event.insert(QStringLiteral("type"), QStringLiteral("call"));
            event.insert(QStringLiteral("function"), QStringLiteral("8"));
            event.insert(QStringLiteral("call"), c.key);
            event.insert(QStringLiteral("id"), QJsonValue());
            fillPlace(event, c);
            ward.open.push_back(c);
        } else {
            const OpenCall c = ward.open.front();
            ward.open.pop_front();
            m_markers.cancel(c.marker, published);
            event.insert(QStringLiteral("type"), QStringLiteral("cancel"));
            event.insert(QStringLiteral("function"), QStringLiteral("2"));
            fillPlace(event, c);
            event.insert(QStringLiteral("reaction"),
                         QJsonArray{QJsonObject{
                             {QStringLiteral("call"), c.key},
                             {QStringLiteral("id"), QJsonValue()},
                             {QStringLiteral("time"), c.time},
                             {QStringLiteral("seconds"), (now.toMSecsSinceEpoch() - c.ms) / 1000}}});
        }
        m_publisher.publish(ward.prefix + "/events", QJsonDocument(event).toJson(QJsonDocument::Compact));
        QJsonArray open;
        for (const OpenCall& c : ward.open) {
            QJsonObject row{{QStringLiteral("call"), c.key},
                            {QStringLiteral("id"), QJsonValue()},
                            {QStringLiteral("function"), QStringLiteral("8")},
                            {QStringLiteral("staff"), QStringLiteral("Иванова Мария")},
                            {QStringLiteral("time"), c.time},
                            {QStringLiteral("level"), QString()}};
            fillPlace(row, c);
            open.append(row);
        }
        m_publisher.publish(ward.prefix + "/open", QJsonDocument(open).toJson(QJsonDocument::Compact), true);
    }

private:
    struct OpenCall
    {
        QString key, code, place, room, time;
        qint64 ms = 0;
        int marker = -1;
    };
    struct Ward
    {
        QByteArray prefix;
        qint64 seq = 0;
        std::deque<OpenCall> open;
    };

    static void fillPlace(QJsonObject& o, const OpenCall& c)
    {
        o.insert(QStringLiteral("code"), c.code);
        o.insert(QStringLiteral("place"), c.place);
        o.insert(QStringLiteral("ward"), c.room);
    }

    std::vector<Ward> m_wards;
    BrokerPublisher& m_publisher;
    Markers& m_markers;
};

// A live message as the pages get it: its cards, each with the calls it shows.
struct LiveMessage
{
    struct Card
    {
        QString ward;
        std::vector<int> markers;
    };
    QString type;
    qint64 nowMs = 0;
    qint64 bytes = 0;
    std::vector<Card> cards;
};

// What a page saw: when a call first showed on its ward's card, and when it left it.
struct Sample
{
    double totalMs; // publish to the page
    double madeMs;  // publish to the message's "now"
};

struct Page
{
    Page() = default;
    Page(const Page&) = delete;
    Page& operator=(const Page&) = delete;
    ~Page()
    {
        if (socket)
            socket->disconnect();
        delete socket;
    }

    QWebSocket* socket = nullptr;
    bool snapshot = false;
    bool lost = false;
    QString closeReason;
    qint64 messages = 0; // "wards" messages while the wards publish
    qint64 bytes = 0;
    QHash<QString, std::vector<int>> shown; // by ward: the calls on its card as last shown
    std::vector<bool> seen;                 // by marker
};

class Pages
{
public:
    Pages(Markers& markers) : m_markers(markers) {}

    std::vector<std::unique_ptr<Page>> pages;
    std::vector<Sample> calls, cancels;
    std::atomic<qint64> runFromUs{std::numeric_limits<qint64>::max()};
    std::atomic<qint64> runToUs{std::numeric_limits<qint64>::max()};

    void received(Page& page, const QString& text)
    {
        const qint64 at = nowUs();
        const std::shared_ptr<const LiveMessage> message = parsed(text);
        if (message->type == QLatin1String("snapshot"))
            page.snapshot = true;
        else if (message->type != QLatin1String("wards"))
            return;
        if (at >= runFromUs && at <= runToUs && message->type == QLatin1String("wards")) {
            ++page.messages;
            page.bytes += message->bytes;
        }
        for (const LiveMessage::Card& card : message->cards) {
            std::vector<int>& before = page.shown[card.ward];
            for (int m : card.markers) {
                if (size_t(m) >= page.seen.size())
                    page.seen.resize(size_t(m_markers.size()) + 1024);
                if (page.seen[size_t(m)])
                    continue;
                page.seen[size_t(m)] = true;
                const Markers::Marker marker = m_markers.at(m);
                if (marker.publishedUs >= runFromUs)
                    calls.push_back(sample(marker.publishedUs, message->nowMs, at));
            }
            for (int m : before) {
                if (std::find(card.markers.cbegin(), card.markers.cend(), m) != card.markers.cend())
                    continue;
                const Markers::Marker marker = m_markers.at(m);
                if (marker.cancelledUs >= runFromUs)
                    cancels.push_back(sample(marker.cancelledUs, message->nowMs, at));
            }
            before = card.markers;
        }
    }

    // Calls published while the wards ran that a page never showed.
    qint64 neverShown() const
    {
        qint64 missing = 0;
        const int count = m_markers.size();
        for (int m = 0; m < count; ++m) {
            const Markers::Marker marker = m_markers.at(m);
            if (marker.publishedUs < runFromUs || marker.publishedUs > runToUs)
                continue;
            for (const std::unique_ptr<Page>& page : pages)
                if (size_t(m) >= page->seen.size() || !page->seen[size_t(m)])
                    ++missing;
        }
        return missing;
    }

private:
    static Sample sample(qint64 publishedUs, qint64 nowMs, qint64 receivedUs)
    {
        return {double(receivedUs - publishedUs) / 1000.0, double(nowMs * 1000 - publishedUs) / 1000.0};
    }

    // Every page gets the same message: it is read once.
    std::shared_ptr<const LiveMessage> parsed(const QString& text)
    {
        const size_t key = qHash(text) ^ size_t(text.size());
        if (const auto it = m_cache.constFind(key); it != m_cache.cend())
            return *it;
        auto message = std::make_shared<LiveMessage>();
        const QByteArray utf8 = text.toUtf8();
        message->bytes = utf8.size();
        const QJsonObject o = QJsonDocument::fromJson(utf8).object();
        message->type = o.value(QLatin1String("type")).toString();
        message->nowMs = qint64(o.value(QLatin1String("now")).toDouble());
        for (const QJsonValue& c : o.value(QLatin1String("wards")).toArray()) {
            const QJsonObject card = c.toObject();
            LiveMessage::Card parsedCard{card.value(QLatin1String("ward")).toString(), {}};
            for (const QJsonValue& call : card.value(QLatin1String("calls")).toArray()) {
                const int m = m_markers.find(call.toObject().value(QLatin1String("call")).toString());
                if (m >= 0)
                    parsedCard.markers.push_back(m);
            }
            message->cards.push_back(std::move(parsedCard));
        }
        if (m_cache.size() > 64)
            m_cache.clear();
        m_cache.insert(key, message);
        return message;
    }

    Markers& m_markers;
    QHash<size_t, std::shared_ptr<const LiveMessage>> m_cache;
};

// Runs the event loop until `done` says so (asked every `pollMs`) or `ms` have passed; false on the
// timeout. The pages' messages are taken the moment they come.
template <typename Done> bool waitFor(Done done, int ms, int pollMs = 20)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    poll.start(pollMs);
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
    return done();
}

bool addUser(CentralRig& rig)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedChannels);
    p.start(rig.program(), {QStringLiteral("--add-user"), QString::fromLatin1(kUser)});
    p.write(kPassword + '\n' + kPassword + '\n');
    p.closeWriteChannel();
    return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

bool portOpen(quint16 port)
{
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, port);
    return probe.waitForConnected(200);
}

// POST /login: the session cookie "halvane_session=…", or empty.
QByteArray login(QNetworkAccessManager& network, quint16 port)
{
    QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1/login").arg(port)));
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QByteArrayLiteral("application/x-www-form-urlencoded"));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    // As the login page's form sends it: the centre takes a POST only from its own page.
    request.setRawHeader("Origin", QStringLiteral("http://127.0.0.1:%1").arg(port).toLatin1());
    QNetworkReply* reply = network.post(request, "name=" + kUser + "&password=" + kPassword);
    waitFor([reply] { return reply->isFinished(); }, 60000);
    QByteArray cookie;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray set = reply->rawHeader("Set-Cookie");
    if (status == 303 && reply->rawHeader("Location") == "/" && set.startsWith("halvane_session="))
        cookie = set.left(set.indexOf(';'));
    else
        std::fprintf(stderr, "login: status %d, Location %s\n", status,
                     reply->rawHeader("Location").constData());
    reply->deleteLater();
    return cookie;
}

// CPU seconds of each thread of a process by its id, with its name.
QMap<qint64, std::pair<QString, double>> threadSeconds(qint64 pid)
{
    QMap<qint64, std::pair<QString, double>> threads;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(tid + QStringLiteral("/comm")));
        comm.open(QIODevice::ReadOnly);
        QFile stat(tasks.filePath(tid + QStringLiteral("/stat")));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> fields = stat.readAll().split(')').last().trimmed().split(' ');
        threads.insert(tid.toLongLong(), {QString::fromUtf8(comm.readAll().trimmed()),
                                          (fields.value(11).toDouble() + fields.value(12).toDouble()) /
                                              double(sysconf(_SC_CLK_TCK))});
    }
    return threads;
}

struct Figures
{
    double median = 0, p99 = 0, max = 0;
};

Figures figures(std::vector<double> values)
{
    if (values.empty())
        return {};
    std::sort(values.begin(), values.end());
    const auto rank = [&values](double q) {
        return values[std::min(values.size() - 1, size_t(std::ceil(q * double(values.size()))) - 1)];
    };
    return {rank(0.5), rank(0.99), values.back()};
}

void printLatency(const char* what, const std::vector<Sample>& samples)
{
    std::vector<double> total, made, sent;
    for (const Sample& s : samples) {
        total.push_back(s.totalMs);
        made.push_back(s.madeMs);
        sent.push_back(s.totalMs - s.madeMs);
    }
    const Figures t = figures(total), m = figures(made), s = figures(sent);
    std::printf("%-16s %8zu samples  median %7.1f ms  p99 %7.1f ms  max %7.1f ms\n", what, samples.size(),
                t.median, t.p99, t.max);
    std::printf(
        "%-16s   to the message's \"now\": median %7.1f  p99 %7.1f  max %7.1f; from there to the page: "
        "median %6.1f  p99 %6.1f  max %6.1f\n",
        "", m.median, m.p99, m.max, s.median, s.p99, s.max);
}

// The database counts its statements (pg_stat_statements): how many the centre sends and how long
// they take in the server, apart from the round trips.
bool countStatements(PostgresServer& pg)
{
    QFile conf(pg.dataDir() + QStringLiteral("/postgresql.conf"));
    if (!pg.stop() || !conf.open(QIODevice::Append) ||
        conf.write("shared_preload_libraries = 'pg_stat_statements'\n") < 0)
        return false;
    conf.close();
    if (!pg.start()) {
        std::fprintf(stderr, "PostgreSQL: %s\n", qPrintable(pg.error()));
        return false;
    }
    pg.psql(QStringLiteral("CREATE EXTENSION pg_stat_statements"));
    return pg.error().isEmpty();
}

// Where the time before the message goes: from a call's publish to the start of the transaction
// that stored its event (the events' stored_at), and how often and how large the store's
// transactions were while the wards published.
void printStoring(CentralRig& rig, const Markers& markers, qint64 fromUs, qint64 toUs)
{
    std::vector<double> delays;
    const QStringList rows =
        rig.pg
            .psql(QStringLiteral(
                "SELECT call, floor(extract(epoch FROM stored_at) * 1000000)::bigint FROM events "
                "WHERE type = 'call'"))
            .split(u'\n', Qt::SkipEmptyParts);
    for (const QString& row : rows) {
        const int m = markers.find(row.section(u'|', 0, 0));
        if (m < 0)
            continue;
        const qint64 published = markers.at(m).publishedUs;
        if (published >= fromUs && published <= toUs)
            delays.push_back(double(row.section(u'|', 1).toLongLong() - published) / 1000.0);
    }
    const Figures d = figures(delays);
    std::printf(
        "call published to the start of its storing transaction: median %.1f ms  p99 %.1f ms  max %.1f ms\n",
        d.median, d.p99, d.max);
    const QString window =
        QStringLiteral("stored_at >= to_timestamp(%1 / 1e6) AND stored_at <= to_timestamp(%2 / 1e6)")
            .arg(fromUs)
            .arg(toUs);
    std::printf(
        "storing transactions with events (count|events each: median|max|time between starts, ms: "
        "median|p99|max): %s|%s\n",
        qPrintable(rig.pg.psql(
            QStringLiteral("SELECT count(*), percentile_disc(0.5) WITHIN GROUP (ORDER BY n), max(n) "
                           "FROM (SELECT count(*) AS n FROM events WHERE %1 GROUP BY stored_at) t")
                .arg(window))),
        qPrintable(rig.pg.psql(
            QStringLiteral(
                "SELECT round(percentile_disc(0.5) WITHIN GROUP (ORDER BY g)), round(percentile_disc(0.99) "
                "WITHIN GROUP (ORDER BY g)), round(max(g)) FROM (SELECT extract(epoch FROM stored_at - "
                "lag(stored_at) OVER (ORDER BY stored_at)) * 1000 AS g FROM (SELECT DISTINCT stored_at "
                "FROM events WHERE %1) d) x")
                .arg(window))));
}

int run(int wardCount, int rate, int clientCount, int seconds)
{
    CentralRig rig;
    const quint16 httpPort = MosquittoBroker::freePort();
    if (!rig.up(QStringLiteral("[Http]\r\nAddress=127.0.0.1\r\nPort=%1\r\n").arg(httpPort)) ||
        !countStatements(rig.pg))
        return 1;
    if (!addUser(rig)) {
        std::fprintf(stderr, "--add-user failed\n");
        return 1;
    }
    if (!rig.startCentral() || !waitFor([httpPort] { return portOpen(httpPort); }, 20000)) {
        std::fprintf(stderr, "the centre does not serve the dashboard on port %u\n", httpPort);
        return 1;
    }
    const qint64 pid = rig.central.processId();
    std::printf("centre: process %lld\n", static_cast<long long>(pid));
    std::fflush(stdout);

    Markers markers;
    BrokerPublisher publisher(rig.broker.port());
    Wards wards(wardCount, publisher, markers);
    wards.online();
    for (int k = 0; k < kOpenCalls; ++k)
        for (int w = 0; w < wardCount; ++w)
            wards.step(w, true);
    const QString expected = QString::number(qint64(wardCount) * kOpenCalls);
    if (!waitFor(
            [&rig, &expected] {
                return rig.pg.psql(QStringLiteral("SELECT count(*) FROM open_calls")) == expected;
            },
            60000, 200)) {
        std::fprintf(stderr, "the open calls of the wards were not stored\n");
        return 1;
    }

    QNetworkAccessManager network;
    QList<QByteArray> cookies;
    for (int i = 0; i < (clientCount + kPagesPerLogin - 1) / kPagesPerLogin; ++i) {
        const QByteArray cookie = login(network, httpPort);
        if (cookie.isEmpty())
            return 1;
        cookies << cookie;
    }

    Pages pages(markers);
    const QString origin = QStringLiteral("http://127.0.0.1:%1").arg(httpPort);
    for (int i = 0; i < clientCount; ++i) {
        auto page = std::make_unique<Page>();
        Page* p = page.get();
        p->socket = new QWebSocket(origin);
        QObject::connect(p->socket, &QWebSocket::textMessageReceived, p->socket,
                         [&pages, p](const QString& text) { pages.received(*p, text); });
        QObject::connect(p->socket, &QWebSocket::disconnected, p->socket, [p] {
            p->lost = true;
            p->closeReason =
                QStringLiteral("%1 %2").arg(p->socket->closeCode()).arg(p->socket->closeReason());
        });
        QNetworkRequest request(QUrl(QStringLiteral("ws://127.0.0.1:%1/live").arg(httpPort)));
        request.setRawHeader("Cookie", cookies[i / kPagesPerLogin]);
        p->socket->open(request);
        pages.pages.push_back(std::move(page));
    }
    const auto allSnapshots = [&pages] {
        return std::all_of(pages.pages.cbegin(), pages.pages.cend(),
                           [](const std::unique_ptr<Page>& p) { return p->snapshot || p->lost; });
    };
    if (!waitFor(allSnapshots, 60000) ||
        std::any_of(pages.pages.cbegin(), pages.pages.cend(), [](const auto& p) { return p->lost; })) {
        std::fprintf(stderr, "not every page got its snapshot\n");
        return 1;
    }

    std::printf("%d pages connected; the wards publish\n", clientCount);
    std::fflush(stdout);
    const double cpu0 = cpuSeconds(pid);
    const QMap<qint64, std::pair<QString, double>> threads0 = threadSeconds(pid);
    const double ownCpu0 = cpuSeconds(::getpid());
    QElapsedTimer clock;
    clock.start();
    std::atomic<bool> published{false};
    rig.pg.psql(QStringLiteral("SELECT pg_stat_statements_reset()"));
    pages.runFromUs = nowUs();
    // The wards in turn, spread evenly over each 1/RATE s: a call on even turns, a cancel on odd ones.
    std::thread generator([&] {
        const auto start = std::chrono::steady_clock::now();
        const double stepUs = 1e6 / (double(rate) * wardCount);
        for (qint64 turn = 0; turn < qint64(seconds) * rate; ++turn) {
            for (int w = 0; w < wardCount; ++w) {
                std::this_thread::sleep_until(
                    start + std::chrono::microseconds(qint64(double(turn * wardCount + w) * stepUs)));
                wards.step(w, turn % 2 == 0);
            }
        }
        pages.runToUs = nowUs();
        published = true;
    });
    const double publishSeconds = [&] {
        waitFor([&published] { return published.load(); }, (seconds + 600) * 1000);
        return clock.elapsed() / 1000.0;
    }();
    generator.join();
    QElapsedTimer drain;
    drain.start();
    waitFor([&drain] { return drain.elapsed() >= kDrainMs; }, kDrainMs + 1000);
    const double wall = clock.elapsed() / 1000.0;
    const double cpu = cpuSeconds(pid) - cpu0;
    const double ownCpu = cpuSeconds(::getpid()) - ownCpu0;
    const QMap<qint64, std::pair<QString, double>> threads = threadSeconds(pid);

    qint64 messages = 0, bytes = 0;
    QStringList lost;
    for (const std::unique_ptr<Page>& p : pages.pages) {
        messages += p->messages;
        bytes += p->bytes;
        if (p->lost)
            lost << p->closeReason;
    }
    const qint64 events = qint64(wardCount) * rate * seconds;
    std::printf(
        "dashboard: %d wards x %d events/s x %d s = %lld events (a call or a cancel, each with its open "
        "list) published in %.1f s; %d pages on %lld logins\n",
        wardCount, rate, seconds, static_cast<long long>(events), publishSeconds, clientCount,
        static_cast<long long>(cookies.size()));
    std::printf("publish to the page, over every page:\n");
    printLatency("call shown", pages.calls);
    printLatency("cancel shown", pages.cancels);
    std::vector<Sample> all = pages.calls;
    all.insert(all.end(), pages.cancels.cbegin(), pages.cancels.cend());
    printLatency("all", all);
    printStoring(rig, markers, pages.runFromUs, pages.runToUs);
    std::printf("statements while the wards published (calls|total ms|mean ms|statement):\n%s\n",
                qPrintable(rig.pg.psql(QStringLiteral(
                    "SELECT calls, round(total_exec_time), round(mean_exec_time::numeric, 3), "
                    "left(regexp_replace(query, '\\s+', ' ', 'g'), 90) FROM pg_stat_statements "
                    "ORDER BY total_exec_time DESC LIMIT 12"))));
    std::printf(
        "rows rewritten by the store (table|live|dead|autovacuums): %s\n",
        qPrintable(rig.pg
                       .psql(QStringLiteral("SELECT relname, n_live_tup, n_dead_tup, autovacuum_count FROM "
                                            "pg_stat_user_tables WHERE relname IN ('open_calls', 'wards') "
                                            "ORDER BY relname"))
                       .replace(u'\n', QStringLiteral(", "))));
    std::printf("calls never shown on a page (page x call): %lld; pages lost: %lld%s%s\n",
                static_cast<long long>(pages.neverShown()), static_cast<long long>(lost.size()),
                lost.isEmpty() ? "" : " — ", qPrintable(lost.join(QStringLiteral(", "))));
    std::printf("per page: %.1f \"wards\" messages/s, %.1f KiB/s (%.1f KiB a message)\n",
                messages / double(clientCount) / publishSeconds,
                bytes / 1024.0 / double(clientCount) / publishSeconds,
                messages ? bytes / 1024.0 / double(messages) : 0.0);
    std::printf(
        "centre: %.1f s CPU over %.1f s (%.0f%% of one core), peak resident %.1f MiB; this benchmark %.1f s "
        "CPU (%.0f%%)\n",
        cpu, wall, 100 * cpu / wall, peakMiB(pid), ownCpu, 100 * ownCpu / wall);
    std::printf("centre's threads over the run (the first is the main one, which serves the pages):");
    for (auto it = threads.cbegin(); it != threads.cend(); ++it)
        if (const double spent = it->second - threads0.value(it.key()).second; spent >= 0.1)
            std::printf(" %lld %s %.1f s;", it.key(), qPrintable(it->first), spent);
    std::printf("\n");
    pages.pages.clear();
    rig.stopCentral();
    return all.empty() ? 1 : 0;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList a = app.arguments();
    const int wards = a.value(1, QStringLiteral("200")).toInt();
    const int rate = a.value(2, QStringLiteral("5")).toInt();
    const int clients = a.value(3, QStringLiteral("50")).toInt();
    const int seconds = a.value(4, QStringLiteral("60")).toInt();
    if (a.size() > 5 || wards < 1 || rate < 1 || clients < 1 || seconds < 1) {
        std::fprintf(stderr,
                     "usage: bench_dashboard [WARDS (200)] [RATE (5)] [CLIENTS (50)] [SECONDS (60)]\n");
        return 2;
    }
    return run(wards, rate, clients, seconds);
}
