// The broker stopped and started again while a ward's events flow to HalvaneCentral (a real
// mosquitto, PostgreSQL and the program as a process): with its persistence the broker keeps what it
// held for the centre and nothing is lost or stored twice; without it what it held is gone, and the
// centre stores the rest, records the range it never received and says so.

#include "MosquittoBroker.h"
#include "PausableCentral.h"
#include "PostgresServer.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using centraltest::PausableCentral;

class TestCentralBrokerOutage : public QObject
{
    Q_OBJECT

private:
    PostgresServer m_pg;
    QTemporaryDir m_dir;

    QString query(const QString& sql) { return m_pg.psql(sql); }

    // Calls and cancels by turns, each cancel closing the call before it.
    static QList<QByteArray> events(int first, int last)
    {
        QList<QByteArray> list;
        for (int seq = first; seq <= last; ++seq)
            list << (seq % 2 ? centraltest::wardEvent(seq)
                             : centraltest::cancel(seq, QStringLiteral("c%1").arg(seq - 1), 30));
        return list;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(PostgresServer::installed(), "package postgresql is not installed");
        QVERIFY2(m_pg.init(), qPrintable(m_pg.error()));
    }

    void brokerRestartedWhileEventsFlow_data()
    {
        QTest::addColumn<bool>("persistent");
        QTest::addColumn<QString>("ward");
        QTest::newRow("broker with its persistence") << true << QStringLiteral("wp");
        QTest::newRow("broker without persistence") << false << QStringLiteral("wn");
    }
    void brokerRestartedWhileEventsFlow()
    {
        QFETCH(bool, persistent);
        QFETCH(QString, ward);
        QTemporaryDir brokerDir;
        MosquittoBroker broker(brokerDir.path(),
                               QStringLiteral("allow_anonymous true\nmax_queued_messages 0"));
        QVERIFY(broker.start());
        const QString dir = m_dir.filePath(ward);
        QVERIFY(QDir().mkpath(dir));
        PausableCentral central(dir, broker.port(), m_pg.connInfo(), QStringLiteral("central-") + ward);
        QVERIFY(central.start());
        QVERIFY(central.connected());
        const QString topic = QStringLiteral("test/%1/events").arg(ward);
        const QString stored = QStringLiteral("SELECT count(*) FROM events WHERE ward = '%1'").arg(ward);

        QVERIFY(centraltest::publish(broker.port(), topic, events(1, 200)));
        QVERIFY(centraltest::waitForQuery(m_pg, stored, QStringLiteral("200")));
        // The centre held still: the broker has the next events in flight to it or queued for its
        // session when it stops.
        central.pause();
        QVERIFY(centraltest::publish(broker.port(), topic, events(201, 600)));
        broker.stop();
        if (!persistent)
            QVERIFY(QFile::remove(brokerDir.filePath(QStringLiteral("mosquitto.db"))));
        central.resume();
        QVERIFY(broker.start());
        QVERIFY2(central.connected(2), qPrintable(central.errors()));
        QVERIFY(centraltest::publish(broker.port(), topic, events(601, 800)));
        QVERIFY(centraltest::waitForQuery(
            m_pg, QStringLiteral("SELECT max(seq) FROM events WHERE ward = '%1'").arg(ward),
            QStringLiteral("800")));

        const QString gaps = query(
            QStringLiteral("SELECT string_agg(first_seq || '-' || last_seq, ',' ORDER BY first_seq) FROM "
                           "event_gaps WHERE ward = '%1'")
                .arg(ward));
        if (persistent) {
            QVERIFY(centraltest::waitForQuery(m_pg, stored, QStringLiteral("800")));
            QCOMPARE(gaps, QString());
        } else {
            // Every number is either stored or in a gap, and the gaps lie within what the broker held.
            QCOMPARE(
                query(QStringLiteral("SELECT (SELECT count(*) FROM events WHERE ward = '%1') + "
                                     "(SELECT coalesce(sum(last_seq - first_seq + 1), 0) FROM event_gaps "
                                     "WHERE ward = '%1')")
                          .arg(ward)),
                QStringLiteral("800"));
            QVERIFY2(!gaps.isEmpty(), "the broker lost its queue, and no gap was recorded");
            QCOMPARE(
                query(QStringLiteral("SELECT min(first_seq) > 200 AND max(last_seq) = 600 FROM event_gaps "
                                     "WHERE ward = '%1'")
                          .arg(ward)),
                QStringLiteral("t"));
            QVERIFY2(central.waitForLine(QStringLiteral("Отделение %1: не получены события № ").arg(ward)),
                     qPrintable(central.errors()));
        }
        // A redelivery is the same event again: no conflict, and each stored cancel's reaction once.
        QCOMPARE(query(QStringLiteral("SELECT count(*) FROM event_conflicts WHERE ward = '%1'").arg(ward)),
                 QStringLiteral("0"));
        QCOMPARE(query(QStringLiteral("SELECT count(*) FROM reactions WHERE ward = '%1'").arg(ward)),
                 query(QStringLiteral("SELECT count(*) FROM events WHERE ward = '%1' AND type = 'cancel'")
                           .arg(ward)));
        QCOMPARE(central.errors().count(QStringLiteral("Отделение %1: не получены").arg(ward)),
                 persistent ? 0 : 1);
        QVERIFY(!central.errors().contains(QStringLiteral("запись отложена")));
        QVERIFY(central.terminate());
    }
};

QTEST_GUILESS_MAIN(TestCentralBrokerOutage)
#include "tst_centralbrokeroutage.moc"
