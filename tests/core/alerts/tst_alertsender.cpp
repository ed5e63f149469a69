// The sender against a test alert manager on 127.0.0.1 (a free port): delivery in order, what each
// acknowledgement code does, hostile replies that never hold the caller up, an outage, the keep-alive,
// and a restart that sends again only what was not acknowledged.

#include "TestAlertManager.h"

#include "core/alerts/AlertSender.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

// A tenth of a second for every second of the settings.
constexpr int kSecondMs = 100;

AlertEvent alertEvent(int n, AlertEvent::Phase phase = AlertEvent::Phase::Start)
{
    AlertEvent e;
    e.subject.key = QStringLiteral("C%1").arg(n);
    e.subject.code = QStringLiteral("f6186");
    e.subject.place = QStringLiteral("Койка № %1").arg(n);
    e.subject.ward = QStringLiteral("Палата 5");
    e.subject.time = QDateTime(QDate(2024, 3, 1), QTime(14, 5, 9));
    e.phase = phase;
    e.at = e.subject.time;
    return e;
}

QByteArray controlId(const QByteArray& message)
{
    return TestAlertManager::field(message, "MSH", 10);
}

QByteArray alertOf(const QByteArray& message)
{
    return TestAlertManager::field(message, "OBR", 3);
}

quint16 closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

} // namespace

class TestAlertSender : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void deliversInOrder();
    void acknowledgementCodes_data();
    void acknowledgementCodes();
    void hostileRepliesNeverHoldTheCaller_data();
    void hostileRepliesNeverHoldTheCaller();
    void outageDeliversEverythingAfterward();
    void keepAliveWhileIdle();
    void restartSendsAgainOnlyWhatWasNotAcknowledged();

private:
    std::unique_ptr<AlertSender> makeSender(quint16 port, int ackTimeoutSec = 5, int watchdogSec = 0);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<TestAlertManager> m_manager;
};

void TestAlertSender::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_manager = std::make_unique<TestAlertManager>();
}

void TestAlertSender::cleanup()
{
    m_manager.reset();
    m_dir.reset();
}

std::unique_ptr<AlertSender> TestAlertSender::makeSender(quint16 port, int ackTimeoutSec, int watchdogSec)
{
    AlertsSettingsValues s;
    s.Host = QStringLiteral("127.0.0.1");
    s.Port = port;
    s.PointOfCare = QStringLiteral("ТО-3");
    s.AckTimeoutSec = ackTimeoutSec;
    s.RetrySec = 1;
    s.WatchdogSec = watchdogSec;
    auto sender =
        std::make_unique<AlertSender>(s, m_dir->filePath(QStringLiteral("orv_med.db.alerts-outbox")));
    sender->setSecondMs(kSecondMs);
    sender->setMaxBackoffMs(4 * kSecondMs);
    return sender;
}

void TestAlertSender::deliversInOrder()
{
    QVERIFY(m_manager->start());
    auto sender = makeSender(m_manager->port());
    QSignalSpy lines(sender.get(), &AlertSender::stateChanged);
    QVERIFY(sender->start());
    const AlertEvent events[] = {alertEvent(1), alertEvent(2), alertEvent(1, AlertEvent::Phase::End)};
    QStringList ids;
    for (const AlertEvent& e : events)
        ids << sender->report(e);
    QTRY_COMPARE(m_manager->alerts().size(), 3);
    QTRY_COMPARE(sender->pendingCount(), 0);
    const QList<QByteArray> got = m_manager->alerts();
    for (int i = 0; i < 3; ++i)
        QCOMPARE(controlId(got[i]), ids[i].toLatin1());
    QVERIFY(ids[0].toLongLong() < ids[1].toLongLong() && ids[1].toLongLong() < ids[2].toLongLong());
    QCOMPARE(alertOf(got[0]), alertOf(got[2]));
    QCOMPARE(TestAlertManager::facet(got[2], 3, 5), QByteArray("end"));
    const QString connected =
        QStringLiteral("Оповещения: связь с менеджером оповещений 127.0.0.1:%1").arg(m_manager->port());
    QCOMPARE(sender->state(), AlertSender::State::Connected);
    QCOMPARE(sender->panelText(), connected);
    // One line per change of the state: connecting, then connected.
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines[0][1].toString().contains(QStringLiteral("подключение")));
    QCOMPARE(lines[1][1].toString().section(u';', 0, 0), connected);
    QCOMPARE(m_manager->connections(), 1);
}

