#include "antenna/UdpSender.h"
#include "clients/ClientLink.h"

#include <QTest>

class TestClientLink : public QObject
{
    Q_OBJECT

private slots:
    void listing_data();
    void listing();
    void listBoundHolds();
    void nothingSentWithoutClients();
    void eventNotice_data();
    void eventNotice();
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

void TestClientLink::listBoundHolds()
{
    UdpSender sender;
    const qint32 toClientsPort = 5567;
    ClientLink link(sender, toClientsPort, kHello);
    for (quint32 i = 0; i < ClientLink::kMaxClients + 20; ++i)
        link.IdUDPServerClUDPRead(kHello.toUtf8(), QHostAddress(0x0A000000u + i));
    QCOMPARE(link.ipsClients().size(), ClientLink::kMaxClients);
    QCOMPARE(link.ipsClients().constFirst(), QStringLiteral("10.0.0.0"));
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

void TestClientLink::eventNotice_data()
{
    QTest::addColumn<QStringList>("fields");
    QTest::addColumn<QString>("notice");

    QTest::newRow("place call, no staff")
        << QStringList{"f6186", "8", "", "Койка № 1"} << QStringLiteral("#f6186;8;;Койка № 1;");
    QTest::newRow("place cancel") << QStringList{"f6186", "2", "Петрова", "Койка № 1"}
                                  << QStringLiteral("#f6186;2;Петрова;Койка № 1;");
    QTest::newRow("KB key, code as received")
        << QStringList{"1a0C", "b", "", "Палата 3"} << QStringLiteral("#1a0C;b;;Палата 3;");
    QTest::newRow("separators in names are not escaped")
        << QStringList{"f6186", "4", "a;b", "#c"} << QStringLiteral("#f6186;4;a;b;#c;");
    QTest::newRow("all empty") << QStringList{"", "", "", ""} << QStringLiteral("#;;;;");
}

void TestClientLink::eventNotice()
{
    QFETCH(QStringList, fields);
    QTEST(ClientLink::eventNotice(fields.at(0), fields.at(1), fields.at(2), fields.at(3)), "notice");
}

QTEST_GUILESS_MAIN(TestClientLink)
#include "tst_clientlink.moc"
