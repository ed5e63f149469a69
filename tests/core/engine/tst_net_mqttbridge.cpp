// The ward engine publishing to a real broker (Debian's mosquitto on 127.0.0.1 at a free port): a
// press and its cancel over the network arrive as two events, the engine's open-calls signals as
// repeat, escalation and antenna events and the retained open list, and calls made while the broker
// is away arrive in order once it is back. A call and its cancel are published with their notices,
// also while another program locks the journal; a broker that comes up after the server learns the
// open calls at once. Without a broker host nothing is published.

#include "MosquittoBroker.h"

#include "../db/DbTestSupport.h"

#include "core/base/Clock.h"
#include "core/calls/EscalationSettings.h"
#include "core/db/Database.h"
#include "core/engine/MqttBridge.h"
#include "core/engine/WardServer.h"
#include "core/mqtt/MqttEvent.h"
#include "core/mqtt/MqttSettings.h"
#include "core/net/UdpSender.h"
#include "core/settings/AppState.h"
#include "core/settings/IniFile.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <functional>

namespace {

const QString kTopic = QStringLiteral("test/ward");
const QString kEvents = kTopic + QStringLiteral("/events");

void press(const QByteArray& text, const WardServer& server)
{
    QUdpSocket socket;
    socket.writeDatagram(text, QHostAddress::LocalHost, UdpSender::portFromSetting(server.cfg().FromAntPort));
}

// The events received, each seq once (an event in flight when the broker went away comes again).
QList<QJsonObject> events(const MqttTestSubscriber& sub)
{
    QList<QJsonObject> out;
    QSet<qint64> seen;
    for (const QByteArray& p : sub.payloads(kEvents)) {
        const QJsonObject o = QJsonDocument::fromJson(p).object();
        if (!seen.contains(o.value(QStringLiteral("seq")).toInteger())) {
            seen.insert(o.value(QStringLiteral("seq")).toInteger());
            out << o;
        }
    }
    return out;
}

QString lastSectionOf(const QString& iniPath)
{
    QFile file(iniPath);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const QByteArray text = file.readAll();
    const qsizetype at = text.lastIndexOf("\n[");
    return QString::fromLatin1(text.mid(at + 1, text.indexOf(']', at) - at));
}

} // namespace

class TestMqttBridge : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void offOrUnusable_data();
    void offOrUnusable();
    void pressAndCancelArriveAsTwoEvents();
    void openCallsSignalsArePublished();
    void callsDuringABrokerOutageArriveInOrder();
    void secondCopyLeavesTheBrokerAlone();
    void callDuringAJournalLockIsPublishedAtOnce();
    void brokerComingUpLateLearnsTheOpenCalls();

private:
    // The section as an operator fills it in, before the engine starts.
    void configure(const QString& host, const QString& topic);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<MosquittoBroker> m_broker;
    QDateTime m_now;
    MqttPublisher::Timing m_timing;
};

void TestMqttBridge::initTestCase()
{
    if (!QFile::exists(MosquittoBroker::binary()))
        QFAIL("mosquitto is not installed (Debian package mosquitto)");
    m_timing.firstRetryMs = 200;
    m_timing.maxRetryMs = 800;
    MqttBridge::setTimingForTests(&m_timing);
}

void TestMqttBridge::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    App::setExePathOverride(m_dir->filePath(QStringLiteral("HalvaneServer")));
    m_now = QDateTime(QDate(2017, 12, 3), QTime(14, 5, 9));
    Clock::setNowOverride([this] { return m_now; });
    UdpSender::setBroadcastAddressForTests(QHostAddress(QHostAddress::LocalHost));
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("broker")));
    m_broker = std::make_unique<MosquittoBroker>(m_dir->filePath(QStringLiteral("broker")));
    QVERIFY(m_broker->start());
}

void TestMqttBridge::cleanup()
{
    m_broker.reset();
    Clock::setNowOverride({});
    UdpSender::setBroadcastAddressForTests(QHostAddress());
    App::setExePathOverride(QString());
    m_dir.reset();
}

