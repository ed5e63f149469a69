// HalvaneCentral between a mosquitto and a PostgreSQL started here on 127.0.0.1 at free ports; the
// program is run as a process from the build directory. Run by hand:
//
//   build/bench/bench_central sustained [WARDS] [RATE] [SECONDS]
//        WARDS wards (200) each publishing RATE events a second (5) for SECONDS (60): events stored
//        per second, delay from publish to the storing transaction (median, 99th percentile), the
//        centre's CPU time and peak memory
//   build/bench/bench_central twocentres [WARDS] [RATE] [SECONDS]
//        two copies of the centre on one database and broker (client ids of their own), WARDS wards
//        (200) each publishing RATE events a second (5) for SECONDS (30) and, with each event and
//        halfway to the next, its open list (retained): both copies replace every ward's open list
//        at once; then 20 rounds of every ward's list alone, as wards publish them again when they
//        connect. Events stored, the lines «запись отложена» of either copy and the batches the
//        database failed on open_calls' key (none is the aim)
//   build/bench/bench_central fullinbox [N]
//        N events (150,000) published while the database is away: the centre's resident memory and
//        its inbox log when the inbox is full (100,000 events), and its peak while catching up
//   build/bench/bench_central catchup [N]
//        N events (100,000) published while the centre is away: time from its start until all are
//        stored
//   build/bench/bench_central stats [EVENTS] [WARDS]
//        EVENTS events (10,000,000) of WARDS wards (50) over a year, made in SQL: time of
//        `HalvaneCentral --statistics` over the year, and the plan of its grouping statement

#include "CentralRig.h"

#include "central/CentralSchema.h"
#include "central/HouseStatistics.h"
#include "central/PgConnection.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>

namespace {

using Rig = CentralRig;

// An event of a simulated ward, QoS 1: calls and cancels by turns.
void publishEvent(BrokerPublisher& pub, int ward, qint64 seq)
{
    const QDateTime now = QDateTime::currentDateTime();
    QJsonObject o{{QStringLiteral("type"), seq % 2 ? QStringLiteral("call") : QStringLiteral("cancel")},
                  {QStringLiteral("code"), QStringLiteral("b%1").arg(seq % 40)},
                  {QStringLiteral("function"), seq % 2 ? QStringLiteral("8") : QStringLiteral("2")},
                  {QStringLiteral("place"), QStringLiteral("Койка № %1").arg(seq % 40)},
                  {QStringLiteral("ward"), QStringLiteral("Палата %1").arg(seq % 8)},
                  {QStringLiteral("staff"), QStringLiteral("Иванова Мария")},
                  {QStringLiteral("time"), now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODate)},
                  {QStringLiteral("seq"), seq},
                  {QStringLiteral("call"), QStringLiteral("k%1").arg(seq)},
                  {QStringLiteral("sent_ms"), now.toMSecsSinceEpoch()}};
    pub.publish("bench/w" + QByteArray::number(ward) + "/events",
                QJsonDocument(o).toJson(QJsonDocument::Compact));
}

