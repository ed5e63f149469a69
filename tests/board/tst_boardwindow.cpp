// The board over real sockets on 127.0.0.1 (ports chosen by the system, so nothing here needs the
// fixed ports), and what its window draws: the banner while the server is silent, a tile per call
// in the colour of its waiting time, and a grid that keeps tiles readable.

#include "board/BoardStation.h"
#include "board/BoardWindow.h"
#include "board/TileGrid.h"
#include "core/base/Clock.h"
#include "core/net/StationNotice.h"

#include <QNetworkDatagram>
#include <QScopeGuard>
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
    void alarmFollowsTheSteadyClock_data();
    void alarmFollowsTheSteadyClock();
    void grid_data();
    void grid();
    void waitingText();
    void readableAtEveryCount_data();
    void readableAtEveryCount();
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

void TestBoardWindow::alarmFollowsTheSteadyClock_data()
{
    QTest::addColumn<int>("wallStepSec");
    QTest::newRow("wall clock set back 10 minutes") << -600;
    QTest::newRow("wall clock set forward 10 minutes") << 600;
    QTest::newRow("wall clock set forward a day") << 86'400;
}

// An administrator or a time server sets the date while a call waits: the tile's waiting time, its
// warning and its alarm still come when the call has waited that long; only the banner's time of
// the last ping is wall time.
void TestBoardWindow::alarmFollowsTheSteadyClock()
{
    QFETCH(int, wallStepSec);
    QDateTime wall(QDate(2026, 12, 11), QTime(3, 0));
    Clock::setNowOverride([&wall] { return wall; });
    const auto restore = qScopeGuard([] { Clock::setNowOverride({}); });

    qint64 steady = 5000;
    int reads = 0;
    FakeServer server;
    const BoardSettings s = settingsFor(server.socket.localPort());
    BoardStation station(s, [&] {
        ++reads;
        return steady;
    });
    QSignalSpy cues(&station, &BoardStation::cue);
    QVERIFY(station.start());
    BoardWindow window(station, s);
    window.resize(800, 500);

    // The steady clock moves to ms; a ping from the server is read at that moment, and then the
    // board's timer looks at the time once more (the only other reader of the clock).
    const auto at = [&](qint64 ms) {
        steady = ms;
        server.send("#FromOrvikLiteServer", station.localPort());
        if (!QTest::qWaitFor([&] { return station.link().lastPingMs() == ms; }, 5000))
            return false;
        const int before = reads;
        return QTest::qWaitFor([&] { return reads > before; }, 5000);
    };
    const auto level = [&] { return station.calls().level(station.calls().tiles().at(0), steady); };
    const auto alarmCues = [&] {
        return std::count_if(cues.cbegin(), cues.cend(), [](const QList<QVariant>& cue) {
            return cue.at(0).value<BoardStation::Cue>() == BoardStation::Cue::Alarm;
        });
    };

    QVERIFY(at(5000));
    server.send("#f6186;8;Тестова Анна;Койка № 1;", station.localPort());
    QTRY_COMPARE(station.calls().tiles().size(), 1);
    const qint64 since = station.calls().tiles().at(0).sinceMs;
    QCOMPARE(since, qint64(5000));

    wall = wall.addSecs(wallStepSec);
    QVERIFY(at(since + 1000));
    QCOMPARE(station.lastPingAt(), wall);
    QCOMPARE(window.bannerText(), QString());
    QCOMPARE(level(), CallList::Level::Normal);
    QVERIFY(at(since + s.warnMs() - 1));
    QCOMPARE(level(), CallList::Level::Normal);
    QVERIFY(at(since + s.warnMs()));
    QCOMPARE(level(), CallList::Level::Warning);
    QVERIFY(at(since + s.alarmMs() - 1));
    QCOMPARE(level(), CallList::Level::Warning);
    QCOMPARE(alarmCues(), 0);
    QVERIFY(at(since + s.alarmMs()));
    QCOMPARE(level(), CallList::Level::Alarm);
    QCOMPARE(alarmCues(), 1);
    // The tile shows the time waited by the same clock.
    shot(window);
    QVERIFY(std::any_of(window.drawnTexts().cbegin(), window.drawnTexts().cend(),
                        [](const BoardWindow::DrawnText& t) { return t.shown == QLatin1String("5:00"); }));
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

void TestBoardWindow::readableAtEveryCount_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<QSize>("screen");
    QTest::addColumn<bool>("stale");

    for (const QSize screen : {QSize(1920, 1080), QSize(1280, 720)}) {
        const QByteArray size =
            QByteArray::number(screen.width()) + "x" + QByteArray::number(screen.height());
        for (const int count : {1, 6, 23, 40})
            QTest::newRow(QByteArray::number(count) + " calls, " + size) << count << screen << false;
    }
    QTest::newRow("23 calls unsure after a lost link, 1280x720") << 23 << QSize(1280, 720) << true;
    QTest::newRow("40 calls in a small window") << 40 << QSize(640, 480) << false;
}

