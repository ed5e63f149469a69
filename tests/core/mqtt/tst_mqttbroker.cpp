// The publisher against a real broker (Debian's mosquitto on 127.0.0.1 at a free port): events with
// their fields, the retained open-calls and status topics, outages of the broker and a publisher
// killed during one. Run with "--publisher-child PORT OUTBOX", the executable plays a server's
// publishing side for the tests that kill it: it prints "state N" on every change and
// "queued SEQ" for every "call CODE" line read from its standard input.

#include "MosquittoBroker.h"

#include "core/mqtt/MqttPublisher.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <cstring>

namespace {

const QString kTopic = QStringLiteral("test/ward");

MqttSettingsValues settingsFor(quint16 port)
{
    MqttSettingsValues s;
    s.Host = QStringLiteral("127.0.0.1");
    s.Port = port;
    s.Topic = kTopic;
    return s;
}

MqttPublisher::Timing fastTiming()
{
    MqttPublisher::Timing t;
    t.firstRetryMs = 200;
    t.maxRetryMs = 800;
    return t;
}

MqttEvent call(const QString& code)
{
    return MqttEvent::call(QDateTime::currentDateTime(), code, QStringLiteral("8"),
                           QStringLiteral("Койка № 1"), QStringLiteral("Палата 5"),
                           QStringLiteral("Иванова"));
}

QJsonObject object(const QByteArray& json)
{
    return QJsonDocument::fromJson(json).object();
}

// The codes and seqs of the events received, in the order received.
QList<QPair<QString, qint64>> received(const MqttTestSubscriber& sub)
{
    QList<QPair<QString, qint64>> out;
    for (const QByteArray& p : sub.payloads(kTopic + QStringLiteral("/events"))) {
        const QJsonObject o = object(p);
        out.append({o.value("code").toString(), o.value("seq").toInteger()});
    }
    return out;
}

QString lastStatus(const MqttTestSubscriber& sub)
{
    const QList<QByteArray> s = sub.payloads(kTopic + QStringLiteral("/status"));
    return s.isEmpty() ? QString() : QString::fromUtf8(s.last());
}

// A child process that publishes as the server does; see the note at the top.
class PublisherChild
{
public:
    PublisherChild(quint16 port, const QString& outbox)
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QCoreApplication::applicationFilePath(),
                        {QStringLiteral("--publisher-child"), QString::number(port), outbox});
    }
    ~PublisherChild()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }

    // Waits for a line that starts with the prefix and returns the rest of it.
    QString waitFor(const QByteArray& prefix, int ms = 15000)
    {
        const QDeadlineTimer deadline(ms);
        for (;;) {
            while (m_process.canReadLine()) {
                const QByteArray line = m_process.readLine().trimmed();
                if (line.startsWith(prefix))
                    return QString::fromUtf8(line.mid(prefix.size()).trimmed());
            }
            if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
                return QStringLiteral("<nothing>");
            m_process.waitForReadyRead(100);
        }
    }

    qint64 call(const QString& code)
    {
        m_process.write("call " + code.toUtf8() + '\n');
        return waitFor("queued").toLongLong();
    }

    void killHard()
    {
        m_process.kill(); // SIGKILL: no will handling in the child, no stop()
        m_process.waitForFinished(5000);
    }

private:
    QProcess m_process;
};

const QByteArray kConnected = "state " + QByteArray::number(int(MqttPublisher::State::Connected));

int runPublisherChild(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 4)
        return 2;
    MqttPublisher publisher(settingsFor(quint16(QByteArray(argv[2]).toUInt())),
                            QString::fromLocal8Bit(argv[3]));
    publisher.setTiming(fastTiming());
    QObject::connect(&publisher, &MqttPublisher::stateChanged,
                     [](MqttPublisher::State state, const QString&) {
                         std::printf("state %d\n", int(state));
                         std::fflush(stdout);
                     });
    if (!publisher.start())
        return 3;
    QSocketNotifier input(0, QSocketNotifier::Read);
    QByteArray buffer;
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char chunk[256];
        const ssize_t n = ::read(0, chunk, sizeof chunk);
        if (n <= 0) {
            app.quit();
            return;
        }
        buffer.append(chunk, n);
        qsizetype end;
        while ((end = buffer.indexOf('\n')) >= 0) {
            const QByteArray line = buffer.left(end).trimmed();
            buffer.remove(0, end + 1);
            if (line.startsWith("call ")) {
                const qint64 seq = publisher.publish(call(QString::fromUtf8(line.mid(5))));
                std::printf("queued %lld\n", static_cast<long long>(seq));
                std::fflush(stdout);
            }
        }
    });
    return app.exec();
}

} // namespace

