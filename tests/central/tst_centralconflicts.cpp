// A ward whose numbering starts again, against the whole centre (a real broker, PostgreSQL and
// HalvaneCentral as a process): a ward reinstalled with its outbox and mark gone publishes through
// its own publisher and every event is stored, with no loss counted for the jump of its numbers; a
// ward that numbers from 1 again over stored numbers has its events kept apart, said once, and
// counted on its dashboard card.

#include "MosquittoBroker.h"
#include "PausableCentral.h"
#include "PostgresServer.h"

#include "central/PgConnection.h"
#include "central/web/DashboardQueries.h"
#include "core/base/Clock.h"
#include "core/mqtt/MqttPublisher.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using centraltest::PausableCentral;
using centraltest::wardEvent;

class TestCentralConflicts : public QObject
{
    Q_OBJECT

private:
    PostgresServer m_pg;
    QTemporaryDir m_brokerDir;
    MosquittoBroker m_broker{m_brokerDir.path(),
                             QStringLiteral("allow_anonymous true\nmax_queued_messages 0")};
    QTemporaryDir m_dir;
    std::unique_ptr<PausableCentral> m_central;

    QString query(const QString& sql) { return m_pg.psql(sql); }
    bool waitFor(const QString& sql, const QString& expected)
    {
        return centraltest::waitForQuery(m_pg, sql, expected);
    }

    // One life of a ward's publisher: its calls published and acknowledged, then a clean stop.
    static bool publishAsWard(const MqttSettingsValues& settings, const QString& outbox, const QDateTime& at,
                              int calls)
    {
        MqttPublisher publisher(settings, outbox);
        if (!publisher.start())
            return false;
        for (int i = 0; i < calls; ++i)
            publisher.publish(MqttEvent::call(at.addSecs(i), QStringLiteral("f%1").arg(6180 + i),
                                              QStringLiteral("8"), QStringLiteral("Койка № %1").arg(i + 1),
                                              QStringLiteral("Палата 5"), QString()));
        const QDeadlineTimer deadline(20000);
        while (publisher.pendingCount() > 0 && !deadline.hasExpired())
            QTest::qWait(50);
        const bool sent = publisher.pendingCount() == 0;
        publisher.stop();
        return sent;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(PostgresServer::installed(), "package postgresql is not installed");
        QVERIFY2(m_pg.init(), qPrintable(m_pg.error()));
        QVERIFY(m_broker.start());
        m_central = std::make_unique<PausableCentral>(m_dir.path(), m_broker.port(), m_pg.connInfo(),
                                                      QStringLiteral("central-conflicts"));
        QVERIFY(m_central->start());
        QVERIFY(m_central->connected());
    }
    void cleanupTestCase()
    {
        Clock::setNowOverride({});
        if (m_central)
            QVERIFY(m_central->terminate());
    }

    // The ward of the report: its disk replaced a day after its first start, its server installed
    // again under the same topic. Every event of both lives is stored; the jump is no loss.
    void reinstalledWardIsStored()
    {
        MqttSettingsValues ward;
        ward.Host = QStringLiteral("127.0.0.1");
        ward.Port = m_broker.port();
        ward.Topic = QStringLiteral("test/w9");
        ward.ClientId = QStringLiteral("ward-w9");
        QTemporaryDir disk;
        const QString outbox = disk.filePath(QStringLiteral("orv_med.db.mqtt-outbox"));
        const QDateTime installed = QDateTime::currentDateTime().addDays(-1);
        Clock::setNowOverride([installed] { return installed; });
        QVERIFY(publishAsWard(ward, outbox, installed, 4));
        QVERIFY(
            waitFor(QStringLiteral("SELECT count(*) FROM events WHERE ward = 'w9'"), QStringLiteral("4")));

        // The new disk: neither the outbox nor its mark.
        QVERIFY(QFile::remove(outbox));
        QVERIFY(QFile::remove(outbox + QStringLiteral(".seq")));
        Clock::setNowOverride({});
        QVERIFY(publishAsWard(ward, outbox, QDateTime::currentDateTime(), 3));
        QVERIFY2(
            waitFor(QStringLiteral("SELECT count(*) FROM events WHERE ward = 'w9'"), QStringLiteral("7")),
            qPrintable(m_central->errors() + query("SELECT seq, payload FROM events WHERE ward = 'w9'")));
        // Both lives in their order, each numbered one by one.
        QCOMPARE(query("SELECT string_agg(code, ',' ORDER BY seq) FROM events WHERE ward = 'w9'"),
                 QStringLiteral("f6180,f6181,f6182,f6183,f6180,f6181,f6182"));
        QCOMPARE(query("SELECT count(*) FROM event_gaps WHERE ward = 'w9'"), QStringLiteral("0"));
        QCOMPARE(query("SELECT count(*) FROM event_conflicts WHERE ward = 'w9'"), QStringLiteral("0"));
        QVERIFY2(m_central->waitForLine(QStringLiteral("Отделение w9 нумерует события заново")),
                 qPrintable(m_central->errors()));
    }

    // A ward that numbers from 1 again over its stored events (a server of the earlier kind set up
    // anew): its new events are kept apart, both payloads each; the redelivered ones are nothing; one
    // line says so however many come; the ward's card counts them.
    void wardNumberingFromOneAgainIsKeptApart()
    {
        QList<QByteArray> first, second;
        for (int seq = 1; seq <= 20; ++seq) {
            first << wardEvent(seq);
            second << wardEvent(seq, QStringLiteral("call"), {}, QStringLiteral("2024-04-02T09:00:00+03:00"));
        }
        QVERIFY(centraltest::publish(m_broker.port(), QStringLiteral("test/w8/events"), first));
        QVERIFY(
            waitFor(QStringLiteral("SELECT count(*) FROM events WHERE ward = 'w8'"), QStringLiteral("20")));
        QVERIFY(centraltest::publish(m_broker.port(), QStringLiteral("test/w8/events"),
                                     second.mid(0, 10) + first.mid(0, 5)));
        QVERIFY(waitFor(QStringLiteral("SELECT count(*) FROM event_conflicts WHERE ward = 'w8'"),
                        QStringLiteral("10")));
        QVERIFY(centraltest::publish(m_broker.port(), QStringLiteral("test/w8/events"), second));
        QVERIFY(waitFor(QStringLiteral("SELECT count(*) FROM event_conflicts WHERE ward = 'w8'"),
                        QStringLiteral("20")));
        QCOMPARE(query("SELECT count(*) FROM events WHERE ward = 'w8' AND time = '2024-03-01 07:00:00+00'"),
                 QStringLiteral("20"));
        QCOMPARE(query("SELECT count(DISTINCT new_payload->>'time') FROM event_conflicts WHERE ward = 'w8'"),
                 QStringLiteral("1"));
        QVERIFY(m_central->waitForLine(QStringLiteral("Отделение w8: событие № 1 уже записано")));
        QCOMPARE(m_central->errors().count(QStringLiteral("Отделение w8:")), 1);

        Pg::Connection c;
        c.open(m_pg.connInfo());
        const QJsonArray cards = QJsonDocument::fromJson(DashboardQueries::live(c, {QStringLiteral("w8")}))
                                     .object()
                                     .value("wards")
                                     .toArray();
        QCOMPARE(cards.size(), 1);
        QCOMPARE(cards[0].toObject().value(QStringLiteral("conflicts")).toInteger(), 20);
        QCOMPARE(cards[0].toObject().value(QStringLiteral("gaps")).toObject().value("events").toInteger(), 0);
    }
};

QTEST_GUILESS_MAIN(TestCentralConflicts)
#include "tst_centralconflicts.moc"