void TestMqttBridge::configure(const QString& host, const QString& topic)
{
    IniFile ini = App::settings();
    // An installation that already has the sections of the features, in their order.
    EscalationSettings::writeMissing(ini);
    ini.writeString(MqttSettings::kSection, QStringLiteral("Host"), host);
    ini.writeInteger(MqttSettings::kSection, QStringLiteral("Port"), m_broker->port());
    ini.writeString(MqttSettings::kSection, QStringLiteral("Topic"), topic);
}

void TestMqttBridge::offOrUnusable_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("topic");
    QTest::addColumn<bool>("reported");
    QTest::newRow("no host: off, as the new section says") << QString() << QString() << false;
    QTest::newRow("no host, section filled in") << QString() << kTopic << false;
    QTest::newRow("wildcard in the topic") << QStringLiteral("127.0.0.1") << QStringLiteral("ward/#") << true;
}

void TestMqttBridge::offOrUnusable()
{
    QFETCH(QString, host);
    QFETCH(QString, topic);
    QFETCH(bool, reported);
    MqttTestSubscriber sub(m_broker->port(), QStringLiteral("#"));
    QTRY_VERIFY(sub.subscribed());

    WardServer server;
    server.create();
    if (!topic.isEmpty())
        configure(host, topic);
    QStringList errors;
    connect(&server, &WardServer::errorRaised, this, [&](const QString& m) { errors << m; });
    // A value that keeps the broker off is said with the settings file's other fallbacks.
    QStringList told;
    connect(&server, &WardServer::settingsFallbacks, this, [&](const QStringList& lines) { told << lines; });
    QString error;
    QVERIFY2(server.start(&error), qPrintable(error));
    // The section is written once, after the ward's own; only the alert manager's, newer, follows it.
    QCOMPARE(lastSectionOf(App::settingsPath()), QStringLiteral("[Alerts]"));
    QCOMPARE(App::settings().readString(MqttSettings::kSection, QStringLiteral("Host"), QStringLiteral("?")),
             host);

    press("f61868", server);
    QTRY_COMPARE(server.db().query(QStringLiteral("SELECT id FROM logs")).rowCount(), 1);
    QCOMPARE(errors, QStringList());
    QCOMPARE(told.filter(QStringLiteral("[Mqtt]")),
             reported ? QStringList{QStringLiteral(
                            "HalvaneServer.ini [Mqtt] Topic=\"ward/#\" holds a wildcard (+ or "
                            "#); the broker stays off")}
                      : QStringList());
    QVERIFY(server.isRunning());
    QCOMPARE(server.mqttStatus(), QString());
    server.finish();
    QVERIFY(!QFile::exists(m_dir->filePath(QStringLiteral("orv_med.db.mqtt-outbox"))));
    // A message of the test's own, published after the server finished, comes after anything the
    // server could have published: once it is in, it must be the only one.
    QProcess pub;
    pub.start(QStringLiteral("mosquitto_pub"),
              {QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
               QString::number(m_broker->port()), QStringLiteral("-q"), QStringLiteral("1"),
               QStringLiteral("-t"), QStringLiteral("probe/after"), QStringLiteral("-m"),
               QStringLiteral("after")});
    QVERIFY(pub.waitForFinished(20000));
    QCOMPARE(pub.exitCode(), 0);
    QTRY_VERIFY(!sub.messages().isEmpty());
    QCOMPARE(sub.messages().size(), 1);
    QCOMPARE(sub.messages().first().topic, QStringLiteral("probe/after"));
}

