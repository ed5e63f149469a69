// The headless server reporting to a test alert manager on 127.0.0.1: the section Alerts is written
// after Mqtt with reporting off; once a host is set, a call, its warning, its alarm and its cancel
// arrive as one alert with every field; then an acknowledgement that never comes and an outage with
// the server killed outright in between: after the restart everything arrives in order, and only the
// message whose acknowledgement was lost arrives twice, with its control id.

#include "HeadlessServer.h"
#include "TestAlertManager.h"

#include "core/alerts/AlertsSettings.h"
#include "core/calls/EscalationSettings.h"
#include "core/settings/IniFile.h"

#include <QDir>
#include <QFile>
#include <QNetworkDatagram>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <csignal>

#include <sqlite3.h>

namespace {

// A press at the antenna ("f61868": place f6186, function 8), once the display station has its notice
// (the pings the station gets meanwhile do not count).
bool press(QUdpSocket& station, const QByteArray& datagram)
{
    QUdpSocket antenna;
    antenna.writeDatagram(datagram, QHostAddress::LocalHost, 5556);
    const QByteArray notice = '#' + datagram.left(5) + ';' + datagram.mid(5) + ';';
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 3000) {
        if (!station.hasPendingDatagrams() && !station.waitForReadyRead(100))
            continue;
        if (station.receiveDatagram().data().startsWith(notice))
            return true;
    }
    return false;
}

void stopServer(QProcess& server)
{
    if (server.state() == QProcess::NotRunning)
        return;
    ::kill(pid_t(server.processId()), SIGTERM);
    server.waitForFinished(5000);
}

QByteArray facetValue(const QByteArray& m, int facet)
{
    return TestAlertManager::facet(m, facet, 5);
}

// How many calls the journal holds (read beside the running server); -1 when it cannot be read.
int journaledCalls(const QString& dbPath)
{
    sqlite3* db = nullptr;
    int calls = -1;
    if (sqlite3_open_v2(QFile::encodeName(dbPath).constData(), &db, SQLITE_OPEN_READONLY, nullptr) ==
        SQLITE_OK) {
        sqlite3_busy_timeout(db, 1000);
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT count(*) FROM logs WHERE f = '8'", -1, &st, nullptr) ==
                SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW)
            calls = sqlite3_column_int(st, 0);
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return calls;
}

// How many messages the alert outbox holds with a control id above `after` (records "M <id> ...").
int messagesAfter(const QString& outboxPath, qint64 after)
{
    QFile f(outboxPath);
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    QSet<qint64> ids;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.startsWith("M ")) {
            const qint64 id = line.mid(2, line.indexOf(' ', 2) - 2).toLongLong();
            if (id > after)
                ids.insert(id);
        }
    }
    return int(ids.size());
}

} // namespace

class TestAlertsHeadless : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void callEscalationAndCancelReachTheAlertManager();
    void killedDuringAnOutageDeliversEverythingInOrder();
    void killedBeforeTheJournalHasThePressesTellsNoFalseAlarm();
    void cleanupTestCase();

private:
    QTemporaryDir m_dir;
    QString m_exe;
    QUdpSocket m_station;
    TestAlertManager m_manager;
    QProcess m_server;
};

void TestAlertsHeadless::initTestCase()
{
    m_exe = copyServer(m_dir);
    QVERIFY(!m_exe.isEmpty());
    QVERIFY(m_station.bind(QHostAddress::LocalHost, 5567));
    QVERIFY(m_manager.start());

    // A first start writes the section with reporting off (its place among the sections is checked
    // in tst_net_opencalls_window, its keys in tst_settingsections): nothing reaches the alert
    // manager, and no outbox is made.
    startServer(m_server, m_exe, QProcess::SeparateChannels);
    QVERIFY(listening(m_station));
    QVERIFY(press(m_station, "f61868"));
    QVERIFY(press(m_station, "f61862"));
    QTest::qWait(500);
    stopServer(m_server);
    QCOMPARE(m_manager.connections(), 0);
    QVERIFY(!QFile::exists(m_dir.filePath(QStringLiteral("orv_med.db.alerts-outbox"))));
    IniFile ini(IniFile::pathBesideExecutable(m_exe));
    QCOMPARE(ini.readString(AlertsSettings::kSection, QStringLiteral("Host"), QStringLiteral("?")),
             QString());

    ini.writeString(AlertsSettings::kSection, QStringLiteral("Host"), QStringLiteral("127.0.0.1"));
    ini.writeInteger(AlertsSettings::kSection, QStringLiteral("Port"), m_manager.port());
    ini.writeString(AlertsSettings::kSection, QStringLiteral("PointOfCare"), QStringLiteral("ТО-3"));
    ini.writeString(AlertsSettings::kSection, QStringLiteral("Facility"), QStringLiteral("ГБ1"));
    ini.writeInteger(AlertsSettings::kSection, QStringLiteral("AckTimeoutSec"), 1);
    ini.writeInteger(AlertsSettings::kSection, QStringLiteral("RetrySec"), 1);
    ini.writeInteger(AlertsSettings::kSection, QStringLiteral("WatchdogSec"), 0);
    ini.writeInteger(EscalationSettings::kSection, QStringLiteral("WarnSec"), 1);
    ini.writeInteger(EscalationSettings::kSection, QStringLiteral("AlarmSec"), 2);
}

