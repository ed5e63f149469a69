// What the dashboard reads from a real PostgreSQL: the live cards, the journal paged by key, the
// statistics as JSON and as the .xlsx, and the worker thread that runs these reads.

#include "CentralTestSupport.h"
#include "PostgresServer.h"

#include "../core/stats/StatsTestSupport.h"

#include "central/CentralSchema.h"
#include "central/EventStore.h"
#include "central/HouseStatistics.h"
#include "central/PgConnection.h"
#include "central/WardMessage.h"
#include "central/web/DashboardQueries.h"
#include "central/web/PgWorker.h"
#include "core/base/AppError.h"
#include "core/stats/Statistics.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <atomic>

using centraltest::cancel;
using centraltest::wardEvent;

namespace {

QJsonObject object(const QByteArray& json)
{
    QJsonParseError error;
    const QJsonDocument d = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError)
        qFatal("not JSON (%s): %s", qPrintable(error.errorString()), json.constData());
    return d.object();
}

qint64 ms(const char* iso)
{
    return QDateTime::fromString(QString::fromLatin1(iso), Qt::ISODate).toMSecsSinceEpoch();
}

QJsonObject cardOf(const QJsonObject& live, const QString& ward)
{
    for (const QJsonValue card : live.value(QStringLiteral("wards")).toArray())
        if (card.toObject().value(QStringLiteral("ward")).toString() == ward)
            return card.toObject();
    return {};
}

// What a reply carried, and on which thread it arrived.
struct Answer
{
    PgWorker::Reply reply;
    QThread* thread = nullptr;
    bool arrived = false;
};

} // namespace

class TestCentralDashboardData : public QObject
{
    Q_OBJECT

private:
    PostgresServer m_pg;
    Pg::Connection m_db;

    WardEvent parsed(const QString& ward, const QByteArray& payload)
    {
        QString why;
        const std::optional<WardEvent> e = WardEvent::parse(ward, payload, &why);
        if (!e)
            qFatal("an event the test makes was refused: %s", qPrintable(why));
        return *e;
    }
    WardEvent antenna(const QString& ward, qint64 seq, const QString& name, bool silent, const QString& time)
    {
        return parsed(ward, wardEvent(seq, QStringLiteral("antenna"),
                                      {{QStringLiteral("antenna"), name}, {QStringLiteral("silent"), silent}},
                                      time));
    }
    void store(const QList<WardEvent>& events, const QMap<QString, EventInbox::WardState>& states = {})
    {
        EventStore::writeBatch(m_db, events, states);
    }
    // Rows straight into events: the journal's tests need many, with chosen times.
    void insertEvents(const QByteArray& select)
    {
        m_db.run("INSERT INTO events (ward, seq, type, time, local_time, "
                 "place, call, antenna, silent, payload) " +
                 select);
    }

    // Every page of the journal for the query; fails the test on a page that is not well formed.
    QList<QJsonObject> allPages(DashboardQueries::JournalQuery q, int* pages)
    {
        QList<QJsonObject> rows;
        *pages = 0;
        for (;;) {
            const QJsonObject page = object(DashboardQueries::journal(m_db, q));
            ++*pages;
            for (const QJsonValue row : page.value(QStringLiteral("rows")).toArray())
                rows.append(row.toObject());
            const QJsonValue next = page.value(QStringLiteral("next"));
            if (next.isNull())
                break;
            if (*pages > 1000)
                qFatal("the journal does not end");
            q.after = next.toString().toLatin1();
        }
        return rows;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(PostgresServer::installed(), "package postgresql is not installed");
        QVERIFY2(m_pg.init(), qPrintable(m_pg.error()));
        m_db.open(m_pg.connInfo());
        QCOMPARE(CentralSchema::migrate(m_db), CentralSchema::latestVersion());
    }
    void init() { m_db.run("TRUNCATE events, reactions, wards, event_gaps, open_calls, antennas"); }

