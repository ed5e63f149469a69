// The datagrams between the server and the display stations, built and read by the one module the
// server, the board and the tools share: every kind byte for byte as the stations have always
// received it, and what the board reads back out of it, odd names included.

#include "core/net/StationNotice.h"

#include <QTest>

class TestStationNotice : public QObject
{
    Q_OBJECT

private slots:
    void defaults();
    void buildAndParse_data();
    void buildAndParse();
    void callsAnswerRoundTrip();
    void callsAnswerSplitsIntoWholeParts();
    void callsAnswerRefusesWhatIsNotOne_data();
    void callsAnswerRefusesWhatIsNotOne();
};

void TestStationNotice::defaults()
{
    QCOMPARE(QByteArray(Stations::kHello), QByteArray("#ToOrvikLiteServer"));
    QCOMPARE(QByteArray(Stations::kPing), QByteArray("#FromOrvikLiteServer"));
    QCOMPARE(Stations::kServerPort, 5566);
    QCOMPARE(Stations::kStationPort, 5567);
    QCOMPARE(Stations::kPingEveryMs, 500);

    const Notice ping = parseNotice(QByteArray(Stations::kPing), QLatin1String(Stations::kPing));
    QCOMPARE(ping.kind, Notice::Kind::Ping);
    // The hello is what stations send, never something the board takes from the server.
    QCOMPARE(parseNotice(QByteArray(Stations::kHello), QLatin1String(Stations::kPing)).kind,
             Notice::Kind::Invalid);
}

// Each row: the notice built ("event" from code, function, staff, place; "place" from call code,
// cancel code, name, ward), its exact bytes, and the notice the board reads from them.
void TestStationNotice::buildAndParse_data()
{
    QTest::addColumn<QString>("builder");
    QTest::addColumn<QStringList>("fields");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<Notice::Kind>("kind");
    QTest::addColumn<QStringList>("read"); // code, function, staff, ward, place

    const QString event = QStringLiteral("event");
    const QString place = QStringLiteral("place");
    using K = Notice::Kind;

    QTest::newRow("place call, no staff")
        << event << QStringList{"f6186", "8", "", "Койка № 1"} << QByteArray("#f6186;8;;Койка № 1;")
        << K::Call << QStringList{"f6186", "8", "", "", "Койка № 1"};
    QTest::newRow("place cancel") << event << QStringList{"f6186", "2", "Петрова", "Койка № 1"}
                                  << QByteArray("#f6186;2;Петрова;Койка № 1;") << K::Cancel
                                  << QStringList{"f6186", "2", "Петрова", "", "Койка № 1"};
    QTest::newRow("reception call") << event << QStringList{"ba5ac", "4", "Тестова Анна", "Койка № 2"}
                                    << QByteArray("#ba5ac;4;Тестова Анна;Койка № 2;") << K::Call
                                    << QStringList{"ba5ac", "4", "Тестова Анна", "", "Койка № 2"};
    QTest::newRow("KB key, code as received")
        << event << QStringList{"1a0C", "b", "", "Палата 3"} << QByteArray("#1a0C;b;;Палата 3;") << K::Call
        << QStringList{"1a0C", "b", "", "", "Палата 3"};
    QTest::newRow("KB key cancel") << event << QStringList{"1a0C", "d", "Анна", "Пост"}
                                   << QByteArray("#1a0C;d;Анна;Пост;") << K::Cancel
                                   << QStringList{"1a0C", "d", "Анна", "", "Пост"};
    // Nothing is escaped: the staff name's ";" makes the reader take its second half as the place.
    QTest::newRow("separators in names are not escaped")
        << event << QStringList{"f6186", "4", "a;b", "#c"} << QByteArray("#f6186;4;a;b;#c;") << K::Call
        << QStringList{"f6186", "4", "a", "", "b;#c"};
    QTest::newRow("separator in the place name") << event << QStringList{"f6186", "8", "", "Койка 1; у окна"}
                                                 << QByteArray("#f6186;8;;Койка 1; у окна;") << K::Call
                                                 << QStringList{"f6186", "8", "", "", "Койка 1; у окна"};
    QTest::newRow("all empty") << event << QStringList{"", "", "", ""} << QByteArray("#;;;;") << K::Invalid
                               << QStringList{"", "", "", "", ""};
    QTest::newRow("unknown function")
        << event << QStringList{"f6186", "7", "", "Койка"} << QByteArray("#f6186;7;;Койка;") << K::Invalid
        << QStringList{"", "", "", "", ""};

    QTest::newRow("place notice, seed place")
        << place << QStringList{"f6186", "f6186", "Койка № 1", "Палата 1"}
        << QByteArray("#f6186;0;Палата 1;Койка № 1;f6186;") << K::Place
        << QStringList{"f6186", "0", "", "Палата 1", "Койка № 1"};
    QTest::newRow("place notice, own cancel code, ; in the name")
        << place << QStringList{"f6186", "f6187", "Койка; у окна", "Палата 1"}
        << QByteArray("#f6186;0;Палата 1;Койка; у окна;f6187;") << K::Place
        << QStringList{"f6186", "0", "", "Палата 1", "Койка; у окна"};
    QTest::newRow("place notice of a KB unit, no ward")
        << place << QStringList{"1a", "1a", "Пост", ""} << QByteArray("#1a;0;;Пост;1a;") << K::Place
        << QStringList{"1a", "0", "", "", "Пост"};
    QTest::newRow("place notice of an empty row")
        << place << QStringList{"", "", "", ""} << QByteArray("#;0;;;;") << K::Invalid
        << QStringList{"", "", "", "", ""};
}

