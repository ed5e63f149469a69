// The board with the real server over 127.0.0.1, as a ward runs them: the server's own executable in
// a directory of its own, the board on the fixed ports. A press at an antenna becomes a tile, its
// cancel removes it, and after the server restarts the board is listed again without a hand on it.

#include "board/BoardStation.h"

#include <memory>

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QUdpSocket>
#include <QtTest>

namespace {

const QHostAddress kLocal(QHostAddress::LocalHost);

// The server keeps its settings and database beside its executable, so it runs from a copy.
class ServerProcess
{
public:
    explicit ServerProcess(const QString& dir) : m_exe(dir + QStringLiteral("/HalvaneServer"))
    {
        QFile::copy(QStringLiteral(HALVANE_BUILD_DIR "/HalvaneServer"), m_exe);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        m_process.setProcessEnvironment(env);
        m_process.setWorkingDirectory(dir);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    }
    ~ServerProcess() { stop(); }

    bool start()
    {
        m_process.start(m_exe, {});
        return m_process.waitForStarted(10'000);
    }
    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.kill();
        m_process.waitForFinished(10'000);
    }

private:
    QString m_exe;
    QProcess m_process;
};

void press(const QByteArray& text)
{
    QUdpSocket antenna;
    antenna.writeDatagram(text, kLocal, 5556);
}

// Everything the server sends to 127.0.0.1 at the station port, passed on to the board at another
// port unless cut: the network between them. The board takes it for the server (one sender).
class Relay : public QObject
{
public:
    bool start(quint16 toPort)
    {
        m_toPort = toPort;
        if (!m_socket.bind(kLocal, 5567))
            return false;
        connect(&m_socket, &QUdpSocket::readyRead, this, [this] {
            while (m_socket.hasPendingDatagrams()) {
                QByteArray data(qMax<qint64>(m_socket.pendingDatagramSize(), 0), Qt::Uninitialized);
                const qint64 read = m_socket.readDatagram(data.data(), data.size());
                if (read < 0)
                    break;
                data.truncate(read);
                if (m_cut)
                    continue;
                if (!m_dropPrefix.isEmpty() && data.startsWith(m_dropPrefix)) {
                    dropped << data;
                    continue;
                }
                passed << data;
                m_socket.writeDatagram(data, kLocal, m_toPort);
            }
        });
        return true;
    }
    void cut(bool on) { m_cut = on; }
    // Datagrams that begin so are lost on the way; the rest pass.
    void drop(const QByteArray& prefix) { m_dropPrefix = prefix; }
    QByteArrayList passed;
    QByteArrayList dropped;

private:
    QUdpSocket m_socket;
    quint16 m_toPort = 0;
    bool m_cut = false;
    QByteArray m_dropPrefix;
};

// A display station of the kind in the wards today: says hello every 2 s from its own address and
// keeps whatever it hears.
class PlainStation : public QObject
{
public:
    bool start()
    {
        if (!m_socket.bind(QHostAddress(QStringLiteral("127.0.0.2")), 5567))
            return false;
        connect(&m_socket, &QUdpSocket::readyRead, this, [this] {
            while (m_socket.hasPendingDatagrams()) {
                QByteArray data(qMax<qint64>(m_socket.pendingDatagramSize(), 0), Qt::Uninitialized);
                const qint64 read = m_socket.readDatagram(data.data(), data.size());
                if (read < 0)
                    break;
                data.truncate(read);
                received << data;
            }
        });
        connect(&m_timer, &QTimer::timeout, this,
                [this] { m_socket.writeDatagram("#ToOrvikLiteServer", kLocal, 5566); });
        m_timer.start(2000);
        m_socket.writeDatagram("#ToOrvikLiteServer", kLocal, 5566);
        return true;
    }
    QByteArrayList received;

private:
    QUdpSocket m_socket;
    QTimer m_timer;
};

QByteArrayList withoutPings(const QByteArrayList& datagrams)
{
    QByteArrayList rest;
    for (const QByteArray& d : datagrams) {
        if (d != "#FromOrvikLiteServer")
            rest << d;
    }
    return rest;
}

BoardSettings boardSettings()
{
    BoardSettings s;
    s.Address = QStringLiteral("127.0.0.1");
    return s;
}

} // namespace

class TestBoardEndToEnd : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void pressBecomesTileAndCancelRemovesIt();
    void boardShowsTheServersOpenCalls();
    void lostCancelLeavesAtTheNextAnswer_data();
    void lostCancelLeavesAtTheNextAnswer();
};