void TestAlertsHeadless::cleanupTestCase()
{
    stopServer(m_server);
}

void TestAlertsHeadless::callEscalationAndCancelReachTheAlertManager()
{
    startServer(m_server, m_exe, QProcess::SeparateChannels);
    QVERIFY(listening(m_station));
    QVERIFY(press(m_station, "f61868"));
    QTRY_VERIFY_WITH_TIMEOUT(m_manager.alerts().size() >= 3, 10000); // its start, warning and alarm
    QVERIFY(press(m_station, "f61862"));
    QTRY_COMPARE_WITH_TIMEOUT(m_manager.alerts().size(), 4, 10000);
    QTest::qWait(300);
    QCOMPARE(m_manager.alerts().size(), 4);

    const QList<QByteArray> got = m_manager.alerts();
    const QByteArray alertId = TestAlertManager::field(got[0], "OBR", 3);
    QVERIFY(alertId.startsWith("ГБ1:ТО-3:"));
    QSet<QByteArray> controlIds;
    struct Expected
    {
        const char* phase;
        const char* state;
        const char* priority;
    };
    const Expected expected[] = {{"start", "active", "PM"},
                                 {"update", "active", "PM"},
                                 {"update", "active", "PH"},
                                 {"end", "inactive", "PH"}};
    for (int i = 0; i < 4; ++i) {
        const QByteArray& m = got[i];
        QCOMPARE(TestAlertManager::field(m, "MSH", 3), QByteArray("HALVANE"));
        QCOMPARE(TestAlertManager::field(m, "MSH", 4), QByteArray("ГБ1"));
        QCOMPARE(TestAlertManager::field(m, "MSH", 9), QByteArray("ORU^R40^ORU_R40"));
        QCOMPARE(TestAlertManager::field(m, "MSH", 12), QByteArray("2.6"));
        QCOMPARE(TestAlertManager::field(m, "MSH", 15), QByteArray("AL"));
        QCOMPARE(TestAlertManager::field(m, "MSH", 16), QByteArray("NE"));
        QCOMPARE(TestAlertManager::field(m, "MSH", 18), QByteArray("UNICODE UTF-8"));
        QVERIFY(TestAlertManager::field(m, "MSH", 21).startsWith("IHE_PCD_ACM_001^"));
        controlIds.insert(TestAlertManager::field(m, "MSH", 10));
        QVERIFY(m.contains("\rPID|"));
        QCOMPARE(TestAlertManager::field(m, "PV1", 3), QByteArray("ТО-3^Палата 1^Койка № 1^ГБ1"));
        QCOMPARE(TestAlertManager::field(m, "OBR", 3), alertId);
        QCOMPARE(TestAlertManager::field(m, "OBR", 4), QByteArray("196616^MDC_EVT_ALARM^MDC"));
        QVERIFY(!TestAlertManager::field(m, "OBR", 7).isEmpty());
        QCOMPARE(TestAlertManager::field(m, "OBR", 7), TestAlertManager::field(got[0], "OBR", 7));
        QCOMPARE(facetValue(m, 1), QString(QStringLiteral("HLV_CALL^Вызов^99HLV")).toUtf8());
        QCOMPARE(facetValue(m, 2), QByteArray("f6186"));
        QCOMPARE(facetValue(m, 3), QByteArray(expected[i].phase));
        QCOMPARE(facetValue(m, 4), QByteArray(expected[i].state));
        QCOMPARE(facetValue(m, 6), QByteArray(expected[i].priority));
        QCOMPARE(facetValue(m, 7), QByteArray("SA"));
        QCOMPARE(facetValue(m, 8), QString(QStringLiteral("Тестова Анна")).toUtf8());
    }
    QCOMPARE(controlIds.size(), 4);
    stopServer(m_server);
    QCOMPARE(m_server.exitStatus(), QProcess::NormalExit);
    // Every change of the state is one line on standard error.
    const QString err = QString::fromUtf8(m_server.readAllStandardError());
    QCOMPARE(
        err.count(
            QStringLiteral("Оповещения: связь с менеджером оповещений 127.0.0.1:%1").arg(m_manager.port())),
        1);
}