    void liveCardsShowStatusCallsSilentAntennasAndGaps()
    {
        QString why;
        QMap<QString, EventInbox::WardState> states;
        states[QStringLiteral("w1")].status = QStringLiteral("online");
        states[QStringLiteral("w1")].open = *WardMessage::parseOpen(
            R"([{"call":"k2","id":null,"place":"Койка 2","ward":"Палата 1","staff":"Иванова","code":"a",)"
            R"("function":"8","time":"2024-03-01T10:02:00+03:00","level":"alarm"},)"
            R"({"call":"k1","id":7,"place":"Койка 1","function":"b","level":""}])",
            &why);
        states[QStringLiteral("w2")].status = QStringLiteral("offline");
        // w1: antenna 3 silent since 10:15 (said again at 10:20), antenna 4 silent and back,
        // antenna 5 back (seq 11) before its older "silent" (seq 10) arrives.
        store({antenna(QStringLiteral("w1"), 1, QStringLiteral("3"), true,
                       QStringLiteral("2024-03-01T10:15:00+03:00")),
               antenna(QStringLiteral("w1"), 2, QStringLiteral("4"), true,
                       QStringLiteral("2024-03-01T10:16:00+03:00")),
               antenna(QStringLiteral("w1"), 11, QStringLiteral("5"), false,
                       QStringLiteral("2024-03-01T10:31:00+03:00")),
               // w2 lost seq 2-4 and 6-8.
               parsed(QStringLiteral("w2"), wardEvent(1)), parsed(QStringLiteral("w2"), wardEvent(5)),
               parsed(QStringLiteral("w2"), wardEvent(9))},
              states);
        store({antenna(QStringLiteral("w1"), 3, QStringLiteral("4"), false,
                       QStringLiteral("2024-03-01T10:17:00+03:00")),
               antenna(QStringLiteral("w1"), 4, QStringLiteral("3"), true,
                       QStringLiteral("2024-03-01T10:20:00+03:00")),
               antenna(QStringLiteral("w1"), 10, QStringLiteral("5"), true,
                       QStringLiteral("2024-03-01T10:30:00+03:00"))});
        m_db.run("UPDATE wards SET name = 'Кардиология' WHERE ward = 'w1'");

        const QJsonObject live = object(DashboardQueries::live(m_db, {}));
        QVERIFY(qAbs(live.value(QStringLiteral("now")).toInteger() - QDateTime::currentMSecsSinceEpoch()) <
                60000);
        QCOMPARE(live.value(QStringLiteral("wards")).toArray().size(), 2);
        const QJsonObject w1 = cardOf(live, QStringLiteral("w1"));
        QCOMPARE(w1.value(QStringLiteral("name")).toString(), QStringLiteral("Кардиология"));
        QCOMPARE(w1.value(QStringLiteral("status")).toString(), QStringLiteral("online"));
        QVERIFY(qAbs(w1.value(QStringLiteral("since")).toInteger() - QDateTime::currentMSecsSinceEpoch()) <
                60000);
        // The calls in the order of the ward's list, with their fields.
        const QJsonArray calls = w1.value(QStringLiteral("calls")).toArray();
        QCOMPARE(calls.size(), 2);
        QCOMPARE(calls[0].toObject(), (QJsonObject{{"call", "k2"},
                                                   {"code", "a"},
                                                   {"function", "8"},
                                                   {"place", "Койка 2"},
                                                   {"room", "Палата 1"},
                                                   {"staff", "Иванова"},
                                                   {"time", ms("2024-03-01T10:02:00+03:00")},
                                                   {"level", "alarm"}}));
        QCOMPARE(calls[1].toObject().value(QStringLiteral("call")).toString(), QStringLiteral("k1"));
        QVERIFY(calls[1].toObject().value(QStringLiteral("time")).isNull());
        // Only antenna 3, silent since its first "silent".
        QCOMPARE(w1.value(QStringLiteral("silent")).toArray(),
                 (QJsonArray{QJsonObject{{"antenna", "3"}, {"since", ms("2024-03-01T10:15:00+03:00")}}}));
        // Seqs 5 to 9 of w1 never came.
        QCOMPARE(w1.value(QStringLiteral("gaps")).toObject(),
                 (QJsonObject{{"ranges", 1}, {"events", 5}, {"recent", QJsonArray{QJsonArray{5, 9}}}}));

        const QJsonObject w2 = cardOf(live, QStringLiteral("w2"));
        QCOMPARE(w2.value(QStringLiteral("status")).toString(), QStringLiteral("offline"));
        QCOMPARE(w2.value(QStringLiteral("name")).toString(), QStringLiteral("w2"));
        QCOMPARE(w2.value(QStringLiteral("calls")).toArray().size(), 0);
        QCOMPARE(w2.value(QStringLiteral("gaps")).toObject(),
                 (QJsonObject{{"ranges", 2},
                              {"events", 6},
                              {"recent", QJsonArray{QJsonArray{6, 8}, QJsonArray{2, 4}}}}));

        // Only the wards asked for; a ward id that is not one is no card.
        const QJsonArray some =
            object(DashboardQueries::live(m_db, {QStringLiteral("w2"), QStringLiteral("x' OR '1'='1")}))
                .value(QStringLiteral("wards"))
                .toArray();
        QCOMPARE(some.size(), 1);
        QCOMPARE(some[0].toObject().value(QStringLiteral("ward")).toString(), QStringLiteral("w2"));

        // The migration fills the table from the stored events as the store keeps it.
        const QString kept =
            m_pg.psql("SELECT ward, antenna, silent, since, seq FROM antennas ORDER BY 1, 2");
        QCOMPARE(kept.count(u'\n'), 2);
        m_db.run("DROP TABLE antennas");
        m_db.run(CentralSchema::migrations().at(2).sql);
        QCOMPARE(m_pg.psql("SELECT ward, antenna, silent, since, seq FROM antennas ORDER BY 1, 2"), kept);
    }