void TestBoardEndToEnd::pressBecomesTileAndCancelRemovesIt()
{
    QTemporaryDir dir;
    ServerProcess server(dir.path());
    QVERIFY(server.start());

    BoardStation board(boardSettings());
    QString error;
    QVERIFY2(board.start(&error), qPrintable(error));
    // The server starts, hears the hello (said again every 5 s) and pings.
    QTRY_VERIFY_WITH_TIMEOUT(!board.isLost(), 20'000);

    // The sample place of a first start: call code f6186, "Койка № 1", staff "Тестова Анна".
    press("f61868");
    QTRY_COMPARE_WITH_TIMEOUT(board.calls().tiles().size(), 1, 5000);
    const CallList::Tile tile = board.calls().tiles().at(0);
    QCOMPARE(tile.code, QStringLiteral("f6186"));
    QCOMPARE(tile.function, QStringLiteral("8"));
    QCOMPARE(tile.place, QStringLiteral("Койка № 1"));
    QCOMPARE(tile.staff, QStringLiteral("Тестова Анна"));
    QVERIFY(tile.isCall);

    press("f61862");
    QTRY_COMPARE_WITH_TIMEOUT(board.calls().tiles().size(), 0, 5000);

    // The server restarts and forgets its display stations: the board notices the silence, says
    // hello again, and calls reach it as before.
    server.stop();
    QTRY_VERIFY_WITH_TIMEOUT(board.isLost(), 5000);
    QVERIFY(server.start());
    QTRY_VERIFY_WITH_TIMEOUT(!board.isLost(), 20'000);
    press("ba5ac8");
    QTRY_COMPARE_WITH_TIMEOUT(board.calls().tiles().size(), 1, 5000);
    QCOMPARE(board.calls().tiles().at(0).place, QStringLiteral("Койка № 2"));
    QVERIFY(!board.calls().tiles().at(0).stale);
}

void TestBoardEndToEnd::boardShowsTheServersOpenCalls()
{
    QTemporaryDir dir;
    ServerProcess server(dir.path());
    PlainStation plain;
    QVERIFY(plain.start());
    Relay relay;
    QVERIFY(relay.start(5568));
    QVERIFY(server.start());
    QTRY_VERIFY_WITH_TIMEOUT(plain.received.contains("#FromOrvikLiteServer"), 20'000);

    BoardSettings settings = boardSettings();
    settings.FromPort = 5568;
    const auto waited = [](const BoardStation& board, int row) {
        return board.nowMs() - board.calls().tiles().at(row).sinceMs;
    };

    // A call open for 3 s before the board starts: shown within 2 s, with its true waiting time.
    press("f61868");
    QTRY_VERIFY_WITH_TIMEOUT(withoutPings(plain.received).size() == 1, 5000);
    QTest::qWait(3000);
    auto board = std::make_unique<BoardStation>(settings);
    QVERIFY(board->start());
    QTRY_COMPARE_WITH_TIMEOUT(board->calls().tiles().size(), 1, 2000);
    QCOMPARE(board->calls().tiles().at(0).code, QStringLiteral("f6186"));
    QVERIFY(waited(*board, 0) >= 3000);
    QVERIFY(!board->calls().tiles().at(0).stale);

    // The board restarts; a call comes while it is away. Both are back within 2 s, oldest first.
    board.reset();
    press("ba5ac8");
    QTRY_VERIFY_WITH_TIMEOUT(withoutPings(plain.received).size() == 2, 5000);
    QTest::qWait(1000);
    board = std::make_unique<BoardStation>(settings);
    QVERIFY(board->start());
    QTRY_COMPARE_WITH_TIMEOUT(board->calls().tiles().size(), 2, 2000);
    QCOMPARE(board->calls().tiles().at(0).code, QStringLiteral("f6186"));
    QCOMPARE(board->calls().tiles().at(1).code, QStringLiteral("ba5ac"));
    QVERIFY(waited(*board, 0) >= 4000);
    QVERIFY(waited(*board, 1) >= 1000);

    // The link is cut for 5 s while the first call is cancelled: when it is back, the cancelled
    // call goes within 2 s and the other stays.
    relay.cut(true);
    press("f61862");
    QTRY_VERIFY_WITH_TIMEOUT(board->isLost(), 5000);
    QTest::qWait(3000);
    QCOMPARE(board->calls().tiles().size(), 2);
    relay.cut(false);
    QTRY_VERIFY_WITH_TIMEOUT(!board->isLost(), 2000);
    QTRY_COMPARE_WITH_TIMEOUT(board->calls().tiles().size(), 1, 2000);
    QCOMPARE(board->calls().tiles().at(0).code, QStringLiteral("ba5ac"));
    QVERIFY(!board->calls().tiles().at(0).stale);

    // The station of today heard the pings and the notices, byte for byte as the board's side of
    // the network carried them, and nothing else: the answers went to the board alone.
    board.reset();
    const QByteArrayList notices = withoutPings(plain.received);
    QCOMPARE(notices, (QByteArrayList{"#f6186;8;Тестова Анна;Койка № 1;", "#ba5ac;8;Тестова Анна;Койка № 2;",
                                      "#f6186;2;Тестова Анна;Койка № 1;"}));
    QByteArrayList answers;
    QByteArrayList boardNotices;
    for (const QByteArray& d : withoutPings(relay.passed))
        (d.startsWith("#HalvaneOpenCalls;") ? answers : boardNotices) << d;
    QVERIFY(answers.size() >= 3);
    for (const QByteArray& notice : boardNotices)
        QVERIFY(notices.contains(notice));
}

void TestBoardEndToEnd::lostCancelLeavesAtTheNextAnswer_data()
{
    QTest::addColumn<bool>("anotherCall");
    QTest::newRow("the periodic request") << false;
    QTest::newRow("the request after another call") << true;
}

// The cancel's notice is lost on the way while the link holds (no ping missed): the board asks for
// the open calls while it shows calls, and the call the server no longer has leaves at the next
// answer, whatever made the board ask.
void TestBoardEndToEnd::lostCancelLeavesAtTheNextAnswer()
{
    QFETCH(bool, anotherCall);
    QTemporaryDir dir;
    ServerProcess server(dir.path());
    Relay relay;
    QVERIFY(relay.start(5568));
    QVERIFY(server.start());
    BoardSettings settings = boardSettings();
    settings.FromPort = 5568;
    BoardStation board(settings);
    QVERIFY(board.start());
    QTRY_VERIFY_WITH_TIMEOUT(!board.isLost(), 20'000);

    const auto answers = [&relay] {
        return std::count_if(relay.passed.cbegin(), relay.passed.cend(),
                             [](const QByteArray& d) { return d.startsWith("#HalvaneOpenCalls;"); });
    };
    const auto codes = [&board] {
        QStringList shown;
        for (const CallList::Tile& t : board.calls().tiles())
            shown << t.code;
        return shown;
    };

    // A call, and the answer to the request it brings: the tile is confirmed by the server.
    QTRY_VERIFY_WITH_TIMEOUT(answers() >= 1, 5000);
    press("f61868");
    QTRY_COMPARE_WITH_TIMEOUT(codes(), QStringList{"f6186"}, 5000);
    const qsizetype before = answers();
    QTRY_VERIFY_WITH_TIMEOUT(answers() > before, 5000);

    // Its cancel, right after that answer: the server closes the call, the notice never arrives.
    relay.drop("#f6186;2;");
    press("f61862");
    QTRY_COMPARE_WITH_TIMEOUT(relay.dropped.size(), 1, 5000);
    QElapsedTimer shown;
    shown.start();
    if (anotherCall)
        press("ba5ac8");

    bool lost = false;
    QTRY_VERIFY_WITH_TIMEOUT((lost = lost || board.isLost(), !codes().contains(QStringLiteral("f6186"))),
                             30'000);
    qInfo("The call whose cancel was lost stayed %lld ms on the board", shown.elapsed());
    QVERIFY(!lost);
    QCOMPARE(codes(), anotherCall ? QStringList{"ba5ac"} : QStringList{});
    QCOMPARE(relay.dropped, QByteArrayList{"#f6186;2;Тестова Анна;Койка № 1;"});
}

QTEST_GUILESS_MAIN(TestBoardEndToEnd)
#include "tst_net_board_endtoend.moc"
