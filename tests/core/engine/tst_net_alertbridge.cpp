// The ward engine reporting to a test alert manager on 127.0.0.1 (a free port): the engine's open-calls
// signals become the life of one alert each (a reception stays low at its alarm, the operator taking a
// call off ends it, a silent antenna is a technical alert until heard again); at its next start the
// engine ends the alerts whose call went while it was down and starts the calls it never reported;
// with the settings unusable it reports an error and the ward runs on.

#include "TestAlertManager.h"

#include "core/alerts/AlertsSettings.h"
#include "core/base/Clock.h"
#include "core/calls/EscalationSettings.h"
#include "core/db/Database.h"
#include "core/engine/AlertBridge.h"
#include "core/engine/WardServer.h"
#include "core/net/UdpSender.h"
#include "core/settings/AppState.h"
#include "core/settings/IniFile.h"

#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

namespace {

void press(const QByteArray& text, const WardServer& server)
{
    QUdpSocket socket;
    socket.writeDatagram(text, QHostAddress::LocalHost, UdpSender::portFromSetting(server.cfg().FromAntPort));
}

QByteArray value(const QByteArray& m, int facet)
{
    return TestAlertManager::facet(m, facet, 5);
}

QByteArray alertId(const QByteArray& m)
{
    return TestAlertManager::field(m, "OBR", 3);
}

} // namespace

class TestAlertBridge : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void openCallsSignalsAreTheLifeOfOneAlert();
    void restartEndsWhatWentAndStartsWhatWasNeverReported();
    void unusableSettingsLeaveTheWardRunning();
    void updatesKeepToTheTimePassed_data();
    void updatesKeepToTheTimePassed();

private:
    void configure(const QString& host, const QString& pointOfCare = QStringLiteral("ТО-3"));

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<TestAlertManager> m_manager;
    QDateTime m_now;
};

void TestAlertBridge::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    App::setExePathOverride(m_dir->filePath(QStringLiteral("HalvaneServer")));
    m_now = QDateTime(QDate(2017, 12, 3), QTime(14, 5, 9));
    Clock::setNowOverride([this] { return m_now; });
    UdpSender::setBroadcastAddressForTests(QHostAddress(QHostAddress::LocalHost));
    m_manager = std::make_unique<TestAlertManager>();
    QVERIFY(m_manager->start());
}

void TestAlertBridge::cleanup()
{
    m_manager.reset();
    Clock::setNowOverride({});
    Clock::setElapsedOverride({});
    UdpSender::setBroadcastAddressForTests(QHostAddress());
    App::setExePathOverride(QString());
    m_dir.reset();
}

void TestAlertBridge::configure(const QString& host, const QString& pointOfCare)
{
    IniFile ini = App::settings();
    EscalationSettings::writeMissing(ini);
    ini.writeString(AlertsSettings::kSection, QStringLiteral("Host"), host);
    ini.writeInteger(AlertsSettings::kSection, QStringLiteral("Port"), m_manager->port());
    ini.writeString(AlertsSettings::kSection, QStringLiteral("PointOfCare"), pointOfCare);
    ini.writeInteger(AlertsSettings::kSection, QStringLiteral("WatchdogSec"), 0);
}

