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
    void forgedServerNeverTakesOver_data();
    void forgedServerNeverTakesOver();
    void serverListMendsTheBoard();
    void answerPartsGatheredFromTheServerOnly();
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

void TestServerLink::forgedServerNeverTakesOver_data()
{
    QTest::addColumn<QString>("configured");
    QTest::addColumn<Windows>("pings"); // from the real server, every 500 ms
    QTest::addColumn<bool>("fromForger");
    QTest::addColumn<int>("callAt");
    QTest::addColumn<bool>("shown");

    QTest::newRow("configured: the real server's call, a forger pinging")
        << "10.0.0.1" << Windows{{0, 30'000}} << false << 20'000 << true;
    QTest::newRow("configured: real silent 5 s, back")
        << "10.0.0.1" << Windows{{0, 5000}, {10'000, 30'000}} << false << 20'000 << true;
    QTest::newRow("configured: real gone, the forger is never the server")
        << "10.0.0.1" << Windows{{0, 5000}} << true << 90'000 << false;
    QTest::newRow("found: real silent 5 s, back")
        << "" << Windows{{0, 5000}, {10'000, 30'000}} << false << 20'000 << true;
    QTest::newRow("found: real silent 30 s, the forger is not taken")
        << "" << Windows{{0, 5000}} << true << 35'000 << false;
    QTest::newRow("found: real silent past the stated time, another server may take over")
        << "" << Windows{{0, 5000}} << true << 70'000 << true;
}

void TestServerLink::forgedServerNeverTakesOver()
{
    QFETCH(QString, configured);
    QFETCH(Windows, pings);
    QFETCH(bool, fromForger);
    QFETCH(int, callAt);
    QFETCH(bool, shown);

    const QHostAddress forger(QStringLiteral("10.0.0.66"));
    BoardState board(configured.isEmpty() ? QHostAddress() : QHostAddress(configured), kPing,
                     CallList::Limits{});
    QCOMPARE(ServerLink::Timing{}.forgetAfterMs, 60'000);
    for (int now = 0; now <= callAt; now += 100) {
        for (const auto& window : pings) {
            if (now >= window.first && now < window.second && (now - window.first) % 500 == 0)
                board.receive(kPing.toUtf8(), kServer, 40000, now);
        }
        if (now % 400 == 0)
            board.receive(kPing.toUtf8(), forger, 40000, now);
        if (now % 200 == 0)
            board.tick(now);
    }
    board.receive("#f6186;8;;Койка № 1;", fromForger ? forger : kServer, 40000, callAt);
    QCOMPARE(board.calls().tiles().size(), shown ? 1 : 0);
}

namespace {

QByteArray answerOf(quint32 list, const QList<Stations::ListedCall>& calls, qint32 warn = 180,
                    qint32 alarm = 300)
{
    const QList<QByteArray> parts = Stations::callsAnswer(list, warn, alarm, calls);
    return parts.first();
}

} // namespace

void TestServerLink::serverListMendsTheBoard()
{
    CallList::Limits own;
    own.warnMs = 10'000; // the board's own thresholds, far from the server's
    own.alarmMs = 20'000;
    BoardState board(kServer, kPing, own);
    int now = 0;
    const auto pingFor = [&](int ms) {
        for (const int end = now + ms; now < end; now += 100) {
            if (now % 500 == 0)
                board.receive(kPing.toUtf8(), kServer, 40000, now);
            if (now % 200 == 0 && board.tick(now).askCalls)
                QFAIL("asked while the list was known");
        }
    };

    // The first ping after the start: the board asks at once, and again until it is answered.
    board.receive(kPing.toUtf8(), kServer, 40000, now);
    QVERIFY(board.tick(now).askCalls);
    QVERIFY(!board.tick(now + 200).askCalls);
    board.receive(kPing.toUtf8(), kServer, 40000, 2500);
    QVERIFY(board.tick(now + 2600).askCalls);
    now = 2600;
    // The answer: a call two minutes in warning by the server's thresholds, level and time as given.
    QVERIFY(board
                .receive(answerOf(1, {{"f6186", "8", "Анна", "Койка № 1", 200'000, 1, "Палата 1"}}), kServer,
                         40000, now)
                .changed);
    QCOMPARE(board.calls().tiles().size(), 1);
    CallList::Tile tile = board.calls().tiles().at(0);
    QCOMPARE(now - tile.sinceMs, 200'000);
    QCOMPARE(tile.ward, QStringLiteral("Палата 1"));
    QCOMPARE(board.calls().level(tile, now), CallList::Level::Warning);
    QCOMPARE(board.calls().level(tile, now + 99'000), CallList::Level::Warning);
    QCOMPARE(board.calls().level(tile, now + 100'000), CallList::Level::Alarm);
    pingFor(5000);

    // Another call by notice, then the link is lost while the first is cancelled.
    board.receive("#ba5ac;4;;Койка № 2;", kServer, 40000, now);
    QCOMPARE(board.calls().tiles().size(), 2);
    for (const int end = now + 5000; now < end; now += 200)
        board.tick(now);
    QVERIFY(board.calls().tiles().at(0).stale);
    board.receive(kPing.toUtf8(), kServer, 40000, now);
    QVERIFY(board.tick(now).askCalls);
    // A call heard after the request and before the answer stays, whatever the answer says.
    board.receive("#c0ffe;8;;Койка № 3;", kServer, 40000, now + 50);
    board.receive(answerOf(2, {{"ba5ac", "4", "", "Койка № 2", 9000, 0, ""}}), kServer, 40000, now + 100);
    QStringList codes;
    for (const CallList::Tile& t : board.calls().tiles()) {
        codes << t.code;
        QVERIFY(!t.stale);
    }
    QCOMPARE(codes, (QStringList{"ba5ac", "c0ffe"})); // the phantom is gone, oldest first

    // The server keeps the warning off: no tile turns yellow, however long it waits.
    board.receive(answerOf(3, {{"ba5ac", "4", "", "Койка № 2", 9000, 0, ""}}, 0, 0), kServer, 40000,
                  now + 200);
    QCOMPARE(board.calls().level(board.calls().tiles().at(0), now + 3'600'000), CallList::Level::Normal);
}

void TestServerLink::answerPartsGatheredFromTheServerOnly()
{
    BoardState board(kServer, kPing, CallList::Limits{});
    board.receive(kPing.toUtf8(), kServer, 40000, 0);
    QVERIFY(board.tick(0).askCalls);

    QList<Stations::ListedCall> calls;
    for (int i = 0; i < 12; ++i)
        calls.append({QStringLiteral("c%1").arg(i), "8", QString(100, u'ж'), QString(100, u'я'), 1000, 0,
                      QString(100, u'п')});
    const QList<QByteArray> parts = Stations::callsAnswer(5, 180, 300, calls);
    QVERIFY(parts.size() >= 3);
    const QList<QByteArray> other = Stations::callsAnswer(4, 180, 300, calls);

    // The whole list from another sender, or from the server's address on another port: nothing.
    for (const QByteArray& part : parts) {
        board.receive(part, QHostAddress(QStringLiteral("10.0.0.66")), 40000, 10);
        board.receive(part, kServer, 40001, 10);
    }
    QCOMPARE(board.calls().tiles().size(), 0);
    // Parts in any order, a part of another list between them: the list applies once all its parts
    // came after the last part of another list.
    board.receive(parts.last(), kServer, 40000, 20);
    board.receive(other.first(), kServer, 40000, 20);
    for (qsizetype i = 0; i + 1 < parts.size(); ++i) {
        board.receive(parts.at(i), kServer, 40000, 30);
        QCOMPARE(board.calls().tiles().size(), 0);
    }
    board.receive(parts.last(), kServer, 40000, 40);
    QCOMPARE(board.calls().tiles().size(), 12);
}

QTEST_GUILESS_MAIN(TestServerLink)
#include "tst_serverlink.moc"
