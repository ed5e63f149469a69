// The centre's parsing of what the wards publish, and its writing into a real PostgreSQL: each event
// once, a repeat with other content kept apart, the wards' state (two copies writing one ward at
// once), the ranges of events never received and a ward numbering anew, the inbox's leftovers, and
// the house's statistics file.

#include "CentralTestSupport.h"
#include "PostgresServer.h"

#include "../core/stats/StatsTestSupport.h"

#include "central/CentralSchema.h"
#include "central/EventStore.h"
#include "central/PgConnection.h"
#include "central/WardMessage.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <mutex>
#include <thread>

using centraltest::cancel;
using centraltest::parsed;
using centraltest::wardEvent;

class TestCentralStore : public QObject
{
    Q_OBJECT

private:
    PostgresServer m_pg;
    Pg::Connection m_db;

    EventStore::Committed store(const QList<WardEvent>& events,
                                const QMap<QString, EventInbox::WardState>& states = {})
    {
        return EventStore::writeBatch(m_db, events, states);
    }
    QString query(const QString& sql) { return m_pg.psql(sql); }

private slots:
    void initTestCase()
    {
        QVERIFY2(PostgresServer::installed(), "package postgresql is not installed");
        QVERIFY2(m_pg.init(), qPrintable(m_pg.error()));
        m_db.open(m_pg.connInfo());
        QCOMPARE(CentralSchema::migrate(m_db), CentralSchema::latestVersion());
    }
    void init() { m_db.run("TRUNCATE events, reactions, wards, event_gaps, open_calls, event_conflicts"); }

