// The board with the real server over 127.0.0.1, as a ward runs them: the server's own executable in
// a directory of its own, the board on the fixed ports. A press at an antenna becomes a tile, its
// cancel removes it, and after the server restarts the board is listed again without a hand on it.

#include "board/BoardStation.h"

#include <QProcess>
#include <QTemporaryDir>
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

QTEST_GUILESS_MAIN(TestBoardEndToEnd)
#include "tst_net_board_endtoend.moc"