int sustained(int wards, int rate, int seconds)
{
    Rig rig;
    if (!rig.up() || !rig.startCentral())
        return 1;
    const qint64 pid = rig.central.processId();
    const double cpu0 = cpuSeconds(pid);
    BrokerPublisher pub(rig.broker.port());
    QThread::msleep(500);
    QElapsedTimer clock;
    clock.start();
    qint64 sent = 0;
    const qint64 total = qint64(wards) * rate * seconds;
    // Spread over each second: one event of every ward every 1/rate s.
    for (qint64 tick = 0; tick < qint64(seconds) * rate; ++tick) {
        for (int w = 0; w < wards; ++w)
            publishEvent(pub, w, tick + 1);
        sent += wards;
        const qint64 due = (tick + 1) * 1000 / rate;
        const qint64 wait = due - clock.elapsed();
        if (wait > 0)
            QThread::msleep(quint64(wait));
    }
    const double publishSeconds = clock.elapsed() / 1000.0;
    while (rig.stored() < total && clock.elapsed() < (seconds + 120) * 1000LL)
        QThread::msleep(200);
    const double allSeconds = clock.elapsed() / 1000.0;
    const qint64 stored = rig.stored();
    const double cpu = cpuSeconds(pid) - cpu0;
    const QString delays = rig.pg.psql(QStringLiteral(
        "SELECT percentile_disc(0.5) WITHIN GROUP (ORDER BY d), percentile_disc(0.99) WITHIN GROUP (ORDER BY "
        "d), "
        "max(d) FROM (SELECT extract(epoch FROM stored_at) * 1000 - (payload->>'sent_ms')::bigint AS d "
        "FROM events) x"));
    std::printf("sustained: %d wards x %d events/s x %d s = %lld events published in %.1f s, %lld stored "
                "(all stored %.1f s after the first publish): %.0f events/s\n",
                wards, rate, seconds, static_cast<long long>(sent), publishSeconds,
                static_cast<long long>(stored), allSeconds, stored / allSeconds);
    std::printf("publish to storing transaction, ms (median|99th percentile|max): %s\n", qPrintable(delays));
    std::printf("centre: %.1f s CPU over the run (%.0f%% of one core), peak resident %.1f MiB\n", cpu,
                100 * cpu / allSeconds, peakMiB(pid));
    rig.stopCentral();
    return stored == total ? 0 : 1;
}

// The open list of a simulated ward as the ward publishes it (retained): its last few calls.
void publishOpen(BrokerPublisher& pub, int ward, qint64 seq)
{
    const QDateTime now = QDateTime::currentDateTime();
    QJsonArray calls;
    for (qint64 k = std::max<qint64>(1, seq - 3); k <= seq; ++k)
        calls.append(QJsonObject{
            {QStringLiteral("call"), QStringLiteral("k%1").arg(k)},
            {QStringLiteral("id"), QJsonValue()},
            {QStringLiteral("code"), QStringLiteral("b%1").arg(k % 40)},
            {QStringLiteral("function"), QStringLiteral("8")},
            {QStringLiteral("place"), QStringLiteral("Койка № %1").arg(k % 40)},
            {QStringLiteral("ward"), QStringLiteral("Палата %1").arg(k % 8)},
            {QStringLiteral("staff"), QStringLiteral("Иванова Мария")},
            {QStringLiteral("time"), now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODate)},
            {QStringLiteral("level"), k % 3 ? QString() : QStringLiteral("alarm")}});
    pub.publish("bench/w" + QByteArray::number(ward) + "/open",
                QJsonDocument(calls).toJson(QJsonDocument::Compact), true);
}

