// The ward and the centre of the house together, each the real program: HalvaneServer without windows
// publishing to a real mosquitto, HalvaneCentral gathering from it into a real PostgreSQL and serving
// its dashboard. Antenna datagrams make a call that escalates to the alarm, an antenna that falls
// silent and is heard again, the cancel; each step must reach the centre's tables (events, open_calls,
// reactions, antennas, wards) and the dashboard's live channel, opened with an account --add-user
// made. Uses the ward's fixed UDP ports.

#include "CentralTestSupport.h"
#include "HeadlessServer.h"
#include "MosquittoBroker.h"
#include "PostgresServer.h"
#include "ProcessGuard.h"

#include "central/WardMessage.h"
#include "core/calls/EscalationSettings.h"
#include "core/mqtt/MqttEvent.h"
#include "core/mqtt/MqttSettings.h"
#include "core/settings/IniFile.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkRequest>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>
#include <QUrl>
#include <QWebSocket>

#include <csignal>
#include <memory>

namespace {

const QString kWard = QStringLiteral("ward7");
const QString kAccount = QStringLiteral("Дежурный врач");
const QByteArray kPassword = QByteArrayLiteral("пароль смены");
const QString kCentreId = QStringLiteral("central-e2e");

// A card of the live channel's "wards" message for the ward, when it holds one.
std::optional<QJsonObject> cardOf(const QJsonObject& message)
{
    if (message.value(QStringLiteral("type")).toString() != QLatin1String("wards") &&
        message.value(QStringLiteral("type")).toString() != QLatin1String("snapshot"))
        return std::nullopt;
    for (const QJsonValue& v : message.value(QStringLiteral("wards")).toArray())
        if (v.toObject().value(QStringLiteral("ward")).toString() == kWard)
            return v.toObject();
    return std::nullopt;
}

} // namespace

class TestWardToCentre : public QObject
{
    Q_OBJECT

private:
    PostgresServer m_pg;
    QTemporaryDir m_brokerDir;
    MosquittoBroker m_broker{m_brokerDir.path()};
    QTemporaryDir m_centreDir;
    QTemporaryDir m_wardDir;
    std::unique_ptr<centraltest::CentralProcess> m_centre;
    QString m_wardExe;
    QProcess m_ward;
    QUdpSocket m_station;
    quint16 m_httpPort = 0;
    QList<QJsonObject> m_live;

    QString query(const QString& sql) { return m_pg.psql(sql); }
    bool waitFor(const QString& sql, const QString& expected, int ms = 20000)
    {
        const QDeadlineTimer deadline(ms);
        while (!deadline.hasExpired()) {
            if (query(sql) == expected)
                return true;
            QTest::qWait(100);
        }
        qWarning("%s answers \"%s\", not \"%s\"", qPrintable(sql), qPrintable(query(sql)),
                 qPrintable(expected));
        return false;
    }
    // The ward's events as the centre stored them, in the ward's order: "type[/level|/antenna silent]".
    QString storedEvents()
    {
        return query(QStringLiteral("SELECT string_agg(type || coalesce('/' || level, '') || "
                                    "coalesce('/' || antenna || ' ' || silent, ''), ',' ORDER BY seq) "
                                    "FROM events WHERE ward = '%1'")
                         .arg(kWard));
    }
    // Waits until the live channel brought a card of the ward that satisfies `test`.
    template <typename Test> bool liveCard(Test test, int ms = 10000)
    {
        const QDeadlineTimer deadline(ms);
        while (!deadline.hasExpired()) {
            for (const QJsonObject& m : std::as_const(m_live))
                if (const auto card = cardOf(m); card && test(*card))
                    return true;
            QTest::qWait(50);
        }
        return false;
    }