class TestMqttBroker : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void offWithoutHost();
    void callAndCancelArrive();
    void openCallsAndStatusRetained();
    void offlineWillWhenPublisherKilled();
    void brokerOutageDeliversInOrder();
    void publisherKilledDuringOutage();
    void tlsWithPassword();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<MosquittoBroker> m_broker;
    QString outbox() const { return m_dir->filePath(QStringLiteral("orv_med.mqtt-outbox")); }
};

void TestMqttBroker::initTestCase()
{
    if (!QFileInfo::exists(MosquittoBroker::binary()))
        QFAIL("the mosquitto package is not installed (/usr/sbin/mosquitto)");
}

void TestMqttBroker::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_broker = std::make_unique<MosquittoBroker>(m_dir->path());
    if (QByteArray(QTest::currentTestFunction()) != "tlsWithPassword")
        QVERIFY2(m_broker->start(), qPrintable(m_broker->log()));
}

void TestMqttBroker::cleanup()
{
    m_broker.reset();
    m_dir.reset();
}

void TestMqttBroker::offWithoutHost()
{
    MqttSettingsValues off = settingsFor(m_broker->port());
    off.Host.clear();
    MqttPublisher publisher(off, outbox());
    QVERIFY(!publisher.start());
    QCOMPARE(publisher.publish(call("f6186")), 0);
    QCOMPARE(publisher.state(), MqttPublisher::State::Stopped);
    QVERIFY(!QFileInfo::exists(outbox()));

    MqttSettingsValues wildcard = settingsFor(m_broker->port());
    wildcard.Topic = QStringLiteral("a/#");
    MqttPublisher bad(wildcard, outbox());
    QVERIFY(!bad.start());
    QVERIFY(bad.errorText().contains(QStringLiteral("wildcard")));
}

void TestMqttBroker::callAndCancelArrive()
{
    MqttTestSubscriber sub(m_broker->port(), kTopic + QStringLiteral("/#"));
    QTRY_VERIFY(sub.subscribed());
    QList<MqttPublisher::State> states;
    MqttPublisher publisher(settingsFor(m_broker->port()), outbox());
    connect(&publisher, &MqttPublisher::stateChanged, this,
            [&](MqttPublisher::State s, const QString&) { states << s; });
    QVERIFY(publisher.start());
    QTRY_COMPARE(publisher.state(), MqttPublisher::State::Connected);
    QVERIFY(publisher.stateText().contains(QStringLiteral("127.0.0.1:%1").arg(m_broker->port())));

    const QDateTime called = QDateTime::currentDateTime().addSecs(-90);
    const QDateTime now = called.addSecs(90);
    const qint64 first = publisher.publish(MqttEvent::call(called, "f6186", "8", QStringLiteral("Койка № 1"),
                                                           QStringLiteral("Палата 5"), QString()));
    publisher.publish(MqttEvent::cancel(now, "f6186", "2", QStringLiteral("Койка № 1"),
                                        QStringLiteral("Палата 5"), QString(),
                                        {{31, called, 90, QStringLiteral("20240301T100000-f6186-8")}}));
    QTRY_COMPARE(sub.payloads(kTopic + QStringLiteral("/events")).size(), 2);
    QTRY_COMPARE(publisher.pendingCount(), 0);

    const QList<QByteArray> events = sub.payloads(kTopic + QStringLiteral("/events"));
    const QJsonObject c = object(events[0]);
    QCOMPARE(c.value("type").toString(), QStringLiteral("call"));
    QCOMPARE(c.value("code").toString(), QStringLiteral("f6186"));
    QCOMPARE(c.value("function").toString(), QStringLiteral("8"));
    QCOMPARE(c.value("place").toString(), QStringLiteral("Койка № 1"));
    QCOMPARE(c.value("ward").toString(), QStringLiteral("Палата 5"));
    QCOMPARE(c.value("staff").toString(), QString());
    QCOMPARE(c.value("time").toString(), MqttJson::isoTime(called));
    QCOMPARE(c.value("seq").toInteger(), first);
    const QJsonObject x = object(events[1]);
    QCOMPARE(x.value("type").toString(), QStringLiteral("cancel"));
    QCOMPARE(x.value("function").toString(), QStringLiteral("2"));
    QCOMPARE(x.value("seq").toInteger(), first + 1);
    const QJsonArray reaction = x.value("reaction").toArray();
    QCOMPARE(reaction.size(), 1);
    QCOMPARE(reaction[0].toObject().value("id").toInteger(), 31);
    QCOMPARE(reaction[0].toObject().value("seconds").toInteger(), 90);

    // Events are not retained: a later subscriber gets none of them.
    MqttTestSubscriber late(m_broker->port(), kTopic + QStringLiteral("/events"));
    QTRY_VERIFY(late.subscribed());
    QTest::qWait(200);
    QVERIFY(late.messages().isEmpty());
    QCOMPARE(states.first(), MqttPublisher::State::Connecting);
    QVERIFY(states.contains(MqttPublisher::State::Connected));
}