int twoCentres(int wards, int rate, int seconds)
{
    Rig rig;
    const quint16 pagePort = PostgresServer::freePort();
    if (!rig.up(QStringLiteral("[Http]\r\nAddress=127.0.0.1\r\nPort=%1\r\n").arg(pagePort)))
        return 1;
    // The second copy: a folder of its own, the same settings under another client id.
    QTemporaryDir secondDir;
    const QString second = secondDir.filePath(QStringLiteral("HalvaneCentral"));
    QFile::copy(rig.program(), second);
    {
        QFile in(rig.centralDir.filePath(QStringLiteral("HalvaneCentral.ini")));
        QFile out(secondDir.filePath(QStringLiteral("HalvaneCentral.ini")));
        if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly))
            return 1;
        const QByteArray page = QStringLiteral("Port=%1\r\n").arg(pagePort).toUtf8();
        out.write(in.readAll()
                      .replace("ClientId=bench\r\n", "ClientId=bench-two\r\n")
                      .replace(page, QStringLiteral("Port=%1\r\n").arg(PostgresServer::freePort()).toUtf8()));
    }
    QProcess other;
    for (QProcess* p : {&rig.central, &other})
        p->setProcessChannelMode(QProcess::SeparateChannels);
    rig.central.start(rig.program(), {});
    other.start(second, {});
    if (!rig.central.waitForStarted(5000) || !other.waitForStarted(5000))
        return 1;
    QThread::msleep(1500); // connected and subscribed
    BrokerPublisher pub(rig.broker.port());
    QThread::msleep(500);
    QElapsedTimer clock;
    clock.start();
    const qint64 total = qint64(wards) * rate * seconds;
    // Each event with its open list, and halfway to the next event the list again (a level that
    // changed): lists alone, without the events that would hold the copies in step.
    for (qint64 tick = 0; tick < qint64(seconds) * rate; ++tick) {
        for (int half = 0; half < 2; ++half) {
            for (int w = 0; w < wards; ++w) {
                if (half == 0)
                    publishEvent(pub, w, tick + 1);
                publishOpen(pub, w, tick + 1);
            }
            const qint64 wait = (2 * tick + half + 1) * 500 / rate - clock.elapsed();
            if (wait > 0)
                QThread::msleep(quint64(wait));
        }
    }
    // Then the lists alone, as every ward publishes its list again when it connects (a broker back
    // after a restart): batches of open lists only.
    for (int round = 0; round < 20; ++round) {
        for (int w = 0; w < wards; ++w)
            publishOpen(pub, w, qint64(seconds) * rate + round);
        QThread::msleep(100);
    }
    while (rig.stored() < total && clock.elapsed() < (seconds + 120) * 1000LL)
        QThread::msleep(200);
    const qint64 stored = rig.stored();
    const double allSeconds = clock.elapsed() / 1000.0;
    QThread::msleep(2000); // the last open lists
    int deferred = 0;
    for (QProcess* p : {&rig.central, &other}) {
        p->terminate();
        p->waitForFinished(15000);
        const QString errors = QString::fromLocal8Bit(p->readAllStandardError());
        deferred += int(errors.count(QStringLiteral("запись отложена")));
        std::fprintf(stderr, "%s", qPrintable(errors));
    }
    const QString lists =
        rig.pg.psql(QStringLiteral("SELECT count(DISTINCT ward), count(*) FROM open_calls"));
    // A collision that fails a batch with events is written again event by event without a line: the
    // database's own log counts them.
    QFile serverLog(rig.pg.dataDir() + QStringLiteral("/../server.log"));
    serverLog.open(QIODevice::ReadOnly);
    const qsizetype collisions = serverLog.readAll().count("open_calls_pkey");
    std::printf("two centres: %d wards x %d events/s x %d s, each event with its open list: %lld of %lld "
                "events stored in %.1f s; open lists (wards|rows): %s; lines «запись отложена»: %d; batches "
                "failed on open_calls_pkey: %lld\n",
                wards, rate, seconds, static_cast<long long>(stored), static_cast<long long>(total),
                allSeconds, qPrintable(lists), deferred, static_cast<long long>(collisions));
    return stored == total && deferred == 0 && collisions == 0 ? 0 : 1;
}