    void parseRefusesWhatCannotBeStored_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::newRow("not JSON") << QByteArray("{\"seq\":1,");
        QTest::newRow("an array") << QByteArray("[1,2]");
        QTest::newRow("no seq") << QByteArray(R"({"type":"call","time":"2024-03-01T10:00:00+03:00"})");
        QTest::newRow("seq 0") << QByteArray(R"({"type":"call","seq":0,"time":"2024-03-01T10:00:00+03:00"})");
        QTest::newRow("seq fraction")
            << QByteArray(R"({"type":"call","seq":1.5,"time":"2024-03-01T10:00:00+03:00"})");
        QTest::newRow("seq beyond 2^53")
            << QByteArray(R"({"type":"call","seq":1e300,"time":"2024-03-01T10:00:00+03:00"})");
        QTest::newRow("seq as text") << QByteArray(
            R"({"type":"call","seq":"5","time":"2024-03-01T10:00:00+03:00"})");
        QTest::newRow("no type") << QByteArray(R"({"seq":1,"time":"2024-03-01T10:00:00+03:00"})");
        QTest::newRow("no time") << QByteArray(R"({"type":"call","seq":1})");
        QTest::newRow("time without offset")
            << QByteArray(R"({"type":"call","seq":1,"time":"2024-03-01T10:00:00"})");
        QTest::newRow("impossible date")
            << QByteArray(R"({"type":"call","seq":1,"time":"2024-02-30T10:00:00+03:00"})");
        QTest::newRow("offset of no zone")
            << QByteArray(R"({"type":"call","seq":1,"time":"2024-03-01T10:00:00+23:00"})");
        QTest::newRow("escaped NUL") << QByteArray(
            R"({"type":"call","seq":1,"time":"2024-03-01T10:00:00+03:00","place":"a\u0000b"})");
        // The database refuses half of a surrogate pair, and with it the whole batch.
        QTest::newRow("lone high surrogate")
            << QByteArray(R"({"type":"call","seq":1,"time":"2024-03-01T10:00:00+03:00","place":"a\ud800b"})");
        QTest::newRow("lone low surrogate")
            << QByteArray(R"({"type":"call","seq":1,"time":"2024-03-01T10:00:00+03:00","staff":"\udc00"})");
        QTest::newRow("high surrogate before a letter")
            << QByteArray(R"({"type":"call","seq":1,"time":"2024-03-01T10:00:00+03:00","ward":"\ud83dx"})");
        QTest::newRow("lone surrogate in a key")
            << QByteArray(R"({"type":"call","seq":1,"time":"2024-03-01T10:00:00+03:00","\ud800":1})");
        QTest::newRow("lone surrogate deep in the reaction")
            << QByteArray(R"({"type":"cancel","seq":1,"time":"2024-03-01T10:00:00+03:00",)"
                          R"("reaction":[{"call":"c1","seconds":5,"note":["\udfff"]}]})");
        QTest::newRow("bytes that are not UTF-8") << QByteArray(
            "{\"type\":\"call\",\"seq\":1,\"time\":\"2024-03-01T10:00:00+03:00\",\"place\":\"\xff\xfe\"}");
        QTest::newRow("an encoded surrogate")
            << QByteArray("{\"type\":\"call\",\"seq\":1,\"time\":\"2024-03-01T10:00:00+03:00\",\"place\":"
                          "\"\xed\xa0\x80\"}");
        QTest::newRow("oversized")
            << QByteArray(R"({"type":"call","seq":1,"time":"2024-03-01T10:00:00+03:00","place":")") +
                   QByteArray(70000, 'x') + "\"}";
    }
    void parseRefusesWhatCannotBeStored()
    {
        QFETCH(QByteArray, payload);
        QString why;
        QVERIFY(!WardEvent::parse(QStringLiteral("w1"), payload, &why));
        QVERIFY(!why.isEmpty());
    }

    void parseReadsTheEventsFields()
    {
        // A call whose journal entry is not known yet: "id" null.
        const WardEvent call =
            parsed(QStringLiteral("w1"),
                   wardEvent(7, QStringLiteral("call"), {{QStringLiteral("id"), QJsonValue()}}));
        QCOMPARE(call.seq, 7);
        QCOMPARE(call.call, QStringLiteral("c7"));
        QVERIFY(!call.entryId);
        QCOMPARE(call.localTime, QStringLiteral("2024-03-01 10:00:00"));
        const WardEvent repeat =
            parsed(QStringLiteral("w1"),
                   wardEvent(8, QStringLiteral("repeat"),
                             {{QStringLiteral("call"), QStringLiteral("c7")}, {QStringLiteral("id"), 311}}));
        QCOMPARE(repeat.entryId, 311);
        // The durable log's record reads back as the same event, line breaks of the JSON included.
        const QByteArray spread =
            "{\n\"type\":\"call\",\r\n\"seq\":9,\"time\":\"2024-03-01T10:00:00+03:00\"}";
        const WardEvent e = parsed(QStringLiteral("ward 3/ü"), spread);
        QString why;
        const std::optional<WardEvent> back = WardEvent::fromRecord(e.toRecord(), &why);
        QVERIFY2(back, qPrintable(why));
        QVERIFY(!e.toRecord().contains('\n'));
        QCOMPARE(back->ward, QStringLiteral("ward 3/ü"));
        QCOMPARE(back->seq, 9);
    }

    // A byte-order mark is read away; a pair of surrogates is a letter like any other. Both are stored
    // in one batch with the others.
    void byteOrderMarkAndSurrogatePairsAreStored()
    {
        const QByteArray marked = "\xEF\xBB\xBF" + wardEvent(1);
        const WardEvent withMark = parsed(QStringLiteral("w1"), marked);
        QVERIFY(withMark.payload.startsWith('{'));
        const WardEvent pair = parsed(
            QStringLiteral("w1"),
            R"({"type":"call","seq":2,"time":"2024-03-01T10:00:00+03:00","place":"\ud83d\ude91 \u00e9"})");
        QCOMPARE(*pair.place, QStringLiteral("\U0001F691 é"));
        QCOMPARE(store({withMark, pair, parsed(QStringLiteral("w1"), wardEvent(3))}).inserted.size(), 3);
        QCOMPARE(query("SELECT string_agg(seq || ':' || coalesce(place, ''), ',' ORDER BY seq) FROM events"),
                 QStringLiteral("1:Койка № 1,2:\U0001F691 é,3:Койка № 1"));
        // The same for an open list; a lone surrogate in one is refused before it reaches a batch.
        QString why;
        QVERIFY(WardMessage::parseOpen("\xEF\xBB\xBF[{\"call\":\"k1\"}]", &why));
        QVERIFY(!WardMessage::parseOpen(R"([{"call":"k1","place":"\ud800"}])", &why));
        QVERIFY(why.contains(QStringLiteral("surrogate")));
        QCOMPARE(WardMessage::parseStatus("\xEF\xBB\xBFonline"), QStringLiteral("online"));
    }

    void topicsAndOpenLists()
    {
        const QStringList filters{QStringLiteral("hospital/+"), QStringLiteral("other/ward9")};
        QCOMPARE(WardMessage::parseTopic(QStringLiteral("hospital/w3/events"), filters)->ward,
                 QStringLiteral("w3"));
        QVERIFY(WardMessage::parseTopic(QStringLiteral("other/ward9/open"), filters)->kind ==
                WardMessage::Kind::Open);
        QVERIFY(!WardMessage::parseTopic(QStringLiteral("hospital/w3/x/events"), filters));
        QVERIFY(!WardMessage::parseTopic(QStringLiteral("hospital/w3/alerts"), filters));
        QVERIFY(!WardMessage::parseTopic(QStringLiteral("elsewhere/w3/events"), filters));

        QString why;
        const auto open = WardMessage::parseOpen(
            R"([{"call":"k1","id":null,"place":"Койка 1","time":"2024-03-01T10:00:00+03:00","level":""},
                {"call":"k2","id":12,"level":"alarm"},{"call":"k1","id":5}])",
            &why);
        QVERIFY2(open, qPrintable(why));
        QCOMPARE(open->size(), 2); // the repeated key counts once
        QVERIFY(!open->at(0).entryId);
        QCOMPARE(open->at(1).entryId, 12);
        QVERIFY(!WardMessage::parseOpen(R"([{"id":3}])", &why));
        QVERIFY(!WardMessage::parseOpen("{}", &why));
    }

    void eventsOfTwoWardsAreStoredOnceEach()
    {
        QList<WardEvent> batch;
        for (int seq = 1; seq <= 3; ++seq) {
            batch << parsed(QStringLiteral("w1"),
                            wardEvent(seq, QStringLiteral("call"), {{QStringLiteral("id"), seq * 10}}));
            batch << parsed(QStringLiteral("w2"),
                            wardEvent(seq, QStringLiteral("call"), {{QStringLiteral("id"), QJsonValue()}}));
        }
        QCOMPARE(store(batch).inserted.size(), 6);
        // The same events again, and one of them twice in one batch: nothing new.
        QCOMPARE(store(batch + QList<WardEvent>{batch.first()}).inserted.size(), 0);
        QCOMPARE(query("SELECT ward, count(*), count(entry_id) FROM events GROUP BY ward ORDER BY ward"),
                 QStringLiteral("w1|3|3\nw2|3|0"));
        // The columns, and the whole JSON as it came.
        QCOMPARE(
            query(
                "SELECT type, code, function, place, ward_name, staff, call, entry_id, "
                "time = '2024-03-01 07:00:00+00', payload->>'seq' FROM events WHERE ward = 'w1' AND seq = 2"),
            QStringLiteral("call|f6186|8|Койка № 1|Палата 5|Тестова Анна|c2|20|t|2"));
        QCOMPARE(query("SELECT ward, last_seq FROM wards ORDER BY ward"), QStringLiteral("w1|3\nw2|3"));
    }

    void quotesAndHostileTextsAreStoredAsText()
    {
        const QString hostile = QStringLiteral("'); DROP TABLE events; -- \"<script>\\");
        store({parsed(QStringLiteral("w'1"),
                      wardEvent(1, QStringLiteral("call"), {{QStringLiteral("place"), hostile}}))});
        QCOMPARE(query("SELECT place FROM events WHERE ward = 'w''1'"), hostile);
    }

    void gapsAreReportedAndClosedWhenLateEventsArrive()
    {
        const auto seqs = [this](std::initializer_list<int> list) {
            QList<WardEvent> batch;
            for (int s : list)
                batch << parsed(QStringLiteral("w1"), wardEvent(s));
            store(batch);
            return query("SELECT first_seq || '-' || last_seq FROM event_gaps WHERE ward = 'w1' ORDER BY 1")
                .split(u'\n', Qt::SkipEmptyParts);
        };
        QCOMPARE(seqs({1, 2, 6, 9}), (QStringList{"3-5", "7-8"}));
        QCOMPARE(seqs({4}), (QStringList{"3-3", "5-5", "7-8"}));
        QCOMPARE(seqs({3, 5, 8, 12}), (QStringList{"10-11", "7-7"}));
        QCOMPARE(seqs({7, 10, 11}), QStringList{});
        QCOMPARE(query("SELECT last_seq FROM wards WHERE ward = 'w1'"), QStringLiteral("12"));
    }

    // A ward set up anew numbers from 1 again, or something else publishes under its topic: what is
    // stored stays, every repeat with other content is kept beside it (each once), an identical repeat
    // is a redelivery and nothing more, and a refused cancel leaves no reaction.
    void repeatsWithOtherContentAreKeptApart()
    {
        const QString w1 = QStringLiteral("w1");
        const QList<WardEvent> first{parsed(w1, wardEvent(1)), parsed(w1, wardEvent(2)),
                                     parsed(w1, cancel(3, QStringLiteral("c1"), 60))};
        QCOMPARE(store(first).inserted.size(), 3);
        QCOMPARE(query("SELECT call || '/' || cancel_seq FROM reactions"), QStringLiteral("c1/3"));

        const QString later = QStringLiteral("2024-03-05T08:00:00+03:00");
        const QList<WardEvent> again{parsed(w1, wardEvent(1, QStringLiteral("call"), {}, later)),
                                     parsed(w1, wardEvent(2)), // the same event again: a redelivery
                                     parsed(w1, cancel(3, QStringLiteral("k9"), 30, later)),
                                     parsed(w1, wardEvent(4))};
        const EventStore::Committed done = store(again);
        QCOMPARE(done.inserted.size(), 1);
        QCOMPARE(done.inserted.first().seq, 4);
        QCOMPARE(done.conflicts.value(w1).count, 2);
        QCOMPARE(done.conflicts.value(w1).firstSeq, 1);
        QVERIFY(done.changedWards.contains(w1));
        QCOMPARE(query("SELECT string_agg(seq || ':' || (stored_payload->>'time') || '>' || "
                       "(new_payload->>'time'), ',' ORDER BY seq) FROM event_conflicts WHERE ward = 'w1'"),
                 QStringLiteral("1:2024-03-01T10:00:00+03:00>%1,3:2024-03-01T10:05:00+03:00>%1").arg(later));
        QCOMPARE(query("SELECT count(*) FROM event_conflicts WHERE received_at IS NOT NULL"),
                 QStringLiteral("2"));
        // The stored events are the first ones, and the refused cancel closed nothing.
        QCOMPARE(query("SELECT payload->>'time' FROM events WHERE ward = 'w1' AND seq = 1"),
                 QStringLiteral("2024-03-01T10:00:00+03:00"));
        QCOMPARE(query("SELECT string_agg(call, ',' ORDER BY call) FROM reactions"), QStringLiteral("c1"));

        // The same conflicting events delivered again: nothing new. Two of one key in one batch: the
        // first is stored, the second kept apart.
        QCOMPARE(store(again).conflicts.value(w1).count, 0);
        QCOMPARE(query("SELECT count(*) FROM event_conflicts"), QStringLiteral("2"));
        const EventStore::Committed pairInBatch =
            store({parsed(QStringLiteral("w2"), wardEvent(1)),
                   parsed(QStringLiteral("w2"), cancel(1, QStringLiteral("c7"), 5))});
        QCOMPARE(pairInBatch.inserted.size(), 1);
        QCOMPARE(pairInBatch.conflicts.value(QStringLiteral("w2")).count, 1);
        QCOMPARE(query("SELECT count(*) FROM reactions WHERE ward = 'w2'"), QStringLiteral("0"));
    }

    // A jump of the numbers no loss explains is a ward numbering anew (from its clock, after a
    // reinstall): no gap of a quadrillion events. A real gap of either numbering is still one.
    void gapsFoundAndNewNumberings_data()
    {
        QTest::addColumn<QList<QList<qint64>>>("batches");
        QTest::addColumn<QStringList>("gaps");
        QTest::addColumn<QStringList>("found");      // as the commits report them, ward-less
        QTest::addColumn<QStringList>("renumbered"); // likewise
        const qint64 c = 1735689600000000;           // a number from a ward's clock
        QTest::newRow("a gap") << QList<QList<qint64>>{{1, 2}, {6}} << QStringList{"3-5"}
                               << QStringList{"3-5"} << QStringList{};
        QTest::newRow("a million events lost")
            << QList<QList<qint64>>{{1}, {1000002}} << QStringList{"2-1000001"} << QStringList{"2-1000001"}
            << QStringList{};
        QTest::newRow("from 1 to the clock") << QList<QList<qint64>>{{1, 2, 3}, {c, c + 1}} << QStringList{}
                                             << QStringList{} << QStringList{QStringLiteral("3-%1").arg(c)};
        QTest::newRow("from 1 to the clock in one batch, then a gap")
            << QList<QList<qint64>>{{1, 2, c}, {c + 3}}
            << QStringList{QStringLiteral("%1-%2").arg(c + 1).arg(c + 2)}
            << QStringList{QStringLiteral("%1-%2").arg(c + 1).arg(c + 2)}
            << QStringList{QStringLiteral("2-%1").arg(c)};
        QTest::newRow("an old event after the new numbering")
            << QList<QList<qint64>>{{c, c + 1}, {7}} << QStringList{} << QStringList{}
            << QStringList{QStringLiteral("7-%1").arg(c)};
        QTest::newRow("a clock an hour later")
            << QList<QList<qint64>>{{c, c + 1}, {c + 3600000000}} << QStringList{} << QStringList{}
            << QStringList{QStringLiteral("%1-%2").arg(c + 1).arg(c + 3600000000)};
    }
    void gapsFoundAndNewNumberings()
    {
        QFETCH(QList<QList<qint64>>, batches);
        QFETCH(QStringList, gaps);
        QFETCH(QStringList, found);
        QFETCH(QStringList, renumbered);
        QStringList foundNow, renumberedNow;
        for (const QList<qint64>& seqs : batches) {
            QList<WardEvent> batch;
            for (qint64 s : seqs)
                batch << parsed(QStringLiteral("w1"), wardEvent(s));
            const EventStore::Committed done = store(batch);
            for (const EventStore::WardRange& g : done.gaps)
                foundNow << QStringLiteral("%1-%2").arg(g.range.first).arg(g.range.last);
            for (const EventStore::WardRange& r : done.renumbered)
                renumberedNow << QStringLiteral("%1-%2").arg(r.range.first).arg(r.range.last);
        }
        QCOMPARE(query("SELECT first_seq || '-' || last_seq FROM event_gaps ORDER BY first_seq")
                     .split(u'\n', Qt::SkipEmptyParts),
                 gaps);
        QCOMPARE(foundNow, found);
        QCOMPARE(renumberedNow, renumbered);
    }

    // Two copies of the centre write one ward's open list at once (each replaces it: DELETE, then
    // INSERT). A trigger that slows every row makes them overlap every time: the second waits for the
    // first and replaces its list, rather than hitting the key and losing its whole batch.
    void twoCopiesReplaceOneOpenListTogether()
    {
        m_db.run("CREATE FUNCTION slow_row() RETURNS trigger LANGUAGE plpgsql AS "
                 "$$ BEGIN PERFORM pg_sleep(0.05); RETURN NEW; END $$");
        m_db.run(
            "CREATE TRIGGER slow_open BEFORE INSERT ON open_calls FOR EACH ROW EXECUTE FUNCTION slow_row()");
        const auto list = [](const QString& prefix) {
            QString why;
            QByteArray json = "[";
            for (int i = 1; i <= 6; ++i)
                json += (i > 1 ? "," : "") +
                        QStringLiteral(R"({"call":"k%1","code":"%2"})").arg(i).arg(prefix).toUtf8();
            return *WardMessage::parseOpen(json + ']', &why);
        };
        QStringList errors;
        std::mutex errorsMutex;
        const auto writer = [&](const QString& prefix) {
            try {
                Pg::Connection c;
                c.open(m_pg.connInfo());
                for (int round = 0; round < 3; ++round) {
                    QMap<QString, EventInbox::WardState> states;
                    states[QStringLiteral("w1")].open = list(prefix);
                    states[QStringLiteral("w2")].open = list(prefix);
                    EventStore::writeBatch(c, {}, states);
                }
            } catch (const Pg::Error& e) {
                std::lock_guard lock(errorsMutex);
                errors << e.message();
            }
        };
        std::thread a(writer, QStringLiteral("a"));
        std::thread b(writer, QStringLiteral("b"));
        a.join();
        b.join();
        m_db.run("DROP TRIGGER slow_open ON open_calls");
        m_db.run("DROP FUNCTION slow_row()");
        QVERIFY2(errors.isEmpty(), qPrintable(errors.join(u'\n')));
        // Each ward holds one writer's whole list, in its order.
        for (const char* ward : {"w1", "w2"}) {
            const QString rows =
                query(QStringLiteral("SELECT string_agg(position || call || code, ',' ORDER BY "
                                     "position) FROM open_calls WHERE ward = '%1'")
                          .arg(QLatin1String(ward)));
            QVERIFY2(rows == QStringLiteral("1k1a,2k2a,3k3a,4k4a,5k5a,6k6a") ||
                         rows == QStringLiteral("1k1b,2k2b,3k3b,4k4b,5k5b,6k6b"),
                     qPrintable(rows));
        }
    }

    // A compaction cut short by the end of the process leaves "<inbox>.partial-XXXXXX": the next
    // start removes it, and nothing else beside the inbox.
    void inboxRemovesTheTemporaryOfACutCompaction()
    {
        QTemporaryDir dir;
        const QString inbox = dir.filePath(QStringLiteral("HalvaneCentral.inbox"));
        const QStringList kept{QStringLiteral("HalvaneCentral.inbox.partial-x"),
                               QStringLiteral("HalvaneCentral.inbox.old1"),
                               QStringLiteral("HalvaneCentral.rejects.partial-Ab12Cd")};
        for (const QString& name :
             kept + QStringList{QStringLiteral("HalvaneCentral.inbox.partial-Ab12Cd")}) {
            QFile f(dir.filePath(name));
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        EventInbox box(inbox);
        qint64 recovered = -1;
        qint64 damaged = -1;
        QVERIFY2(box.open(&recovered, &damaged), qPrintable(box.errorString()));
        QStringList left = QDir(dir.path()).entryList(QDir::Files);
        QVERIFY2(!left.contains(QStringLiteral("HalvaneCentral.inbox.partial-Ab12Cd")),
                 qPrintable(left.join(u' ')));
        for (const QString& name : kept)
            QVERIFY2(left.contains(name), qPrintable(name));
    }

    void wardStatusAndOpenCallsFollowTheRetainedMessages()
    {
        QMap<QString, EventInbox::WardState> states;
        QString why;
        states[QStringLiteral("w1")].status = QStringLiteral("online");
        states[QStringLiteral("w1")].open = *WardMessage::parseOpen(
            R"([{"call":"k1","id":null,"place":"Койка 1","ward":"П 1","staff":"",)"
            R"("code":"a","function":"8","time":"2024-03-01T10:00:00+03:00","level":""},)"
            R"({"call":"k2","id":12,"level":"alarm"}])",
            &why);
        store({}, states);
        QCOMPARE(query("SELECT status FROM wards WHERE ward = 'w1'"), QStringLiteral("online"));
        QCOMPARE(query("SELECT position, call, coalesce(entry_id::text, '-'), level FROM open_calls ORDER BY "
                       "position"),
                 QStringLiteral("1|k1|-|\n2|k2|12|alarm"));
        // A new list replaces the old one; the status goes offline.
        states[QStringLiteral("w1")].status = QStringLiteral("offline");
        states[QStringLiteral("w1")].open = *WardMessage::parseOpen(R"([{"call":"k2","id":12}])", &why);
        store({}, states);
        QCOMPARE(query("SELECT status FROM wards WHERE ward = 'w1'"), QStringLiteral("offline"));
        QCOMPARE(query("SELECT call FROM open_calls"), QStringLiteral("k2"));
    }

    void schemaMigratesOnceAndRefusesANewerDatabase()
    {
        QCOMPARE(CentralSchema::migrate(m_db), CentralSchema::latestVersion());
        QCOMPARE(query("SELECT count(*), max(version) FROM schema_version"),
                 QStringLiteral("1|%1").arg(CentralSchema::latestVersion()));
        m_db.run("UPDATE schema_version SET version = version + 1");
        QVERIFY_THROWS_EXCEPTION(Pg::Error, CentralSchema::migrate(m_db));
        m_db.run("UPDATE schema_version SET version = version - 1");
    }

    void statisticsFileOfTheHouse()
    {
        // w1: three calls, answered in 60 s and 120 s, one open; w2: one missed call, one "4".
        QList<WardEvent> batch{
            parsed(QStringLiteral("w1"), wardEvent(1)), parsed(QStringLiteral("w1"), wardEvent(2)),
            parsed(QStringLiteral("w1"), wardEvent(3)),
            parsed(QStringLiteral("w1"), cancel(4, QStringLiteral("c1"), 60)),
            parsed(QStringLiteral("w1"), cancel(5, QStringLiteral("c2"), 120)),
            parsed(QStringLiteral("w2"), wardEvent(1)),
            parsed(QStringLiteral("w2"), cancel(2, QStringLiteral("c1"), 4000)),
            parsed(QStringLiteral("w2"),
                   wardEvent(3, QStringLiteral("call"), {{QStringLiteral("function"), QStringLiteral("4")}})),
            // Outside the period: not counted.
            parsed(QStringLiteral("w2"),
                   wardEvent(4, QStringLiteral("call"), {}, QStringLiteral("2024-03-03T00:00:00+03:00")))};
        store(batch);
        m_db.run("UPDATE wards SET name = 'Кардиология' WHERE ward = 'w2'");

        QTemporaryDir dir;
        const QString exe = centraltest::installCentral(dir.path(), 1883, m_pg.connInfo());
        const QString file = dir.filePath(QStringLiteral("house.xlsx"));
        QProcess p;
        p.start(exe, {QStringLiteral("--statistics"), QStringLiteral("2024-03-01"),
                      QStringLiteral("2024-03-02"), file});
        QVERIFY(p.waitForFinished(60000));
        QVERIFY2(p.exitCode() == 0, p.readAllStandardError().constData());

        const statstest::Workbook book = statstest::readWorkbook(file);
        QCOMPARE(book.names.first(), QStringLiteral("Отделения"));
        const statstest::Sheet& wards = book.sheets.first();
        QCOMPARE(wards.rows.value(1).first(), QStringLiteral("Отделение"));
        // Calls, answered, missed, open, removed, then the "4" count in the last column.
        QCOMPARE(wards.rows.value(2).mid(0, 6), (QStringList{"w1", "3", "2", "0", "1", "0"}));
        // The median of 60 and 120 by the nearest rank is 60 s, as a fraction of a day.
        QCOMPARE(wards.rows.value(2).at(6).toDouble(), 60.0 / 86400);
        QCOMPARE(wards.rows.value(2).at(7).toDouble(), 120.0 / 86400);
        QCOMPARE(wards.rows.value(3).mid(0, 6), (QStringList{"Кардиология", "1", "0", "1", "0", "0"}));
        QCOMPARE(wards.rows.value(3).last(), QStringLiteral("1"));

        const int rooms = int(book.names.indexOf(QStringLiteral("Палаты")));
        QVERIFY(rooms > 0);
        QCOMPARE(book.sheets.at(rooms).rows.value(1).mid(0, 2), (QStringList{"Отделение", "Палата"}));
        QCOMPARE(book.sheets.at(rooms).rows.value(2).mid(0, 3), (QStringList{"w1", "Палата 5", "3"}));

        // The missed call of w2 and the open one of w1, each with its hospital ward.
        const statstest::Sheet& exceptions = book.sheets.at(book.names.indexOf(QStringLiteral("Превышения")));
        QCOMPARE(exceptions.rows.size(), 3);
        QStringList departments{exceptions.rows.value(2).at(1), exceptions.rows.value(3).at(1)};
        departments.sort();
        QCOMPARE(departments, (QStringList{"w1", "Кардиология"}));

        // An existing file is not replaced without --force; a bad date is refused with status 2.
        p.start(exe, {QStringLiteral("--statistics"), QStringLiteral("2024-03-01"),
                      QStringLiteral("2024-03-02"), file});
        QVERIFY(p.waitForFinished(60000));
        QCOMPARE(p.exitCode(), 2);
        p.start(exe, {QStringLiteral("--statistics"), QStringLiteral("2024-13-01"),
                      QStringLiteral("2024-03-02"), dir.filePath(QStringLiteral("x.xlsx"))});
        QVERIFY(p.waitForFinished(60000));
        QCOMPARE(p.exitCode(), 2);
    }
};

QTEST_GUILESS_MAIN(TestCentralStore)
#include "tst_centralstore.moc"
