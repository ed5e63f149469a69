#include "core/clients/ClientLink.h"
#include "core/net/UdpListener.h"
#include "core/net/UdpSender.h"

#include <QTest>
#include <QUdpSocket>

namespace {

const QString kHello = QStringLiteral("#ToOrvikLiteServer");
const QString kPing = QStringLiteral("#FromOrvikLiteServer");

// A display station: says hello from its socket and receives on the port the server sends to.
struct FakeClient
{
    QUdpSocket socket;
    bool bind() { return socket.bind(QHostAddress::LocalHost, 0); }
    void say(const QByteArray& bytes, quint16 serverPort)
    {
        socket.writeDatagram(bytes, QHostAddress::LocalHost, serverPort);
    }
    QByteArrayList received;
    void drain()
    {
        while (socket.hasPendingDatagrams()) {
            QByteArray data(qMax<qint64>(socket.pendingDatagramSize(), 0), Qt::Uninitialized);
            const qint64 read = socket.readDatagram(data.data(), data.size());
            if (read < 0)
                break;
            data.truncate(read);
            received << data;
        }
    }
};

// The server side as the main window wires it: the sender, the link, and the listener feeding the link
// from its own thread. The listener is declared last so it stops before the link goes away.
struct Server
{
    explicit Server(qint32 ToClientsPort = 5567) : link{sender, ToClientsPort, kHello} {}

    UdpSender sender;
    ClientLink link;
    UdpListener listener;

    bool start()
    {
        QString error;
        const bool ok = listener.start(
            0,
            [this](const QByteArray& data, const QHostAddress& from) {
                link.IdUDPServerClUDPRead(data, from);
            },
            &error);
        if (!ok)
            qWarning() << error;
        return ok;
    }
    quint16 port() const { return listener.localPort(); }
};

} // namespace

class TestNetClients : public QObject
{
    Q_OBJECT

private slots:
    void helloOverTheWireThenPingsAndNotices();
    void unreachableClientDoesNotStopTheOthers();
    void hostileInputListsNothing();
};

void TestNetClients::helloOverTheWireThenPingsAndNotices()
{
    FakeClient client;
    QVERIFY(client.bind());
    Server server(client.socket.localPort());
    QVERIFY(server.start());

    server.link.SendToClientsUDP(kPing); // nobody listed yet: nothing arrives
    client.say(kHello.toUtf8(), server.port());
    QTRY_COMPARE(server.link.ipsClients(), QStringList{"127.0.0.1"});
    client.say(kHello.toUtf8(), server.port());

    server.link.SendToClientsUDP(kPing);
    server.link.SendEventToClients("f6186", "8", "", "Койка № 1");
    QTRY_COMPARE_WITH_TIMEOUT((client.drain(), client.received.size()), 2, 2000);
    QCOMPARE(client.received,
             (QByteArrayList{kPing.toUtf8(), QStringLiteral("#f6186;8;;Койка № 1;").toUtf8()}));
    QCOMPARE(server.link.ipsClients(), QStringList{"127.0.0.1"});
}

void TestNetClients::unreachableClientDoesNotStopTheOthers()
{
    FakeClient client;
    QVERIFY(client.bind());
    Server server(client.socket.localPort());
    QVERIFY(server.start());

    // Listed ahead of the real client, and all on this host: an address where nobody listens, and
    // one the IPv4 socket cannot send to at all, so that its send fails at once.
    server.link.IdUDPServerClUDPRead(kHello.toUtf8(), QHostAddress("127.0.0.2"));
    server.link.IdUDPServerClUDPRead(kHello.toUtf8(), QHostAddress::LocalHostIPv6);
    client.say(kHello.toUtf8(), server.port());
    QTRY_COMPARE(server.link.ipsClients().size(), 3);
    QCOMPARE(server.link.ipsClients().last(), QStringLiteral("127.0.0.1"));

    for (int i = 0; i < 3; ++i)
        server.link.SendToClientsUDP(kPing);
    server.link.SendEventToClients("1a0C", "b", "", "Палата 3");
    QTRY_COMPARE_WITH_TIMEOUT((client.drain(), client.received.size()), 4, 2000);
    QCOMPARE(client.received.last(), QStringLiteral("#1a0C;b;;Палата 3;").toUtf8());
}

void TestNetClients::hostileInputListsNothing()
{
    FakeClient client;
    QVERIFY(client.bind());
    Server server;
    QVERIFY(server.start());

    QByteArray binary;
    for (int i = 0; i < 256; ++i)
        binary.append(char(i));
    const QByteArrayList garbage{QByteArray(), binary, "#ToOrvik\xff\xfeLiteServer", "#TOORVIKLITESERVER",
                                 QByteArray(65507, '#')};
    for (const QByteArray& bytes : garbage)
        client.say(bytes, server.port());
    // Datagrams over the loopback arrive in order: once the hello is listed, the garbage before it
    // has been handled.
    client.say(kHello.toUtf8(), server.port());
    QTRY_COMPARE(server.link.ipsClients(), QStringList{"127.0.0.1"});

    // The same after being listed; a request for the open calls, queued once it is read, says that
    // everything sent before it has been handled.
    for (const QByteArray& bytes : garbage)
        client.say(bytes, server.port());
    client.say(kHello.toUtf8(), server.port());
    QVERIFY(!server.link.hasCallsRequests());
    client.say("#HalvaneOpenCalls?", server.port());
    QTRY_VERIFY(server.link.hasCallsRequests());
    QCOMPARE(server.link.ipsClients(), QStringList{"127.0.0.1"});
}

QTEST_GUILESS_MAIN(TestNetClients)
#include "tst_net_clients.moc"