void TestAlertSender::acknowledgementCodes_data()
{
    using R = TestAlertManager::Reply;
    QTest::addColumn<QList<R>>("replies"); // the answers to the first message, then AA
    QTest::addColumn<int>("ackTimeoutSec");
    QTest::addColumn<int>("copiesOfFirst"); // how often the first message arrives
    QTest::addColumn<QString>("rejection"); // the alert manager's text when it rejected it
    QTest::addColumn<int>("connections");
    QTest::newRow("AA") << QList<R>{} << 5 << 1 << QString() << 1;
    QTest::newRow("CA") << QList<R>{R::ack("CA")} << 5 << 1 << QString() << 1;
    QTest::newRow("AE: again on the same connection")
        << QList<R>{R::ack("AE"), R::ack("AE")} << 5 << 3 << QString() << 1;
    QTest::newRow("CE") << QList<R>{R::ack("CE")} << 5 << 2 << QString() << 1;
    QTest::newRow("AR: reported, the next goes")
        << QList<R>{R::ack("AR", "Unknown bed")} << 5 << 1 << QStringLiteral("Unknown bed") << 1;
    QTest::newRow("CR without a text") << QList<R>{R::ack("CR")} << 5 << 1 << QStringLiteral("CR") << 1;
    QTest::newRow("no answer: again on a new connection")
        << QList<R>{R::silent()} << 1 << 2 << QString() << 2;
}

void TestAlertSender::acknowledgementCodes()
{
    using R = TestAlertManager::Reply;
    QFETCH(QList<R>, replies);
    QFETCH(int, ackTimeoutSec);
    QFETCH(int, copiesOfFirst);
    QFETCH(QString, rejection);
    QFETCH(int, connections);
    for (const R& r : replies)
        m_manager->queue(r);
    QVERIFY(m_manager->start());
    auto sender = makeSender(m_manager->port(), ackTimeoutSec);
    QSignalSpy rejected(sender.get(), &AlertSender::rejected);
    QVERIFY(sender->start());
    const QString first = sender->report(alertEvent(1));
    const QString second = sender->report(alertEvent(2));
    QTRY_COMPARE(sender->pendingCount(), 0);
    const QList<QByteArray> got = m_manager->alerts();
    QCOMPARE(got.size(), copiesOfFirst + 1);
    for (int i = 0; i < copiesOfFirst; ++i)
        QCOMPARE(got[i], got[0]); // the same message, the same control id
    QCOMPARE(controlId(got[0]), first.toLatin1());
    QCOMPARE(controlId(got.last()), second.toLatin1());
    if (copiesOfFirst > 1) {
        // Not before RetrySec.
        const QList<TestAlertManager::Received>& r = m_manager->received();
        QVERIFY(r[1].atNs - r[0].atNs >= qint64(kSecondMs) * 1000 * 1000 * 9 / 10);
    }
    QCOMPARE(rejected.size(), rejection.isEmpty() ? 0 : 1);
    if (!rejection.isEmpty()) {
        QCOMPARE(rejected[0][0].toString(), first);
        QCOMPARE(rejected[0][1].toString(), rejection);
    }
    QCOMPARE(m_manager->connections(), connections);
    QCOMPARE(sender->state(), AlertSender::State::Connected); // the next AA clears a rejection
}

void TestAlertSender::hostileRepliesNeverHoldTheCaller_data()
{
    using R = TestAlertManager::Reply;
    QTest::addColumn<R>("reply");
    QTest::newRow("garbage") << R::raw("\xff\xfe garbage |||\r\n");
    QTest::newRow("a frame that never ends") << R::raw("\x0bMSH|^~\\&|AM\rMSA|AA|");
    QTest::newRow("oversized") << R::raw('\x0b' + QByteArray(200 * 1024, 'A'));
    QTest::newRow("closes at once") << R::close();
    QTest::newRow("acknowledges another message")
        << R::raw(Hl7::frame(TestAlertManager::ackFor("999", "AA", {})));
    QTest::newRow("no MSA") << R::raw(Hl7::frame("MSH|^~\\&|AM\rERR|x\r"));
    QTest::newRow("a megabyte of noise") << R::raw(QByteArray(1024 * 1024, '\x1c'));
}

