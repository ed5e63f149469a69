// The ward engine alone, with no window and no display: a press over the network becomes a journal
// entry, a notice to the display stations and a journaled event; the timers run at their periods.

#include "DisplayStation.h"

#include "core/base/AppError.h"
#include "core/base/Clock.h"
#include "core/db/Database.h"
#include "core/engine/WardServer.h"
#include "core/net/UdpSender.h"
#include "core/settings/AppState.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <sqlite3.h>

class TestWardServer : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void pressOverTheNetworkIsJournaledAndAnnounced();
    void timersRunAtTheirPeriods();
    void stopClosesEverythingAndKeepsTheJournal();
    void journalOutageIsReportedAndTheEndDoesNotWaitForIt();
    void lockPastTheBusyTimeoutLosesNothingAndStallsNoPing();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QDateTime m_now;
};

void TestWardServer::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    App::setExePathOverride(m_dir->filePath(QStringLiteral("HalvaneServer")));
    m_now = QDateTime(QDate(2017, 12, 3), QTime(14, 5, 9));
    Clock::setNowOverride([this] { return m_now; });
    UdpSender::setBroadcastAddressForTests(QHostAddress(QHostAddress::LocalHost));
}

void TestWardServer::cleanup()
{
    Clock::setNowOverride({});
    UdpSender::setBroadcastAddressForTests(QHostAddress());
    App::setExePathOverride(QString());
    m_dir.reset();
}

void TestWardServer::pressOverTheNetworkIsJournaledAndAnnounced()
{
    WardServer server;
    server.create();
    QVERIFY(App::firstStart());
    const MainSettingsValues& cfg = server.cfg();
    DisplayStation station;
    QVERIFY(station.bind(UdpSender::portFromSetting(cfg.ToClientsPort)));
    QString error;
    QVERIFY2(server.start(&error), qPrintable(error));
    QVERIFY(server.isRunning());

    QSignalSpy changed(&server, &WardServer::journalChanged);
    QList<JournaledEvent> events;
    connect(&server, &WardServer::journaled, this, [&](const JournaledEvent& e) { events << e; });
    QStringList errors;
    connect(&server, &WardServer::errorRaised, this, [&](const QString& m) { errors << m; });

    // The station says hello from 127.0.0.1 and is pinged.
    station.socket.writeDatagram(cfg.sFromClient.toUtf8(), QHostAddress::LocalHost,
                                 UdpSender::portFromSetting(cfg.FromClientsPort));
    QTRY_VERIFY_WITH_TIMEOUT(station.heard(cfg.sToClient), 3000);

    // A call from the sample place, over the network.
    sendLocal("f61868", UdpSender::portFromSetting(cfg.FromAntPort));
    const QString notice = QStringLiteral("#f6186;8;Тестова Анна;Койка № 1;");
    QTRY_VERIFY_WITH_TIMEOUT(station.heard(notice), 3000);
    QTRY_COMPARE(events.size(), 1);
    QCOMPARE(events[0].code, QStringLiteral("f6186"));
    QCOMPARE(events[0].f, QStringLiteral("8"));
    QCOMPARE(events[0].names.P, QStringLiteral("Койка № 1"));
    QCOMPARE(events[0].names.G, QStringLiteral("Палата 1"));
    QCOMPARE(events[0].names.S, QStringLiteral("Тестова Анна"));
    QCOMPARE(events[0].time, m_now);
    QVERIFY(!events[0].cancel);
    QVERIFY(!changed.isEmpty());

    db::ResultTable entry =
        server.db().query(QStringLiteral("SELECT id, timest, abcde, f, butsname FROM logs"));
    QCOMPARE(entry.rowCount(), 1);
    QCOMPARE(entry.fieldByName(QStringLiteral("timest")), QStringLiteral("2017.12.03 14:05:09"));
    QCOMPARE(entry.fieldByName(QStringLiteral("butsname")), QStringLiteral("Койка № 1"));
    const qint64 id = entry.fieldAsInteger(0);

    // Its cancel 95 s later closes it; the event names the entry and its reaction time.
    m_now = m_now.addSecs(95);
    sendLocal("f61862", UdpSender::portFromSetting(cfg.FromAntPort));
    QTRY_VERIFY_WITH_TIMEOUT(station.heard(QStringLiteral("#f6186;2;Тестова Анна;Койка № 1;")), 3000);
    QTRY_COMPARE(events.size(), 2);
    QVERIFY(events[1].cancel);
    QCOMPARE(events[1].closed.size(), 1);
    QCOMPARE(events[1].closed[0].id, id);
    QCOMPARE(events[1].closed[0].reactionSeconds, 95);
    QCOMPARE(server.db()
                 .query(QStringLiteral("SELECT reactiontime FROM logs"))
                 .fieldByName(QStringLiteral("reactiontime")),
             QStringLiteral("00:01:35"));
    QVERIFY(errors.isEmpty());
}