    void liveChangesOfAntennasMarkTheWardChanged()
    {
        const EventStore::Committed first =
            EventStore::writeBatch(m_db,
                                   {antenna(QStringLiteral("w3"), 5, QStringLiteral("1"), true,
                                            QStringLiteral("2024-03-01T10:00:00+03:00"))},
                                   {});
        QCOMPARE(first.changedWards, QStringList{QStringLiteral("w3")});
        // An older event arriving late changes nothing.
        EventStore::writeBatch(m_db,
                               {antenna(QStringLiteral("w3"), 4, QStringLiteral("1"), false,
                                        QStringLiteral("2024-03-01T09:00:00+03:00"))},
                               {});
        QCOMPARE(m_pg.psql("SELECT silent, seq FROM antennas"), QStringLiteral("t|5"));
    }

    void journalPagesByKeyWithoutLossOrRepeat_data()
    {
        QTest::addColumn<QString>("ward");
        QTest::addColumn<QString>("place");
        QTest::addColumn<QDate>("first");
        QTest::addColumn<QDate>("last");
        QTest::addColumn<QString>("where"); // the same rows, as SQL counts them
        QTest::newRow("all") << QString() << QString() << QDate() << QDate() << QStringLiteral("true");
        QTest::newRow("one ward") << QStringLiteral("w2") << QString() << QDate() << QDate()
                                  << QStringLiteral("ward = 'w2'");
        QTest::newRow("one place") << QString() << QStringLiteral("Койка 2") << QDate() << QDate()
                                   << QStringLiteral("place = 'Койка 2'");
        QTest::newRow("ward and place") << QStringLiteral("w1") << QStringLiteral("Койка 1") << QDate()
                                        << QDate() << QStringLiteral("ward = 'w1' AND place = 'Койка 1'");
        // Days of the centre's own zone.
        QTest::newRow("one day") << QString() << QString() << QDate(2024, 3, 2) << QDate(2024, 3, 2)
                                 << QStringLiteral(
                                        "time >= '2024-03-02 00:00+03' AND time < '2024-03-03 00:00+03'");
        QTest::newRow("from a day") << QString() << QString() << QDate(2024, 3, 3) << QDate()
                                    << QStringLiteral("time >= '2024-03-03 00:00+03'");
        QTest::newRow("nothing") << QStringLiteral("w9") << QString() << QDate() << QDate()
                                 << QStringLiteral("false");
    }
    void journalPagesByKeyWithoutLossOrRepeat()
    {
        QFETCH(QString, ward);
        QFETCH(QString, place);
        QFETCH(QDate, first);
        QFETCH(QDate, last);
        QFETCH(QString, where);
        // Three wards, 60 events each, over five moments a day apart; many rows share a moment to the
        // microsecond, so that a page ends in the middle of equal times.
        insertEvents(
            "SELECT 'w' || w, s, 'call', t, t AT TIME ZONE 'Europe/Moscow', 'Койка ' || (s % 3), "
            "'c' || s, NULL, NULL, '{}' FROM generate_series(1, 3) w, generate_series(1, 60) s, "
            "LATERAL (SELECT '2024-03-01 10:00:00.123456+03'::timestamptz + (s % 5) * interval '1 day' "
            "AS t) x");
        const qint64 expected = m_pg.psql("SELECT count(*) FROM events WHERE " + where).toLongLong();

        DashboardQueries::JournalQuery q;
        q.ward = ward;
        q.place = place;
        q.first = first;
        q.last = last;
        q.limit = 7;
        qputenv("TZ", "Europe/Moscow");
        tzset();
        int pages = 0;
        const QList<QJsonObject> rows = allPages(q, &pages);
        qunsetenv("TZ");
        tzset();
        QCOMPARE(rows.size(), expected);
        QCOMPARE(pages, expected == 0 ? 1 : int((expected + 6) / 7));
        QSet<QString> seen;
        for (qsizetype i = 0; i < rows.size(); ++i) {
            const QJsonObject& r = rows[i];
            QVERIFY2(!seen.contains(r["ward"].toString() + '/' + QString::number(r["seq"].toInteger())),
                     "a row came twice");
            seen.insert(r["ward"].toString() + '/' + QString::number(r["seq"].toInteger()));
            if (!ward.isEmpty())
                QCOMPARE(r["ward"].toString(), ward);
            if (!place.isEmpty())
                QCOMPARE(r["place"].toString(), place);
            if (i == 0)
                continue;
            // Newest first, then by ward and seq.
            const QJsonObject& p = rows[i - 1];
            const auto key = [](const QJsonObject& o) {
                return std::tuple(-o["time"].toInteger(), o["ward"].toString(), o["seq"].toInteger());
            };
            QVERIFY2(key(p) < key(r), "rows out of order");
        }
    }

