// What the board shows for a sequence of datagrams: each row replays datagrams and moments through
// the board's state, as they would arrive from the server (S) or from another machine (X), and
// compares the tiles that are left, and the cues, with what a nurse should see and hear.

#include "board/BoardState.h"

#include <QtTest>

namespace {

const QHostAddress kServer(QStringLiteral("10.0.0.1"));
const QHostAddress kStranger(QStringLiteral("10.0.0.9"));
const quint16 kPort = 40000;
const QString kPing = QStringLiteral("#FromOrvikLiteServer");

// One step: "<ms> S <text>", "<ms> X <text>" or "<ms> P <text>" receives a datagram, "<ms> tick" lets time
// pass. Texts BADUTF8 and HUGE stand for datagrams that cannot be written here.
QByteArray datagramOf(const QString& text)
{
    if (text == QLatin1String("BADUTF8"))
        return QByteArray("#f6186;8;\xC3\x28;\xFF\xFE;");
    if (text == QLatin1String("HUGE"))
        return ("#f6186;8;" + QByteArray(3000, 'a') + ";Койка;");
    return text.toUtf8();
}

// A tile as text: code;function;staff;ward;place;since, then the marks that apply.
QString describe(const CallList& calls, const CallList::Tile& t, qint64 now)
{
    QString s =
        QStringList{t.code, t.function, t.staff, t.ward, t.place, QString::number(t.sinceMs)}.join(u';');
    if (!t.isCall)
        s += QStringLiteral(" place");
    if (t.stale)
        s += QStringLiteral(" stale");
    if (calls.isHighlighted(t, now))
        s += QStringLiteral(" lit");
    return s;
}

struct Replay
{
    QStringList tiles;
    int newCalls = 0;
    int alarms = 0;
    QList<int> asks; // when the board asked the server for its open calls
};

// "<ms> run": the time from the previous step to ms, in steps of 100 ms, as it passes on a board
// whose server is heard: a ping every 500 ms, a look at the time every 200 ms.
Replay replay(BoardState& board, const QStringList& steps, qint64 from = 0)
{
    Replay result;
    qint64 now = from;
    const auto count = [&](const BoardState::Effect& effect) {
        result.newCalls += effect.newCall ? 1 : 0;
        result.alarms += effect.alarmsReached;
        if (effect.askCalls)
            result.asks << int(now);
    };
    for (const QString& step : steps) {
        const qsizetype firstBlank = step.indexOf(u' ');
        const qint64 at = step.left(firstBlank).toLongLong();
        const QString rest = step.mid(firstBlank + 1);
        if (rest == QLatin1String("run")) {
            for (now = now / 100 * 100 + 100; now <= at; now += 100) {
                if (now % 500 == 0)
                    count(board.receive(kPing.toUtf8(), kServer, kPort, now));
                if (now % 200 == 0)
                    count(board.tick(now));
            }
            now = at;
            continue;
        }
        now = at;
        BoardState::Effect effect;
        if (rest == QLatin1String("tick")) {
            effect = board.tick(now);
        } else {
            // S: the server; X: another machine; P: the server's machine, another port.
            const QHostAddress& sender = rest.startsWith(u'X') ? kStranger : kServer;
            const quint16 port = rest.startsWith(u'P') ? kPort + 1 : kPort;
            effect = board.receive(datagramOf(rest.mid(2)), sender, port, now);
        }
        count(effect);
    }
    for (const CallList::Tile& t : board.calls().tiles())
        result.tiles << describe(board.calls(), t, now);
    return result;
}

CallList::Limits limits(qsizetype maxTiles = 100)
{
    CallList::Limits l;
    l.warnMs = 180'000;
    l.alarmMs = 300'000;
    l.maxTiles = maxTiles;
    l.highlightMs = 10'000;
    return l;
}

} // namespace

class TestCallList : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void sequences_data();
    void sequences();
    void waitingTurnsToWarningAndAlarm();
    void tilesAreBounded();
    void staleUntilTheServerRepeats();
    void unlistedCallLeavesAtTheNextAnswer_data();
    void unlistedCallLeavesAtTheNextAnswer();
    void listCutByTheServerDropsNothing();
    void pinnedAnswer_data();
    void pinnedAnswer();
};