// The inbox at its bound: the database away (a port nobody listens on) while the events come.
int fullInbox(qint64 n)
{
    Rig rig;
    if (!rig.up())
        return 1;
    QFile ini(rig.centralDir.filePath(QStringLiteral("HalvaneCentral.ini")));
    ini.open(QIODevice::ReadOnly);
    const QByteArray settings = ini.readAll();
    ini.close();
    const auto writeSettings = [&ini](const QByteArray& text) {
        ini.open(QIODevice::WriteOnly | QIODevice::Truncate);
        ini.write(text);
        ini.close();
    };
    writeSettings(
        QByteArray(settings).replace(QStringLiteral("port=%1").arg(rig.pg.port()).toUtf8(),
                                     QStringLiteral("port=%1").arg(PostgresServer::freePort()).toUtf8()));
    rig.central.setProcessChannelMode(QProcess::SeparateChannels);
    rig.central.start(rig.program(), {});
    if (!rig.central.waitForStarted(5000))
        return 1;
    QThread::msleep(1500);
    const qint64 pid = rig.central.processId();
    {
        BrokerPublisher pub(rig.broker.port());
        for (qint64 seq = 1; seq <= n; ++seq) {
            publishEvent(pub, int(seq % 200), seq / 200 + 1);
            if (seq % 5000 == 0)
                QThread::msleep(100);
        }
        QThread::msleep(3000);
    }
    QElapsedTimer clock;
    clock.start();
    QString errors;
    while (!errors.contains(QStringLiteral("приём приостановлен")) && clock.elapsed() < 300000) {
        rig.central.waitForReadyRead(500);
        errors += QString::fromLocal8Bit(rig.central.readAllStandardError());
    }
    QThread::msleep(2000);
    const auto residentMiB = [pid] {
        QFile f(QStringLiteral("/proc/%1/status").arg(pid));
        f.open(QIODevice::ReadOnly);
        for (const QByteArray& line : f.readAll().split('\n'))
            if (line.startsWith("VmRSS:"))
                return line.mid(6).trimmed().split(' ').first().toDouble() / 1024;
        return 0.0;
    };
    const double fullRss = residentMiB();
    const double fullPeak = peakMiB(pid);
    const qint64 logBytes = QFileInfo(rig.centralDir.filePath(QStringLiteral("HalvaneCentral.inbox"))).size();
    std::printf("full inbox: resident %.1f MiB (peak so far %.1f MiB), inbox log %.1f MiB\n", fullRss,
                fullPeak, logBytes / 1048576.0);
    rig.central.terminate();
    rig.central.waitForFinished(15000);
    // The database back: the same centre catches up.
    writeSettings(settings);
    rig.central.start(rig.program(), {});
    rig.central.waitForStarted(5000);
    const qint64 pid2 = rig.central.processId();
    clock.restart();
    while (rig.stored() < n && clock.elapsed() < 600000)
        QThread::msleep(200);
    std::printf("catching up: %lld events stored in %.1f s, centre peak resident %.1f MiB\n",
                static_cast<long long>(rig.stored()), clock.elapsed() / 1000.0, peakMiB(pid2));
    rig.stopCentral();
    return 0;
}

int catchup(qint64 n)
{
    Rig rig;
    if (!rig.up() || !rig.startCentral())
        return 1;
    rig.stopCentral(); // its session stays at the broker
    {
        BrokerPublisher pub(rig.broker.port());
        for (qint64 seq = 1; seq <= n; ++seq)
            publishEvent(pub, int(seq % 200), seq);
        QThread::msleep(3000);
    }
    QElapsedTimer clock;
    clock.start();
    rig.central.start(rig.centralDir.filePath(QStringLiteral("HalvaneCentral")), {});
    rig.central.waitForStarted(5000);
    const qint64 pid = rig.central.processId();
    while (rig.stored() < n && clock.elapsed() < 600000)
        QThread::msleep(100);
    std::printf(
        "catch-up: %lld queued events stored in %.1f s (%.0f events/s); centre peak resident %.1f MiB\n",
        static_cast<long long>(rig.stored()), clock.elapsed() / 1000.0,
        rig.stored() * 1000.0 / clock.elapsed(), peakMiB(pid));
    rig.stopCentral();
    return 0;
}