void TestAlertsHeadless::killedDuringAnOutageDeliversEverythingInOrder()
{
    m_manager.clear();
    startServer(m_server, m_exe, QProcess::SeparateChannels);
    QVERIFY(listening(m_station));

    // The first call's start is received and never acknowledged; the manager then goes away, two more
    // calls and a cancel come, and the server is killed outright. The one message received is that
    // start: nothing was left from the last run, whose last message was an end.
    m_manager.setDefault(TestAlertManager::Reply::silent());
    QVERIFY(press(m_station, "f61868"));
    QTRY_COMPARE_WITH_TIMEOUT(m_manager.alerts().size(), 1, 10000);
    const QByteArray lost = m_manager.alerts().first();
    QCOMPARE(facetValue(lost, 3), QByteArray("start"));
    const QByteArray lostId = TestAlertManager::field(lost, "MSH", 10);
    const quint16 port = m_manager.port();
    m_manager.stop();
    const qsizetype before = m_manager.alerts().size();
    const int callsBefore = journaledCalls(m_dir.filePath(QStringLiteral("orv_med.db")));
    QVERIFY(press(m_station, "f61862"));
    QVERIFY(press(m_station, "f61868"));
    // The cancel's end and the second call's start are in the outbox, kept for the restart, and both
    // presses in the journal (the case where the journal has them not yet is the next test's).
    const QString outboxPath = m_dir.filePath(QStringLiteral("orv_med.db.alerts-outbox"));
    QTRY_COMPARE_WITH_TIMEOUT(messagesAfter(outboxPath, lostId.toLongLong()), 2, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(journaledCalls(m_dir.filePath(QStringLiteral("orv_med.db"))), callsBefore + 1,
                              5000);
    ::kill(pid_t(m_server.processId()), SIGKILL);
    QVERIFY(m_server.waitForFinished(5000));
    QCOMPARE(m_server.exitStatus(), QProcess::CrashExit);

    // Both back: the lost one again, with its control id, then the others once each, in order.
    m_manager.setDefault(TestAlertManager::Reply::ack("AA"));
    QVERIFY(m_manager.start(port));
    startServer(m_server, m_exe, QProcess::SeparateChannels);
    QVERIFY(listening(m_station));
    QTRY_VERIFY_WITH_TIMEOUT(m_manager.alerts().size() >= before + 3, 15000);
    QTest::qWait(1500); // any stray repeat would come by now
    const QList<QByteArray> got = m_manager.alerts().mid(before);
    QCOMPARE(got[0], lost);
    QCOMPARE(facetValue(got[1], 3), QByteArray("end"));
    QCOMPARE(TestAlertManager::field(got[1], "OBR", 3), TestAlertManager::field(lost, "OBR", 3));
    QCOMPARE(facetValue(got[2], 3), QByteArray("start"));
    const QByteArray second = TestAlertManager::field(got[2], "OBR", 3);
    QVERIFY(second != TestAlertManager::field(lost, "OBR", 3));
    QByteArray previous;
    for (const QByteArray& m : got) {
        const QByteArray id = TestAlertManager::field(m, "MSH", 10);
        QVERIFY2(previous.isEmpty() || id.toLongLong() > previous.toLongLong(), id.constData());
        previous = id;
        if (id == lostId)
            continue;
        for (const QByteArray& earlier : m_manager.alerts().first(before))
            QVERIFY(TestAlertManager::field(earlier, "MSH", 10) != id);
    }
    // After the second call's start only its own escalation may follow.
    for (qsizetype i = 3; i < got.size(); ++i) {
        QCOMPARE(facetValue(got[i], 3), QByteArray("update"));
        QCOMPARE(TestAlertManager::field(got[i], "OBR", 3), second);
    }
    stopServer(m_server);
    QFile outbox(m_dir.filePath(QStringLiteral("orv_med.db.alerts-outbox")));
    QVERIFY(outbox.exists());
}

void TestAlertsHeadless::killedBeforeTheJournalHasThePressesTellsNoFalseAlarm()
{
    // A call reaches its alarm; then another program holds the journal (a backup, say), so the
    // cancel and a new call at the same bed are announced, reported and kept in the spool, but not yet
    // journaled, when the server is killed. After the restart the alert manager must hear nothing that
    // contradicts what it was told: the cancelled call does not start again and the new one does not
    // end.
    // A cancel first closes what the last test left waiting.
    startServer(m_server, m_exe, QProcess::SeparateChannels);
    QVERIFY(listening(m_station));
    m_manager.clear();
    QVERIFY(press(m_station, "f61862"));
    QVERIFY(press(m_station, "f61868"));
    // The alert of a phase and priority ("" for any), from the alerts received since `from`.
    const auto alertOf = [this](qsizetype from, const QByteArray& phase, const QByteArray& id = {},
                                const QByteArray& priority = {}) {
        for (const QByteArray& m : m_manager.alerts().mid(from))
            if (facetValue(m, 3) == phase && (id.isEmpty() || TestAlertManager::field(m, "OBR", 3) == id) &&
                (priority.isEmpty() || facetValue(m, 6) == priority))
                return TestAlertManager::field(m, "OBR", 3);
        return QByteArray();
    };
    QTRY_VERIFY_WITH_TIMEOUT(!alertOf(0, "start").isEmpty(), 10000);
    const QByteArray first = alertOf(0, "start");
    QTRY_VERIFY_WITH_TIMEOUT(!alertOf(0, "update", first, "PH").isEmpty(), 10000); // its alarm

    const QString dbPath = m_dir.filePath(QStringLiteral("orv_med.db"));
    const int calls = journaledCalls(dbPath);
    sqlite3* other = nullptr;
    QCOMPARE(sqlite3_open(QFile::encodeName(dbPath).constData(), &other), SQLITE_OK);
    QCOMPARE(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    const qsizetype before = m_manager.alerts().size();
    QVERIFY(press(m_station, "f61862"));
    QVERIFY(press(m_station, "f61868"));
    // Both reported: the first call's end, the second's start.
    QTRY_VERIFY_WITH_TIMEOUT(!alertOf(before, "end", first).isEmpty() && !alertOf(before, "start").isEmpty(),
                             10000);
    const QByteArray second = alertOf(before, "start");
    QVERIFY(second != first);
    ::kill(pid_t(m_server.processId()), SIGKILL);
    QVERIFY(m_server.waitForFinished(5000));

    // Restarted while the other program still holds the journal, which it lets go of a moment later:
    // the presses are journaled from the spool, and the second call, still waiting, reaches its alarm
    // again; what comes before that alarm's update is all the start has to say.
    const qsizetype restart = m_manager.alerts().size();
    startServer(m_server, m_exe, QProcess::SeparateChannels);
    QVERIFY(listening(m_station));
    QCOMPARE(sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
    QTRY_COMPARE_WITH_TIMEOUT(journaledCalls(dbPath), calls + 1, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(!alertOf(restart, "update", second, "PH").isEmpty(), 15000);
    bool cancelledStarted = false;
    bool waitingEnded = false;
    for (const QByteArray& m : m_manager.alerts().mid(restart)) {
        const QByteArray id = TestAlertManager::field(m, "OBR", 3);
        cancelledStarted = cancelledStarted || (id == first && facetValue(m, 3) != "end");
        waitingEnded = waitingEnded || (id == second && facetValue(m, 3) == "end");
    }
    QVERIFY2(!waitingEnded, "the waiting call was ended");
    // The journal's open calls, read once the other program lets go of the file, still list the call
    // that the cancel waiting in the spool has closed: it must not be listed again, nor its alert
    // started anew.
    QVERIFY2(!cancelledStarted, "the cancelled call started again");
    stopServer(m_server);
}

QTEST_GUILESS_MAIN(TestAlertsHeadless)
#include "tst_net_alerts_headless.moc"
