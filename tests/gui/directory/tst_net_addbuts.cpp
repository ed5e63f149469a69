#include "AppFixture.h"

#include "app/Forms.h"
#include "core/db/Database.h"
#include "gui/directory/TFormAddButs.h"
#include "gui/directory/TFormButs.h"
#include "gui/journal/TMF.h"
#include "gui/kit/ButtonGroup.h"
#include "gui/kit/StringGrid.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMutex>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QUdpSocket>

#include <atomic>

namespace {

// An antenna on its own thread: it listens on the antennas' port (the fixture keeps the server's
// broadcasts on 127.0.0.1) and answers each "@ADD" with the next scripted reply, sent straight to
// the server's antenna port while the server's user-interface thread is pausing.
class FakeAntenna : public QThread
{
public:
    FakeAntenna(quint16 listenPort, quint16 serverPort) : m_listenPort(listenPort), m_serverPort(serverPort)
    {
    }
    ~FakeAntenna() override
    {
        m_stop = true;
        wait();
    }

    bool waitUntilListening()
    {
        QElapsedTimer t;
        t.start();
        while (!m_listening && !m_failed && t.elapsed() < 5000)
            QThread::msleep(5);
        return m_listening;
    }

    void script(const QStringList& replies)
    {
        QMutexLocker lock(&m_mutex);
        m_replies = replies;
        m_received.clear();
    }
    QStringList receivedAdds() const
    {
        QMutexLocker lock(&m_mutex);
        return m_received;
    }

protected:
    void run() override
    {
        QUdpSocket socket;
        if (!socket.bind(QHostAddress::AnyIPv4, m_listenPort,
                         QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint)) {
            m_failed = true;
            return;
        }
        m_listening = true;
        while (!m_stop) {
            socket.waitForReadyRead(5);
            while (socket.hasPendingDatagrams()) {
                QByteArray data(qMax<qint64>(socket.pendingDatagramSize(), 0), Qt::Uninitialized);
                data.truncate(qMax<qint64>(socket.readDatagram(data.data(), data.size()), 0));
                if (data.startsWith("@ADD")) {
                    QMutexLocker lock(&m_mutex);
                    m_received.append(QString::fromUtf8(data));
                    sendNext(socket);
                }
            }
        }
    }

private:
    void sendNext(QUdpSocket& socket)
    {
        if (m_replies.isEmpty())
            return;
        socket.writeDatagram(m_replies.takeFirst().toUtf8(), QHostAddress::LocalHost, m_serverPort);
    }

    const quint16 m_listenPort;
    const quint16 m_serverPort;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_listening{false};
    std::atomic<bool> m_failed{false};
    mutable QMutex m_mutex;
    QStringList m_replies;
    QStringList m_received;
};

QStringList placeCodes(const QString& abcde)
{
    db::ResultTable t =
        forms().MF->server().db().query(QStringLiteral("SELECT * FROM buts WHERE abcde=?"), {abcde});
    if (t.rowCount() != 1)
        return {QStringLiteral("rows: %1").arg(t.rowCount())};
    return {t.fieldByName(QStringLiteral("abcde")), t.fieldByName(QStringLiteral("btnclr"))};
}

QByteArray readOne(QUdpSocket& socket)
{
    QByteArray data(qMax<qint64>(socket.pendingDatagramSize(), 0), Qt::Uninitialized);
    data.truncate(qMax<qint64>(socket.readDatagram(data.data(), data.size()), 0));
    return data;
}

} // namespace

class TestNetAddButs : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void typedIdentifiersAreConfirmedByTheAntennas_data();
    void typedIdentifiersAreConfirmedByTheAntennas();
    void doubleClickSendsThePlaceNotice();

private:
    std::unique_ptr<AppFixture> app;
    std::unique_ptr<FakeAntenna> antenna;
};

void TestNetAddButs::init()
{
    app = std::make_unique<AppFixture>();
    app->create();
    QVERIFY(app->show());
    TMF* mf = app->mf();
    antenna = std::make_unique<FakeAntenna>(UdpSender::portFromSetting(mf->server().cfg().ToAntPort),
                                            UdpSender::portFromSetting(mf->server().cfg().FromAntPort));
    antenna->start();
    QVERIFY(antenna->waitUntilListening());
}

void TestNetAddButs::cleanup()
{
    antenna.reset();
    app.reset();
}