int stats(qint64 events, int wards)
{
    Rig rig;
    if (!rig.up())
        return 1;
    Pg::Connection c;
    c.open(rig.pg.connInfo(), -1, {10000, 3600000});
    CentralSchema::migrate(c);
    QElapsedTimer clock;
    clock.start();
    // Three events per call: the call, its cancel (a reaction), a repeat; one call in 50 stays open,
    // one in 100 is answered later than the threshold.
    const qint64 calls = events / 3;
    c.run(QStringLiteral(R"sql(
INSERT INTO events (ward, seq, type, time, local_time, code, function, place, ward_name, staff, call, payload)
SELECT 'w' || mod(i, %2), (i / %2) * 3 + k, t.type, ts, ts::timestamp, 'b' || mod(i, 40),
       CASE WHEN t.type = 'cancel' THEN '2' WHEN mod(i, 97) = 0 THEN '4' WHEN mod(i, 7) = 0 THEN 'b' ELSE '8' END,
       'Койка ' || mod(i, 40), 'Палата ' || mod(i, 12), 'Сестра ' || mod(i, 30), 'k' || i,
       jsonb_build_object('seq', (i / %2) * 3 + k)
FROM generate_series(1::bigint, %1) AS i,
     LATERAL (SELECT timestamptz '2024-01-01 00:00:00+03' + (i * (31536000.0 / %1)) * interval '1 second' AS ts) s,
     LATERAL (VALUES (1, 'call'), (2, 'cancel'), (3, 'repeat')) AS t(k, type)
)sql")
              .arg(calls)
              .arg(wards)
              .toUtf8());
    c.run(QStringLiteral(R"sql(
INSERT INTO reactions (ward, call, seconds, cancel_seq, cancel_time)
SELECT 'w' || mod(i, %2), 'k' || i, mod(i * 7919, 280) + CASE WHEN mod(i, 100) = 0 THEN 400 ELSE 0 END,
       (i / %2) * 3 + 2, now()
FROM generate_series(1::bigint, %1) AS i WHERE mod(i, 50) <> 0
)sql")
              .arg(calls)
              .arg(wards)
              .toUtf8());
    c.run("VACUUM ANALYZE"); // as autovacuum leaves a table of a year
    std::printf("stats: %lld events of %d wards made in %.0f s\n", static_cast<long long>(rig.stored()),
                wards, clock.elapsed() / 1000.0);
    const QString file = rig.centralDir.filePath(QStringLiteral("house.xlsx"));
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedChannels);
    clock.restart();
    p.start(
        rig.centralDir.filePath(QStringLiteral("HalvaneCentral")),
        {QStringLiteral("--statistics"), QStringLiteral("2024-01-01"), QStringLiteral("2024-12-31"), file});
    p.waitForFinished(-1);
    std::printf("--statistics over the year: %.1f s, status %d, %lld bytes\n", clock.elapsed() / 1000.0,
                p.exitCode(), static_cast<long long>(QFileInfo(file).size()));
    const QString sql = QString::fromUtf8(HouseStatistics::groupsStatement())
                            .replace(QLatin1String("$1"), QLatin1String("'2024-01-01'"))
                            .replace(QLatin1String("$2"), QLatin1String("'2024-12-31'"))
                            .replace(QLatin1String("$3"), QLatin1String("3600"));
    std::printf("%s\n", qPrintable(rig.pg.psql(QStringLiteral("EXPLAIN (ANALYZE, COSTS OFF) ") + sql)));
    return p.exitCode();
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList a = app.arguments();
    const QString mode = a.value(1);
    if (mode == QLatin1String("sustained"))
        return sustained(a.value(2, QStringLiteral("200")).toInt(), a.value(3, QStringLiteral("5")).toInt(),
                         a.value(4, QStringLiteral("60")).toInt());
    if (mode == QLatin1String("twocentres"))
        return twoCentres(a.value(2, QStringLiteral("200")).toInt(), a.value(3, QStringLiteral("5")).toInt(),
                          a.value(4, QStringLiteral("30")).toInt());
    if (mode == QLatin1String("fullinbox"))
        return fullInbox(a.value(2, QStringLiteral("150000")).toLongLong());
    if (mode == QLatin1String("catchup"))
        return catchup(a.value(2, QStringLiteral("100000")).toLongLong());
    if (mode == QLatin1String("stats"))
        return stats(a.value(2, QStringLiteral("10000000")).toLongLong(),
                     a.value(3, QStringLiteral("50")).toInt());
    std::fprintf(
        stderr,
        "usage: bench_central sustained [WARDS] [RATE] [SECONDS] | twocentres [WARDS] [RATE] [SECONDS] | "
        "fullinbox [N] | catchup [N] | stats [EVENTS] [WARDS]\n");
    return 2;
}