void TestMqttBridge::pressAndCancelArriveAsTwoEvents()
{
    MqttTestSubscriber sub(m_broker->port(), kTopic + QStringLiteral("/#"));
    QTRY_VERIFY(sub.subscribed());
    WardServer server;
    server.create();
    configure(QStringLiteral("127.0.0.1"), kTopic);
    QStringList statuses;
    connect(&server, &WardServer::mqttStatusChanged, this, [&](const QString& s) { statuses << s; });
    QList<JournaledEvent> journaled;
    connect(&server, &WardServer::journaled, this, [&](const JournaledEvent& e) { journaled << e; });
    QString error;
    QVERIFY2(server.start(&error), qPrintable(error));
    const QString connected = QStringLiteral("MQTT: связь с брокером 127.0.0.1:%1").arg(m_broker->port());
    QTRY_COMPARE(server.mqttStatus(), connected);
    QTRY_COMPARE(sub.payloads(kTopic + QStringLiteral("/status")), QList<QByteArray>{"online"});

    const QDateTime callTime = m_now;
    press("f61868", server);
    QTRY_COMPARE(journaled.size(), 1);
    m_now = m_now.addSecs(95);
    press("f61862", server);
    QTRY_COMPARE(events(sub).size(), 2);
    const QList<QJsonObject> got = events(sub);

    struct Expected
    {
        QString type;
        QString function;
        QDateTime time;
    };
    const Expected expected[] = {{QStringLiteral("call"), QStringLiteral("8"), callTime},
                                 {QStringLiteral("cancel"), QStringLiteral("2"), m_now}};
    for (int i = 0; i < 2; ++i) {
        const QJsonObject& e = got[i];
        QCOMPARE(e.value(QStringLiteral("type")).toString(), expected[i].type);
        QCOMPARE(e.value(QStringLiteral("code")).toString(), QStringLiteral("f6186"));
        QCOMPARE(e.value(QStringLiteral("function")).toString(), expected[i].function);
        QCOMPARE(e.value(QStringLiteral("place")).toString(), QStringLiteral("Койка № 1"));
        QCOMPARE(e.value(QStringLiteral("ward")).toString(), QStringLiteral("Палата 1"));
        QCOMPARE(e.value(QStringLiteral("staff")).toString(), QStringLiteral("Тестова Анна"));
        QCOMPARE(e.value(QStringLiteral("time")).toString(), MqttJson::isoTime(expected[i].time));
    }
    QVERIFY(!got[0].contains(QStringLiteral("reaction")));
    QCOMPARE(got[1].value(QStringLiteral("seq")).toInteger(),
             got[0].value(QStringLiteral("seq")).toInteger() + 1);
    const QJsonArray reaction = got[1].value(QStringLiteral("reaction")).toArray();
    QCOMPARE(reaction.size(), 1);
    QCOMPARE(reaction[0][QStringLiteral("id")].toInteger(), journaled[0].id);
    QCOMPARE(reaction[0][QStringLiteral("time")].toString(), MqttJson::isoTime(callTime));
    QCOMPARE(reaction[0][QStringLiteral("seconds")].toInteger(), 95);

    // The end says so to the broker and to the status bar.
    server.finish();
    QTRY_COMPARE(sub.payloads(kTopic + QStringLiteral("/status")).last(), QByteArray("offline"));
    QCOMPARE(server.mqttStatus(), QString());
    QCOMPARE(statuses.last(), QString());
}

