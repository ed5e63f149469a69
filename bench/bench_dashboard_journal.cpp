// The dashboard's journal over a large house, in a PostgreSQL cluster started here on 127.0.0.1 at a
// free port and thrown away at the end. Run by hand:
//
//   build/bench/bench_dashboard_journal [EVENTS] [WARDS]
//        EVENTS events (10,000,000) of WARDS wards (200) over a year, made in SQL; then the time of a
//        page of 100 rows (the JSON included) at the newest end, deep in the journal (after the
//        9,999,900th row) and with the ward, place and period filters, each the median and the
//        slowest of 9 runs after one run that warms the cache.

#include "PostgresServer.h"

#include "central/CentralSchema.h"
#include "central/PgConnection.h"
#include "central/web/DashboardQueries.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int kRuns = 9;

// The key of the row at `offset` (0: the newest) of the journal restricted by `where`, as the cursor
// the page before it would have given.
QByteArray cursorAt(Pg::Connection& c, const QByteArray& where, qint64 offset)
{
    const Pg::Result r =
        c.exec("SELECT (extract(epoch FROM time) * 1000000)::bigint, ward, seq FROM events WHERE " + where +
                   " ORDER BY time DESC, ward, seq OFFSET $1 LIMIT 1",
               {Pg::param(offset)});
    if (r.rows() == 0)
        return {};
    return DashboardQueries::encodeCursor({r.integer(0, 0), r.text(0, 1), r.integer(0, 2)});
}

void measure(Pg::Connection& c, const char* name, const DashboardQueries::JournalQuery& q)
{
    QList<double> ms;
    int rows = 0;
    for (int run = 0; run <= kRuns; ++run) {
        QElapsedTimer clock;
        clock.start();
        const QByteArray json = DashboardQueries::journal(c, q);
        const double elapsed = clock.nsecsElapsed() / 1e6;
        if (run == 0) {
            rows = int(QJsonDocument::fromJson(json).object().value(QStringLiteral("rows")).toArray().size());
            continue;
        }
        ms.append(elapsed);
    }
    std::sort(ms.begin(), ms.end());
    std::printf("  %-44s %3d rows  median %7.2f ms  slowest %7.2f ms\n", name, rows, ms[ms.size() / 2],
                ms.last());
}

