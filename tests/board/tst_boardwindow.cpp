// The board over real sockets on 127.0.0.1 (ports chosen by the system, so nothing here needs the
// fixed ports), and what its window draws: the banner while the server is silent, a tile per call
// in the colour of its waiting time, and a grid that keeps tiles readable.

#include "board/BoardStation.h"
#include "board/BoardWindow.h"
#include "board/TileGrid.h"

#include <QNetworkDatagram>
#include <QSignalSpy>
#include <QUdpSocket>
#include <QtTest>

namespace {

const QHostAddress kLocal(QHostAddress::LocalHost);

// How many pixels of the image have exactly this colour.
int pixelsOf(const QImage& image, const QColor& color)
{
    int n = 0;
    const QRgb rgb = color.rgb();
    for (int y = 0; y < image.height(); ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x)
            n += (line[x] | 0xFF000000) == rgb ? 1 : 0;
    }
    return n;
}

QImage shot(QWidget& w)
{
    return w.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// A stand-in for the server: a socket of its own that hears the hello and sends as the server does.
struct FakeServer
{
    QUdpSocket socket;
    FakeServer() { socket.bind(kLocal, 0); }
    QStringList heard()
    {
        QStringList texts;
        while (socket.hasPendingDatagrams())
            texts << QString::fromUtf8(socket.receiveDatagram().data());
        return texts;
    }
    void send(const QByteArray& text, quint16 port) { socket.writeDatagram(text, kLocal, port); }
};

BoardSettings settingsFor(quint16 serverPort)
{
    BoardSettings s;
    s.Address = QStringLiteral("127.0.0.1");
    s.ToPort = serverPort;
    s.FromPort = 0; // the system chooses
    s.Caption = QStringLiteral("Табло вызовов");
    s.log_r8 = QStringLiteral("вызов");
    s.lostText = QStringLiteral("Нет связи с сервером.");
    s.lastPingText = QStringLiteral("Последний сигнал в");
    s.noPingText = QStringLiteral("Сервер ещё не найден.");
    s.emptyText = QStringLiteral("Вызовов нет");
    s.staleText = QStringLiteral("возможно, устарело");
    return s;
}

} // namespace

class TestBoardWindow : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void stationAndWindowOverLoopback();
    void bannerWhenPingsStop();
    void takenPortIsReported();
    void grid_data();
    void grid();
    void waitingText();
};

