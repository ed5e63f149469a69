// The centre's parsing of what the wards publish, and its writing into a real PostgreSQL: each event
// once, the wards' state, the ranges of events never received, and the house's statistics file.

#include "CentralTestSupport.h"
#include "PostgresServer.h"

#include "../core/stats/StatsTestSupport.h"

#include "central/CentralSchema.h"
#include "central/EventStore.h"
#include "central/PgConnection.h"
#include "central/WardMessage.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

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
    void init() { m_db.run("TRUNCATE events, reactions, wards, event_gaps, open_calls"); }

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
        const QString exe =
            centraltest::installCentral(dir.path(), centraltest::freeTcpPort(), m_pg.connInfo());
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