void TestNetAddButs::typedIdentifiersAreConfirmedByTheAntennas_data()
{
    QTest::addColumn<QString>("call");
    QTest::addColumn<QString>("cancel");
    QTest::addColumn<QStringList>("replies");
    QTest::addColumn<QStringList>("sent");
    QTest::addColumn<QStringList>("place"); // abcde, btnclr; empty: nothing added

    QTest::newRow("accepted; a five-character cancel identifier is ignored")
        << "ABCDEF8"
        << "ab12c" << QStringList{"@SUC"} << QStringList{"@ADDabcdef8"} << QStringList{"abcde", "abcde"};
    QTest::newRow("both accepted") << "a1b2c3"
                                   << "Z9Y8X7" << QStringList{"@SUC", "@SUC"}
                                   << QStringList{"@ADDa1b2c3", "@ADDz9y8x7"}
                                   << QStringList{"a1b2c", "z9y8x"};
    QTest::newRow("refused at once") << "a1b2c3"
                                     << " _" << QStringList{"@ERR"} << QStringList{"@ADDa1b2c3"}
                                     << QStringList();
    QTest::newRow("no answer") << "a1b2c3"
                               << " _" << QStringList() << QStringList{"@ADDa1b2c3"} << QStringList();
    QTest::newRow("cancel refused") << "a1b2c3"
                                    << "d4e5f6" << QStringList{"@SUC", "@ERR"}
                                    << QStringList{"@ADDa1b2c3", "@ADDd4e5f6"} << QStringList();
    QTest::newRow("call refused, cancel still sent")
        << "a1b2c3"
        << "d4e5f6" << QStringList{"@ERR", "@SUC"} << QStringList{"@ADDa1b2c3", "@ADDd4e5f6"}
        << QStringList();
}

void TestNetAddButs::typedIdentifiersAreConfirmedByTheAntennas()
{
    QFETCH(QString, call);
    QFETCH(QString, cancel);
    QFETCH(QStringList, replies);
    QFETCH(QStringList, sent);
    QFETCH(QStringList, place);

    TFormButs* places = forms().FormButs;
    TFormAddButs* add = forms().FormAddButs;
    places->show();
    places->ButtonGroup1->click(0);
    QVERIFY(add->isVisible());

    add->e6->setText(call);
    add->e7->setText(cancel);
    antenna->script(replies);
    add->Button2->click();

    QCOMPARE(app->mf()->server().btn_add().load(), qint16(0));
    if (place.isEmpty()) {
        QCOMPARE(add->lb1->text(), QStringLiteral("Не удалось настроить антенну."));
        QCOMPARE(places->StringGrid1->RowCount(), 3);
        QCOMPARE(placeCodes(call.left(5).toLower()).constFirst(), QStringLiteral("rows: 0"));
    } else {
        QCOMPARE(add->lb1->text(), QStringLiteral("Кнопка была дабавлена в базу."));
        QCOMPARE(placeCodes(place.constFirst()), place);
        QCOMPARE(places->StringGrid1->Cells(0, places->StringGrid1->RowCount() - 1), place.constFirst());
    }
    QTRY_COMPARE(antenna->receivedAdds(), sent);
}

void TestNetAddButs::doubleClickSendsThePlaceNotice()
{
    TMF* mf = app->mf();
    QUdpSocket client;
    QVERIFY(
        client.bind(QHostAddress::LocalHost, UdpSender::portFromSetting(mf->server().cfg().ToClientsPort)));
    client.writeDatagram(mf->server().cfg().sFromClient.toUtf8(), QHostAddress::LocalHost,
                         UdpSender::portFromSetting(mf->server().cfg().FromClientsPort));
    QTRY_COMPARE(mf->server().clients().ipsClients(), QStringList{"127.0.0.1"});

    TFormButs* places = forms().FormButs;
    places->show();
    QVERIFY(QTest::qWaitForWindowExposed(places));
    StringGrid* grid = places->StringGrid1;
    QCOMPARE(grid->Cells(0, 1), QStringLiteral("f6186"));

    // The header and the space below the last row send nothing; a data row sends its notice.
    places->StringGrid1DblClickCell(0, 2);
    places->StringGrid1DblClickCell(grid->RowCount(), 2);
    const QPoint onRow1 = grid->visualRect(grid->model()->index(0, 2)).center();
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, onRow1);
    QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, onRow1);

    // The first datagram that is no ping.
    const QByteArray ping = mf->server().cfg().sToClient.toUtf8();
    QByteArray notice;
    const auto noticeArrived = [&] {
        while (notice.isEmpty() && client.hasPendingDatagrams()) {
            const QByteArray data = readOne(client);
            if (data != ping)
                notice = data;
        }
        return !notice.isEmpty();
    };
    QTRY_VERIFY(noticeArrived());
    QCOMPARE(QString::fromUtf8(notice), QStringLiteral("#f6186;0;Палата 1;Койка № 1;f6186;"));
}

QTEST_MAIN(TestNetAddButs)
#include "tst_net_addbuts.moc"