void TestAlertSender::hostileRepliesNeverHoldTheCaller()
{
    QFETCH(TestAlertManager::Reply, reply);
    m_manager->queue(reply);
    QVERIFY(m_manager->start());
    auto sender = makeSender(m_manager->port(), 1);
    QVERIFY(sender->start());

    // The caller's loop goes on: a 10 ms timer never waits long for its turn.
    QElapsedTimer sinceTick;
    sinceTick.start();
    qint64 longestGap = 0;
    QTimer tick;
    connect(&tick, &QTimer::timeout, this, [&] { longestGap = std::max(longestGap, sinceTick.restart()); });
    tick.start(10);
    QElapsedTimer call;
    call.start();
    const QString id = sender->report(alertEvent(1));
    QVERIFY(call.elapsed() < 100);
    QTRY_COMPARE(sender->pendingCount(), 0);
    tick.stop();
    QVERIFY2(longestGap < 500, qPrintable(QString::number(longestGap)));
    // Delivered once the manager answers properly: the hostile reply was not taken for an answer.
    QVERIFY(m_manager->alerts().size() >= 2);
    for (const QByteArray& m : m_manager->alerts())
        QCOMPARE(controlId(m), id.toLatin1());
}

void TestAlertSender::outageDeliversEverythingAfterward()
{
    const quint16 port = closedPort();
    auto sender = makeSender(port);
    QSignalSpy lines(sender.get(), &AlertSender::stateChanged);
    QVERIFY(sender->start());
    QStringList ids;
    for (int n = 1; n <= 5; ++n)
        ids << sender->report(alertEvent(n));
    QTRY_COMPARE(sender->state(), AlertSender::State::Unreachable);
    QVERIFY2(sender->stateText().startsWith(
                 QStringLiteral("Оповещения: менеджер оповещений 127.0.0.1:%1 недоступен (").arg(port)),
             qPrintable(sender->stateText()));
    QVERIFY(sender->panelText().endsWith(QStringLiteral("; ожидают отправки: 5")));
    // Attempts go on, further and further apart, each failure the same line.
    QTest::qWait(12 * kSecondMs);
    const int linesDuringOutage = lines.size();
    QCOMPARE(linesDuringOutage, 2);

    QVERIFY(m_manager->start(port));
    QTRY_COMPARE(sender->pendingCount(), 0);
    QList<QByteArray> got;
    for (const QByteArray& m : m_manager->alerts())
        got << controlId(m);
    QList<QByteArray> expected;
    for (const QString& id : ids)
        expected << id.toLatin1();
    QCOMPARE(got, expected);
    QCOMPARE(sender->state(), AlertSender::State::Connected);
}

void TestAlertSender::keepAliveWhileIdle()
{
    QVERIFY(m_manager->start());
    auto sender = makeSender(m_manager->port(), 5, 2);
    QVERIFY(sender->start());
    QTRY_VERIFY(m_manager->messages().size() >= 2);
    const QByteArray keepAlive = m_manager->messages().first();
    QVERIFY(keepAlive.contains("HLV_WATCHDOG^"));
    QCOMPARE(TestAlertManager::facet(keepAlive, 6, 5), QByteArray("PN"));
    QVERIFY(controlId(keepAlive).startsWith('K'));
    QVERIFY(controlId(m_manager->messages()[1]) != controlId(keepAlive));
    QCOMPARE(sender->pendingCount(), 0); // never kept
    // An alert goes at once, not after the next keep-alive.
    const QString id = sender->report(alertEvent(1));
    QTRY_COMPARE(m_manager->alerts().size(), 1);
    QCOMPARE(controlId(m_manager->alerts()[0]), id.toLatin1());
}

void TestAlertSender::restartSendsAgainOnlyWhatWasNotAcknowledged()
{
    using R = TestAlertManager::Reply;
    QVERIFY(m_manager->start());
    m_manager->queue(R::ack("AA"));
    m_manager->queue(R::silent()); // the second one's acknowledgement is lost
    QStringList ids;
    {
        auto sender = makeSender(m_manager->port());
        QVERIFY(sender->start());
        for (int n = 1; n <= 3; ++n)
            ids << sender->report(alertEvent(n));
        QTRY_COMPARE(m_manager->alerts().size(), 2);
        QCOMPARE(sender->pendingCount(), 2);
    }
    auto again = makeSender(m_manager->port());
    QVERIFY(again->start());
    QTRY_COMPARE(again->pendingCount(), 0);
    QList<QByteArray> got;
    for (const QByteArray& m : m_manager->alerts())
        got << controlId(m);
    // The first once; the second twice, the same message; the third once.
    QCOMPARE(got,
             (QList<QByteArray>{ids[0].toLatin1(), ids[1].toLatin1(), ids[1].toLatin1(), ids[2].toLatin1()}));
    QCOMPARE(m_manager->alerts()[1], m_manager->alerts()[2]);
}

QTEST_GUILESS_MAIN(TestAlertSender)
#include "tst_alertsender.moc"
