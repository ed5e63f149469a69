#include "core/clients/ClientLink.h"
#include "core/net/StationNotice.h"
#include "core/net/UdpSender.h"

#include <QTest>

class TestClientLink : public QObject
{
    Q_OBJECT

private slots:
    void listing_data();
    void listing();
    void helloFloodNeverPushesOutAListedStation();
    void callsRequestsAreRationed();
    void nothingSentWithoutClients();
};

namespace {
const QString kHello = QStringLiteral("#ToOrvikLiteServer");
}

// Each row: datagrams (sender, bytes) received in order, and the list they leave.
void TestClientLink::listing_data()
{
    QTest::addColumn<QStringList>("senders");
    QTest::addColumn<QByteArrayList>("texts");
    QTest::addColumn<QStringList>("listed");

    QTest::newRow("hello lists the sender")
        << QStringList{"10.0.0.5"} << QByteArrayList{"#ToOrvikLiteServer"} << QStringList{"10.0.0.5"};
    QTest::newRow("hello again changes nothing")
        << QStringList{"10.0.0.5", "10.0.0.5"} << QByteArrayList{"#ToOrvikLiteServer", "#ToOrvikLiteServer"}
        << QStringList{"10.0.0.5"};
    QTest::newRow("clients kept in hello order")
        << QStringList{"10.0.0.7", "10.0.0.5", "10.0.0.7"}
        << QByteArrayList{"#ToOrvikLiteServer", "#ToOrvikLiteServer", "#ToOrvikLiteServer"}
        << QStringList{"10.0.0.7", "10.0.0.5"};
    QTest::newRow("not quite the hello")
        << QStringList{"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4", "10.0.0.5", "10.0.0.6", "10.0.0.7"}
        << QByteArrayList{"#toorvikliteserver",
                          "#ToOrvikLiteServer ",
                          " #ToOrvikLiteServer",
                          "#ToOrvikLiteServer\n",
                          QByteArray("#ToOrvikLiteServer\0", 19),
                          "#FromOrvikLiteServer",
                          "\xef\xbb\xbf#ToOrvikLiteServer"}
        << QStringList{};
    QTest::newRow("empty and invalid bytes ignored")
        << QStringList{"10.0.0.1", "10.0.0.2"} << QByteArrayList{"", "#ToOrvik\xff\xfeLiteServer"}
        << QStringList{};
    QTest::newRow("an ignored text does not block a later hello")
        << QStringList{"10.0.0.5", "10.0.0.5"} << QByteArrayList{"hello", "#ToOrvikLiteServer"}
        << QStringList{"10.0.0.5"};
    QTest::newRow("IPv4-mapped sender listed as plain IPv4")
        << QStringList{"::ffff:10.0.0.5", "10.0.0.5"}
        << QByteArrayList{"#ToOrvikLiteServer", "#ToOrvikLiteServer"} << QStringList{"10.0.0.5"};
}

void TestClientLink::listing()
{
    QFETCH(QStringList, senders);
    QFETCH(QByteArrayList, texts);
    QCOMPARE(senders.size(), texts.size());

    UdpSender sender;
    const qint32 toClientsPort = 5567;
    ClientLink link(sender, toClientsPort, kHello);
    for (qsizetype i = 0; i < senders.size(); ++i)
        link.IdUDPServerClUDPRead(texts.at(i), QHostAddress(senders.at(i)));

    QTEST(link.ipsClients(), "listed");
}

