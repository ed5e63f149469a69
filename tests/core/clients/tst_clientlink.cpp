#include "core/clients/ClientLink.h"
#include "core/net/UdpSender.h"

#include <QTest>

class TestClientLink : public QObject
{
    Q_OBJECT

private slots:
    void listing_data();
    void listing();
    void fullListNeverLocksOutAStation();
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

void TestClientLink::fullListNeverLocksOutAStation()
{
    UdpSender sender;
    const qint32 toClientsPort = 5567;
    ClientLink link(sender, toClientsPort, kHello);
    const QByteArray hello = kHello.toUtf8();
    const QString real = QStringLiteral("192.168.1.20");
    quint32 forged = 0x0A000000u; // 10.0.0.0 on
    const auto forgedHellos = [&](qsizetype count) {
        for (qsizetype i = 0; i < count; ++i)
            link.IdUDPServerClUDPRead(hello, QHostAddress(forged++));
    };

    // Forged hellos fill the list; the real station still gets in, in place of the oldest forgery.
    forgedHellos(ClientLink::kMaxClients + 20);
    QCOMPARE(link.ipsClients().size(), ClientLink::kMaxClients);
    QCOMPARE(link.ipsClients().constFirst(), QStringLiteral("10.0.0.20"));
    link.IdUDPServerClUDPRead(hello, QHostAddress(real));
    QCOMPARE(link.ipsClients().size(), ClientLink::kMaxClients);
    QCOMPARE(link.ipsClients().constLast(), real);
    QVERIFY(!link.ipsClients().contains(QStringLiteral("10.0.0.20")));

    // A station that says hello again is heard again and outlives the forgeries heard before it.
    forgedHellos(ClientLink::kMaxClients / 2);
    link.IdUDPServerClUDPRead(hello, QHostAddress(real));
    forgedHellos(ClientLink::kMaxClients - 1);
    QVERIFY(link.ipsClients().contains(real));
    // Silent for a whole list's worth of newcomers, it is dropped, and listed again at its next hello.
    forgedHellos(1);
    QVERIFY(!link.ipsClients().contains(real));
    link.IdUDPServerClUDPRead(hello, QHostAddress(real));
    QCOMPARE(link.ipsClients().constLast(), real);
    QCOMPARE(link.ipsClients().size(), ClientLink::kMaxClients);
    // Anything else than the hello is not hearing from a station.
    link.IdUDPServerClUDPRead("ping", QHostAddress(QStringLiteral("10.0.0.19")));
    QVERIFY(!link.ipsClients().contains(QStringLiteral("10.0.0.19")));
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