void TestCallList::sequences_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("tiles");
    QTest::addColumn<int>("newCalls");

    const QString ping = QStringLiteral("0 S ") + kPing;
    const QString call = QStringLiteral("100 S #f6186;8;Тестова Анна;Койка № 1;");
    const QString tile = QStringLiteral("f6186;8;Тестова Анна;;Койка № 1;100");

    QTest::newRow("call") << QStringList{ping, call} << QStringList{tile} << 1;
    QTest::newRow("repeat keeps the waiting time")
        << QStringList{ping, call, QStringLiteral("5000 S #f6186;8;Тестова Анна;Койка № 1;")}
        << QStringList{tile} << 1;
    QTest::newRow("function 4 on an open call is the same call")
        << QStringList{ping, call, QStringLiteral("900 S #f6186;4;Тестова Анна;Койка № 1;")}
        << QStringList{QStringLiteral("f6186;4;Тестова Анна;;Койка № 1;100")} << 1;
    QTest::newRow("cancel") << QStringList{ping, call,
                                           QStringLiteral("900 S #f6186;2;Тестова Анна;Койка № 1;")}
                            << QStringList{} << 1;
    QTest::newRow("cancel without a call")
        << QStringList{ping, QStringLiteral("900 S #f6186;2;;Койка № 1;")} << QStringList{} << 0;
    QTest::newRow("call after its cancel is new")
        << QStringList{ping, call, QStringLiteral("900 S #f6186;2;;Койка № 1;"),
                       QStringLiteral("1000 S #f6186;8;;Койка № 1;")}
        << QStringList{QStringLiteral("f6186;8;;;Койка № 1;1000")} << 2;
    QTest::newRow("longest waiting first, cancel leaves the other")
        << QStringList{ping, QStringLiteral("100 S #aaaaa;8;;A;"), QStringLiteral("200 S #bbbbb;8;;B;"),
                       QStringLiteral("300 S #ccccc;8;;C;"), QStringLiteral("400 S #bbbbb;2;;B;")}
        << QStringList{QStringLiteral("aaaaa;8;;;A;100"), QStringLiteral("ccccc;8;;;C;300")} << 3;
    QTest::newRow("KB key call and cancel")
        << QStringList{ping, QStringLiteral("100 S #1a0C;b;Анна;Пост;"),
                       QStringLiteral("200 S #1a0D;b;Анна;Пост;"), QStringLiteral("300 S #1a0C;d;Анна;Пост;")}
        << QStringList{QStringLiteral("1a0D;b;Анна;;Пост;200")} << 2;
    QTest::newRow("KB cancel of another key leaves the call")
        << QStringList{ping, QStringLiteral("100 S #1a0C;b;;Пост;"), QStringLiteral("200 S #1a20;d;;Пост;")}
        << QStringList{QStringLiteral("1a0C;b;;;Пост;100")} << 1;
    QTest::newRow("place notice without a call shows the place")
        << QStringList{ping, QStringLiteral("100 S #f6186;0;Палата 1;Койка № 1;f6186;"),
                       QStringLiteral("10099 tick")}
        << QStringList{QStringLiteral("f6186;0;;Палата 1;Койка № 1;100 place lit")} << 0;
    QTest::newRow("place tile goes after 10 s")
        << QStringList{ping, QStringLiteral("100 S #f6186;0;Палата 1;Койка № 1;f6186;"),
                       QStringLiteral("10100 tick")}
        << QStringList{} << 0;
    QTest::newRow("place notice highlights the open call")
        << QStringList{ping, call, QStringLiteral("200 S #f6186;0;Палата 1;Койка № 1;f6186;")}
        << QStringList{tile + QStringLiteral(" lit")} << 1;
    QTest::newRow("highlight of a call ends after 10 s, the call stays")
        << QStringList{ping, call, QStringLiteral("200 S #f6186;0;Палата 1;Койка № 1;f6186;"),
                       QStringLiteral("10200 tick")}
        << QStringList{tile} << 1;
    QTest::newRow("place notice of a KB unit highlights its keys")
        << QStringList{ping, QStringLiteral("100 S #1a0C;b;;Пост;"),
                       QStringLiteral("200 S #1a;0;Палата 2;Пост;1a;")}
        << QStringList{QStringLiteral("1a0C;b;;;Пост;100 lit")} << 1;
    QTest::newRow("call at a pointed place replaces the place tile")
        << QStringList{ping, QStringLiteral("100 S #f6186;0;Палата 1;Койка № 1;f6186;"),
                       QStringLiteral("200 S #f6186;8;Анна;Койка № 1;")}
        << QStringList{QStringLiteral("f6186;8;Анна;;Койка № 1;200 lit")} << 1;
    QTest::newRow("names holding ; keep the call")
        << QStringList{ping, QStringLiteral("100 S #f6186;8;Анна;Койка 1; у окна;")}
        << QStringList{QStringLiteral("f6186;8;Анна;;Койка 1; у окна;100")} << 1;

    // Nothing of these reaches the board.
    const QStringList junk = {
        QStringLiteral("#f6186;8;Анна;"),         // too few fields
        QStringLiteral("f6186;8;Анна;Койка;"),    // no "#"
        QStringLiteral("#f6186;8;Анна;Койка"),    // last field not closed
        QStringLiteral("#f6186;7;Анна;Койка;"),   // unknown function
        QStringLiteral("#f6186;;Анна;Койка;"),    // no function
        QStringLiteral("#;8;Анна;Койка;"),        // no code
        QStringLiteral("#f6 86;8;Анна;Койка;"),   // blank in the code
        QStringLiteral("#f6186;0;Палата;Койка;"), // place notice without its cancel code
        QStringLiteral("#"),
        QStringLiteral(""),
        QStringLiteral("BADUTF8"),
        QStringLiteral("HUGE"),
        kPing + QLatin1Char(' '), // not the ping, not a notice
    };
    for (const QString& text : junk) {
        QTest::addRow("malformed: %s", qPrintable(text.left(30)))
            << QStringList{ping, QStringLiteral("100 S ") + text} << QStringList{} << 0;
    }

    QTest::newRow("notice before any ping") << QStringList{call} << QStringList{} << 0;
    QTest::newRow("notice from another machine")
        << QStringList{ping, QStringLiteral("100 X #f6186;8;Анна;Койка;")} << QStringList{} << 0;
    QTest::newRow("another port of the server's machine")
        << QStringList{ping, QStringLiteral("100 P #f6186;8;Анна;Койка;")} << QStringList{} << 0;
    QTest::newRow("a restarted server on a new port is taken once the old one is silent")
        << QStringList{ping, QStringLiteral("1000 P ") + kPing, QStringLiteral("2500 P ") + kPing,
                       QStringLiteral("2600 P #f6186;8;Анна;Койка;")}
        << QStringList{QStringLiteral("f6186;8;Анна;;Койка;2600")} << 1;
    QTest::newRow("another machine's ping does not take over a live server")
        << QStringList{ping, QStringLiteral("500 X ") + kPing, QStringLiteral("600 X #f6186;8;Анна;Койка;")}
        << QStringList{} << 0;
    // A server silent for a few seconds is still the server: a forger's pings never take its place.
    QTest::newRow("another machine's ping does not take over a briefly silent server")
        << QStringList{ping, QStringLiteral("3000 X ") + kPing, QStringLiteral("3100 X #f6186;8;Анна;Койка;"),
                       QStringLiteral("3200 S #aaaaa;8;;A;")}
        << QStringList{QStringLiteral("aaaaa;8;;;A;3200")} << 1;
    QTest::newRow("another machine's ping takes over a server silent for a minute")
        << QStringList{ping, QStringLiteral("61000 X ") + kPing,
                       QStringLiteral("61100 X #f6186;8;Анна;Койка;"), QStringLiteral("61200 S #aaaaa;8;;A;")}
        << QStringList{QStringLiteral("f6186;8;Анна;;Койка;61100")} << 1;
}