void TestMqttBridge::openCallsSignalsArePublished()
{
    MqttTestSubscriber sub(m_broker->port(), kEvents);
    QTRY_VERIFY(sub.subscribed());
    WardServer server;
    server.create();
    configure(QStringLiteral("127.0.0.1"), kTopic);
    QString error;
    QVERIFY2(server.start(&error), qPrintable(error));

    OpenCall call;
    call.id = 7;
    call.time = m_now.addSecs(-300);
    call.code = QStringLiteral("0a1b3");
    call.f = QStringLiteral("4");
    call.place = QStringLiteral("Душ (3)");
    call.ward = QStringLiteral("Палата 2");
    call.staff = QStringLiteral("Петрова");
    call.notice = {QStringLiteral("0a1b"), QStringLiteral("4"), QStringLiteral("Петрова"),
                   QStringLiteral("Душ")};
    call.level = CallLevel::Alarm;
    const QDateTime lastHeard = m_now.addSecs(-61);

    struct Case
    {
        std::function<void()> emitIt;
        QString type;
        QString level;  // escalation only
        QString silent; // antenna only: "true" or "false"
    };
    const QList<Case> cases = {
        {[&] { emit server.callRepeated(call); }, QStringLiteral("repeat"), {}, {}},
        {[&] { emit server.callEscalated(call, CallLevel::Warning); },
         QStringLiteral("escalation"),
         QStringLiteral("warning"),
         {}},
        {[&] { emit server.callEscalated(call, CallLevel::Alarm); },
         QStringLiteral("escalation"),
         QStringLiteral("alarm"),
         {}},
        {[&] { emit server.antennaSilenceChanged(QStringLiteral("ANT1"), true, lastHeard); },
         QStringLiteral("antenna"),
         {},
         QStringLiteral("true")},
        {[&] { emit server.antennaSilenceChanged(QStringLiteral("ANT1"), false, m_now); },
         QStringLiteral("antenna"),
         {},
         QStringLiteral("false")},
    };
    for (const Case& c : cases)
        c.emitIt();
    QTRY_COMPARE(events(sub).size(), cases.size());
    const QList<QJsonObject> got = events(sub);
    for (int i = 0; i < cases.size(); ++i) {
        const QJsonObject& e = got[i];
        const QString row = QString::number(i);
        QVERIFY2(e.value(QStringLiteral("type")).toString() == cases[i].type, qPrintable(row));
        QVERIFY2(e.value(QStringLiteral("time")).toString() == MqttJson::isoTime(m_now), qPrintable(row));
        if (i > 0)
            QVERIFY2(e.value(QStringLiteral("seq")).toInteger() ==
                         got[i - 1].value(QStringLiteral("seq")).toInteger() + 1,
                     qPrintable(row));
        if (cases[i].type == QLatin1String("antenna")) {
            QCOMPARE(e.value(QStringLiteral("antenna")).toString(), QStringLiteral("ANT1"));
            QCOMPARE(e.value(QStringLiteral("silent")).toBool() ? QStringLiteral("true")
                                                                : QStringLiteral("false"),
                     cases[i].silent);
            continue;
        }
        // As the notice went to the display stations.
        QCOMPARE(e.value(QStringLiteral("code")).toString(), QStringLiteral("0a1b"));
        QCOMPARE(e.value(QStringLiteral("function")).toString(), QStringLiteral("4"));
        QCOMPARE(e.value(QStringLiteral("place")).toString(), QStringLiteral("Душ"));
        QCOMPARE(e.value(QStringLiteral("ward")).toString(), QStringLiteral("Палата 2"));
        QCOMPARE(e.value(QStringLiteral("staff")).toString(), QStringLiteral("Петрова"));
        QCOMPARE(e.value(QStringLiteral("since")).toString(), MqttJson::isoTime(call.time));
        QCOMPARE(e.value(QStringLiteral("level")).toString(), cases[i].level);
    }

    // The open list as the window shows it; a consumer that comes later finds the newest, retained.
    OpenCall newer = call;
    newer.id = 9;
    newer.level = CallLevel::Normal;
    emit server.openCallsChanged({call});
    emit server.openCallsChanged({call, newer});
    QTest::qWait(300);
    MqttTestSubscriber late(m_broker->port(), kTopic + QStringLiteral("/+"));
    QTRY_COMPARE(late.messages().size(), 2);
    QList<MqttTestSubscriber::Message> retained = late.messages();
    std::sort(retained.begin(), retained.end(),
              [](const auto& a, const auto& b) { return a.topic < b.topic; });
    QCOMPARE(retained[0].topic, kTopic + QStringLiteral("/open"));
    QVERIFY(retained[0].retained);
    const QJsonArray open = QJsonDocument::fromJson(retained[0].payload).array();
    QCOMPARE(open.size(), 2);
    QCOMPARE(open[0][QStringLiteral("id")].toInteger(), 7);
    QCOMPARE(open[0][QStringLiteral("place")].toString(), QStringLiteral("Душ (3)"));
    QCOMPARE(open[0][QStringLiteral("level")].toString(), QStringLiteral("alarm"));
    QCOMPARE(open[1][QStringLiteral("id")].toInteger(), 9);
    QCOMPARE(open[1][QStringLiteral("level")].toString(), QString());
    QCOMPARE(retained[1].topic, kTopic + QStringLiteral("/status"));
    QVERIFY(retained[1].retained);
    QCOMPARE(retained[1].payload, QByteArray("online"));
}