void TestAlertBridge::openCallsSignalsAreTheLifeOfOneAlert()
{
    WardServer server;
    server.create();
    configure(QStringLiteral("127.0.0.1"));
    QString error;
    QVERIFY2(server.start(&error), qPrintable(error));
    QTRY_COMPARE(
        server.alertsStatus(),
        QStringLiteral("Оповещения: связь с менеджером оповещений 127.0.0.1:%1").arg(m_manager->port()));

    OpenCall kb;
    kb.id = 7;
    kb.time = m_now.addSecs(-300);
    kb.code = QStringLiteral("0a1b3");
    kb.f = QStringLiteral("b");
    kb.place = QStringLiteral("Душ (3)");
    kb.ward = QStringLiteral("Палата 2");
    kb.staff = QStringLiteral("Петрова");
    kb.notice = {QStringLiteral("0a1b"), QStringLiteral("b"), QStringLiteral("Петрова"),
                 QStringLiteral("Душ")};
    OpenCall reception = kb;
    reception.id = 8;
    reception.f = QStringLiteral("4");
    reception.notice.f = QStringLiteral("4");
    const QDateTime lastHeard = m_now.addSecs(-61);

    emit server.openCallsChanged({kb});
    emit server.openCallsChanged({kb, reception});
    emit server.callEscalated(kb, CallLevel::Warning);
    emit server.callEscalated(kb, CallLevel::Alarm);
    emit server.callEscalated(reception, CallLevel::Alarm);
    emit server.openCallsChanged({reception}); // the operator takes the KB call off the list
    emit server.antennaSilenceChanged(QStringLiteral("ANT1"), true, lastHeard);
    emit server.antennaSilenceChanged(QStringLiteral("ANT1"), false, m_now);
    emit server.antennaSilenceChanged(QStringLiteral("ANT1"), true, m_now);

    struct Expected
    {
        const char* id; // "kb", "reception", "silence", "silence2"
        const char* kind;
        const char* source;
        const char* phase;
        const char* state;
        const char* priority;
        const char* type;
    };
    const Expected expected[] = {
        {"kb", "HLV_CALL_KB", "0a1b3", "start", "active", "PM", "SA"},
        {"reception", "HLV_RECEPTION", "0a1b3", "start", "active", "PL", "SA"},
        {"kb", "HLV_CALL_KB", "0a1b3", "update", "active", "PM", "SA"},
        {"kb", "HLV_CALL_KB", "0a1b3", "update", "active", "PH", "SA"},
        {"reception", "HLV_RECEPTION", "0a1b3", "update", "active", "PL", "SA"},
        {"kb", "HLV_CALL_KB", "0a1b3", "end", "inactive", "PH", "SA"},
        {"silence", "HLV_ANTENNA_SILENT", "ANT1", "start", "active", "PM", "ST"},
        {"silence", "HLV_ANTENNA_SILENT", "ANT1", "end", "inactive", "PM", "ST"},
        {"silence2", "HLV_ANTENNA_SILENT", "ANT1", "start", "active", "PM", "ST"},
    };
    const int n = int(std::size(expected));
    QTRY_COMPARE(m_manager->alerts().size(), n);
    QTRY_COMPARE(
        server.alertsStatus(),
        QStringLiteral("Оповещения: связь с менеджером оповещений 127.0.0.1:%1").arg(m_manager->port()));
    const QList<QByteArray> got = m_manager->alerts();
    QHash<QByteArray, QByteArray> ids;
    for (int i = 0; i < n; ++i) {
        const QByteArray& m = got[i];
        const QByteArray row = QByteArray::number(i);
        QVERIFY2(value(m, 1).startsWith(QByteArray(expected[i].kind) + '^'), row);
        QVERIFY2(value(m, 2) == expected[i].source, row);
        QVERIFY2(value(m, 3) == expected[i].phase, row);
        QVERIFY2(value(m, 4) == expected[i].state, row);
        QVERIFY2(value(m, 6) == expected[i].priority, row);
        QVERIFY2(value(m, 7) == expected[i].type, row);
        // One identifier per alert, and no two alerts share one.
        const QByteArray id = alertId(m);
        QVERIFY2(ids.value(expected[i].id, id) == id, row);
        ids.insert(expected[i].id, id);
        const bool call = QByteArray(expected[i].type) == "SA";
        // The place as the display stations were told it; an antenna has none.
        QVERIFY2(TestAlertManager::field(m, "PV1", 3) ==
                     (call ? QStringLiteral("ТО-3^Палата 2^Душ^").toUtf8() : QByteArray("ТО-3^^^")),
                 row);
    }
    QCOMPARE(QSet<QByteArray>(ids.cbegin(), ids.cend()).size(), 4);
    QCOMPARE(alertId(got[0]), QByteArray("ТО-3:") + AlertBridge::alertKeyOf(kb).toUtf8() + "^HALVANE");
    server.finish();
    QCOMPARE(server.alertsStatus(), QString());
}

void TestAlertBridge::restartEndsWhatWentAndStartsWhatWasNeverReported()
{
    // A call and a silence reported, then the server stops: the call is cancelled meanwhile (nothing
    // of it in this journal), the antenna's silence cannot be seen to end by the next run.
    {
        WardServer server;
        server.create();
        configure(QStringLiteral("127.0.0.1"));
        QString error;
        QVERIFY2(server.start(&error), qPrintable(error));
        OpenCall call;
        call.id = 41;
        call.time = m_now;
        call.code = QStringLiteral("f6186");
        call.f = QStringLiteral("8");
        call.notice = {QStringLiteral("f6186"), QStringLiteral("8"), {}, QStringLiteral("Койка № 1")};
        emit server.openCallsChanged({call});
        emit server.antennaSilenceChanged(QStringLiteral("ANT1"), true, m_now);
        QTRY_COMPARE(m_manager->alerts().size(), 2);
        QTRY_COMPARE(server.alerts()->sender().pendingCount(), 0);
        server.finish();
    }
    // Reporting switched off; a press leaves an open call in the journal.
    configure(QString());
    {
        WardServer server;
        server.create();
        QString error;
        QVERIFY2(server.start(&error), qPrintable(error));
        QVERIFY(!server.alerts());
        press("f61868", server);
        QTRY_COMPARE(server.db().query(QStringLiteral("SELECT id FROM logs")).rowCount(), 1);
        server.finish();
    }
    const QList<QByteArray> before = m_manager->alerts();
    m_manager->clear();
    configure(QStringLiteral("127.0.0.1"));
    WardServer server;
    server.create();
    QString error;
    QVERIFY2(server.start(&error), qPrintable(error));
    QTRY_COMPARE(m_manager->alerts().size(), 3);
    QTest::qWait(200);
    QCOMPARE(m_manager->alerts().size(), 3);
    const QList<QByteArray> got = m_manager->alerts();
    // The journal's open call first, then the end of each alert that went.
    QCOMPARE(value(got[0], 3), QByteArray("start"));
    QCOMPARE(value(got[0], 2), QByteArray("f6186"));
    QCOMPARE(TestAlertManager::field(got[0], "PV1", 3), QStringLiteral("ТО-3^Палата 1^Койка № 1^").toUtf8());
    QCOMPARE(value(got[0], 8), QStringLiteral("Тестова Анна").toUtf8());
    QVERIFY(alertId(got[0]) != alertId(before[0]));
    QCOMPARE(value(got[1], 3), QByteArray("end"));
    QCOMPARE(value(got[2], 3), QByteArray("end"));
    QCOMPARE((QSet<QByteArray>{alertId(got[1]), alertId(got[2])}),
             (QSet<QByteArray>{alertId(before[0]), alertId(before[1])}));
    server.finish();
}