void TestBoardWindow::stationAndWindowOverLoopback()
{
    FakeServer server;
    BoardStation station(settingsFor(server.socket.localPort()));
    QSignalSpy cues(&station, &BoardStation::cue);
    QVERIFY(station.start());
    BoardWindow window(station, settingsFor(0));
    window.resize(1000, 600);
    window.show();

    // The hello arrives; until a ping comes, the banner says the server has not been found.
    QStringList heard;
    QTRY_VERIFY((heard << server.heard(), heard.contains(QStringLiteral("#ToOrvikLiteServer"))));
    QCOMPARE(window.bannerText(), QStringLiteral("Нет связи с сервером. Сервер ещё не найден."));
    QVERIFY(pixelsOf(shot(window), BoardWindow::bannerColor()) > 1000);

    server.send("#FromOrvikLiteServer", station.localPort());
    QTRY_VERIFY(!station.isLost());
    QCOMPARE(window.bannerText(), QString());
    QCOMPARE(pixelsOf(shot(window), BoardWindow::bannerColor()), 0);

    // Junk, a huge datagram and a notice from another socket change nothing.
    QUdpSocket stranger;
    stranger.writeDatagram("#aaaaa;8;;Чужой;", kLocal, station.localPort());
    server.send("#bbbbb;8;;" + QByteArray(60'000, 'x') + ";", station.localPort());
    server.send("#ccccc;9;;Плохой;", station.localPort());
    server.send("#f6186;8;Тестова Анна;Койка № 1;", station.localPort());
    QTRY_COMPARE(station.calls().tiles().size(), 1);
    QCOMPARE(station.calls().tiles().at(0).place, QStringLiteral("Койка № 1"));
    QCOMPARE(cues.size(), 1);
    QCOMPARE(cues.at(0).at(0).value<BoardStation::Cue>(), BoardStation::Cue::NewCall);
    QVERIFY(pixelsOf(shot(window), BoardWindow::normalColor()) > 100'000); // one tile fills the board

    server.send("#f6186;2;Тестова Анна;Койка № 1;", station.localPort());
    QTRY_COMPARE(station.calls().tiles().size(), 0);
    QCOMPARE(pixelsOf(shot(window), BoardWindow::normalColor()), 0);
    QCOMPARE(cues.size(), 1);
}

void TestBoardWindow::bannerWhenPingsStop()
{
    FakeServer server;
    BoardStation station(settingsFor(server.socket.localPort()));
    QVERIFY(station.start());
    BoardWindow window(station, settingsFor(0));
    window.resize(800, 500);
    server.send("#FromOrvikLiteServer", station.localPort());
    QTRY_VERIFY(!station.isLost());
    server.send("#f6186;8;;Койка № 1;", station.localPort());
    QTRY_COMPARE(station.calls().tiles().size(), 1);

    // No ping for 2 s: the banner with the time of the last ping, the tile kept and marked.
    QTRY_VERIFY_WITH_TIMEOUT(station.isLost(), 4000);
    const QString banner = window.bannerText();
    QVERIFY2(banner.startsWith(QStringLiteral("Нет связи с сервером. Последний сигнал в ")),
             qPrintable(banner));
    QCOMPARE(banner.right(8), station.lastPingAt().toString(QStringLiteral("HH:mm:ss")));
    QTRY_VERIFY(station.calls().tiles().at(0).stale);
    const QImage image = shot(window);
    QVERIFY(pixelsOf(image, BoardWindow::bannerColor()) > 1000);
    QCOMPARE(pixelsOf(image, BoardWindow::normalColor()), 0); // the stale tile is greyed

    // Meanwhile the hello is said again, and pings bring the board back.
    QStringList heard;
    QTRY_VERIFY_WITH_TIMEOUT(
        (heard << server.heard(), heard.count(QStringLiteral("#ToOrvikLiteServer")) >= 2), 7000);
    server.send("#FromOrvikLiteServer", station.localPort());
    QTRY_COMPARE(window.bannerText(), QString());
}

void TestBoardWindow::takenPortIsReported()
{
    QUdpSocket holder;
    QVERIFY(holder.bind(QHostAddress::AnyIPv4, 0));
    BoardSettings s = settingsFor(9);
    s.FromPort = holder.localPort();
    BoardStation station(s);
    QString error;
    QVERIFY(!station.start(&error));
    QVERIFY(!error.isEmpty());
}

void TestBoardWindow::grid_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<QSize>("area");
    QTest::addColumn<int>("cells");
    QTest::addColumn<int>("columns");

    QTest::newRow("one fills the board") << 1 << QSize(1920, 1080) << 1 << 1;
    QTest::newRow("two side by side on a wide screen") << 2 << QSize(1920, 1080) << 2 << 1;
    QTest::newRow("six") << 6 << QSize(1920, 1080) << 6 << 2;
    QTest::newRow("more than fit") << 200 << QSize(1920, 1080) << 36 << 6;
    QTest::newRow("tiny window keeps one cell") << 5 << QSize(200, 100) << 1 << 1;
}

void TestBoardWindow::grid()
{
    QFETCH(int, count);
    QFETCH(QSize, area);
    QFETCH(int, cells);
    QFETCH(int, columns);
    const QRect rect(QPoint(10, 20), area);
    const TileGrid::Layout layout = TileGrid::layout(count, rect, 150, 12);
    QCOMPARE(layout.cells.size(), cells);
    QCOMPARE(layout.columns, columns);
    for (qsizetype i = 0; i < layout.cells.size(); ++i) {
        const QRect& cell = layout.cells.at(i);
        QVERIFY(rect.contains(cell));
        QVERIFY(cell.height() >= std::min(150, area.height()));
        for (qsizetype j = 0; j < i; ++j)
            QVERIFY(!cell.intersects(layout.cells.at(j)));
    }
}

void TestBoardWindow::waitingText()
{
    QCOMPARE(BoardWindow::waitingText(0), QStringLiteral("0:00"));
    QCOMPARE(BoardWindow::waitingText(59'999), QStringLiteral("0:59"));
    QCOMPARE(BoardWindow::waitingText(305'000), QStringLiteral("5:05"));
    QCOMPARE(BoardWindow::waitingText(3'725'000), QStringLiteral("1:02:05"));
}

QTEST_MAIN(TestBoardWindow)
#include "tst_boardwindow.moc"