void TestStationNotice::buildAndParse()
{
    QFETCH(QString, builder);
    QFETCH(QStringList, fields);
    QFETCH(QByteArray, bytes);
    QFETCH(Notice::Kind, kind);
    QFETCH(QStringList, read);

    const QString text = builder == QLatin1String("event")
                             ? Stations::eventNotice(fields.at(0), fields.at(1), fields.at(2), fields.at(3))
                             : Stations::placeNotice(fields.at(0), fields.at(1), fields.at(2), fields.at(3));
    QCOMPARE(text.toUtf8(), bytes);

    const Notice notice = parseNotice(bytes, QLatin1String(Stations::kPing));
    QCOMPARE(notice.kind, kind);
    QCOMPARE((QStringList{notice.code, notice.function, notice.staff, notice.ward, notice.place}), read);
}

void TestStationNotice::callsAnswerRoundTrip()
{
    using Stations::ListedCall;
    const QList<ListedCall> calls{
        {"f6186", "8", "Тестова Анна", "Койка № 1", 164'000, 1, "Палата 1"},
        // The answer has separators of its own: ";" stays, control characters become blanks.
        {"ba5ac", "4", "a;b", "Койка; у окна\t\nx", 0, 0, "Палата\t2"},
        {"1a0C", "b", "", "Пост", 3'600'000, 2, ""},
        {"bad code", "8", "", "не уходит", 1, 0, ""}, // could not stand in a notice either
        {"f6187", "2", "", "отмена не вызов", 1, 0, ""},
    };
    const QList<QByteArray> datagrams = Stations::callsAnswer(7, 180, 0, calls);
    QCOMPARE(datagrams.size(), 1);
    QCOMPARE(datagrams.first(), QByteArray("#HalvaneOpenCalls;7;1;1;180;0"
                                           "\nf6186\t8\t164000\t1\tПалата 1\tТестова Анна\tКойка № 1"
                                           "\nba5ac\t4\t0\t0\tПалата 2\ta;b\tКойка; у окна  x"
                                           "\n1a0C\tb\t3600000\t2\t\t\tПост"));
    // The plain notice reader takes none of it for a notice.
    QCOMPARE(parseNotice(datagrams.first(), QLatin1String(Stations::kPing)).kind, Notice::Kind::Invalid);

    const Stations::CallsAnswer answer = Stations::parseCallsAnswer(datagrams.first());
    QVERIFY(answer.valid);
    QCOMPARE(answer.list, 7u);
    QCOMPARE(answer.part, 1);
    QCOMPARE(answer.parts, 1);
    QCOMPARE(answer.warnSec, 180);
    QCOMPARE(answer.alarmSec, 0);
    QList<ListedCall> expected = calls.mid(0, 3);
    expected[1].place = QStringLiteral("Койка; у окна  x");
    expected[1].ward = QStringLiteral("Палата 2");
    QCOMPARE(answer.calls, expected);

    // No open call: one part with the head alone.
    QCOMPARE(Stations::callsAnswer(1, 180, 300, {}), QList<QByteArray>{"#HalvaneOpenCalls;1;1;1;180;300"});
    QVERIFY(Stations::parseCallsAnswer("#HalvaneOpenCalls;1;1;1;180;300").valid);
}

void TestStationNotice::callsAnswerSplitsIntoWholeParts()
{
    QList<Stations::ListedCall> calls;
    for (int i = 0; i < 200; ++i) {
        calls.append({QStringLiteral("c%1").arg(i, 4, 10, QLatin1Char('0')), "8", QString(300, u'ж'),
                      QStringLiteral("Койка у окна № %1 (после операции)").arg(i) + QString(200, u'я'),
                      i * 1000LL, i % 3, QString(300, u'п')});
    }
    const QList<QByteArray> datagrams = Stations::callsAnswer(42, 180, 300, calls);
    QVERIFY(datagrams.size() > 1);
    QList<Stations::ListedCall> read;
    for (qsizetype i = 0; i < datagrams.size(); ++i) {
        QVERIFY(datagrams.at(i).size() <= NoticeLimits::kMaxDatagramBytes);
        const Stations::CallsAnswer part = Stations::parseCallsAnswer(datagrams.at(i));
        QVERIFY(part.valid);
        QCOMPARE(part.list, 42u);
        QCOMPARE(part.part, int(i + 1));
        QCOMPARE(part.parts, int(datagrams.size()));
        QVERIFY(!part.calls.isEmpty());
        read += part.calls;
    }
    // Every call, in order; long names cut to a length every part can carry.
    QCOMPARE(read.size(), calls.size());
    for (qsizetype i = 0; i < read.size(); ++i) {
        QCOMPARE(read.at(i).code, calls.at(i).code);
        QCOMPARE(read.at(i).waitedMs, calls.at(i).waitedMs);
        QCOMPARE(read.at(i).level, calls.at(i).level);
        QCOMPARE(read.at(i).staff, calls.at(i).staff.left(Stations::kMaxAnswerNameChars));
        QCOMPARE(read.at(i).place, calls.at(i).place.left(Stations::kMaxAnswerNameChars));
        QCOMPARE(read.at(i).ward, calls.at(i).ward.left(Stations::kMaxAnswerNameChars));
    }
}

void TestStationNotice::callsAnswerRefusesWhatIsNotOne_data()
{
    QTest::addColumn<QByteArray>("datagram");
    const QByteArray call = "\nf6186\t8\t1000\t0\tПалата\t\tКойка";
    QTest::newRow("head cut") << QByteArray("#HalvaneOpenCalls;1;1;1;180") + call;
    QTest::newRow("part beyond the count") << QByteArray("#HalvaneOpenCalls;1;3;2;180;300") + call;
    QTest::newRow("part 0") << QByteArray("#HalvaneOpenCalls;1;0;2;180;300") + call;
    QTest::newRow("too many parts") << QByteArray("#HalvaneOpenCalls;1;1;257;180;300") + call;
    QTest::newRow("negative threshold") << QByteArray("#HalvaneOpenCalls;1;1;1;-5;300") + call;
    QTest::newRow("list number too large") << QByteArray("#HalvaneOpenCalls;4294967296;1;1;180;300") + call;
    QTest::newRow("sign in a number") << QByteArray("#HalvaneOpenCalls;+1;1;1;180;300") + call;
    QTest::newRow("waited beyond range")
        << QByteArray("#HalvaneOpenCalls;1;1;1;180;300\nf6186\t8\t9223372036854775807\t0\t\t\tКойка");
    QTest::newRow("level 3") << QByteArray("#HalvaneOpenCalls;1;1;1;180;300\nf6186\t8\t1\t3\t\t\tКойка");
    QTest::newRow("a cancel is no open call")
        << QByteArray("#HalvaneOpenCalls;1;1;1;180;300\nf6186\t2\t1\t0\t\t\tКойка");
    QTest::newRow("field missing") << QByteArray("#HalvaneOpenCalls;1;1;1;180;300\nf6186\t8\t1\t0\t\tКойка");
    QTest::newRow("code with a blank")
        << QByteArray("#HalvaneOpenCalls;1;1;1;180;300\nf6 86\t8\t1\t0\t\t\tК");
    QTest::newRow("invalid UTF-8") << QByteArray("#HalvaneOpenCalls;1;1;1;180;300\nf6186\t8\t1\t0\t\t\t\xff");
    QTest::newRow("oversized") << QByteArray("#HalvaneOpenCalls;1;1;1;180;300") + call +
                                      QByteArray(NoticeLimits::kMaxDatagramBytes, 'x');
    QTest::newRow("the request") << QByteArray(Stations::kCallsRequest);
}

void TestStationNotice::callsAnswerRefusesWhatIsNotOne()
{
    QFETCH(QByteArray, datagram);
    QVERIFY(!Stations::parseCallsAnswer(datagram).valid);
}

QTEST_GUILESS_MAIN(TestStationNotice)
#include "tst_stationnotice.moc"