void TestAlertBridge::unusableSettingsLeaveTheWardRunning()
{
    WardServer server;
    server.create();
    configure(QStringLiteral("127.0.0.1"), QString());
    QStringList errors;
    connect(&server, &WardServer::errorRaised, this, [&](const QString& m) { errors << m; });
    QString error;
    QVERIFY2(server.start(&error), qPrintable(error));
    QCOMPARE(errors.size(), 1);
    QVERIFY2(errors[0].startsWith(QStringLiteral("Оповещения: PointOfCare")), qPrintable(errors[0]));
    QVERIFY(!server.alerts());
    press("f61868", server);
    QTRY_COMPARE(server.db().query(QStringLiteral("SELECT id FROM logs")).rowCount(), 1);
    QTest::qWait(200);
    QCOMPARE(m_manager->connections(), 0);
    server.finish();
}

void TestAlertBridge::updatesKeepToTheTimePassed_data()
{
    QTest::addColumn<int>("stepSec");
    QTest::newRow("wall clock set back 10 minutes") << -600;
    QTest::newRow("wall clock set forward 10 minutes") << 600;
}

// A call pressed at a bed, then the wall clock stepped: the alert manager hears of its warning and
// its alarm at WarnSec and AlarmSec of the time that passed, neither later nor earlier.
void TestAlertBridge::updatesKeepToTheTimePassed()
{
    QFETCH(int, stepSec);
    qint64 elapsedMs = 1'000'000;
    Clock::setElapsedOverride([&elapsedMs] { return elapsedMs; });
    WardServer server;
    server.create();
    configure(QStringLiteral("127.0.0.1"));
    QString error;
    QVERIFY2(server.start(&error), qPrintable(error));
    server.TimerCalls.stop();
    const int warnSec = server.escalation().WarnSec;
    const int alarmSec = server.escalation().AlarmSec;
    QStringList escalations;
    connect(&server, &WardServer::callEscalated, this, [&](const OpenCall& call, CallLevel level) {
        escalations << QStringLiteral("%1:%2").arg((elapsedMs - call.sinceMs) / 1000).arg(int(level));
    });
    press("f61868", server);
    QTRY_COMPARE(m_manager->alerts().size(), 1);
    QCOMPARE(server.openCalls()->count(), 1);
    const qint64 since = server.openCalls()->at(0).sinceMs;

    m_now = m_now.addSecs(stepSec);
    for (const int second : {1, warnSec - 1, warnSec + 1, alarmSec - 1, alarmSec + 1}) {
        elapsedMs = since + qint64(second) * 1000;
        server.TimerCallsTimer();
    }
    QCOMPARE(escalations, (QStringList{QStringLiteral("%1:1").arg(warnSec + 1),
                                       QStringLiteral("%1:2").arg(alarmSec + 1)}));
    QTRY_COMPARE(m_manager->alerts().size(), 3);
    const QList<QByteArray> got = m_manager->alerts();
    QCOMPARE(value(got[0], 3) + ' ' + value(got[0], 6), QByteArray("start PM"));
    QCOMPARE(value(got[1], 3) + ' ' + value(got[1], 6), QByteArray("update PM"));
    QCOMPARE(value(got[2], 3) + ' ' + value(got[2], 6), QByteArray("update PH"));
    QCOMPARE(alertId(got[2]), alertId(got[0]));
    server.finish();
}

QTEST_GUILESS_MAIN(TestAlertBridge)
#include "tst_net_alertbridge.moc"