void TestMqttBroker::openCallsAndStatusRetained()
{
    auto publisher = std::make_unique<MqttPublisher>(settingsFor(m_broker->port()), outbox());
    QVERIFY(publisher->start());
    QTRY_COMPARE(publisher->state(), MqttPublisher::State::Connected);
    const QDateTime t = QDateTime::currentDateTime();
    publisher->setOpenCalls({{"k7", 7, "f6186", "8", QStringLiteral("Койка № 1"), "", "", t, ""}});
    publisher->setOpenCalls({{"k7", 7, "f6186", "8", QStringLiteral("Койка № 1"), "", "", t, "warning"},
                             {"k8", 8, "a1234", "4", QStringLiteral("Койка № 2"), "", "", t, ""}});

    {
        // A consumer that comes later learns the state from the retained messages alone.
        MqttTestSubscriber sub(m_broker->port(), kTopic + QStringLiteral("/#"));
        QTRY_COMPARE(lastStatus(sub), QStringLiteral("online"));
        const auto lastOpenSize = [&] {
            const QList<QByteArray> opens = sub.payloads(kTopic + QStringLiteral("/open"));
            return opens.isEmpty() ? -1 : QJsonDocument::fromJson(opens.last()).array().size();
        };
        // The second list may still be on its way when the consumer subscribes: it then comes live,
        // after the retained first one. What the consumer is first told of each topic is retained.
        QTRY_COMPARE(lastOpenSize(), 2);
        QSet<QString> topicsSeen;
        for (const auto& m : sub.messages()) {
            if (!topicsSeen.contains(m.topic))
                QVERIFY2(m.retained, qPrintable(m.topic));
            topicsSeen.insert(m.topic);
        }
        const QJsonArray open =
            QJsonDocument::fromJson(sub.payloads(kTopic + QStringLiteral("/open")).last()).array();
        QCOMPARE(open.size(), 2);
        QCOMPARE(open[0].toObject().value("level").toString(), QStringLiteral("warning"));
        QCOMPARE(open[1].toObject().value("code").toString(), QStringLiteral("a1234"));

        // Every change is republished; an emptied list is an empty array, not nothing.
        publisher->setOpenCallsJson("[]");
        QTRY_COMPARE(sub.payloads(kTopic + QStringLiteral("/open")).last(), QByteArray("[]"));
    }

    // A clean stop says "offline" itself.
    publisher.reset();
    MqttTestSubscriber after(m_broker->port(), kTopic + QStringLiteral("/#"));
    QTRY_COMPARE(lastStatus(after), QStringLiteral("offline"));
    QTRY_COMPARE(after.payloads(kTopic + QStringLiteral("/open")).value(0), QByteArray("[]"));
}