void TestWardServer::timersRunAtTheirPeriods()
{
    WardServer server;
    server.create();
    QVERIFY(!server.TimerToAnt.isActive());
    // What two of the timers do is heard on the wire: the antennas' "@REG" and the stations' ping.
    const MainSettingsValues& cfg = server.cfg();
    DisplayStation antennas;
    QVERIFY(antennas.bind(UdpSender::portFromSetting(cfg.ToAntPort)));
    DisplayStation station;
    QVERIFY(station.bind(UdpSender::portFromSetting(cfg.ToClientsPort)));
    QString error;
    QVERIFY2(server.start(&error), qPrintable(error));
    sendLocal("#ToOrvikLiteServer", UdpSender::portFromSetting(cfg.FromClientsPort));

    // Every timer keeps ticking, and never more often than its period allows: a late tick is not
    // made up by a burst, so in a span of T ms a timer of period P ticks at most T / P + 1 times
    // (+1 more for a coarse timer firing a little early). A period set wrong, a timer that fires
    // once, or one that is never started fails here; a loaded machine only makes ticks fewer.
    struct Ticks
    {
        const char* name;
        QTimer* timer;
        int period;
        int count = 0;
    };
    Ticks ticks[] = {{"TimerToAnt", &server.TimerToAnt, 500},
                     {"TimerObr", &server.TimerObr, 300},
                     {"TimerFromClients", &server.TimerFromClients, 2100},
                     {"TimerToClients", &server.TimerToClients, 500}};
    QElapsedTimer span;
    span.start();
    for (Ticks& t : ticks)
        connect(t.timer, &QTimer::timeout, this, [&t] { ++t.count; });
    antennas.drain();
    antennas.received.clear();
    const auto heard = [](DisplayStation& s, const QString& text) { return int(s.times(text).size()); };
    QTRY_VERIFY_WITH_TIMEOUT(
        std::all_of(std::begin(ticks), std::end(ticks), [](const Ticks& t) { return t.count >= 3; }) &&
            heard(antennas, QStringLiteral("@REG")) >= 3 &&
            heard(station, QStringLiteral("#FromOrvikLiteServer")) >= 3,
        30000);
    const qint64 elapsed = span.elapsed();
    for (const Ticks& t : ticks) {
        QVERIFY2(t.timer->isActive(), t.name);
        QVERIFY2(t.count <= elapsed / t.period + 2,
                 qPrintable(QStringLiteral("%1: %2 ticks in %3 ms").arg(t.name).arg(t.count).arg(elapsed)));
    }
    QVERIFY(heard(antennas, QStringLiteral("@REG")) <= elapsed / 500 + 2);
    // The pings since the first hello, which lists the station before the first tick after it.
    QVERIFY(heard(station, QStringLiteral("#FromOrvikLiteServer")) <= elapsed / 500 + 3);
}

void TestWardServer::stopClosesEverythingAndKeepsTheJournal()
{
    WardServer server;
    server.create();
    QString error;
    QVERIFY2(server.start(&error), qPrintable(error));
    // Received but not yet handed out when the server is told to end: the last tick journals it.
    server.antenna().IdUDPServerAntUDPRead("f61868");
    server.finish();
    QVERIFY(!server.isRunning());
    QVERIFY(!server.databaseOpen());
    QVERIFY(!server.TimerObr.isActive());
    QVERIFY_THROWS_EXCEPTION(AppError, server.db());

    auto db = db::Database::openDatabase(m_dir->filePath(QStringLiteral("orv_med.db")));
    QCOMPARE(db->query(QStringLiteral("SELECT id FROM logs")).rowCount(), 1);
    db->closeDatabase();

    // The ports are free again for the next start.
    WardServer again;
    again.create();
    QVERIFY2(again.start(&error), qPrintable(error));
}