void TestCallList::sequences()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, tiles);
    QFETCH(int, newCalls);
    BoardState board(QHostAddress(), kPing, limits());
    const Replay result = replay(board, steps);
    QCOMPARE(result.tiles, tiles);
    QCOMPARE(result.newCalls, newCalls);
}

void TestCallList::waitingTurnsToWarningAndAlarm()
{
    BoardState board(QHostAddress(), kPing, limits());
    board.receive(kPing.toUtf8(), kServer, kPort, 0);
    board.receive("#f6186;8;;Койка;", kServer, kPort, 1000);
    const CallList& calls = board.calls();
    const auto levelAt = [&](qint64 now) { return calls.level(calls.tiles().at(0), now); };
    QCOMPARE(levelAt(180'999), CallList::Level::Normal);
    QCOMPARE(levelAt(181'000), CallList::Level::Warning);
    QCOMPARE(levelAt(300'999), CallList::Level::Warning);
    QCOMPARE(levelAt(301'000), CallList::Level::Alarm);

    // The alarm cue sounds once per call, on the tick that finds it due.
    QCOMPARE(board.tick(300'999).alarmsReached, 0);
    QCOMPARE(board.tick(301'000).alarmsReached, 1);
    QCOMPARE(board.tick(302'000).alarmsReached, 0);
    board.receive("#f6186;8;;Койка;", kServer, kPort, 302'100); // a repeat is no new call and no new alarm
    QCOMPARE(board.tick(400'000).alarmsReached, 0);
    board.receive("#bbbbb;8;;B;", kServer, kPort, 400'000);
    QCOMPARE(board.tick(700'000).alarmsReached, 1);
}

void TestCallList::tilesAreBounded()
{
    BoardState board(QHostAddress(), kPing, limits(3));
    board.receive(kPing.toUtf8(), kServer, kPort, 0);
    board.receive("#ppppp;0;Палата;Место;ppppp;", kServer, kPort, 10);
    for (int i = 0; i < 3; ++i)
        board.receive(QStringLiteral("#c000%1;8;;К%1;").arg(i).toUtf8(), kServer, kPort, 100 + i);
    // The place tile gave way first, then the call waiting longest.
    Replay now = replay(board, {QStringLiteral("200 S #c0003;8;;К3;")});
    QCOMPARE(now.tiles, (QStringList{QStringLiteral("c0001;8;;;К1;101"), QStringLiteral("c0002;8;;;К2;102"),
                                     QStringLiteral("c0003;8;;;К3;200")}));
    // A place tile does not push out a call.
    now = replay(board, {QStringLiteral("300 S #qqqqq;0;Палата;Место;qqqqq;")});
    QCOMPARE(now.tiles.size(), 3);
    QVERIFY(!now.tiles.join(u'|').contains(QStringLiteral("qqqqq")));

    // A flood of distinct calls keeps the bound.
    for (int i = 0; i < 5000; ++i)
        board.receive(QStringLiteral("#z%1;8;;Z;").arg(i).toUtf8(), kServer, kPort, 1000 + i);
    QCOMPARE(board.calls().tiles().size(), 3);
    QCOMPARE(board.calls().tiles().last().code, QStringLiteral("z4999"));
}

void TestCallList::staleUntilTheServerRepeats()
{
    BoardState board(QHostAddress(), kPing, limits());
    QVERIFY(board.isLost(0)); // nothing heard yet
    board.receive(kPing.toUtf8(), kServer, kPort, 0);
    QVERIFY(!board.isLost(1999));
    board.receive("#aaaaa;8;;A;", kServer, kPort, 100);
    board.receive("#bbbbb;8;;B;", kServer, kPort, 200);
    QVERIFY(!board.tick(1999).changed);
    QVERIFY(board.tick(2000).changed); // the banner comes
    QVERIFY(board.isLost(2000));
    Replay shown = replay(board, {QStringLiteral("2100 tick")});
    QCOMPARE(shown.tiles,
             (QStringList{QStringLiteral("aaaaa;8;;;A;100 stale"), QStringLiteral("bbbbb;8;;;B;200 stale")}));

    // Pings return: the banner goes, but a call cancelled meanwhile could still be shown, so the
    // tiles keep their mark until the server repeats them; a call that arrives now has none.
    QVERIFY(board.receive(kPing.toUtf8(), kServer, kPort, 3000).changed);
    QVERIFY(!board.isLost(3000));
    shown = replay(board, {QStringLiteral("3100 S #bbbbb;8;;B;"), QStringLiteral("3200 S #ccccc;8;;C;")});
    QCOMPARE(shown.tiles,
             (QStringList{QStringLiteral("aaaaa;8;;;A;100 stale"), QStringLiteral("bbbbb;8;;;B;200"),
                          QStringLiteral("ccccc;8;;;C;3200")}));
    QCOMPARE(shown.newCalls, 1);
}

namespace {

// A whole one-part answer as the server sends it, with the usual thresholds.
QString answerStep(int ms, int list, const QString& records = QString())
{
    return QStringLiteral("%1 S #HalvaneOpenCalls;%2;1;1;180;300").arg(ms).arg(list) + records;
}

QString record(const QString& code, const QString& f, qint64 waitedMs, const QString& place)
{
    return QStringLiteral("\n%1\t%2\t%3\t0\t\tАнна\t%4").arg(code, f).arg(waitedMs).arg(place);
}

} // namespace

// A call the server no longer lists leaves the board at the next whole answer, whatever made the
// board ask: its cancel notice may have been lost without the link ever counting as lost. A call
// the board heard of after it asked stays: the answer may have been built before the server had it.
void TestCallList::unlistedCallLeavesAtTheNextAnswer_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("tiles");
    QTest::addColumn<QList<int>>("asks");

    const QString f6186 =
        record(QStringLiteral("f6186"), QStringLiteral("8"), 300, QStringLiteral("Койка № 1"));
    // Asked at the first ping, answered; a call, asked again for its ward at the next look, answered.
    const QStringList shown{QStringLiteral("0 S ") + kPing,
                            QStringLiteral("0 tick"),
                            answerStep(100, 1),
                            QStringLiteral("1000 S #f6186;8;Анна;Койка № 1;"),
                            QStringLiteral("1200 run"),
                            answerStep(1300, 2, f6186)};
    const QString tile = QStringLiteral("f6186;8;Анна;;Койка № 1;1000");

    QTest::newRow("the periodic request while a call is shown")
        << (shown +
            QStringList{QStringLiteral("11400 run"), answerStep(11500, 3), QStringLiteral("12000 run")})
        << QStringList{} << QList<int>{0, 1200, 11400};
    QTest::newRow("the request after another call")
        << (shown + QStringList{QStringLiteral("5000 run"), QStringLiteral("5000 S #ba5ac;8;Анна;Койка № 2;"),
                                QStringLiteral("5200 run"),
                                answerStep(5300, 3,
                                           record(QStringLiteral("ba5ac"), QStringLiteral("8"), 300,
                                                  QStringLiteral("Койка № 2")))})
        << QStringList{QStringLiteral("ba5ac;8;Анна;;Койка № 2;5000")} << QList<int>{0, 1200, 5200};
    QTest::newRow("the request after a reconnection")
        << (shown + QStringList{QStringLiteral("4000 tick"), QStringLiteral("4500 S ") + kPing,
                                QStringLiteral("4500 tick"), answerStep(4600, 3)})
        << QStringList{} << QList<int>{0, 1200, 4500};
    QTest::newRow("a call heard after the request stays")
        << (shown + QStringList{QStringLiteral("11400 run"), QStringLiteral("11450 S #ccccc;8;;Койка № 3;"),
                                answerStep(11500, 3,
                                           record(QStringLiteral("f6186"), QStringLiteral("8"), 10'500,
                                                  QStringLiteral("Койка № 1")))})
        << QStringList{tile, QStringLiteral("ccccc;8;;;Койка № 3;11450")} << QList<int>{0, 1200, 11400};
    // A repeat, or the place called again after a lost cancel: the server had the call at that moment.
    QTest::newRow("a call heard again after the request stays")
        << (shown + QStringList{QStringLiteral("11400 run"),
                                QStringLiteral("11450 S #f6186;8;Анна;Койка № 1;"), answerStep(11500, 3)})
        << QStringList{tile} << QList<int>{0, 1200, 11400};
    QTest::newRow("and leaves at the answer after")
        << (shown + QStringList{QStringLiteral("11400 run"),
                                QStringLiteral("11450 S #f6186;8;Анна;Койка № 1;"), answerStep(11500, 3),
                                QStringLiteral("21600 run"), answerStep(21700, 4)})
        << QStringList{} << QList<int>{0, 1200, 11400, 21600};
    QTest::newRow("an answer heard twice does not take a call heard since")
        << QStringList{QStringLiteral("0 S ") + kPing,
                       QStringLiteral("0 tick"),
                       answerStep(100, 1),
                       QStringLiteral("1000 S #f6186;8;Анна;Койка № 1;"),
                       QStringLiteral("1200 run"),
                       answerStep(1250, 1)}
        << QStringList{tile} << QList<int>{0, 1200};
    QTest::newRow("no call shown: asked every two minutes")
        << QStringList{QStringLiteral("0 S ") + kPing, QStringLiteral("0 tick"), answerStep(100, 1),
                       QStringLiteral("120300 run")}
        << QStringList{} << QList<int>{0, 120'200};
    // An older server: six requests, and another six only after the long period, calls shown or not.
    QTest::newRow("a server that never answers")
        << QStringList{QStringLiteral("0 S ") + kPing, QStringLiteral("0 tick"),
                       QStringLiteral("50 S #f6186;8;Анна;Койка № 1;"), QStringLiteral("125500 run")}
        << QStringList{QStringLiteral("f6186;8;Анна;;Койка № 1;50")}
        << QList<int>{0, 1000, 2000, 3000, 4000, 5000, 125'000};
}

void TestCallList::unlistedCallLeavesAtTheNextAnswer()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, tiles);
    QFETCH(QList<int>, asks);
    BoardState board(QHostAddress(), kPing, limits());
    const Replay result = replay(board, steps);
    QCOMPARE(result.tiles, tiles);
    QCOMPARE(result.asks, asks);
}

// The server cuts a list of thousands of calls at the most parts an answer may have, the newest
// calls left out: those are not over, and no tile leaves by such a list.
void TestCallList::listCutByTheServerDropsNothing()
{
    BoardState board(QHostAddress(), kPing, limits(1000));
    QList<Stations::ListedCall> calls;
    const QString name(Stations::kMaxAnswerNameChars, u'ж'); // one call fills a part
    for (int i = 0; i < Stations::kMaxAnswerParts + 20; ++i)
        calls.append({QStringLiteral("c%1").arg(i, 4, 10, QLatin1Char('0')), "8", name, name, 1000, 0, name});
    const QList<QByteArray> parts = Stations::callsAnswer(2, 180, 300, calls);
    QCOMPARE(parts.size(), Stations::kMaxAnswerParts);

    const auto heard = [](int ms, const QList<QByteArray>& datagrams) {
        QStringList steps;
        for (const QByteArray& d : datagrams)
            steps << QString::number(ms) + QStringLiteral(" S ") + QString::fromUtf8(d);
        return steps;
    };

    Replay shown = replay(board, QStringList{QStringLiteral("0 S ") + kPing, QStringLiteral("0 tick"),
                                             answerStep(100, 1), QStringLiteral("500 S #c0270;8;;Последний;"),
                                             QStringLiteral("1000 run")} +
                                     heard(1100, parts));
    QCOMPARE(shown.asks, (QList<int>{0, 1000}));
    QCOMPARE(board.calls().callCount(), Stations::kMaxAnswerParts + 1);
    QCOMPARE(board.calls().tiles().last().code, QStringLiteral("c0270"));

    // The next request is answered with fewer parts: that list is whole, and what it leaves out is over.
    const QList<QByteArray> whole = Stations::callsAnswer(3, 180, 300, calls.mid(0, 10));
    QCOMPARE(whole.size(), 10);
    shown = replay(board, QStringList{QStringLiteral("11200 run")} + heard(11300, whole), 1100);
    QCOMPARE(shown.asks, QList<int>{11'200});
    QCOMPARE(board.calls().callCount(), 10);
}

// The bytes of answers as the server sends them, read by the board: what each tile shows, its
// waiting time and its level. The first row holds the very bytes the server's builder is held to
// in its own test (tst_stationnotice), so the two sides meet on one pinned answer.
void TestCallList::pinnedAnswer_data()
{
    QTest::addColumn<QByteArrayList>("datagrams");
    QTest::addColumn<QStringList>("tiles"); // code;function;staff;ward;place;waited ms;level

    QTest::newRow("the answer the server's builder is pinned to")
        << QByteArrayList{"#HalvaneOpenCalls;7;1;1;180;0"
                          "\nf6186\t8\t164000\t1\tПалата 1\tТестова Анна\tКойка № 1"
                          "\nba5ac\t4\t0\t0\tПалата 2\ta;b\tКойка; у окна  x"
                          "\n1a0C\tb\t3600000\t2\t\t\tПост"}
        << QStringList{"1a0C;b;;;Пост;3600000;alarm",
                       "f6186;8;Тестова Анна;Палата 1;Койка № 1;164000;warning",
                       "ba5ac;4;a;b;Палата 2;Койка; у окна  x;0;normal"};
    QTest::newRow("one call, in warning by the server's word")
        << QByteArrayList{"#HalvaneOpenCalls;7;1;1;180;300"
                          "\nf6186\t8\t164000\t1\tПалата 1\tТестова Анна\tКойка № 1"}
        << QStringList{"f6186;8;Тестова Анна;Палата 1;Койка № 1;164000;warning"};
    QTest::newRow("every kind of call, longest waiting first")
        << QByteArrayList{"#HalvaneOpenCalls;8;1;1;180;300"
                          "\nba5ac\t4\t0\t0\tПалата 2\ta;b\tКойка; у окна"
                          "\n1a0C\tb\t3600000\t2\t\t\tПост"
                          "\nf6186\t8\t200000\t0\tПалата 1\t\tКойка № 1"}
        << QStringList{"1a0C;b;;;Пост;3600000;alarm", "f6186;8;;Палата 1;Койка № 1;200000;warning",
                       "ba5ac;4;a;b;Палата 2;Койка; у окна;0;normal"};
    QTest::newRow("two parts, the second first")
        << QByteArrayList{"#HalvaneOpenCalls;9;2;2;180;300\nc0002\t8\t1000\t0\t\t\tК2",
                          "#HalvaneOpenCalls;9;1;2;180;300\nc0001\t8\t2000\t0\t\t\tК1"}
        << QStringList{"c0001;8;;;К1;2000;normal", "c0002;8;;;К2;1000;normal"};
    QTest::newRow("both levels off at the server")
        << QByteArrayList{"#HalvaneOpenCalls;10;1;1;0;0\nf6186\t8\t4000000\t0\t\t\tКойка № 1"}
        << QStringList{"f6186;8;;;Койка № 1;4000000;normal"};
    QTest::newRow("no open call") << QByteArrayList{"#HalvaneOpenCalls;11;1;1;180;300"} << QStringList{};

    // Nothing taken: the board keeps the call it heard of.
    const QStringList kept{"aaaaa;8;;;Старый вызов;150;normal"};
    QTest::newRow("one part of two")
        << QByteArrayList{"#HalvaneOpenCalls;12;1;2;180;300\nf6186\t8\t1000\t0\t\t\tКойка № 1"} << kept;
    QTest::newRow("parts of two lists")
        << QByteArrayList{"#HalvaneOpenCalls;13;1;2;180;300\nf6186\t8\t1000\t0\t\t\tКойка № 1",
                          "#HalvaneOpenCalls;14;2;2;180;300\nba5ac\t8\t1000\t0\t\t\tКойка № 2"}
        << kept;
    QTest::newRow("a level the answer does not have")
        << QByteArrayList{"#HalvaneOpenCalls;15;1;1;180;300\nf6186\t8\t1000\t3\t\t\tКойка № 1"} << kept;
    QTest::newRow("a record without its place")
        << QByteArrayList{"#HalvaneOpenCalls;16;1;1;180;300\nf6186\t8\t1000\t0\t\tАнна"} << kept;
}

void TestCallList::pinnedAnswer()
{
    QFETCH(QByteArrayList, datagrams);
    QFETCH(QStringList, tiles);

    // The board hears a call, then asks for the list.
    BoardState board(QHostAddress(), kPing, limits());
    board.receive(kPing.toUtf8(), kServer, kPort, 0);
    board.receive("#aaaaa;8;;Старый вызов;", kServer, kPort, 50);
    QVERIFY(board.tick(100).askCalls);
    for (const QByteArray& datagram : datagrams)
        board.receive(datagram, kServer, kPort, 200);

    QStringList shown;
    const char* const levels[] = {"normal", "warning", "alarm"};
    for (const CallList::Tile& t : board.calls().tiles()) {
        shown << QStringList{t.code,
                             t.function,
                             t.staff,
                             t.ward,
                             t.place,
                             QString::number(200 - t.sinceMs),
                             QLatin1String(levels[int(board.calls().level(t, 200))])}
                     .join(u';');
    }
    QCOMPARE(shown, tiles);
}

QTEST_GUILESS_MAIN(TestCallList)
#include "tst_calllist.moc"
