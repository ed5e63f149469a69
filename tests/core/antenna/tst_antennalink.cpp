#include "core/antenna/AntennaLink.h"

#include <QTest>

#include <thread>

class TestAntennaLink : public QObject
{
    Q_OBJECT

private slots:
    void classification_data();
    void classification();
    void signOnsLastOneStatusPeriod();
    void takeBatchMovesQueueToPreviousBatch();
    void queueBoundsHoldUnderFlood();
    void signOnBoundsHold();
    void listenerAndDispatcherRaceLosesNothing();
};

// Each row: datagrams fed before, then `ticks` batches taken, then the datagrams under test.
void TestAntennaLink::classification_data()
{
    QTest::addColumn<QByteArrayList>("before");
    QTest::addColumn<int>("ticks");
    QTest::addColumn<QByteArrayList>("feed");
    QTest::addColumn<QStringList>("queued");
    QTest::addColumn<QStringList>("signOns");
    QTest::addColumn<int>("btnAdd");

    const QString bad(QChar::ReplacementCharacter);

    QTest::newRow("sign-on") << QByteArrayList{} << 0 << QByteArrayList{"###A1"} << QStringList{}
                             << QStringList{"A1"} << 0;
    QTest::newRow("sign-on repeated, letter case aside")
        << QByteArrayList{} << 0 << QByteArrayList{"###A1", "###A1", "###a1", "###B2"} << QStringList{}
        << QStringList{"A1", "B2"} << 0;
    QTest::newRow("\"###\" alone is a press message")
        << QByteArrayList{} << 0 << QByteArrayList{"###"} << QStringList{"###"} << QStringList{} << 0;
    QTest::newRow("@SUC") << QByteArrayList{} << 0 << QByteArrayList{"@SUC"} << QStringList{} << QStringList{}
                          << 1;
    QTest::newRow("@ERR") << QByteArrayList{} << 0 << QByteArrayList{"@ERR"} << QStringList{} << QStringList{}
                          << 2;
    QTest::newRow("last reply wins, others keep it")
        << QByteArrayList{} << 0 << QByteArrayList{"@ERR", "@SUC", "@REG", "@suc"} << QStringList{}
        << QStringList{} << 1;
    QTest::newRow("own @REG beacon ignored")
        << QByteArrayList{} << 0 << QByteArrayList{"@REG"} << QStringList{} << QStringList{} << 0;
    QTest::newRow("5 and 6 characters after @ are press messages")
        << QByteArrayList{} << 0 << QByteArrayList{"@ABCD", "@ABCDE"} << QStringList{"@ABCD", "@ABCDE"}
        << QStringList{} << 0;
    QTest::newRow("empty datagram queued once")
        << QByteArrayList{} << 0 << QByteArrayList{"", ""} << QStringList{""} << QStringList{} << 0;
    QTest::newRow("same message three times")
        << QByteArrayList{} << 0 << QByteArrayList{"f61868", "f61868", "f61868"} << QStringList{"f61868"}
        << QStringList{} << 0;
    QTest::newRow("queued twice apart from case")
        << QByteArrayList{} << 0 << QByteArrayList{"ABCDE8", "abcde8", "f61868"}
        << QStringList{"ABCDE8", "f61868"} << QStringList{} << 0;
    QTest::newRow("in previous batch apart from case")
        << QByteArrayList{"abcde8"} << 1 << QByteArrayList{"ABCDE8", "f61868"} << QStringList{"f61868"}
        << QStringList{} << 0;
    QTest::newRow("batch before the previous one no longer suppresses")
        << QByteArrayList{"abcde8"} << 2 << QByteArrayList{"ABCDE8"} << QStringList{"ABCDE8"} << QStringList{}
        << 0;
    QTest::newRow("Cyrillic letter case folded")
        << QByteArrayList{} << 0 << QByteArrayList{"Жа1238", "жА1238"} << QStringList{"Жа1238"}
        << QStringList{} << 0;
    QTest::newRow("invalid UTF-8 becomes replacement characters")
        << QByteArrayList{} << 0
        << QByteArrayList{"\xff\xfe"
                          "cde8",
                          "###\xc3"}
        << QStringList{bad + bad + "cde8"} << QStringList{bad} << 0;
    // A byte order mark is a character like any other: nothing it precedes is a sign-on, a reply or
    // the message it would otherwise be.
    const QString bom(QChar(0xFEFF));
    QTest::newRow("byte order mark kept")
        << QByteArrayList{} << 0
        << QByteArrayList{"\xef\xbb\xbf###A1", "\xef\xbb\xbf@SUC",
                          "\xef\xbb\xbf"
                          "f61868"}
        << QStringList{bom + "###A1", bom + "@SUC", bom + "f61868"} << QStringList{} << 0;
    QTest::newRow("embedded zero bytes kept")
        << QByteArrayList{} << 0 << QByteArrayList{QByteArray("ab\0de8", 6)}
        << QStringList{QString::fromLatin1("ab\0de8", 6)} << QStringList{} << 0;
}

