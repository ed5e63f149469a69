// When the board says hello: at its start, and again every 5 s while no ping is heard, so that a
// restarted server lists it again; never while pings flow.

#include "board/BoardState.h"

#include <QtTest>

namespace {
const QHostAddress kServer(QStringLiteral("10.0.0.1"));
const QString kPing = QStringLiteral("#FromOrvikLiteServer");
using Windows = QList<QPair<int, int>>; // the server pings every 500 ms within [from, until)
} // namespace

class TestServerLink : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void hello_data();
    void hello();
    void helloAddress();
};

void TestServerLink::hello_data()
{
    QTest::addColumn<Windows>("pings");
    QTest::addColumn<int>("runMs");
    QTest::addColumn<QList<int>>("hellos");

    QTest::newRow("pings flow: one hello") << Windows{{100, 60'000}} << 60'000 << QList<int>{0};
    QTest::newRow("no server: every 5 s") << Windows{} << 12'000 << QList<int>{0, 5000, 10'000};
    // The last ping comes at 9600; 2 s later the server counts as lost and the hello goes at once.
    QTest::newRow("pings stop") << Windows{{100, 10'000}} << 22'000 << QList<int>{0, 11'600, 16'600, 21'600};
    QTest::newRow("server restarts and hears the hello")
        << Windows{{100, 5000}, {14'100, 30'000}} << 30'000 << QList<int>{0, 6600, 11'600};
    // Pings that stop shortly after a hello: the next hello still comes within 5 s of the last ping.
    QTest::newRow("pings stop just after a hello")
        << Windows{{100, 5000}, {11'700, 12'000}} << 20'000 << QList<int>{0, 6600, 11'600, 16'600};
}

void TestServerLink::hello()
{
    QFETCH(Windows, pings);
    QFETCH(int, runMs);
    QFETCH(QList<int>, hellos);

    BoardState board(QHostAddress(), kPing, CallList::Limits{});
    QList<int> said;
    // The board looks at time every 200 ms; a ping due at the same moment arrives first.
    for (int now = 0; now <= runMs; now += 100) {
        for (const auto& window : pings) {
            if (now >= window.first && now < window.second && (now - window.first) % 500 == 0)
                QVERIFY(board.receive(kPing.toUtf8(), kServer, 40000, now).pinged);
        }
        if (now % 200 == 0 && board.tick(now).sayHello)
            said << now;
    }
    QCOMPARE(said, hellos);
}

void TestServerLink::helloAddress()
{
    QCOMPARE(ServerLink().helloAddress(), QHostAddress(QHostAddress::Broadcast));
    const QHostAddress server(QStringLiteral("192.168.1.20"));
    QCOMPARE(ServerLink(server).helloAddress(), server);
}

QTEST_GUILESS_MAIN(TestServerLink)
#include "tst_serverlink.moc"