// What the nurse must read is never cut: a long place name wraps or shrinks, each tile names its
// ward, the waiting time and the stale mark stand whole, and so does the number of calls not shown.
void TestBoardWindow::readableAtEveryCount()
{
    QFETCH(int, count);
    QFETCH(QSize, screen);
    QFETCH(bool, stale);
    const QString longName = QStringLiteral("Койка у окна № 12 (после операции)");

    FakeServer server;
    BoardSettings s = settingsFor(server.socket.localPort());
    s.moreText = QStringLiteral("Ещё вызовов");
    s.placeText = QStringLiteral("место");
    BoardStation station(s);
    QVERIFY(station.start());
    BoardWindow window(station, s);
    window.resize(screen);
    server.send("#FromOrvikLiteServer", station.localPort());
    QTRY_VERIFY(!station.isLost());

    QList<Stations::ListedCall> calls;
    for (int i = 0; i < count; ++i) {
        Stations::ListedCall c;
        c.code = QStringLiteral("a%1").arg(i, 4, 10, QLatin1Char('0'));
        c.function = QStringLiteral("8");
        c.place = i == 0 ? longName : QStringLiteral("Койка № %1").arg(i + 1);
        c.ward = i % 2 ? QStringLiteral("Кардиология") : QStringLiteral("Хирургия № 2");
        c.staff = QStringLiteral("Тестова Анна");
        c.waitedMs = qint64(count - i) * 61'000; // the long name waits longest: it comes first
        c.level = i % 3;
        calls << c;
    }
    for (const QByteArray& datagram : Stations::callsAnswer(7, 60, 120, calls))
        server.send(datagram, station.localPort());
    QTRY_COMPARE(station.calls().tiles().size(), count);
    if (stale) {
        QTRY_VERIFY_WITH_TIMEOUT(station.isLost(), 4000);
        QTRY_VERIFY(station.calls().tiles().at(0).stale);
    }
    shot(window);

    const QList<BoardWindow::DrawnText> drawn = window.drawnTexts();
    QStringList shown;
    for (const BoardWindow::DrawnText& text : drawn) {
        QVERIFY2(!text.cut, qPrintable(QStringLiteral("«%1» shown as «%2»").arg(text.whole, text.shown)));
        QVERIFY2(text.pixelSize >= 12, qPrintable(text.whole));
        shown << text.shown;
    }

    // The long name stands whole, on one line or wrapped onto more.
    QStringList nameLines;
    for (const BoardWindow::DrawnText& text : drawn)
        if (text.whole == longName)
            nameLines << text.shown;
    QCOMPARE(nameLines.join(u' '), longName);

    // Every tile drawn names its ward; the tiles not drawn are counted, in full, on the last one.
    const qsizetype wards = std::count_if(drawn.begin(), drawn.end(), [](const BoardWindow::DrawnText& t) {
        return (t.whole.startsWith(QStringLiteral("Кардиология ·")) ||
                t.whole.startsWith(QStringLiteral("Хирургия № 2 ·"))) &&
               t.whole.startsWith(t.shown); // a wrapped line is not another tile
    });
    const qsizetype more = shown.count(s.moreText);
    QVERIFY(more <= 1);
    if (more == 0) {
        QCOMPARE(wards, qsizetype(count));
    } else {
        QVERIFY2(count > 20, "a few calls all fit");
        QVERIFY2(wards >= 3, qPrintable(QString::number(wards)));
        const QString hidden = QString::number(count - wards);
        QCOMPARE(shown.last(), hidden);
    }
    if (stale) { // the mark, on one line or wrapped, on every tile drawn
        const qsizetype marks =
            std::count_if(drawn.begin(), drawn.end(), [&](const BoardWindow::DrawnText& t) {
                return t.whole == s.staleText && t.whole.startsWith(t.shown);
            });
        QCOMPARE(marks, wards);
    }
}

QTEST_MAIN(TestBoardWindow)
#include "tst_boardwindow.moc"