int run(qint64 events, int wards)
{
    PostgresServer pg;
    if (!pg.init()) {
        std::fprintf(stderr, "PostgreSQL: %s\n", qPrintable(pg.error()));
        return 1;
    }
    Pg::Connection c;
    c.open(pg.connInfo(), -1, {10000, 3600000});
    CentralSchema::migrate(c);

    QElapsedTimer clock;
    clock.start();
    // The rows first and the indexes after, as a bulk load does: the same indexes, made from the
    // table's own definitions.
    const Pg::Result indexes =
        c.exec("SELECT indexdef FROM pg_indexes WHERE tablename = 'events' AND indexname <> 'events_pkey'");
    QByteArrayList definitions;
    for (int r = 0; r < indexes.rows(); ++r) {
        definitions << indexes.bytes(r, 0);
        c.run("DROP INDEX " + indexes.bytes(r, 0).split(' ').at(2));
    }
    c.run("ALTER TABLE events DROP CONSTRAINT events_pkey");
    // Calls, cancels and repeats in turn, of every ward in turn, one every 3 s or so over 2024; 40
    // places a ward; most calls answered.
    c.exec(R"sql(
INSERT INTO events (ward, seq, type, time, local_time, code, function, place, ward_name, staff, call, payload)
SELECT 'w' || mod(i, $2::int), i / $2::int + 1, (ARRAY['call', 'cancel', 'repeat'])[mod(i / $2::int, 3) + 1], ts,
       ts AT TIME ZONE 'Europe/Moscow', 'b' || mod(i, 40), '8', 'Койка ' || mod(i / $2::int, 40),
       'Палата ' || mod(i, 12), 'Сестра ' || mod(i, 30), 'k' || (i / $2::int / 3), '{}'
FROM generate_series(0::bigint, $1::bigint - 1) AS i,
     LATERAL (SELECT timestamptz '2024-01-01 00:00:00+03' + (i * (31536000.0 / $1::bigint)) * interval '1 second'
              AS ts) s
)sql",
           {Pg::param(events), Pg::param(qint64(wards))});
    c.run(R"sql(
INSERT INTO reactions (ward, call, seconds, cancel_seq, cancel_time)
SELECT ward, call, mod(seq * 7919, 280), seq + 1, time FROM events WHERE type = 'call' AND mod(seq, 50) <> 0
)sql");
    std::printf("journal: %lld events of %d wards made in %.0f s", static_cast<long long>(events), wards,
                clock.elapsed() / 1000.0);
    std::fflush(stdout);
    clock.restart();
    c.run("ALTER TABLE events ADD PRIMARY KEY (ward, seq)");
    for (const QByteArray& d : definitions)
        c.run(d);
    c.run("VACUUM ANALYZE"); // as autovacuum leaves a table of a year
    std::printf(", indexed in %.0f s\n", clock.elapsed() / 1000.0);

    using Query = DashboardQueries::JournalQuery;
    const qint64 deepest = std::max<qint64>(0, events - 100 - 1);
    const QByteArray ward = "ward = 'w17'";
    const qint64 wardEvents = c.exec("SELECT count(*) FROM events WHERE " + ward).integer(0, 0);
    const QByteArray place = "place = 'Койка 7'";
    const qint64 placeEvents = c.exec("SELECT count(*) FROM events WHERE " + place).integer(0, 0);
    const QByteArray both = ward + " AND " + place;
    const qint64 bothEvents = c.exec("SELECT count(*) FROM events WHERE " + both).integer(0, 0);
    std::printf("pages of 100 rows (ward w17: %lld events, place \"Койка 7\": %lld, both: %lld):\n",
                static_cast<long long>(wardEvents), static_cast<long long>(placeEvents),
                static_cast<long long>(bothEvents));

    Query q;
    measure(c, "the house, newest page", q);
    q.after = cursorAt(c, "true", deepest);
    measure(c, "the house, deepest page (the oldest 100)", q);
    q.after = cursorAt(c, "true", events / 2);
    measure(c, "the house, middle page", q);

    q = Query{};
    q.ward = QStringLiteral("w17");
    measure(c, "one ward, newest page", q);
    q.after = cursorAt(c, ward, std::max<qint64>(0, wardEvents - 101));
    measure(c, "one ward, deepest page", q);

    q = Query{};
    q.place = QStringLiteral("Койка 7");
    measure(c, "one place, newest page", q);
    q.after = cursorAt(c, place, std::max<qint64>(0, placeEvents - 101));
    measure(c, "one place, deepest page", q);

    q = Query{};
    q.ward = QStringLiteral("w17");
    q.place = QStringLiteral("Койка 7");
    measure(c, "one ward and place, newest page", q);
    q.after = cursorAt(c, both, std::max<qint64>(0, bothEvents - 101));
    measure(c, "one ward and place, deepest page", q);

    q = Query{};
    q.first = q.last = QDate(2024, 6, 15);
    measure(c, "one day in June, newest page", q);
    q.ward = QStringLiteral("w17");
    measure(c, "one day in June, one ward", q);

    q = Query{};
    q.place = QStringLiteral("Койка 99");
    measure(c, "a place no event has", q);
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList a = app.arguments();
    const qint64 events = a.value(1, QStringLiteral("10000000")).toLongLong();
    const int wards = a.value(2, QStringLiteral("200")).toInt();
    if (events < 1000 || wards < 1) {
        std::fprintf(stderr, "usage: bench_dashboard_journal [EVENTS (at least 1000)] [WARDS]\n");
        return 2;
    }
    try {
        return run(events, wards);
    } catch (const Pg::Error& e) {
        std::fprintf(stderr, "PostgreSQL: %s\n", qPrintable(e.message()));
        return 1;
    }
}