    // A press at the antenna, once the display station has its notice (pings in between do not count).
    bool press(const QByteArray& datagram)
    {
        QUdpSocket antenna;
        antenna.writeDatagram(datagram, QHostAddress::LocalHost, 5556);
        const QByteArray notice = '#' + datagram.left(5) + ';' + datagram.mid(5) + ';';
        const QDeadlineTimer deadline(5000);
        while (!deadline.hasExpired()) {
            if (!m_station.hasPendingDatagrams() && !m_station.waitForReadyRead(100))
                continue;
            if (m_station.receiveDatagram().data().startsWith(notice))
                return true;
        }
        return false;
    }
    static void signOn(const QByteArray& antennaId)
    {
        QUdpSocket antenna;
        antenna.writeDatagram("###" + antennaId, QHostAddress::LocalHost, 5556);
    }
    void stopWard()
    {
        if (m_ward.state() == QProcess::NotRunning)
            return;
        m_ward.terminate();
        if (!m_ward.waitForFinished(10000)) {
            m_ward.kill();
            m_ward.waitForFinished(5000);
        }
    }

    // A login over HTTP as the page makes it; the session's token, empty when refused.
    QByteArray login()
    {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, m_httpPort);
        if (!socket.waitForConnected(5000))
            return {};
        const QByteArray body =
            "name=" + QUrl::toPercentEncoding(kAccount) + "&password=" + QUrl::toPercentEncoding(kPassword);
        const QByteArray origin = "127.0.0.1:" + QByteArray::number(m_httpPort);
        // As the page's own form posts it: from its origin.
        socket.write("POST /login HTTP/1.1\r\nHost: " + origin + "\r\nOrigin: http://" + origin +
                     "\r\nConnection: close\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                     "Content-Length: " +
                     QByteArray::number(body.size()) + "\r\n\r\n" + body);
        QByteArray reply;
        const QDeadlineTimer deadline(15000);
        while (!deadline.hasExpired() && socket.state() == QAbstractSocket::ConnectedState) {
            socket.waitForReadyRead(100);
            reply += socket.readAll();
        }
        reply += socket.readAll();
        const qsizetype at = reply.indexOf("\r\nSet-Cookie: halvane_session=");
        if (!reply.startsWith("HTTP/1.1 303") || at < 0)
            return {};
        const qsizetype from = at + qsizetype(sizeof "\r\nSet-Cookie: halvane_session=") - 1;
        return reply.mid(from, reply.indexOf(';', from) - from);
    }

private slots:
    void initTestCase();
    void everyKindOfEventTheWardWritesIsStored();
    void callEscalationSilenceAndCancelReachTheCentre();
    void cleanupTestCase();
};

void TestWardToCentre::initTestCase()
{
    QVERIFY2(PostgresServer::installed(), "package postgresql is not installed");
    // The test's folders (the programs' copies, some 40 MB each, among them) go with it however it ends.
    ProcessGuard::removeOnDeath(m_brokerDir.path());
    ProcessGuard::removeOnDeath(m_centreDir.path());
    ProcessGuard::removeOnDeath(m_wardDir.path());
    QVERIFY2(m_pg.init(), qPrintable(m_pg.error()));
    QVERIFY(m_broker.start());
    QVERIFY(m_station.bind(QHostAddress::LocalHost, 5567));

    // The centre, with an account made as a script makes one: the password twice on standard input.
    const QString centreExe =
        centraltest::installCentral(m_centreDir.path(), m_broker.port(), m_pg.connInfo(), kCentreId);
    {
        centraltest::CentralProcess addUser(centreExe);
        QVERIFY(addUser.start({QStringLiteral("--add-user"), kAccount}));
        addUser.process().write(kPassword + '\n' + kPassword + '\n');
        addUser.process().closeWriteChannel();
        QVERIFY(addUser.process().waitForFinished(30000));
        QVERIFY2(addUser.process().exitCode() == 0, qPrintable(addUser.errors()));
    }
    m_centre = std::make_unique<centraltest::CentralProcess>(centreExe);
    QVERIFY2(m_centre->startServing(&m_httpPort), qPrintable(m_centre->errors()));
    QVERIFY2(centraltest::subscribed(*m_centre, m_broker.port(), kCentreId, m_pg),
             qPrintable(m_centre->errors()));

    // The ward: a first start writes its settings file (the broker off), then the test points it at
    // the broker, with short escalation times and a short antenna silence.
    m_wardExe = copyServer(m_wardDir);
    QVERIFY(!m_wardExe.isEmpty());
    ProcessGuard::guard(m_ward);
    startServer(m_ward, m_wardExe);
    QVERIFY(listening(m_station));
    stopWard();
    QCOMPARE(m_ward.exitCode(), 0);
    IniFile ini(IniFile::pathBesideExecutable(m_wardExe));
    ini.writeString(MqttSettings::kSection, QStringLiteral("Host"), QStringLiteral("127.0.0.1"));
    ini.writeInteger(MqttSettings::kSection, QStringLiteral("Port"), m_broker.port());
    ini.writeString(MqttSettings::kSection, QStringLiteral("Topic"), QStringLiteral("test/") + kWard);
    ini.writeString(MqttSettings::kSection, QStringLiteral("ClientId"), QStringLiteral("ward-e2e"));
    ini.writeInteger(EscalationSettings::kSection, QStringLiteral("WarnSec"), 1);
    ini.writeInteger(EscalationSettings::kSection, QStringLiteral("AlarmSec"), 2);
    ini.writeInteger(EscalationSettings::kSection, QStringLiteral("RepeatSec"), 0);
    ini.writeInteger(EscalationSettings::kSection, QStringLiteral("AntennaSilentSec"), 2);
}