void TestWardServer::journalOutageIsReportedAndTheEndDoesNotWaitForIt()
{
    const QString dbPath = m_dir->filePath(QStringLiteral("orv_med.db"));
    {
        WardServer server;
        server.create();
        QStringList errors;
        QStringList statuses;
        QList<JournaledEvent> events;
        connect(&server, &WardServer::errorRaised, this, [&](const QString& m) { errors << m; });
        connect(&server, &WardServer::journalStatusChanged, this, [&](const QString& s) { statuses << s; });
        connect(&server, &WardServer::journaled, this, [&](const JournaledEvent& e) { events << e; });

        // Another program holds the file's write lock while a call comes in.
        sqlite3* other = nullptr;
        QCOMPARE(sqlite3_open(QFile::encodeName(dbPath).constData(), &other), SQLITE_OK);
        QCOMPARE(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
        server.antenna().IdUDPServerAntUDPRead("f61868");
        server.TimerObrTimer();
        QCOMPARE(errors.size(), 1);
        QVERIFY2(errors[0].contains(QStringLiteral("заблокирована")), qPrintable(errors[0]));
        QCOMPARE(statuses, QStringList{QStringLiteral("Журнал недоступен, ожидают записи: 1")});
        QCOMPARE(server.journalStatus(), statuses.last());
        QCOMPARE(server.pendingJournalEvents(), 1);
        QVERIFY(events.isEmpty());

        // The end neither waits for the lock nor loses the call: it stays in the spool.
        QElapsedTimer timer;
        timer.start();
        server.finish();
        QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(!server.databaseOpen());
        QVERIFY(events.isEmpty());
        QCOMPARE(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(other);
        QVERIFY(QFile::exists(dbPath + QStringLiteral(".spool")));
    }

    // The next start writes it at its first tick.
    WardServer server;
    server.create();
    QList<JournaledEvent> events;
    connect(&server, &WardServer::journaled, this, [&](const JournaledEvent& e) { events << e; });
    server.TimerObrTimer();
    QCOMPARE(events.size(), 1);
    QCOMPARE(events[0].code, QStringLiteral("f6186"));
    QCOMPARE(server.db().query(QStringLiteral("SELECT id FROM logs")).fieldAsInteger(0), events[0].id);
    QCOMPARE(server.journalStatus(), QString());
    QCOMPARE(server.pendingJournalEvents(), 0);
    QVERIFY(!QFile::exists(dbPath + QStringLiteral(".spool")));
}

void TestWardServer::lockPastTheBusyTimeoutLosesNothingAndStallsNoPing()
{
    WardServer server;
    server.create();
    const MainSettingsValues& cfg = server.cfg();
    DisplayStation station;
    QVERIFY(station.bind(UdpSender::portFromSetting(cfg.ToClientsPort)));
    QString error;
    QVERIFY2(server.start(&error), qPrintable(error));
    station.socket.writeDatagram(cfg.sFromClient.toUtf8(), QHostAddress::LocalHost,
                                 UdpSender::portFromSetting(cfg.FromClientsPort));
    QTRY_VERIFY_WITH_TIMEOUT(station.heard(cfg.sToClient), 3000);

    // When each ping arrives, as the station sees it.
    QElapsedTimer clock;
    clock.start();
    QList<qint64> pings;
    connect(&station.socket, &QUdpSocket::readyRead, this, [&] {
        const qsizetype before = station.received.size();
        station.drain();
        for (qsizetype i = before; i < station.received.size(); ++i) {
            if (station.received[i].first == cfg.sToClient)
                pings << clock.elapsed();
        }
    });

    // Another program holds the write lock for 6.5 s, past the 5 s busy timeout; a call, a call from
    // another place and the first one's cancel arrive during it.
    sqlite3* other = nullptr;
    QCOMPARE(
        sqlite3_open(QFile::encodeName(m_dir->filePath(QStringLiteral("orv_med.db"))).constData(), &other),
        SQLITE_OK);
    QCOMPARE(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    const quint16 antennaPort = UdpSender::portFromSetting(cfg.FromAntPort);
    sendLocal("f61868", antennaPort);
    QTRY_VERIFY_WITH_TIMEOUT(station.heard(QStringLiteral("#f6186;8;Тестова Анна;Койка № 1;")), 1500);
    QTest::qWait(1000);
    sendLocal("ba5ac8", antennaPort);
    QTest::qWait(1000);
    m_now = m_now.addSecs(95);
    sendLocal("f61862", antennaPort);
    QTRY_VERIFY_WITH_TIMEOUT(station.heard(QStringLiteral("#f6186;2;Тестова Анна;Койка № 1;")), 1500);
    while (clock.elapsed() < 6500)
        QTest::qWait(50);
    QCOMPARE(server.pendingJournalEvents(), 3);
    QCOMPARE(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
    QTRY_COMPARE_WITH_TIMEOUT(server.pendingJournalEvents(), 0, 3000);
    QTest::qWait(600);

    // In order, with their own times: the first call closed by its cancel after 95 s.
    db::ResultTable rows =
        server.db().query(QStringLiteral("SELECT abcde, timest, reactiontime FROM logs ORDER BY id"));
    QCOMPARE(rows.rowCount(), 2);
    QCOMPARE(rows.fieldByName(QStringLiteral("abcde")), QStringLiteral("f6186"));
    QCOMPARE(rows.fieldByName(QStringLiteral("timest")), QStringLiteral("2017.12.03 14:05:09"));
    QCOMPARE(rows.fieldByName(QStringLiteral("reactiontime")), QStringLiteral("00:01:35"));
    rows.nextRow();
    QCOMPARE(rows.fieldByName(QStringLiteral("abcde")), QStringLiteral("ba5ac"));

    // The pings kept their pace through the lock and after it.
    QVERIFY2(pings.size() >= 12, qPrintable(QString::number(pings.size())));
    qint64 worst = pings.first();
    for (qsizetype i = 1; i < pings.size(); ++i)
        worst = qMax(worst, pings[i] - pings[i - 1]);
    QVERIFY2(worst < 1000, qPrintable(QStringLiteral("a gap of %1 ms between pings").arg(worst)));
}

QTEST_GUILESS_MAIN(TestWardServer)
#include "tst_net_wardserver.moc"
