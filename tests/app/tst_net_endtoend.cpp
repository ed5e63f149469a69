// A press travels over real sockets on 127.0.0.1: from an antenna datagram to the journal, the grid
// and a listening display station; hostile datagrams change nothing; a taken port ends the start.

#include "AppFixture.h"

#include "app/Forms.h"
#include "core/db/Database.h"
#include "gui/directory/TFormAddButs.h"
#include "gui/directory/TFormButs.h"
#include "gui/journal/TMF.h"
#include "gui/kit/ButtonGroup.h"
#include "gui/kit/StringGrid.h"

#include <QLabel>

#include <QNetworkDatagram>
#include <QUdpSocket>
#include <QtTest>

namespace {
const QHostAddress kLocal(QHostAddress::LocalHost);

qint64 journalRows(TMF* mf)
{
    return mf->server().db().query(QStringLiteral("SELECT id FROM logs")).rowCount();
}

// Everything a socket has received since the last call, as texts. The QTRY macros evaluate their
// condition once more after it held, so callers gather the texts in a list of their own.
QStringList drain(QUdpSocket& socket)
{
    QStringList texts;
    while (socket.hasPendingDatagrams())
        texts << QString::fromUtf8(socket.receiveDatagram().data());
    return texts;
}
} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void pressBecomesJournalRowAndNotice();
    void modesDoNotSwallowCalls();
    void hostileDatagramsChangeNothing();
    void takenPortEndsTheStart();
};

void TestEndToEnd::pressBecomesJournalRowAndNotice()
{
    AppFixture app;
    app.create();
    QUdpSocket station;
    QVERIFY(station.bind(kLocal, 5567));
    QUdpSocket antennaSide;
    QVERIFY(antennaSide.bind(kLocal, 5557)); // hears the beacon
    QVERIFY(app.show());
    TMF* mf = app.mf();
    mf->server().db().setSynchronous(false);

    // The beacon reaches the antennas every 500 ms.
    QStringList beacon;
    QTRY_VERIFY_WITH_TIMEOUT((beacon << drain(antennaSide), beacon.contains(QStringLiteral("@REG"))), 3000);

    // A display station says hello, is listed and pinged.
    QUdpSocket hello;
    hello.writeDatagram(QByteArrayLiteral("#ToOrvikLiteServer"), kLocal, 5566);
    QTRY_COMPARE_WITH_TIMEOUT(mf->server().clients().ipsClients(), QStringList{QStringLiteral("127.0.0.1")},
                              3000);
    QStringList pings;
    QTRY_VERIFY_WITH_TIMEOUT(
        (pings << drain(station), pings.contains(QStringLiteral("#FromOrvikLiteServer"))), 3000);

    // The call: a journal row, the notice, the grid's top row.
    app.setNow(QDateTime(QDate(2017, 12, 3), QTime(10, 0, 0)));
    QStringList heard;
    antennaSide.writeDatagram(QByteArrayLiteral("f61868"), kLocal, 5556);
    QTRY_COMPARE_WITH_TIMEOUT(journalRows(mf), qint64(1), 3000);
    QTRY_VERIFY_WITH_TIMEOUT(
        (heard << drain(station), heard.contains(QStringLiteral("#f6186;8;Тестова Анна;Койка № 1;"))), 3000);
    QCOMPARE(mf->StringGrid1->Cells(1, 1), QStringLiteral("10:00:00"));
    QCOMPARE(mf->StringGrid1->Cells(6, 1), QStringLiteral("вызов"));

    // The cancel closes it with the reaction time.
    app.setNow(QDateTime(QDate(2017, 12, 3), QTime(10, 1, 30, 400)));
    antennaSide.writeDatagram(QByteArrayLiteral("f61862"), kLocal, 5556);
    QTRY_COMPARE_WITH_TIMEOUT(mf->StringGrid1->Cells(7, 1), QStringLiteral("1 мин 30 сек"), 3000);
    QTRY_VERIFY_WITH_TIMEOUT(
        (heard << drain(station), heard.contains(QStringLiteral("#f6186;2;Тестова Анна;Койка № 1;"))), 3000);
    auto entry = mf->server().db().query(QStringLiteral("SELECT timestr, reactiontime FROM logs"));
    QCOMPARE(entry.fieldByName(QStringLiteral("timestr")), QStringLiteral("2017.12.03 10:01:30"));
    QCOMPARE(entry.fieldByName(QStringLiteral("reactiontime")), QStringLiteral("00:01:30"));
    QVERIFY(app.dialogs.errors.isEmpty());
}