void TestWardToCentre::cleanupTestCase()
{
    stopWard();
    if (m_centre)
        m_centre->terminate();
}

void TestWardToCentre::everyKindOfEventTheWardWritesIsStored()
{
    // What the ward's own code writes for each kind of event, read by the centre's parser: every
    // field the centre keeps comes through with its value.
    const QDateTime call = QDateTime::fromString(QStringLiteral("2024-03-01T10:00:00+03:00"), Qt::ISODate);
    const QDateTime at = call.addSecs(95);
    const QString place = QStringLiteral("Койка № 1");
    const QString room = QStringLiteral("Палата \"5\"");
    const QString staff = QStringLiteral("Иванова");

    MqttEvent called =
        MqttEvent::call(call, QStringLiteral("f6186"), QStringLiteral("8"), place, room, staff);
    called.callKey = QStringLiteral("k1");
    called.seq = 1;
    MqttEvent escalated = MqttEvent::escalation(at, QStringLiteral("alarm"), QStringLiteral("f6186"),
                                                QStringLiteral("8"), place, room, staff, call);
    escalated.callKey = QStringLiteral("k1");
    escalated.id = 41;
    escalated.seq = 2;
    MqttEvent repeated =
        MqttEvent::repeat(at, QStringLiteral("f6186"), QStringLiteral("8"), place, room, staff, call);
    repeated.callKey = QStringLiteral("k1");
    repeated.seq = 3;
    MqttEvent cancelled =
        MqttEvent::cancel(at, QStringLiteral("f6186"), QStringLiteral("2"), place, room, staff,
                          {{41, call, 95, QStringLiteral("k1")}, {0, call, 90, QStringLiteral("k2")}});
    cancelled.seq = 4;
    MqttEvent silent = MqttEvent::antennaSupervision(at, QStringLiteral("A7"), true);
    silent.seq = 5;

    QString why;
    const auto c = WardEvent::parse(kWard, called.toJson(), &why);
    QVERIFY2(c, qPrintable(why));
    QCOMPARE(c->type, QStringLiteral("call"));
    QCOMPARE(c->seq, qint64(1));
    QCOMPARE(c->localTime, QStringLiteral("2024-03-01 10:00:00"));
    QCOMPARE(c->code.value_or(QString()), QStringLiteral("f6186"));
    QCOMPARE(c->function.value_or(QString()), QStringLiteral("8"));
    QCOMPARE(c->place.value_or(QString()), place);
    QCOMPARE(c->wardName.value_or(QString()), room);
    QCOMPARE(c->staff.value_or(QString()), staff);
    QCOMPARE(c->call.value_or(QString()), QStringLiteral("k1"));
    QVERIFY(!c->entryId);

    const auto e = WardEvent::parse(kWard, escalated.toJson(), &why);
    QVERIFY2(e, qPrintable(why));
    QCOMPARE(e->level.value_or(QString()), QStringLiteral("alarm"));
    QCOMPARE(e->call.value_or(QString()), QStringLiteral("k1"));
    QCOMPARE(e->entryId.value_or(0), qint64(41));
    QCOMPARE(e->localTime, QStringLiteral("2024-03-01 10:01:35"));

    const auto r = WardEvent::parse(kWard, repeated.toJson(), &why);
    QVERIFY2(r, qPrintable(why));
    QCOMPARE(r->type, QStringLiteral("repeat"));
    QCOMPARE(r->call.value_or(QString()), QStringLiteral("k1"));

    const auto x = WardEvent::parse(kWard, cancelled.toJson(), &why);
    QVERIFY2(x, qPrintable(why));
    QCOMPARE(x->closed.size(), 2);
    QCOMPARE(x->closed[0].call, QStringLiteral("k1"));
    QCOMPARE(x->closed[0].entryId.value_or(0), qint64(41));
    QCOMPARE(x->closed[0].seconds, qint64(95));
    QCOMPARE(x->closed[1].call, QStringLiteral("k2"));
    QVERIFY(!x->closed[1].entryId); // not in the ward's journal yet
    QCOMPARE(x->closed[1].seconds, qint64(90));

    const auto a = WardEvent::parse(kWard, silent.toJson(), &why);
    QVERIFY2(a, qPrintable(why));
    QCOMPARE(a->antenna.value_or(QString()), QStringLiteral("A7"));
    QCOMPARE(a->silent.value_or(false), true);

    // The open calls' list as the ward publishes it.
    MqttOpenCall open{
        QStringLiteral("k1"),     41, QStringLiteral("f6186"), QStringLiteral("8"), place, room, staff, call,
        QStringLiteral("warning")};
    const auto list = WardMessage::parseOpen(MqttJson::openCalls({open}), &why);
    QVERIFY2(list, qPrintable(why));
    QCOMPARE(list->size(), 1);
    QCOMPARE(list->first().call, QStringLiteral("k1"));
    QCOMPARE(list->first().entryId.value_or(0), qint64(41));
    QCOMPARE(list->first().place, place);
    QCOMPARE(list->first().wardName, room);
    QCOMPARE(list->first().level, QStringLiteral("warning"));
    QCOMPARE(list->first().time, QStringLiteral("2024-03-01T10:00:00+03:00"));
}