void TestAntennaLink::classification()
{
    QFETCH(QByteArrayList, before);
    QFETCH(int, ticks);
    QFETCH(QByteArrayList, feed);

    AntennaLink link;
    for (const QByteArray& datagram : before)
        link.IdUDPServerAntUDPRead(datagram);
    for (int i = 0; i < ticks; ++i)
        link.takeBatch();
    for (const QByteArray& datagram : feed)
        link.IdUDPServerAntUDPRead(datagram);

    QTEST(link.SAant(), "queued");
    QTEST(link.SAsign(), "signOns");
    QTEST(int(link.btn_add.load()), "btnAdd");
}

void TestAntennaLink::signOnsLastOneStatusPeriod()
{
    AntennaLink link;
    link.IdUDPServerAntUDPRead("###A1");
    link.IdUDPServerAntUDPRead("###B2");
    QCOMPARE(link.takeSignOns(), (QStringList{"A1", "B2"}));
    QVERIFY(link.SAsign().isEmpty());

    // A new status period hears the same antenna again.
    link.IdUDPServerAntUDPRead("###a1");
    QCOMPARE(link.takeSignOns(), QStringList{"a1"});
    QVERIFY(link.takeSignOns().isEmpty());
}

void TestAntennaLink::takeBatchMovesQueueToPreviousBatch()
{
    AntennaLink link;
    for (const char* text : {"f61868", "1a0C0b", "f61862"})
        link.IdUDPServerAntUDPRead(text);

    const QStringList batch = link.takeBatch();
    QCOMPARE(batch, (QStringList{"f61868", "1a0C0b", "f61862"}));
    QCOMPARE(link.SAant_(), batch);
    QVERIFY(link.SAant().isEmpty());

    // An empty tick empties the previous batch, so the next copy is queued again.
    QVERIFY(link.takeBatch().isEmpty());
    QVERIFY(link.SAant_().isEmpty());
    link.IdUDPServerAntUDPRead("F61868");
    QCOMPARE(link.SAant(), QStringList{"F61868"});
}

void TestAntennaLink::queueBoundsHoldUnderFlood()
{
    AntennaLink link;
    for (int i = 0; i < 20000; ++i)
        link.IdUDPServerAntUDPRead("x" + QByteArray::number(i) + "8");
    QCOMPARE(link.SAant().size(), AntennaLink::kMaxQueued);
    QCOMPARE(link.SAant().constFirst(), QStringLiteral("x08"));

    // The dropped ones were not remembered: after a tick the queue takes messages again, and the
    // previous batch still filters its own texts.
    QCOMPARE(link.takeBatch().size(), AntennaLink::kMaxQueued);
    link.IdUDPServerAntUDPRead("X08");
    link.IdUDPServerAntUDPRead("x199998");
    QCOMPARE(link.SAant(), QStringList{"x199998"});

    // Datagrams of the largest size are bounded by their total length, well before the count.
    AntennaLink bigLink;
    QByteArray big(65507, 'a');
    for (int i = 0; i < 200; ++i) {
        const QByteArray tag = QByteArray::number(i);
        big.replace(0, tag.size(), tag);
        bigLink.IdUDPServerAntUDPRead(big);
    }
    const QStringList queued = bigLink.SAant();
    qsizetype chars = 0;
    for (const QString& text : queued)
        chars += text.size();
    QVERIFY(chars <= AntennaLink::kMaxQueuedChars);
    QCOMPARE(queued.size(), AntennaLink::kMaxQueuedChars / big.size());
    // A real press still finds room in the queue while the large junk keeps coming.
    bigLink.IdUDPServerAntUDPRead("f61868");
    bigLink.IdUDPServerAntUDPRead(big + "more");
    QCOMPARE(bigLink.SAant().constLast(), QStringLiteral("f61868"));
}

void TestAntennaLink::signOnBoundsHold()
{
    AntennaLink link;
    for (int i = 0; i < AntennaLink::kMaxSignOns + 50; ++i)
        link.IdUDPServerAntUDPRead("###ant" + QByteArray::number(i));
    QCOMPARE(link.SAsign().size(), AntennaLink::kMaxSignOns);

    AntennaLink bigLink;
    QByteArray big = "###" + QByteArray(65504, 'z');
    for (int i = 0; i < 20; ++i) {
        const QByteArray tag = QByteArray::number(i);
        big.replace(3, tag.size(), tag);
        bigLink.IdUDPServerAntUDPRead(big);
    }
    QCOMPARE(bigLink.SAsign().size(), AntennaLink::kMaxSignOnChars / 65504);

    // The bound is per status period.
    link.takeSignOns();
    link.IdUDPServerAntUDPRead("###late");
    QCOMPARE(link.SAsign(), QStringList{"late"});
}

// The listener appends while ticks take batches: every message must end up in exactly one batch.
void TestAntennaLink::listenerAndDispatcherRaceLosesNothing()
{
    AntennaLink link;
    constexpr int count = 5000;
    std::atomic<bool> done{false};
    std::thread listener([&] {
        for (int i = 0; i < count; ++i)
            link.IdUDPServerAntUDPRead("m" + QByteArray::number(i) + "8");
        done = true;
    });
    QStringList taken;
    while (!done)
        taken += link.takeBatch();
    listener.join();
    taken += link.takeBatch();

    QCOMPARE(taken.size(), count);
    QCOMPARE(QSet<QString>(taken.cbegin(), taken.cend()).size(), count);
}

QTEST_GUILESS_MAIN(TestAntennaLink)
#include "tst_antennalink.moc"