// While the installer looks for a button or registers new ones, a nurse's call from a registered
// place is journaled, told to the display stations and listed as open; the mode does its own work
// with the press too.
void TestEndToEnd::modesDoNotSwallowCalls()
{
    AppFixture app;
    app.create();
    QUdpSocket station;
    QVERIFY(station.bind(kLocal, 5567));
    QVERIFY(app.show());
    TMF* mf = app.mf();
    mf->server().db().setSynchronous(false);
    QUdpSocket hello;
    hello.writeDatagram(QByteArrayLiteral("#ToOrvikLiteServer"), kLocal, 5566);
    QTRY_COMPARE_WITH_TIMEOUT(mf->server().clients().ipsClients(), QStringList{QStringLiteral("127.0.0.1")},
                              3000);
    QUdpSocket antenna;
    QStringList heard;

    // Search mode: the call, and its place selected in the list.
    TFormButs* places = forms().FormButs;
    places->show();
    places->ButtonGroup5->click(0);
    QVERIFY(mf->server().sButs());
    places->StringGrid1->setRow(1);
    antenna.writeDatagram(QByteArrayLiteral("ba5ac8"), kLocal, 5556);
    QTRY_COMPARE_WITH_TIMEOUT(journalRows(mf), qint64(1), 3000);
    QTRY_VERIFY_WITH_TIMEOUT((heard << drain(station), !heard.filter(QStringLiteral("#ba5ac;8;")).isEmpty()),
                             3000);
    QTRY_COMPARE_WITH_TIMEOUT(mf->server().openCalls()->count(), 1, 3000);
    QCOMPARE(places->StringGrid1->Cells(0, places->StringGrid1->Row()), QStringLiteral("ba5ac"));
    QVERIFY(mf->server().sButs());

    // Adding mode: the call, and the window says the button is known.
    places->ButtonGroup1->click(0);
    QVERIFY(mf->server().rButs());
    antenna.writeDatagram(QByteArrayLiteral("f61868"), kLocal, 5556);
    QTRY_COMPARE_WITH_TIMEOUT(journalRows(mf), qint64(2), 3000);
    QTRY_VERIFY_WITH_TIMEOUT(
        (heard << drain(station), heard.contains(QStringLiteral("#f6186;8;Тестова Анна;Койка № 1;"))), 3000);
    QTRY_COMPARE_WITH_TIMEOUT(mf->server().openCalls()->count(), 2, 3000);
    QCOMPARE(forms().FormAddButs->lb1->text(), QStringLiteral("Кнопка уже есть в базе."));
    QCOMPARE(mf->server().db().query(QStringLiteral("SELECT id FROM buts")).rowCount(), 2);

    // Its cancel, still in adding mode, closes the call.
    antenna.writeDatagram(QByteArrayLiteral("f61862"), kLocal, 5556);
    QTRY_COMPARE_WITH_TIMEOUT(mf->server().openCalls()->count(), 1, 3000);
    QVERIFY(app.dialogs.errors.isEmpty());
}

void TestEndToEnd::hostileDatagramsChangeNothing()
{
    AppFixture app;
    app.create();
    QVERIFY(app.show());
    TMF* mf = app.mf();

    QUdpSocket attacker;
    QByteArray binary;
    for (int i = 0; i < 256; ++i)
        binary.append(static_cast<char>(i));
    const QList<QByteArray> hostile{
        QByteArray(),
        binary,
        QByteArrayLiteral("\xff\xfe\xfd\xfc\xfb"
                          "8"),
        QByteArray(65507, '8'),
        QByteArrayLiteral("\"abc\"8"),
        QByteArrayLiteral("abcde8"),
        QByteArrayLiteral("btnclr8"),
        QByteArrayLiteral("f6\"; DROP TABLE logs; --8"),
        QByteArrayLiteral("x' OR 1=1 --"),
        QByteArrayLiteral("@ADD"),
        QByteArrayLiteral("###") + QByteArray(60000, 'A'),
    };
    for (const QByteArray& d : hostile)
        attacker.writeDatagram(d, kLocal, 5556);
    // And a thousand distinct junk presses in one burst.
    for (int i = 0; i < 1000; ++i)
        attacker.writeDatagram(QByteArray::number(100000 + i) + "8", kLocal, 5556);

    // Several dispatcher ticks later: the journal is there and empty, nothing was reported.
    QTest::qWait(1200);
    QVERIFY(mf->server().db().tableExists(QStringLiteral("logs")));
    QCOMPARE(journalRows(mf), qint64(0));
    QCOMPARE(mf->server().db().query(QStringLiteral("SELECT id FROM buts")).rowCount(), 2);
    QVERIFY(app.dialogs.errors.isEmpty());

    // And the server still journals a real press.
    attacker.writeDatagram(QByteArrayLiteral("ba5ac8"), kLocal, 5556);
    QTRY_COMPARE_WITH_TIMEOUT(journalRows(mf), qint64(1), 3000);
}

void TestEndToEnd::takenPortEndsTheStart()
{
    AppFixture app;
    app.create();
    // A second copy of the program already holds the antenna port.
    QUdpSocket other;
    QVERIFY(other.bind(QHostAddress::AnyIPv4, 5556));
    QVERIFY(!app.show());
    QCOMPARE(app.dialogs.errors.size(), 1);
    // In the operator's words, naming the port.
    QVERIFY2(app.dialogs.errors.first().contains(QStringLiteral("UDP-порт 5556 уже занят")),
             qPrintable(app.dialogs.errors.first()));
    QVERIFY(!app.mf()->server().TimerObr.isActive());
    QVERIFY(!app.mf()->server().TimerToAnt.isActive());
}

QTEST_MAIN(TestEndToEnd)
#include "tst_net_endtoend.moc"