    void journalRowsCarryTheirFields()
    {
        store({parsed(QStringLiteral("w1"), wardEvent(1)),
               parsed(QStringLiteral("w1"), cancel(2, QStringLiteral("c1"), 75)),
               antenna(QStringLiteral("w1"), 3, QStringLiteral("7"), true,
                       QStringLiteral("2024-03-01T10:06:00+03:00")),
               parsed(QStringLiteral("w2"), wardEvent(1))});
        m_db.run("UPDATE wards SET name = 'Хирургия' WHERE ward = 'w1'");
        DashboardQueries::JournalQuery q;
        q.ward = QStringLiteral("w1");
        const QJsonArray rows =
            object(DashboardQueries::journal(m_db, q)).value(QStringLiteral("rows")).toArray();
        QCOMPARE(rows.size(), 3);
        const QJsonObject silent = rows[0].toObject();
        QCOMPARE(silent["type"].toString(), QStringLiteral("antenna"));
        QCOMPARE(silent["antenna"].toString(), QStringLiteral("7"));
        QCOMPARE(silent["silent"], QJsonValue(true));
        QVERIFY(silent["reaction"].isNull());
        const QJsonObject call = rows[2].toObject();
        QCOMPARE(call, (QJsonObject{{"ward", "w1"},
                                    {"wardName", "Хирургия"},
                                    {"seq", 1},
                                    {"type", "call"},
                                    {"time", ms("2024-03-01T10:00:00+03:00")},
                                    {"localTime", "2024-03-01 10:00:00"},
                                    {"code", "f6186"},
                                    {"function", "8"},
                                    {"place", "Койка № 1"},
                                    {"room", "Палата 5"},
                                    {"staff", "Тестова Анна"},
                                    {"level", QJsonValue()},
                                    {"antenna", QJsonValue()},
                                    {"silent", QJsonValue()},
                                    {"call", "c1"},
                                    {"reaction", 75}}));
        // The cancel itself has no reaction of its own.
        QVERIFY(rows[1].toObject()["reaction"].isNull());
    }

    void journalRefusesWhatIsNotARequest_data()
    {
        QTest::addColumn<QByteArray>("after");
        QTest::addColumn<int>("limit");
        QTest::addColumn<QDate>("first");
        QTest::addColumn<QDate>("last");
        const auto b64 = [](const QByteArray& text) {
            return text.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
        };
        QTest::newRow("not base64") << QByteArray("!!!") << 100 << QDate() << QDate();
        QTest::newRow("padding inside") << QByteArray("MT=oy") << 100 << QDate() << QDate();
        QTest::newRow("no ward") << b64("1709276400000000:5") << 100 << QDate() << QDate();
        QTest::newRow("empty ward") << b64("1709276400000000:5:") << 100 << QDate() << QDate();
        QTest::newRow("time not a number") << b64("x:5:w1") << 100 << QDate() << QDate();
        QTest::newRow("negative seq") << b64("1:-5:w1") << 100 << QDate() << QDate();
        QTest::newRow("beyond bigint") << b64("99999999999999999999:5:w1") << 100 << QDate() << QDate();
        QTest::newRow("not UTF-8") << b64("1:5:w\xff") << 100 << QDate() << QDate();
        QTest::newRow("NUL in the ward") << b64(QByteArray("1:5:w\0x", 8)) << 100 << QDate() << QDate();
        QTest::newRow("oversized") << b64("1:5:" + QByteArray(2000, 'w')) << 100 << QDate() << QDate();
        QTest::newRow("limit 0") << QByteArray() << 0 << QDate() << QDate();
        QTest::newRow("limit 501") << QByteArray() << 501 << QDate() << QDate();
        QTest::newRow("period backwards") << QByteArray() << 100 << QDate(2024, 3, 2) << QDate(2024, 3, 1);
    }
    void journalRefusesWhatIsNotARequest()
    {
        QFETCH(QByteArray, after);
        QFETCH(int, limit);
        QFETCH(QDate, first);
        QFETCH(QDate, last);
        DashboardQueries::JournalQuery q;
        q.after = after;
        q.limit = limit;
        q.first = first;
        q.last = last;
        QVERIFY_THROWS_EXCEPTION(AppError, DashboardQueries::journal(m_db, q));
        // A cursor the journal made reads back as its key.
        const DashboardQueries::JournalKey key{-1234567, QStringLiteral("отд:1"), 42};
        const auto back = DashboardQueries::decodeCursor(DashboardQueries::encodeCursor(key));
        QVERIFY(back);
        QCOMPARE(std::tuple(back->timeMicros, back->ward, back->seq),
                 std::tuple(key.timeMicros, key.ward, key.seq));
    }

    void datesOfARequest()
    {
        QCOMPARE(DashboardQueries::parseDate(QString()), QDate());
        QCOMPARE(DashboardQueries::parseDate(QStringLiteral("2024-02-29")), QDate(2024, 2, 29));
        for (const char* bad : {"2023-02-29", "2024-3-01", "01.03.2024", "2024-03-01x", " 2024-03-01"})
            QVERIFY_THROWS_EXCEPTION(AppError, DashboardQueries::parseDate(QString::fromLatin1(bad)));
    }

