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

QTEST_GUILESS_MAIN(TestStationNotice)
#include "tst_stationnotice.moc"