void TestWardToCentre::callEscalationSilenceAndCancelReachTheCentre()
{
    // The dashboard's live channel, opened as the page opens it after its login.
    const QByteArray token = login();
    QVERIFY2(!token.isEmpty(), qPrintable(m_centre->errors()));
    QWebSocket live(QStringLiteral("http://127.0.0.1:%1").arg(m_httpPort));
    connect(&live, &QWebSocket::textMessageReceived, this,
            [this](const QString& text) { m_live << QJsonDocument::fromJson(text.toUtf8()).object(); });
    QNetworkRequest request(QUrl(QStringLiteral("ws://127.0.0.1:%1/live").arg(m_httpPort)));
    request.setRawHeader("Cookie", "halvane_session=" + token);
    live.open(request);
    QTRY_VERIFY_WITH_TIMEOUT(!m_live.isEmpty(), 10000);
    QCOMPARE(m_live.first().value(QStringLiteral("type")).toString(), QStringLiteral("snapshot"));

    startServer(m_ward, m_wardExe);
    QVERIFY(listening(m_station));
    QVERIFY(waitFor(QStringLiteral("SELECT status FROM wards WHERE ward = '%1'").arg(kWard),
                    QStringLiteral("online")));
    QVERIFY(liveCard([](const QJsonObject& card) { return card.value("status") == "online"; }));

    // A call from the sample place "Койка № 1": stored, listed open, then its warning and its alarm.
    m_live.clear();
    QVERIFY(press("f61868"));
    QVERIFY(waitFor(QStringLiteral("SELECT code || ' ' || function || ' ' || place FROM events "
                                   "WHERE ward = '%1' AND type = 'call'")
                        .arg(kWard),
                    QStringLiteral("f6186 8 Койка № 1")));
    QVERIFY(waitFor(QStringLiteral("SELECT level FROM open_calls WHERE ward = '%1'").arg(kWard),
                    QStringLiteral("alarm")));
    QVERIFY(waitFor(QStringLiteral("SELECT string_agg(level, ',' ORDER BY seq) FROM events "
                                   "WHERE ward = '%1' AND type = 'escalation'")
                        .arg(kWard),
                    QStringLiteral("warning,alarm")));
    // One call throughout: the call, its escalations and its row in the open list carry one key.
    QCOMPARE(
        query(QStringLiteral("SELECT count(DISTINCT call) FROM (SELECT call FROM events WHERE ward = '%1' "
                             "UNION ALL SELECT call FROM open_calls WHERE ward = '%1') k")
                  .arg(kWard)),
        QStringLiteral("1"));
    QVERIFY(liveCard([](const QJsonObject& card) {
        const QJsonObject call = card.value("calls").toArray().first().toObject();
        return call.value("level") == "alarm" && call.value("place") == QStringLiteral("Койка № 1");
    }));

    // An antenna signs on once, then is heard no more: after two seconds it is silent.
    m_live.clear();
    signOn("A7");
    QVERIFY(
        waitFor(QStringLiteral("SELECT antenna || ' ' || silent FROM antennas WHERE ward = '%1'").arg(kWard),
                QStringLiteral("A7 true")));
    QVERIFY(liveCard([](const QJsonObject& card) {
        return card.value("silent").toArray().first().toObject().value("antenna") == "A7";
    }));

    // The cancel at the same bed: the pair in reactions, the open list empty.
    m_live.clear();
    QVERIFY(press("f61862"));
    QVERIFY(waitFor(QStringLiteral("SELECT count(*) FROM open_calls WHERE ward = '%1'").arg(kWard),
                    QStringLiteral("0")));
    QVERIFY(waitFor(QStringLiteral("SELECT count(*) FROM reactions WHERE ward = '%1'").arg(kWard),
                    QStringLiteral("1")));
    // The pair names the call the ward published, the journal entry its alarm named, and a reaction
    // time of at least the two seconds to the alarm.
    QCOMPARE(
        query(QStringLiteral("SELECT r.call = c.call, r.entry_id = e.entry_id, r.seconds >= 2 "
                             "FROM reactions r, events c, events e WHERE r.ward = '%1' AND c.ward = '%1' "
                             "AND c.type = 'call' AND e.ward = '%1' AND e.type = 'escalation' "
                             "AND e.level = 'alarm'")
                  .arg(kWard)),
        QStringLiteral("t|t|t"));
    QVERIFY(liveCard([](const QJsonObject& card) {
        return card.value("calls").toArray().isEmpty() && !card.value("silent").toArray().isEmpty();
    }));

    // The antenna heard again.
    m_live.clear();
    signOn("A7");
    QVERIFY(
        waitFor(QStringLiteral("SELECT antenna || ' ' || silent FROM antennas WHERE ward = '%1'").arg(kWard),
                QStringLiteral("A7 false")));
    QVERIFY(liveCard([](const QJsonObject& card) {
        return card.value("silent").toArray().isEmpty() && card.value("calls").toArray().isEmpty();
    }));

    // Every event once, in the ward's order, numbered without a gap.
    QCOMPARE(
        storedEvents(),
        QStringLiteral("call,escalation/warning,escalation/alarm,antenna/A7 true,cancel,antenna/A7 false"));
    QCOMPARE(query(QStringLiteral("SELECT max(seq) - min(seq) + 1 = count(*) FROM events WHERE ward = '%1'")
                       .arg(kWard)),
             QStringLiteral("t"));
    QCOMPARE(query(QStringLiteral("SELECT count(*) FROM event_gaps WHERE ward = '%1'").arg(kWard)),
             QStringLiteral("0"));

    // The ward stops: the centre and the page hear it is gone.
    m_live.clear();
    stopWard();
    QCOMPARE(m_ward.exitCode(), 0);
    QVERIFY(waitFor(QStringLiteral("SELECT status FROM wards WHERE ward = '%1'").arg(kWard),
                    QStringLiteral("offline")));
    QVERIFY(liveCard([](const QJsonObject& card) { return card.value("status") == "offline"; }));
}

QTEST_GUILESS_MAIN(TestWardToCentre)
#include "tst_net_ward_to_centre.moc"