void TestMqttBroker::offlineWillWhenPublisherKilled()
{
    MqttTestSubscriber sub(m_broker->port(), kTopic + QStringLiteral("/status"));
    QTRY_VERIFY(sub.subscribed());
    PublisherChild child(m_broker->port(), outbox());
    QCOMPARE(child.waitFor(kConnected), QString());
    QTRY_COMPARE(lastStatus(sub), QStringLiteral("online"));
    child.killHard();
    QTRY_COMPARE_WITH_TIMEOUT(lastStatus(sub), QStringLiteral("offline"), 10000);

    MqttTestSubscriber late(m_broker->port(), kTopic + QStringLiteral("/status"));
    QTRY_COMPARE(lastStatus(late), QStringLiteral("offline"));
    QVERIFY(late.messages().last().retained);
}

void TestMqttBroker::brokerOutageDeliversInOrder()
{
    MqttTestSubscriber::Options persistent;
    persistent.clientId = QStringLiteral("outage-subscriber");
    MqttTestSubscriber sub(m_broker->port(), kTopic + QStringLiteral("/events"), persistent);
    QTRY_VERIFY(sub.subscribed());
    MqttPublisher publisher(settingsFor(m_broker->port()), outbox());
    publisher.setTiming(fastTiming());
    QVERIFY(publisher.start());
    QTRY_COMPARE(publisher.state(), MqttPublisher::State::Connected);
    const qint64 first = publisher.publish(call("before"));
    QTRY_COMPARE(received(sub).size(), 1);
    QTRY_COMPARE(publisher.pendingCount(), 0);

    m_broker->stop();
    QTRY_COMPARE(publisher.state(), MqttPublisher::State::Unreachable);
    QVERIFY(publisher.stateText().contains(QStringLiteral("недоступен")));
    publisher.publish(call("a"));
    publisher.publish(call("b"));
    publisher.publish(call("c"));
    QTest::qWait(1500); // a few failed attempts with the back-off
    QCOMPARE(publisher.pendingCount(), 3);

    QVERIFY2(m_broker->start(), qPrintable(m_broker->log()));
    QTRY_COMPARE_WITH_TIMEOUT(received(sub).size(), 4, 15000);
    QCOMPARE(received(sub), (QList<QPair<QString, qint64>>{
                                {"before", first}, {"a", first + 1}, {"b", first + 2}, {"c", first + 3}}));
    QTRY_COMPARE(publisher.pendingCount(), 0);
    QCOMPARE(publisher.state(), MqttPublisher::State::Connected);
}

void TestMqttBroker::publisherKilledDuringOutage()
{
    MqttTestSubscriber::Options persistent;
    persistent.clientId = QStringLiteral("kill-subscriber");
    MqttTestSubscriber sub(m_broker->port(), kTopic + QStringLiteral("/events"), persistent);
    QTRY_VERIFY(sub.subscribed());

    qint64 first = 0;
    {
        PublisherChild child(m_broker->port(), outbox());
        QCOMPARE(child.waitFor(kConnected), QString());
        first = child.call(QStringLiteral("before"));
        QVERIFY(first > 0);
        QTRY_COMPARE(received(sub).size(), 1);
        m_broker->stop();
        QCOMPARE(child.call(QStringLiteral("a")), first + 1);
        QCOMPARE(child.call(QStringLiteral("b")), first + 2);
        QCOMPARE(child.call(QStringLiteral("c")), first + 3);
        child.killHard();
    }

    PublisherChild restarted(m_broker->port(), outbox());
    QVERIFY2(m_broker->start(), qPrintable(m_broker->log()));
    QCOMPARE(restarted.waitFor(kConnected), QString());
    QTRY_COMPARE_WITH_TIMEOUT(received(sub).size(), 4, 15000);
    // The numbers go on after the restart; none is given twice.
    QCOMPARE(restarted.call(QStringLiteral("after")), first + 4);
    QTRY_COMPARE(received(sub).size(), 5);
    QCOMPARE(
        received(sub),
        (QList<QPair<QString, qint64>>{
            {"before", first}, {"a", first + 1}, {"b", first + 2}, {"c", first + 3}, {"after", first + 4}}));
}

