// HalvaneCentral as a process between a real broker and a real PostgreSQL: events of several wards
// stored once each through a stop, a kill -9 and a database outage; two copies at once; the wards'
// retained status and open calls.

#include "CentralTestSupport.h"
#include "MosquittoBroker.h"
#include "PostgresServer.h"
#include "ProcessGuard.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <sys/file.h>

using centraltest::wardEvent;

using centraltest::CentralProcess;

class TestCentralService : public QObject
{
    Q_OBJECT

private:
    PostgresServer m_pg;
    QTemporaryDir m_brokerDir;
    // Messages queued for a session while its client is away are not capped: the centre may be
    // away for long.
    MosquittoBroker m_broker{m_brokerDir.path(),
                             QStringLiteral("allow_anonymous true\nmax_queued_messages 0")};
    QTemporaryDir m_dir;
    int m_copies = 0;

    std::unique_ptr<CentralProcess> central(const QString& clientId = QStringLiteral("central-a"))
    {
        const QString dir = m_dir.filePath(QStringLiteral("copy%1").arg(++m_copies));
        QDir().mkpath(dir);
        return std::make_unique<CentralProcess>(
            centraltest::installCentral(dir, m_broker.port(), m_pg.connInfo(), clientId));
    }

    bool publish(const QString& topic, const QList<QByteArray>& payloads, bool retained = false)
    {
        return centraltest::publish(m_broker.port(), topic, payloads, retained);
    }
    static QList<QByteArray> events(int first, int last)
    {
        QList<QByteArray> list;
        for (int seq = first; seq <= last; ++seq)
            list << wardEvent(seq);
        return list;
    }
    QString query(const QString& sql) { return m_pg.psql(sql); }
    // Waits until the query answers `expected`.
    bool waitFor(const QString& sql, const QString& expected, int ms = 30000)
    {
        const QDeadlineTimer deadline(ms);
        while (!deadline.hasExpired()) {
            if (query(sql) == expected)
                return true;
            QTest::qWait(100);
        }
        qWarning("%s answers \"%s\", not \"%s\"", qPrintable(sql), qPrintable(query(sql)),
                 qPrintable(expected));
        return false;
    }
    bool connected(CentralProcess& c, const QString& clientId)
    {
        return centraltest::subscribed(c, m_broker.port(), clientId, m_pg);
    }
    static QString stored(const QString& ward)
    {
        return QStringLiteral("SELECT count(*) FROM events WHERE ward = '%1'").arg(ward);
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(PostgresServer::installed(), "package postgresql is not installed");
        // The test's folders (the programs' copies, some 40 MB each, among them) go with it however it ends.
        ProcessGuard::removeOnDeath(m_brokerDir.path());
        ProcessGuard::removeOnDeath(m_dir.path());
        QVERIFY2(m_pg.init(), qPrintable(m_pg.error()));
        QVERIFY(m_broker.start());
    }