void TestMqttBridge::callsDuringABrokerOutageArriveInOrder()
{
    // A fixed client id: the broker keeps the subscription and its messages across its restart.
    MqttTestSubscriber sub(m_broker->port(), kEvents, {QStringLiteral("outage-subscriber"), {}, {}, {}});
    QTRY_VERIFY(sub.subscribed());
    WardServer server;
    server.create();
    configure(QStringLiteral("127.0.0.1"), kTopic);
    QList<JournaledEvent> journaled;
    connect(&server, &WardServer::journaled, this, [&](const JournaledEvent& e) { journaled << e; });
    QString error;
    QVERIFY2(server.start(&error), qPrintable(error));
    QTRY_VERIFY(server.mqttStatus().contains(QStringLiteral("связь")));

    m_broker->stop();
    QTRY_VERIFY_WITH_TIMEOUT(server.mqttStatus().contains(QStringLiteral("недоступен")), 10000);
    const QByteArray presses[] = {"f61868", "f61862", "f61868"};
    for (const QByteArray& p : presses) {
        m_now = m_now.addSecs(10);
        press(p, server);
        const qsizetype before = journaled.size();
        QTRY_COMPARE(journaled.size(), before + 1);
    }
    QVERIFY(server.journalStatus().isEmpty()); // the journal did not wait

    QVERIFY(m_broker->start());
    QTRY_COMPARE_WITH_TIMEOUT(events(sub).size(), 3, 20000);
    const QList<QJsonObject> got = events(sub);
    const QStringList types = {QStringLiteral("call"), QStringLiteral("cancel"), QStringLiteral("call")};
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(got[i].value(QStringLiteral("type")).toString(), types[i]);
        QCOMPARE(got[i].value(QStringLiteral("time")).toString(), MqttJson::isoTime(journaled[i].time));
        if (i > 0)
            QCOMPARE(got[i].value(QStringLiteral("seq")).toInteger(),
                     got[i - 1].value(QStringLiteral("seq")).toInteger() + 1);
    }
    QTRY_VERIFY(server.mqttStatus().contains(QStringLiteral("связь")));
}

void TestMqttBridge::secondCopyLeavesTheBrokerAlone()
{
    MqttTestSubscriber sub(m_broker->port(), kTopic + QStringLiteral("/status"));
    QTRY_VERIFY(sub.subscribed());
    WardServer running;
    running.create();
    configure(QStringLiteral("127.0.0.1"), kTopic);
    QString error;
    QVERIFY2(running.start(&error), qPrintable(error));
    QTRY_VERIFY(running.mqttStatus().contains(QStringLiteral("связь")));

    // A second copy started by mistake cannot bind the ports: it neither connects under the ward's
    // client id nor says "offline" for the copy that runs.
    WardServer second;
    second.create();
    QSignalSpy statuses(&second, &WardServer::mqttStatusChanged);
    QVERIFY(!second.start(&error));
    second.stop();
    QTest::qWait(500);
    QCOMPARE(statuses.size(), 0);
    QCOMPARE(sub.payloads(kTopic + QStringLiteral("/status")), QList<QByteArray>{"online"});
    QVERIFY(running.mqttStatus().contains(QStringLiteral("связь")));
}