void TestClientLink::helloFloodNeverPushesOutAListedStation()
{
    UdpSender sender;
    const qint32 toClientsPort = 5567;
    ClientLink link(sender, toClientsPort, kHello);
    const QByteArray hello = kHello.toUtf8();
    const QString real = QStringLiteral("192.168.1.20");
    quint32 forged = 0x0A000000u; // 10.0.0.0 on
    qint64 now = 0;
    // Hellos from 1,000 addresses again and again, 500 a second.
    const auto flood = [&](qint64 untilMs) {
        for (; now < untilMs; now += 2) {
            link.receive(hello, QHostAddress(0x0A000000u + forged % 1000), now);
            ++forged;
        }
    };

    link.receive(hello, QHostAddress(real), now);
    // Newcomers are listed at a bounded rate: a burst, then kNewPerSecond a second.
    flood(1000);
    const qsizetype afterOneSecond = link.ipsClients().size();
    QVERIFY(afterOneSecond <= 1 + 2 * ClientLink::kNewPerSecond);
    flood(120'000);
    QVERIFY(link.ipsClients().size() <= 1 + 121 * ClientLink::kNewPerSecond);
    QVERIFY(link.ipsClients().contains(real));
    // Strangers that keep knocking fill the list in the end; the station listed before them stays
    // as long as it says hello now and then, however full the list.
    for (int minute = 0; minute < 20; ++minute) {
        flood(now + 60'000);
        link.receive(hello, QHostAddress(real), now);
    }
    QCOMPARE(link.ipsClients().size(), qsizetype(1000));
    QVERIFY(link.ipsClients().contains(real));
    const QString stranger = QStringLiteral("172.16.0.1");
    link.receive(hello, QHostAddress(stranger), now);
    QVERIFY(!link.ipsClients().contains(stranger)); // every listed one was heard lately

    // Only a station silent for kForgetAfterMs makes room for a newcomer.
    now += ClientLink::kForgetAfterMs;
    link.receive(hello, QHostAddress(real), now);
    link.receive(hello, QHostAddress(stranger), now);
    QVERIFY(link.ipsClients().contains(stranger));
    QVERIFY(link.ipsClients().contains(real));
    QCOMPARE(link.ipsClients().size(), qsizetype(1000));
    // Anything else than the hello is not hearing from a station.
    link.receive("ping", QHostAddress(QStringLiteral("172.16.0.2")), now + 1000);
    QVERIFY(!link.ipsClients().contains(QStringLiteral("172.16.0.2")));
}

void TestClientLink::callsRequestsAreRationed()
{
    UdpSender sender;
    ClientLink link(sender, 5567, kHello);
    const QByteArray hello = kHello.toUtf8();
    const QByteArray request(Stations::kCallsRequest);
    const QHostAddress board(QStringLiteral("10.0.0.5"));
    const QHostAddress other(QStringLiteral("10.0.0.6"));

    // A request lists nobody and is not answered to an unlisted address.
    link.receive(request, board, 0);
    QVERIFY(!link.hasCallsRequests());
    QVERIFY(link.ipsClients().isEmpty());

    link.receive(hello, board, 10);
    link.receive(request, board, 20);
    link.receive(request, board, 30); // asked twice before the answer: answered once
    QCOMPARE(link.takeCallsRequests(100, 1), QList<QHostAddress>{board});
    QVERIFY(!link.hasCallsRequests());
    // Asked again within kAnswerEveryMs: not kept; after it, answered again.
    link.receive(request, board, 100 + ClientLink::kAnswerEveryMs - 1);
    QVERIFY(!link.hasCallsRequests());
    link.receive(request, board, 100 + ClientLink::kAnswerEveryMs);
    QCOMPARE(link.takeCallsRequests(100 + ClientLink::kAnswerEveryMs, 1), QList<QHostAddress>{board});

    // All stations together get at most kAnswerDatagramsPerSecond datagrams a second; the rest wait.
    ClientLink busy(sender, 5567, kHello);
    QList<QHostAddress> stations;
    for (quint32 i = 0; i < 10; ++i) {
        stations << QHostAddress(0x0A000100u + i);
        busy.receive(hello, stations.last(), 0);
        busy.receive(request, stations.last(), 1);
    }
    const qsizetype parts = ClientLink::kAnswerDatagramsPerSecond / 4;
    QCOMPARE(busy.takeCallsRequests(10, parts), stations.mid(0, 4));
    QList<QHostAddress> answered = stations.mid(0, 4);
    answered += busy.takeCallsRequests(500, parts);
    QVERIFY(answered.size() <= 6);
    QVERIFY(busy.hasCallsRequests());
    for (qint64 t = 1000; t <= 3000; t += 500)
        answered += busy.takeCallsRequests(t, parts);
    QCOMPARE(answered, stations);
    // An answer larger than the whole budget still goes, once the budget is full.
    busy.receive(request, other, 0);
    busy.receive(hello, other, 3100);
    busy.receive(request, other, 3100);
    QCOMPARE(busy.takeCallsRequests(5000, 10 * ClientLink::kAnswerDatagramsPerSecond),
             QList<QHostAddress>{other});
}

void TestClientLink::nothingSentWithoutClients()
{
    UdpSender sender;
    const qint32 toClientsPort = 5567;
    ClientLink link(sender, toClientsPort, kHello);
    link.SendToClientsUDP("#FromOrvikLiteServer");
    link.SendEventToClients("f6186", "8", "", "Койка № 1");
    QVERIFY(!sender.isOpen()); // not a single datagram was attempted
}

QTEST_GUILESS_MAIN(TestClientLink)
#include "tst_clientlink.moc"