    void helpAndFirstStart()
    {
        QProcess p;
        p.start(QStringLiteral(HALVANE_CENTRAL_EXE), {QStringLiteral("--help")});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 0);
        QVERIFY(p.readAllStandardOutput().contains("--statistics"));
        p.start(QStringLiteral(HALVANE_CENTRAL_EXE), {QStringLiteral("--bogus")});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 2);

        // A first start writes the settings file, comment keys included, in Windows-1251 with CR LF.
        // Its shipped settings name the site's broker, database and page (127.0.0.1:1883 under the
        // production client id, the database "halvane", port 8080 on every address): the test holds
        // the folder's lock, as a copy already running there would, so that this start writes the
        // file and ends before it reaches any of them.
        QTemporaryDir dir;
        const QString exe = dir.filePath(QStringLiteral("HalvaneCentral"));
        QVERIFY(QFile::copy(QStringLiteral(HALVANE_CENTRAL_EXE), exe));
        QFile lock(dir.filePath(QStringLiteral("HalvaneCentral.lock")));
        QVERIFY(lock.open(QIODevice::ReadWrite));
        QCOMPARE(::flock(lock.handle(), LOCK_EX | LOCK_NB), 0);
        p.setWorkingDirectory(dir.path());
        p.start(exe, {});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 1);
        QVERIFY(QString::fromUtf8(p.readAllStandardError())
                    .contains(QStringLiteral("уже работает другой HalvaneCentral")));
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("HalvaneCentral.inbox"))));
        QFile ini(dir.filePath(QStringLiteral("HalvaneCentral.ini")));
        QVERIFY(ini.open(QIODevice::ReadOnly));
        const QByteArray bytes = ini.readAll();
        const QString text = Cp1251::decode(bytes);
        for (const char* line : {"[Broker]\r\n", "Topics=halvane/+\r\n", "ClientId=halvane-central\r\n",
                                 "[Database]\r\n", "ConnInfo=dbname=halvane\r\n", ";Host="})
            QVERIFY2(text.contains(QLatin1String(line)), line);
        QVERIFY(text.contains(QStringLiteral("Брокер MQTT")));
        QVERIFY(!bytes.contains("\xd0\x91")); // not UTF-8
    }

    void eventsOfTwoWardsStoredOnceEachAndTheirState()
    {
        QVERIFY(publish(QStringLiteral("test/w1/status"), {"online"}, true));
        QVERIFY(
            publish(QStringLiteral("test/w1/open"),
                    {R"([{"call":"k1","id":null,"code":"a","function":"8","place":"Койка 1","ward":"П 1",)"
                     R"("staff":"","time":"2024-03-01T10:00:00+03:00","level":"alarm"}])"},
                    true));
        auto c = central();
        QVERIFY(c->start());
        QVERIFY(
            waitFor(QStringLiteral("SELECT status FROM wards WHERE ward = 'w1'"), QStringLiteral("online")));
        QVERIFY(waitFor(QStringLiteral("SELECT call || level FROM open_calls WHERE ward = 'w1'"),
                        QStringLiteral("k1alarm")));
        // Delivered at least once: some events come twice, and a malformed one is dropped.
        QVERIFY(publish(QStringLiteral("test/w1/events"),
                        events(1, 300) + events(250, 300) + QList<QByteArray>{"{oops"}));
        QVERIFY(publish(QStringLiteral("test/w2/events"), events(1, 300)));
        QVERIFY(waitFor(stored(QStringLiteral("w1")), QStringLiteral("300")));
        QVERIFY(waitFor(stored(QStringLiteral("w2")), QStringLiteral("300")));
        QCOMPARE(query("SELECT count(*) FROM event_gaps WHERE ward IN ('w1', 'w2')"), QStringLiteral("0"));
        // The list emptied, the ward gone.
        QVERIFY(publish(QStringLiteral("test/w1/open"), {"[]"}, true));
        QVERIFY(publish(QStringLiteral("test/w1/status"), {"offline"}, true));
        QVERIFY(waitFor(QStringLiteral("SELECT status || count(o.call) FROM wards w LEFT JOIN open_calls o "
                                       "USING (ward) WHERE ward = 'w1' GROUP BY status"),
                        QStringLiteral("offline0")));
        QVERIFY(c->terminate());
        QVERIFY2(c->errors().contains(QStringLiteral("связь с базой")), qPrintable(c->errors()));
        QVERIFY(c->errors().contains(QStringLiteral("пропущено")));
    }

    void restartAndKillMidStreamLoseNothing()
    {
        auto c = central(QStringLiteral("central-kill"));
        QVERIFY(c->start());
        QVERIFY(connected(*c, QStringLiteral("central-kill")));
        // A clean stop, then a kill -9 while the events stream in; each time started again.
        QVERIFY(publish(QStringLiteral("test/w3/events"), events(1, 1000)));
        QVERIFY(c->terminate());
        QVERIFY(c->start());
        QVERIFY(publish(QStringLiteral("test/w3/events"), events(1001, 2000)));
        QVERIFY(waitFor(QStringLiteral("SELECT count(*) > 1000 FROM events WHERE ward = 'w3'"),
                        QStringLiteral("t")));
        QVERIFY(publish(QStringLiteral("test/w3/events"), events(2001, 3000)));
        c->kill();
        QVERIFY(publish(QStringLiteral("test/w3/events"), events(3001, 4000)));
        QVERIFY(c->start());
        QVERIFY(waitFor(stored(QStringLiteral("w3")), QStringLiteral("4000")));
        QCOMPARE(query("SELECT min(seq) || '-' || max(seq) FROM events WHERE ward = 'w3'"),
                 QStringLiteral("1-4000"));
        QCOMPARE(query("SELECT count(*) FROM event_gaps WHERE ward = 'w3'"), QStringLiteral("0"));
        QVERIFY(c->terminate());
    }

    void postgresAwayForAWhile()
    {
        auto c = central(QStringLiteral("central-pg"));
        QVERIFY(c->start());
        QVERIFY(connected(*c, QStringLiteral("central-pg")));
        QVERIFY(publish(QStringLiteral("test/w4/events"), events(1, 100)));
        QVERIFY(waitFor(stored(QStringLiteral("w4")), QStringLiteral("100")));
        QVERIFY2(m_pg.stop(), qPrintable(m_pg.error()));
        QVERIFY(publish(QStringLiteral("test/w4/events"), events(101, 600)));
        QTest::qWait(2500);
        QVERIFY2(m_pg.start(), qPrintable(m_pg.error()));
        QVERIFY(waitFor(stored(QStringLiteral("w4")), QStringLiteral("600"), 60000));
        // One line when the database went, one when it came back; not one per attempt. The second
        // line may still be on its way through the pipe when the events are already stored.
        const QDeadlineTimer deadline(5000);
        while (!deadline.hasExpired() && c->errors().count(QStringLiteral("PostgreSQL: связь с базой")) < 2)
            QTest::qWait(50);
        QTest::qWait(500);
        const QString errors = c->errors();
        QCOMPARE(errors.count(QStringLiteral("PostgreSQL: база")), 1);
        QCOMPARE(errors.count(QStringLiteral("PostgreSQL: связь с базой")), 2);
        QVERIFY(c->terminate());
    }

    void twoCopiesStoreEveryEventOnce()
    {
        auto a = central(QStringLiteral("central-one"));
        auto b = central(QStringLiteral("central-two"));
        QVERIFY(a->start());
        QVERIFY(b->start());
        QVERIFY(connected(*a, QStringLiteral("central-one")));
        QVERIFY(connected(*b, QStringLiteral("central-two")));
        QVERIFY(publish(QStringLiteral("test/w5/events"), events(1, 1000)));
        QVERIFY(publish(QStringLiteral("test/w6/events"), events(1, 1000)));
        a->kill(); // the other copy goes on alone
        QVERIFY(publish(QStringLiteral("test/w5/events"), events(1001, 2000)));
        QVERIFY(waitFor(stored(QStringLiteral("w5")), QStringLiteral("2000")));
        QVERIFY(waitFor(stored(QStringLiteral("w6")), QStringLiteral("1000")));
        QCOMPARE(query("SELECT count(*) FROM event_gaps WHERE ward IN ('w5', 'w6')"), QStringLiteral("0"));
        QVERIFY(b->terminate());
    }
};

QTEST_GUILESS_MAIN(TestCentralService)
#include "tst_centralservice.moc"
