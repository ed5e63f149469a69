#include "core/antenna/AntennaLink.h"
#include "core/net/UdpListener.h"
#include "core/net/UdpSender.h"

#include <QMutex>
#include <QTest>
#include <QThread>
#include <QUdpSocket>

namespace {

QByteArray readOne(QUdpSocket& socket)
{
    QByteArray data(qMax<qint64>(socket.pendingDatagramSize(), 0), Qt::Uninitialized);
    const qint64 read = socket.readDatagram(data.data(), data.size());
    data.truncate(qMax<qint64>(read, 0));
    return data;
}

} // namespace

class TestNetAntenna : public QObject
{
    Q_OBJECT

private slots:
    void listenerReceivesOnItsOwnThread();
    void boundPortCannotBeBoundTwice();
    void hostileInputEndsUpWhereTheRulesSay();
    void senderUsesLowSixteenBitsAndSwallowsErrors();
};

void TestNetAntenna::listenerReceivesOnItsOwnThread()
{
    QMutex mutex;
    QByteArrayList received;
    QStringList senders;
    QThread* callbackThread = nullptr;

    UdpListener listener;
    QString error;
    QVERIFY2(listener.start(
                 0,
                 [&](const QByteArray& data, const QHostAddress& from) {
                     QMutexLocker locker(&mutex);
                     received << data;
                     senders << from.toString();
                     callbackThread = QThread::currentThread();
                 },
                 &error),
             qPrintable(error));
    QVERIFY(listener.isRunning());
    QVERIFY(listener.localPort() != 0);

    QUdpSocket antenna;
    antenna.writeDatagram("f61868", QHostAddress::LocalHost, listener.localPort());
    QTRY_VERIFY([&] {
        QMutexLocker locker(&mutex);
        return !received.isEmpty();
    }());

    QMutexLocker locker(&mutex);
    QCOMPARE(received, QByteArrayList{"f61868"});
    QCOMPARE(senders, QStringList{"127.0.0.1"});
    QVERIFY(callbackThread != nullptr);
    QVERIFY(callbackThread != QThread::currentThread());
}

void TestNetAntenna::boundPortCannotBeBoundTwice()
{
    UdpListener first;
    QVERIFY(first.start(0, [](const QByteArray&, const QHostAddress&) {}));
    const quint16 port = first.localPort();

    UdpListener second;
    QString error;
    QVERIFY(!second.start(
        port, [](const QByteArray&, const QHostAddress&) {}, &error));
    QVERIFY(!error.isEmpty());
    QVERIFY(!second.isRunning());

    // Stopping releases the port; a 32-bit setting counts by its low 16 bits.
    first.stop();
    QVERIFY(!first.isRunning());
    QVERIFY2(second.start(
                 port + 65536, [](const QByteArray&, const QHostAddress&) {}, &error),
             qPrintable(error));
    QCOMPARE(second.localPort(), port);
}

// Whatever arrives over the wire is sorted exactly as the same bytes handed to the link directly.
void TestNetAntenna::hostileInputEndsUpWhereTheRulesSay()
{
    AntennaLink link;
    UdpListener listener;
    QVERIFY(listener.start(
        0, [&link](const QByteArray& data, const QHostAddress&) { link.IdUDPServerAntUDPRead(data); }));

    QByteArray binary;
    for (int i = 0; i < 256; ++i)
        binary.append(char(255 - i));
    const QByteArray largest(65507, 'q');
    const QByteArrayList datagrams{QByteArray(),
                                   binary,
                                   "\xc3\x28\xa0\xa1"
                                   "b8",
                                   largest,
                                   "###A1",
                                   "###a1",
                                   "@SUC",
                                   "@REG",
                                   "###",
                                   "f61868",
                                   "F61868",
                                   "end"};

    QUdpSocket antenna;
    for (const QByteArray& bytes : datagrams)
        QCOMPARE(antenna.writeDatagram(bytes, QHostAddress::LocalHost, listener.localPort()),
                 qint64(bytes.size()));
    QTRY_VERIFY(link.SAant().contains("end"));

    AntennaLink direct;
    for (const QByteArray& bytes : datagrams)
        direct.IdUDPServerAntUDPRead(bytes);
    QCOMPARE(link.SAant(), direct.SAant());
    QCOMPARE(link.SAsign(), QStringList{"A1"});
    QCOMPARE(link.btn_add.load(), qint16(1));

    const QStringList queued = link.SAant();
    QCOMPARE(queued.size(), 7); // "", binary, invalid, largest, "###", f61868, end
    QCOMPARE(queued.at(0), QString());
    QCOMPARE(queued.at(3).size(), largest.size());
    QCOMPARE(queued.at(4), QStringLiteral("###"));

    // Stopping while a burst is still arriving ends cleanly.
    for (int i = 0; i < 500; ++i)
        antenna.writeDatagram("burst" + QByteArray::number(i), QHostAddress::LocalHost, listener.localPort());
    listener.stop();
    QVERIFY(!listener.isRunning());
}

void TestNetAntenna::senderUsesLowSixteenBitsAndSwallowsErrors()
{
    QUdpSocket antenna;
    QVERIFY(antenna.bind(QHostAddress::LocalHost, 0));
    const qint32 setting = qint32(antenna.localPort()) + 65536;
    QCOMPARE(UdpSender::portFromSetting(70000), quint16(4464));

    UdpSender sender;
    QString error;
    QVERIFY2(sender.open(&error), qPrintable(error));
    QVERIFY(sender.localPort() != 0);

    // Failures are swallowed and leave the socket usable: a datagram too large for UDP, a port that
    // is zero in its low 16 bits, an address of the wrong family.
    sender.sendTo(QHostAddress::LocalHost, QString(70000, 'x'), setting);
    sender.sendTo(QHostAddress::LocalHost, "lost", 65536);
    sender.sendTo(QHostAddress::LocalHostIPv6, "lost", setting);

    sender.sendTo(QHostAddress::LocalHost, "@ADDf6186", setting);
    sender.sendTo(QHostAddress::LocalHost, "Койка", setting);
    QTRY_VERIFY(antenna.hasPendingDatagrams());
    QCOMPARE(readOne(antenna), QByteArray("@ADDf6186"));
    QTRY_VERIFY(antenna.hasPendingDatagrams());
    QCOMPARE(readOne(antenna), QStringLiteral("Койка").toUtf8());
}

QTEST_GUILESS_MAIN(TestNetAntenna)
#include "tst_net_antenna.moc"