    void hostileTextsComeBackVerbatim()
    {
        const QString hostile = QStringLiteral("'); DROP TABLE events; -- \"<script>alert('x')</script>\\");
        const QString ward = QStringLiteral("w\"'<b>");
        QString why;
        QMap<QString, EventInbox::WardState> states;
        states[ward].open = *WardMessage::parseOpen(
            QJsonDocument(QJsonArray{QJsonObject{{"call", "k1"}, {"place", hostile}, {"staff", hostile}}})
                .toJson(QJsonDocument::Compact),
            &why);
        store({parsed(ward, wardEvent(1, QStringLiteral("call"), {{QStringLiteral("place"), hostile}})),
               antenna(ward, 2, hostile, true, QStringLiteral("2024-03-01T10:00:00+03:00"))},
              states);
        m_db.exec("UPDATE wards SET name = $1", {Pg::param(hostile)});

        const QJsonObject card = cardOf(object(DashboardQueries::live(m_db, {ward})), ward);
        QCOMPARE(card["name"].toString(), hostile);
        QCOMPARE(card["calls"].toArray()[0].toObject()["place"].toString(), hostile);
        QCOMPARE(card["calls"].toArray()[0].toObject()["staff"].toString(), hostile);
        QCOMPARE(card["silent"].toArray()[0].toObject()["antenna"].toString(), hostile);

        DashboardQueries::JournalQuery q;
        q.ward = ward;
        q.place = hostile;
        q.limit = 1;
        const QJsonArray rows = object(DashboardQueries::journal(m_db, q))["rows"].toArray();
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows[0].toObject()["place"].toString(), hostile);
        QCOMPARE(rows[0].toObject()["wardName"].toString(), hostile);
        // The cursor of a ward with quotes leads to the next page: the two events share their time.
        q.place.clear();
        const QJsonObject page = object(DashboardQueries::journal(m_db, q));
        QCOMPARE(page["rows"].toArray()[0].toObject()["seq"].toInteger(), 1);
        q.after = page["next"].toString().toLatin1();
        const QJsonObject second = object(DashboardQueries::journal(m_db, q));
        QCOMPARE(second["rows"].toArray()[0].toObject()["seq"].toInteger(), 2);
        QVERIFY(second["next"].isNull());
        QCOMPARE(m_pg.psql("SELECT count(*) FROM events"), QStringLiteral("2"));
    }

    void deepJournalPagesReadTheIndex()
    {
        // Ten wards taking turns, one event a minute.
        insertEvents(
            "SELECT 'w' || (s % 10), s, 'call', '2024-01-01 00:00+00'::timestamptz + s * interval '1 "
            "minute', "
            "'2024-01-01'::timestamp + s * interval '1 minute', 'Койка ' || (s % 7), 'c' || s, NULL, "
            "NULL, '{}' FROM generate_series(1, 100000) s");
        m_db.run("ANALYZE events");
        struct Case
        {
            const char* name;
            QString ward;
            int after; // the seq (and minute) of the cursor's row; 0: the first page
            int firstSeq;
            int rows;
        };
        const QList<Case> cases{{"the house, first page", {}, 0, 100000, 100},
                                {"the house, middle", {}, 50003, 50002, 100},
                                {"the house, deepest", {}, 103, 102, 100},
                                {"one ward, first page", QStringLiteral("w3"), 0, 99993, 100},
                                {"one ward, middle", QStringLiteral("w3"), 50003, 49993, 100},
                                {"one ward, deepest", QStringLiteral("w3"), 103, 93, 10}};
        for (const Case& c : cases) {
            DashboardQueries::JournalQuery q;
            q.ward = c.ward;
            if (c.after > 0)
                q.after = DashboardQueries::encodeCursor({QDateTime(QDate(2024, 1, 1), QTime(0, 0), Qt::UTC)
                                                                  .addSecs(60 * c.after)
                                                                  .toMSecsSinceEpoch() *
                                                              1000,
                                                          QStringLiteral("w%1").arg(c.after % 10), c.after});
            const DashboardQueries::Statement s = DashboardQueries::journalStatement(q);
            const Pg::Result plan = m_db.exec("EXPLAIN " + s.sql, s.params);
            // The plan's nodes, top down: the journal's index read in its order and cut by the limit,
            // with no sort between them (a sort there would read every row of the period first).
            QStringList nodes;
            QString text = QString::fromLatin1(c.name) + u'\n';
            for (int r = 0; r < plan.rows(); ++r) {
                const QString line = plan.text(r, 0);
                text += line + u'\n';
                if (r == 0 || line.contains(QStringLiteral("->")))
                    nodes << line.section(QStringLiteral("->"), -1).trimmed();
            }
            qsizetype scan = -1;
            for (qsizetype n = 0; n < nodes.size() && scan < 0; ++n) {
                if (nodes[n].startsWith(QStringLiteral("Index Scan using events_journal")))
                    scan = n;
            }
            QVERIFY2(scan > 0, qPrintable(text));
            QVERIFY2(nodes[scan - 1].startsWith(QStringLiteral("Limit")), qPrintable(text));
            // And the page is the one after the cursor.
            const QJsonArray page = object(DashboardQueries::journal(m_db, q))["rows"].toArray();
            QVERIFY2(page.size() == c.rows, c.name);
            QVERIFY2(page[0].toObject()["seq"].toInteger() == c.firstSeq, c.name);
        }
    }

    void statisticsAreTheNumbersOfTheReport()
    {
        // w1: three calls (one of them "b") answered in 60 s and 120 s and one open, on 1 and 2 March;
        // w2: one missed call and one "4"; outside the period: not counted.
        store({parsed(QStringLiteral("w1"), wardEvent(1)),
               parsed(QStringLiteral("w1"), wardEvent(2, QStringLiteral("call"),
                                                      {{QStringLiteral("function"), QStringLiteral("b")}},
                                                      QStringLiteral("2024-03-02T23:30:00+03:00"))),
               parsed(QStringLiteral("w1"), wardEvent(3)),
               parsed(QStringLiteral("w1"), cancel(4, QStringLiteral("c1"), 60)),
               parsed(QStringLiteral("w1"), cancel(5, QStringLiteral("c2"), 120)),
               parsed(QStringLiteral("w2"), wardEvent(1)),
               parsed(QStringLiteral("w2"), cancel(2, QStringLiteral("c1"), 4000)),
               parsed(QStringLiteral("w2"), wardEvent(3, QStringLiteral("call"),
                                                      {{QStringLiteral("function"), QStringLiteral("4")}})),
               parsed(QStringLiteral("w2"), wardEvent(4, QStringLiteral("call"), {},
                                                      QStringLiteral("2024-03-04T00:00:00+03:00")))});
        m_db.run("UPDATE wards SET name = 'Кардиология' WHERE ward = 'w2'");
        const QDate first(2024, 2, 29), last(2024, 3, 3);

        const QJsonObject json = object(DashboardQueries::statistics(m_db, first, last));
        Stats::Options options;
        options.first = first;
        options.last = last;
        const Stats::Report report =
            HouseStatistics::compute(m_db, options, HouseStatistics::kDefaultMaxReaction);
        QCOMPARE(json["first"].toString(), QStringLiteral("2024-02-29"));
        QCOMPARE(json["columns"].toArray().first().toString(), QStringLiteral("Отделение"));
        QCOMPARE(json["columns"].toArray().size(), 10);
        const auto same = [](const QJsonObject& row, const Stats::GroupRow& g) {
            const auto optional = [](const std::optional<int>& v) {
                return v ? QJsonValue(*v) : QJsonValue();
            };
            return row == QJsonObject{{"name", g.name},
                                      {"calls", g.calls},
                                      {"answered", g.answered},
                                      {"missed", g.missed},
                                      {"open", g.open},
                                      {"removed", g.removed},
                                      {"median", optional(g.median)},
                                      {"p90", optional(g.percentile90)},
                                      {"longest", optional(g.longest)},
                                      {"function4", g.function4}};
        };
        const QJsonArray wards = json["wards"].toArray();
        QCOMPARE(wards.size(), 2);
        QCOMPARE(report.departments.size(), 2);
        for (int i = 0; i < 2; ++i)
            QVERIFY2(same(wards[i].toObject(), report.departments[i]),
                     QJsonDocument(wards[i].toObject()).toJson());
        QVERIFY(same(json["total"].toObject(), report.total));
        // The values themselves, not only their agreement: w1 has 3 calls, median 60, p90 120.
        QCOMPARE(wards[0].toObject()["calls"].toInteger(), 3);
        QCOMPARE(wards[0].toObject()["median"].toInteger(), 60);
        QCOMPARE(wards[0].toObject()["p90"].toInteger(), 120);
        QCOMPARE(wards[1].toObject()["function4"].toInteger(), 1);

        // Every day of the period, a row of counts per ward with the zeros, summing to the report's.
        QCOMPARE(json["days"].toArray(),
                 (QJsonArray{"2024-02-29", "2024-03-01", "2024-03-02", "2024-03-03"}));
        QCOMPARE(json["perDay"].toArray(),
                 (QJsonArray{QJsonObject{{"ward", "w1"}, {"counts", QJsonArray{0, 2, 1, 0}}},
                             QJsonObject{{"ward", "Кардиология"}, {"counts", QJsonArray{0, 1, 0, 0}}}}));
        QCOMPARE(report.callsPerDay, (QList<qint64>{0, 3, 1, 0}));

        const QJsonArray hours = json["hours"].toArray();
        QCOMPARE(hours.size(), 24);
        for (int h = 0; h < 24; ++h) {
            const Stats::GroupRow& g = report.groups[Stats::ByHour][h];
            QCOMPARE(hours[h].toObject()["hour"].toInt(), h);
            QCOMPARE(hours[h].toObject()["calls"].toInteger(), g.calls);
            QCOMPARE(hours[h].toObject()["median"], g.median ? QJsonValue(*g.median) : QJsonValue());
        }
        QCOMPARE(hours[10].toObject()["calls"].toInteger(), 3);
        QCOMPARE(hours[23].toObject()["calls"].toInteger(), 1);

        // The file: the .xlsx of the command line, its first sheet the wards.
        const QByteArray xlsx = DashboardQueries::statisticsFile(m_db, first, last);
        QVERIFY(xlsx.startsWith("PK"));
        QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("back.xlsx")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(xlsx);
        file.close();
        const statstest::Workbook book = statstest::readWorkbook(file.fileName());
        QCOMPARE(book.names.first(), QStringLiteral("Отделения"));
        QCOMPARE(book.sheets.first().rows.value(2).mid(0, 6), (QStringList{"w1", "3", "2", "0", "1", "0"}));

        QVERIFY_THROWS_EXCEPTION(AppError, DashboardQueries::statistics(m_db, last, first));
        QVERIFY_THROWS_EXCEPTION(AppError, DashboardQueries::statisticsFile(m_db, QDate(), last));
    }

    void accounts()
    {
        m_db.run("TRUNCATE users");
        m_db.run(
            "INSERT INTO users (name, password_hash) VALUES ('Иванова О.П.', '$argon2id$x'), ('a''b', 'h')");
        QCOMPARE(DashboardQueries::passwordHash(m_db, QStringLiteral("Иванова О.П.")),
                 QByteArray("$argon2id$x"));
        QVERIFY(!DashboardQueries::passwordHash(m_db, QStringLiteral("иванова о.п.")));
        QCOMPARE(DashboardQueries::userNames(m_db), (QStringList{"a'b", "Иванова О.П."}));
    }

    void workerAnswersOnTheContextsThreadInOrder()
    {
        PgWorker worker(m_pg.connInfo(), QStringLiteral("live"));
        QObject context;
        QList<Answer> answers(3);
        QList<QThread*> ran;
        std::mutex ranMutex;
        for (int i = 0; i < 3; ++i) {
            worker.run(
                [i, &ran, &ranMutex](Pg::Connection& c) {
                    {
                        const std::lock_guard lock(ranMutex);
                        ran.append(QThread::currentThread());
                    }
                    PgWorker::Reply r;
                    r.body = c.exec("SELECT $1::int * 10", {Pg::param(qint64(i))}).bytes(0, 0);
                    return r;
                },
                &context,
                [&answers, i](PgWorker::Reply r) {
                    answers[i] = {std::move(r), QThread::currentThread(), true};
                });
        }
        QTRY_VERIFY(answers[2].arrived);
        for (int i = 0; i < 3; ++i) {
            QVERIFY(answers[i].arrived);
            QCOMPARE(answers[i].thread, QThread::currentThread());
            QCOMPARE(answers[i].reply.status, 200);
            QCOMPARE(answers[i].reply.body, QByteArray::number(i * 10));
        }
        QCOMPARE(ran.size(), 3);
        QVERIFY(ran[0] != QThread::currentThread());

        // What the job throws becomes its status, with a JSON body naming the problem.
        struct Case
        {
            PgWorker::Job job;
            int status;
        };
        const QList<Case> cases{
            {[](Pg::Connection&) -> PgWorker::Reply { throw AppError(QStringLiteral("Плохой запрос")); },
             400},
            {[](Pg::Connection& c) {
                 c.run("SELECT * FROM no_such_table");
                 return PgWorker::Reply();
             },
             503},
            {[](Pg::Connection&) -> PgWorker::Reply { throw std::runtime_error("boom"); }, 500}};
        for (const Case& k : cases) {
            Answer a;
            worker.run(k.job, &context, [&a](PgWorker::Reply r) { a = {std::move(r), nullptr, true}; });
            QTRY_VERIFY(a.arrived);
            QCOMPARE(a.reply.status, k.status);
            QVERIFY(!object(a.reply.body)["error"].toString().isEmpty());
            QVERIFY(!a.reply.error.isEmpty());
        }
        Answer a;
        worker.run(
            [](Pg::Connection&) -> PgWorker::Reply { throw AppError(QStringLiteral("Плохой запрос")); },
            &context,
            [&a](PgWorker::Reply r) {
                a = {std::move(r), nullptr, true};
            });
        QTRY_VERIFY(a.arrived);
        QCOMPARE(object(a.reply.body)["error"].toString(), QStringLiteral("Плохой запрос"));
    }

    void workerQueueFullAnswers503AtOnce()
    {
        PgWorker worker(m_pg.connInfo(), QStringLiteral("live"), 2);
        QObject context;
        std::atomic<bool> release{false}, started{false};
        QList<Answer> answers(4);
        for (int i = 0; i < 4; ++i) {
            worker.run(
                [&release, &started](Pg::Connection&) {
                    started = true;
                    while (!release)
                        QThread::msleep(5);
                    return PgWorker::Reply();
                },
                &context,
                [&answers, i](PgWorker::Reply r) {
                    answers[i] = {std::move(r), nullptr, true};
                });
            // The first one runs, so that the next two wait and the fourth finds the queue full.
            if (i == 0)
                QTRY_VERIFY(started);
        }
        QTRY_VERIFY(answers[3].arrived);
        QCOMPARE(answers[3].reply.status, 503);
        QVERIFY(!answers[0].arrived && !answers[1].arrived && !answers[2].arrived);
        release = true;
        QTRY_VERIFY(answers[0].arrived && answers[1].arrived && answers[2].arrived);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(answers[i].reply.status, 200);
    }

    void workerGivesNoAnswerToAContextThatIsGone()
    {
        PgWorker worker(m_pg.connInfo(), QStringLiteral("live"));
        auto* context = new QObject;
        std::atomic<int> ran{0};
        bool answered = false;
        for (int i = 0; i < 2; ++i) {
            worker.run(
                [&ran](Pg::Connection& c) {
                    ++ran;
                    c.run("SELECT pg_sleep(0.3)");
                    return PgWorker::Reply();
                },
                context, [&answered](PgWorker::Reply) { answered = true; });
        }
        QTRY_COMPARE(ran.load(), 1);
        delete context;
        QObject other;
        bool later = false;
        worker.run([](Pg::Connection&) { return PgWorker::Reply(); }, &other,
                   [&later](PgWorker::Reply) { later = true; });
        QTRY_VERIFY(later);
        QVERIFY(!answered);
        QCOMPARE(ran.load(), 1); // the second job of the gone context never ran
    }

    void workerBoundsStatementsAndStopsPromptly()
    {
        QObject context;
        {
            // The server ends a statement over the worker's timeout; the connection serves the next.
            PgWorker worker(m_pg.connInfo(), QStringLiteral("live"));
            PgWorker::Timing timing;
            timing.connection.statementTimeoutMs = 300;
            worker.setTiming(timing);
            Answer slow, next;
            QElapsedTimer clock;
            clock.start();
            worker.run(
                [](Pg::Connection& c) {
                    c.run("SELECT pg_sleep(20)");
                    return PgWorker::Reply();
                },
                &context,
                [&slow](PgWorker::Reply r) {
                    slow = {std::move(r), nullptr, true};
                });
            worker.run(
                [](Pg::Connection& c) {
                    PgWorker::Reply r;
                    r.body = c.exec("SELECT pg_backend_pid()").bytes(0, 0);
                    return r;
                },
                &context,
                [&next](PgWorker::Reply r) {
                    next = {std::move(r), nullptr, true};
                });
            QTRY_VERIFY_WITH_TIMEOUT(next.arrived, 10000);
            QVERIFY(clock.elapsed() < 5000);
            QCOMPARE(slow.reply.status, 503);
            QCOMPARE(next.reply.status, 200);
        }
        // Destroyed during a long statement: it gives it up at once, and the server ends it.
        QElapsedTimer clock;
        bool answered = false;
        {
            PgWorker worker(m_pg.connInfo(), QStringLiteral("heavy"));
            std::atomic<bool> started{false};
            worker.run(
                [&started](Pg::Connection& c) {
                    started = true;
                    c.run("SELECT pg_sleep(60)");
                    return PgWorker::Reply();
                },
                &context, [&answered](PgWorker::Reply) { answered = true; });
            QTRY_VERIFY(started);
            QTest::qWait(200);
            clock.start();
        }
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
        QTest::qWait(50);
        QVERIFY(!answered);
        QTRY_COMPARE_WITH_TIMEOUT(
            m_pg.psql("SELECT count(*) FROM pg_stat_activity WHERE query LIKE '%pg_sleep(60)%' "
                      "AND pid <> pg_backend_pid()"),
            QStringLiteral("0"), 10000);
    }

    // Last: it stops the cluster.
    void workerAnswers503WhileTheDatabaseIsDownAndRecovers()
    {
        PgWorker worker(m_pg.connInfo(), QStringLiteral("live"));
        PgWorker::Timing timing;
        timing.retryHoldMs = 200;
        worker.setTiming(timing);
        QObject context;
        const auto ask = [&]() {
            Answer a;
            worker.run(
                [](Pg::Connection& c) {
                    PgWorker::Reply r;
                    r.body = c.exec("SELECT 1").bytes(0, 0);
                    return r;
                },
                &context,
                [&a](PgWorker::Reply r) {
                    a = {std::move(r), nullptr, true};
                });
            if (!QTest::qWaitFor([&a] { return a.arrived; }, 15000))
                return -1;
            return a.reply.status;
        };
        QCOMPARE(ask(), 200);
        m_db.close();
        QVERIFY2(m_pg.stop(), qPrintable(m_pg.error()));
        QCOMPARE(ask(), 503); // the lost connection
        QCOMPARE(ask(), 503); // no server to connect to
        QVERIFY2(m_pg.start(), qPrintable(m_pg.error()));
        QTRY_COMPARE_WITH_TIMEOUT(ask(), 200, 10000);
    }
};

QTEST_GUILESS_MAIN(TestCentralDashboardData)
#include "tst_centraldashboarddata.moc"