void TestMqttBridge::callDuringAJournalLockIsPublishedAtOnce()
{
    MqttTestSubscriber sub(m_broker->port(), kTopic + QStringLiteral("/#"));
    QTRY_VERIFY(sub.subscribed());
    WardServer server;
    server.create();
    configure(QStringLiteral("127.0.0.1"), kTopic);
    QString error;
    QVERIFY2(server.start(&error), qPrintable(error));
    QTRY_VERIFY(server.mqttStatus().contains(QStringLiteral("связь")));
    const auto openList = [&sub] {
        const QList<QByteArray> lists = sub.payloads(kTopic + QStringLiteral("/open"));
        return lists.isEmpty() ? QJsonArray() : QJsonDocument::fromJson(lists.last()).array();
    };

    dbtest::PlainConnection other(m_dir->filePath(QStringLiteral("orv_med.db")));
    QCOMPARE(other.exec("BEGIN EXCLUSIVE"), SQLITE_OK);
    const QDateTime callTime = m_now;
    press("f61868", server);
    QTRY_COMPARE(events(sub).size(), 1);
    const QJsonObject call = events(sub).at(0);
    QCOMPARE(call.value(QStringLiteral("type")).toString(), QStringLiteral("call"));
    const QString key = QStringLiteral("20171203T140509-f6186-8");
    QCOMPARE(call.value(QStringLiteral("call")).toString(), key);
    QVERIFY(!call.contains(QStringLiteral("id")));
    QTRY_COMPARE(openList().size(), 1);
    QCOMPARE(openList()[0][QStringLiteral("call")].toString(), key);
    QVERIFY(openList()[0][QStringLiteral("id")].isNull());

    m_now = m_now.addSecs(95);
    press("f61862", server);
    QTRY_COMPARE(events(sub).size(), 2);
    const QJsonObject cancel = events(sub).at(1);
    QCOMPARE(cancel.value(QStringLiteral("type")).toString(), QStringLiteral("cancel"));
    const QJsonArray reaction = cancel.value(QStringLiteral("reaction")).toArray();
    QCOMPARE(reaction.size(), 1);
    QCOMPARE(reaction[0][QStringLiteral("call")].toString(), key);
    QVERIFY(reaction[0][QStringLiteral("id")].isNull());
    QCOMPARE(reaction[0][QStringLiteral("time")].toString(), MqttJson::isoTime(callTime));
    QCOMPARE(reaction[0][QStringLiteral("seconds")].toInteger(), 95);
    QTRY_COMPARE(openList().size(), 0);
    QVERIFY(!server.journalStatus().isEmpty());

    // The journal takes both once the lock goes; nothing is published twice.
    QCOMPARE(other.exec("COMMIT"), SQLITE_OK);
    QTRY_VERIFY(server.journalStatus().isEmpty());
    QCOMPARE(server.db().query(QStringLiteral("SELECT reactiontime FROM logs")).fieldAsText(0),
             QStringLiteral("00:01:35"));
    QTest::qWait(300);
    QCOMPARE(events(sub).size(), 2);
}

void TestMqttBridge::brokerComingUpLateLearnsTheOpenCalls()
{
    WardServer server;
    server.create();
    configure(QStringLiteral("127.0.0.1"), kTopic);
    // A call the last run left open.
    server.db().executeStatement(
        QStringLiteral("INSERT INTO logs (timest, timestr, abcde, f, butsname, groupsname, workersname, "
                       "reactiontime) VALUES ('2017.12.03 14:04:09', '', 'f6186', '8', 'Койка № 1', "
                       "'Палата 1', 'Тестова Анна', '')"));
    const qint64 id = server.db().query(QStringLiteral("SELECT max(id) FROM logs")).fieldAsInteger(0);
    m_broker->stop();
    QString error;
    QVERIFY2(server.start(&error), qPrintable(error));
    QTRY_VERIFY_WITH_TIMEOUT(server.mqttStatus().contains(QStringLiteral("недоступен")), 10000);

    // The broker comes up; nothing happens in the ward, yet the open list is there.
    QVERIFY(m_broker->start());
    QTRY_VERIFY_WITH_TIMEOUT(server.mqttStatus().contains(QStringLiteral("связь")), 10000);
    MqttTestSubscriber sub(m_broker->port(), kTopic + QStringLiteral("/open"));
    QTRY_COMPARE(sub.payloads(kTopic + QStringLiteral("/open")).size(), 1);
    const QJsonArray open =
        QJsonDocument::fromJson(sub.payloads(kTopic + QStringLiteral("/open")).at(0)).array();
    QCOMPARE(open.size(), 1);
    QCOMPARE(open[0][QStringLiteral("id")].toInteger(), id);
    QCOMPARE(open[0][QStringLiteral("call")].toString(), QStringLiteral("20171203T140409-f6186-8"));
}

QTEST_GUILESS_MAIN(TestMqttBridge)
#include "tst_net_mqttbridge.moc"