void TestMqttBroker::tlsWithPassword()
{
    // A CA of the test's own, a server certificate for 127.0.0.1 signed by it, and one user.
    const QString d = m_dir->path();
    const auto run = [&](const QString& program, const QStringList& args) {
        QProcess p;
        p.setWorkingDirectory(d);
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(program, args);
        const bool ok = p.waitForFinished(30000) && p.exitCode() == 0;
        if (!ok)
            qWarning("%s failed: %s", qPrintable(program), p.readAll().constData());
        return ok;
    };
    QVERIFY(run("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                            "/CN=Test CA", "-keyout", "ca.key", "-out", "ca.pem"}));
    QVERIFY(run("openssl", {"req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-keyout",
                            "server.key", "-out", "server.csr"}));
    QFile ext(d + "/ext.cnf");
    QVERIFY(ext.open(QIODevice::WriteOnly));
    ext.write("subjectAltName=IP:127.0.0.1\n");
    ext.close();
    QVERIFY(run("openssl", {"x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                            "-CAcreateserial", "-days", "2", "-extfile", "ext.cnf", "-out", "server.pem"}));
    QVERIFY(run("mosquitto_passwd", {"-c", "-b", "passwd", "ward3", "s3cret;pw"}));

    m_broker = std::make_unique<MosquittoBroker>(
        d, QStringLiteral("allow_anonymous false\npassword_file %1/passwd\ncafile %1/ca.pem\n"
                          "certfile %1/server.pem\nkeyfile %1/server.key")
               .arg(d));
    QVERIFY2(m_broker->start(), qPrintable(m_broker->log()));

    MqttTestSubscriber::Options creds;
    creds.username = QStringLiteral("ward3");
    creds.password = QStringLiteral("s3cret;pw");
    creds.caFile = d + "/ca.pem";
    MqttTestSubscriber sub(m_broker->port(), kTopic + QStringLiteral("/events"), creds);
    QTRY_VERIFY_WITH_TIMEOUT(sub.subscribed(), 10000);

    MqttSettingsValues settings = settingsFor(m_broker->port());
    settings.Tls = true;
    settings.CaFile = d + "/ca.pem";
    settings.Username = creds.username;
    settings.Password = QStringLiteral("wrong");
    {
        MqttPublisher refused(settings, m_dir->filePath("refused.mqtt-outbox"));
        QVERIFY(refused.start());
        QTRY_COMPARE_WITH_TIMEOUT(refused.state(), MqttPublisher::State::Unreachable, 10000);
        QVERIFY2(refused.stateText().contains(QStringLiteral("not authori")),
                 qPrintable(refused.stateText()));
    }
    {
        MqttSettingsValues plain = settingsFor(m_broker->port()); // TLS port, no TLS
        plain.Username = creds.username;
        plain.Password = creds.password;
        MqttPublisher cleartext(plain, m_dir->filePath("plain.mqtt-outbox"));
        QVERIFY(cleartext.start());
        QTRY_COMPARE_WITH_TIMEOUT(cleartext.state(), MqttPublisher::State::Unreachable, 15000);
    }

    settings.Password = creds.password;
    MqttPublisher publisher(settings, outbox());
    QVERIFY(publisher.start());
    QTRY_COMPARE_WITH_TIMEOUT(publisher.state(), MqttPublisher::State::Connected, 10000);
    const qint64 seq = publisher.publish(call(QStringLiteral("tls01")));
    QTRY_COMPARE(received(sub).size(), 1);
    QCOMPARE(received(sub).first(), qMakePair(QStringLiteral("tls01"), seq));
}

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--publisher-child") == 0)
        return runPublisherChild(argc, argv);
    QCoreApplication app(argc, argv);
    TestMqttBroker test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_mqttbroker.moc"
