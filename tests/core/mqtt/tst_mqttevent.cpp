// What the Mqtt settings section reads odd values as (the section as a start writes it is checked
// with every other, in tst_settingsections), the events' JSON and the outbox file, without a broker.

#include "core/base/Clock.h"
#include "core/base/DurableFile.h"
#include "core/mqtt/MqttEvent.h"
#include "core/mqtt/MqttOutbox.h"
#include "core/mqtt/MqttSettings.h"
#include "core/settings/IniFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

#include <sys/wait.h>
#include <unistd.h>

namespace {

QDateTime at(const char* text, int offsetSeconds)
{
    return QDateTime(QDateTime::fromString(QString::fromLatin1(text), Qt::ISODate).date(),
                     QDateTime::fromString(QString::fromLatin1(text), Qt::ISODate).time(),
                     QTimeZone(offsetSeconds));
}

QJsonObject parse(const QByteArray& json)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        qWarning("not a JSON object: %s", json.constData());
    return doc.object();
}

MqttEvent callNumber(int n)
{
    return MqttEvent::call(at("2024-03-01T10:00:00", 3 * 3600),
                           QStringLiteral("c%1").arg(n, 4, 10, QLatin1Char('0')), QStringLiteral("8"),
                           QStringLiteral("Койка"), QString(), QString());
}

// The tests' clock: a ward without a mark numbers its events from its microseconds since 1970.
const QDateTime kNow = QDateTime::fromMSecsSinceEpoch(1735689600000); // 2025-01-01 00:00 UTC
constexpr qint64 kFirst = 1735689600000000;

// The n-th number a ward without a mark gives, from 1.
qint64 nth(qint64 n)
{
    return kFirst + n - 1;
}
QList<qint64> nths(std::initializer_list<qint64> list)
{
    QList<qint64> out;
    for (qint64 n : list)
        out << nth(n);
    return out;
}

QList<qint64> drain(MqttOutbox& box)
{
    QList<qint64> seqs;
    qint64 last = 0;
    while (const auto e = box.nextAfter(last)) {
        seqs << e->seq;
        last = e->seq;
    }
    return seqs;
}

} // namespace

class TestMqttEvent : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        Clock::setNowOverride([] { return kNow; });
    }
    void cleanupTestCase() { Clock::setNowOverride({}); }
    void settingsRead_data();
    void settingsRead();
    void isoTime_data();
    void isoTime();
    void eventJson_data();
    void eventJson();
    void openCallsJson();
    void outboxKeepsOrderAndSeqAcrossReopen();
    void outboxSkipsTornAndGarbledLines();
    void outboxAcknowledgesInOrder();
    void outboxDropsOldestWhenFull();
    void outboxRewritesWhenGrown();
    void outboxUnwritableKeepsEventsInMemory();
    void outboxRecordsAtTheLimitsAreDamage();
    void outboxSeqNeverGivenTwice();
    void outboxReinstalledStartsAboveEarlierNumbers_data();
    void outboxReinstalledStartsAboveEarlierNumbers();
    void outboxFullDiskHoldsEventsInOrder();
    void outboxCrashAtEachStepOfARewrite_data();
    void outboxCrashAtEachStepOfARewrite();

private:
    QTemporaryDir m_dir;
};

void TestMqttEvent::settingsRead_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<bool>("usable");

    QTest::newRow("host") << "Host"
                          << " 10.0.0.5 "
                          << "Host"
                          << "10.0.0.5" << true;
    QTest::newRow("port") << "Port"
                          << "8883"
                          << "Port"
                          << "8883" << true;
    QTest::newRow("port hex") << "Port"
                              << "0x22B3"
                              << "Port"
                              << "8883" << true;
    QTest::newRow("port too big") << "Port"
                                  << "70000"
                                  << "Port"
                                  << "1883" << true;
    QTest::newRow("port zero") << "Port"
                               << "0"
                               << "Port"
                               << "1883" << true;
    QTest::newRow("port text") << "Port"
                               << "abc"
                               << "Port"
                               << "1883" << true;
    QTest::newRow("topic slash") << "Topic"
                                 << "site/ward3/"
                                 << "Topic"
                                 << "site/ward3" << true;
    QTest::newRow("topic wildcard") << "Topic"
                                    << "site/#"
                                    << "Topic"
                                    << "site/#" << false;
    QTest::newRow("topic plus") << "Topic"
                                << "site/+/x"
                                << "Topic"
                                << "site/+/x" << false;
    QTest::newRow("topic empty") << "Topic"
                                 << ""
                                 << "Topic"
                                 << "" << false;
    QTest::newRow("tls on") << "Tls"
                            << "1"
                            << "Tls"
                            << "1" << true;
    QTest::newRow("tls off") << "Tls"
                             << " 0 "
                             << "Tls"
                             << "0" << true;
    // A value that is neither 0 nor 1 keeps the broker off: never a silent downgrade to plain text.
    QTest::newRow("tls text") << "Tls"
                              << "yes"
                              << "Tls"
                              << "0" << false;
    QTest::newRow("tls two") << "Tls"
                             << "2"
                             << "Tls"
                             << "0" << false;
    QTest::newRow("password quoted") << "Password"
                                     << "\" a;b \""
                                     << "Password"
                                     << " a;b " << true;
    QTest::newRow("cyrillic id") << "ClientId"
                                 << "Палата3"
                                 << "ClientId"
                                 << "Палата3" << true;
}

void TestMqttEvent::settingsRead()
{
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QString, field);
    QFETCH(QString, expected);
    QFETCH(bool, usable);

    IniFile ini(m_dir.filePath(QStringLiteral("read_%1.ini").arg(QTest::currentDataTag()).replace(' ', '_')));
    MqttSettings::writeWhenMissing(ini);
    ini.writeString(QStringLiteral("Mqtt"), QStringLiteral("Host"), QStringLiteral("h"));
    ini.writeString(QStringLiteral("Mqtt"), key, value);
    const MqttSettingsValues v = MqttSettings::read(ini);
    const QMap<QString, QString> fields = {
        {"Host", v.Host},         {"Port", QString::number(v.Port)}, {"Topic", v.Topic},
        {"ClientId", v.ClientId}, {"Password", v.Password},          {"Tls", QString::number(v.Tls)},
    };
    QCOMPARE(fields.value(field), expected);
    QCOMPARE(v.problem().isEmpty(), usable);
}

void TestMqttEvent::isoTime_data()
{
    QTest::addColumn<QDateTime>("time");
    QTest::addColumn<QString>("expected");
    QTest::newRow("moscow") << at("2017-12-03T14:05:09", 3 * 3600) << "2017-12-03T14:05:09+03:00";
    QTest::newRow("utc") << at("2017-12-03T00:00:00", 0) << "2017-12-03T00:00:00+00:00";
    QTest::newRow("west, half hour") << at("2017-01-31T23:59:59", -(3 * 3600 + 1800))
                                     << "2017-01-31T23:59:59-03:30";
    QTest::newRow("invalid") << QDateTime() << "";
}

void TestMqttEvent::isoTime()
{
    QFETCH(QDateTime, time);
    QFETCH(QString, expected);
    QCOMPARE(MqttJson::isoTime(time), expected);
}

void TestMqttEvent::eventJson_data()
{
    QTest::addColumn<MqttEvent>("event");
    QTest::addColumn<QByteArray>("expected");

    const QDateTime t = at("2024-03-01T10:02:00", 3 * 3600);
    const QDateTime c1 = at("2024-03-01T10:00:00", 3 * 3600);
    const QDateTime c2 = at("2024-03-01T10:01:30", 3 * 3600);
    const QString place = QStringLiteral("Койка № 1");
    const QString ward = QStringLiteral("Палата \"5\"");
    const QString staff = QStringLiteral("Иванова");

    QTest::newRow("call") << MqttEvent::call(c1, "f6186", "8", place, ward, staff)
                          << QByteArray(R"({"code":"f6186","function":"8","place":"Койка № 1",)"
                                        R"("seq":7,"staff":"Иванова","time":"2024-03-01T10:00:00+03:00",)"
                                        R"("type":"call","ward":"Палата \"5\""})");
    MqttEvent keyed = MqttEvent::call(c1, "f6186", "8", place, ward, staff);
    keyed.callKey = QStringLiteral("20240301T100000-f6186-8");
    QTest::newRow("call with its key")
        << keyed
        << QByteArray(
               R"({"call":"20240301T100000-f6186-8","code":"f6186","function":"8","place":"Койка № 1",)"
               R"("seq":7,"staff":"Иванова","time":"2024-03-01T10:00:00+03:00",)"
               R"("type":"call","ward":"Палата \"5\""})");
    // The second call was not in the journal yet: its id is null, its key names it.
    QTest::newRow("cancel of two")
        << MqttEvent::cancel(t, "f6186", "2", place, ward, staff,
                             {{11, c1, 120, {}}, {0, c2, 30, QStringLiteral("k2")}})
        << QByteArray(R"({"code":"f6186","function":"2","place":"Койка № 1","reaction":[)"
                      R"({"id":11,"seconds":120,"time":"2024-03-01T10:00:00+03:00"},)"
                      R"({"call":"k2","id":null,"seconds":30,"time":"2024-03-01T10:01:30+03:00"}],)"
                      R"("seq":7,"staff":"Иванова","time":"2024-03-01T10:02:00+03:00",)"
                      R"("type":"cancel","ward":"Палата \"5\""})");
    QTest::newRow("cancel of none")
        << MqttEvent::cancel(t, "0A1F", "d", "", "", "", {})
        << QByteArray(R"({"code":"0A1F","function":"d","place":"","reaction":[],"seq":7,"staff":"",)"
                      R"("time":"2024-03-01T10:02:00+03:00","type":"cancel","ward":""})");
    QTest::newRow("repeat")
        << MqttEvent::repeat(t, "f6186", "4", place, "", "", c1)
        << QByteArray(R"({"code":"f6186","function":"4","place":"Койка № 1","seq":7,)"
                      R"("since":"2024-03-01T10:00:00+03:00","staff":"","time":"2024-03-01T10:02:00+03:00",)"
                      R"("type":"repeat","ward":""})");
    MqttEvent escalation = MqttEvent::escalation(t, "alarm", "f6186", "8", place, "", "", c1);
    escalation.callKey = QStringLiteral("k1");
    escalation.id = 11;
    QTest::newRow("escalation")
        << escalation
        << QByteArray(
               R"({"call":"k1","code":"f6186","function":"8","id":11,"level":"alarm","place":"Койка № 1","seq":7,)"
               R"("since":"2024-03-01T10:00:00+03:00","staff":"","time":"2024-03-01T10:02:00+03:00",)"
               R"("type":"escalation","ward":""})");
    QTest::newRow("antenna silent")
        << MqttEvent::antennaSupervision(t, "12", true)
        << QByteArray(R"({"antenna":"12","seq":7,"silent":true,"time":"2024-03-01T10:02:00+03:00",)"
                      R"("type":"antenna"})");
}

void TestMqttEvent::eventJson()
{
    QFETCH(MqttEvent, event);
    QFETCH(QByteArray, expected);
    event.seq = 7;
    QCOMPARE(event.toJson(), expected);
}

void TestMqttEvent::openCallsJson()
{
    const QDateTime c1 = at("2024-03-01T10:00:00", 3 * 3600);
    QCOMPARE(MqttJson::openCalls({}), QByteArray("[]"));
    const QByteArray json =
        MqttJson::openCalls({{"k5", 5, "f6186", "8", QStringLiteral("Койка № 1"), "", "", c1, "alarm"},
                             {"k6", 0, "0A1F", "b", "", "", "", c1, ""}});
    const QJsonArray rows = QJsonDocument::fromJson(json).array();
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows[0].toObject().value("call").toString(), QStringLiteral("k5"));
    QCOMPARE(rows[0].toObject().value("id").toInteger(), 5);
    QVERIFY(rows[1].toObject().value("id").isNull()); // not in the journal yet
    QCOMPARE(rows[0].toObject().value("place").toString(), QStringLiteral("Койка № 1"));
    QCOMPARE(rows[0].toObject().value("level").toString(), QStringLiteral("alarm"));
    QCOMPARE(rows[1].toObject().value("code").toString(), QStringLiteral("0A1F"));
    QCOMPARE(rows[1].toObject().value("time").toString(), QStringLiteral("2024-03-01T10:00:00+03:00"));
}

void TestMqttEvent::outboxKeepsOrderAndSeqAcrossReopen()
{
    const QString path = m_dir.filePath(QStringLiteral("reopen.mqtt-outbox"));
    {
        MqttOutbox box(path);
        QVERIFY(box.open());
        for (int i = 1; i <= 5; ++i)
            QCOMPARE(box.append(callNumber(i)), nth(i));
        box.acknowledge(nth(1));
        box.acknowledge(nth(2));
        // The object is left without sync, as a killed process leaves its file.
    }
    MqttOutbox again(path);
    QVERIFY(again.open());
    QCOMPARE(drain(again), nths({3, 4, 5}));
    const auto third = again.nextAfter(0);
    QCOMPARE(parse(third->json).value("code").toString(), QStringLiteral("c0003"));
    QCOMPARE(again.append(callNumber(6)), nth(6));

    // Everything acknowledged: the numbers still go on after a restart.
    for (qint64 s = 3; s <= 6; ++s)
        again.acknowledge(nth(s));
    QCOMPARE(again.pendingCount(), 0);
    MqttOutbox third2(path);
    QVERIFY(third2.open());
    QCOMPARE(third2.pendingCount(), 0);
    QCOMPARE(third2.append(callNumber(7)), nth(7));
    QCOMPARE(QFileInfo(path).dir().entryList({"*.tmp"}, QDir::Files), QStringList());
}

void TestMqttEvent::outboxSkipsTornAndGarbledLines()
{
    const QString path = m_dir.filePath(QStringLiteral("torn.mqtt-outbox"));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("N 40\n");
    f.write("E {\"seq\":41,\"type\":\"call\",\"code\":\"a\"}\n");
    f.write("E {\"seq\":42,\"type\":\"call\",\"co\n"); // garbled
    f.write("something else\n");
    f.write("A 40\n");
    f.write("E {\"seq\":43,\"type\":\"call\",\"code\":\"c\"}\n");
    f.write("E {\"seq\":44,\"type\":\"ca"); // cut short, no end of line
    f.close();

    // A mark of an earlier outbox below the file's numbers: the file's own numbers count.
    QVERIFY(Durable::SequenceMark(path + QStringLiteral(".seq")).store(40, "earlier"));

    MqttOutbox box(path);
    QVERIFY(box.open());
    QCOMPARE(drain(box), QList<qint64>({41, 43}));
    QCOMPARE(box.append(callNumber(1)), qint64(44)); // the number of the torn record is given again:
                                                     // it was never handed out as published
}

void TestMqttEvent::outboxAcknowledgesInOrder()
{
    const QString path = m_dir.filePath(QStringLiteral("acks.mqtt-outbox"));
    MqttOutbox box(path);
    QVERIFY(box.open());
    for (int i = 1; i <= 4; ++i)
        box.append(callNumber(i));
    box.acknowledge(nth(2)); // ahead of 1
    QCOMPARE(box.pendingCount(), 4);
    QCOMPARE(drain(box), nths({1, 3, 4})); // not sent again in this run
    box.acknowledge(nth(99));              // unknown: ignored
    box.acknowledge(nth(1));
    QCOMPARE(box.pendingCount(), 2);
    box.acknowledge(nth(1)); // twice: ignored
    QCOMPARE(drain(box), nths({3, 4}));

    MqttOutbox reopened(path);
    QVERIFY(reopened.open());
    QCOMPARE(drain(reopened), nths({3, 4}));
}

void TestMqttEvent::outboxDropsOldestWhenFull()
{
    const QString path = m_dir.filePath(QStringLiteral("full.mqtt-outbox"));
    {
        MqttOutbox box(path, 3);
        QVERIFY(box.open());
        for (int i = 1; i <= 5; ++i)
            box.append(callNumber(i));
        QCOMPARE(drain(box), nths({3, 4, 5}));
        QCOMPARE(box.droppedCount(), 2);
        box.acknowledge(nth(3));
        QCOMPARE(drain(box), nths({4, 5}));
    }
    {
        MqttOutbox box(path, 3);
        QVERIFY(box.open());
        QCOMPARE(drain(box), nths({4, 5}));
        QCOMPARE(box.droppedCount(), 0);
    }
    // A smaller bound than the file holds: the oldest go at opening.
    MqttOutbox small(path, 1);
    QVERIFY(small.open());
    QCOMPARE(drain(small), nths({5}));
    QCOMPARE(small.droppedCount(), 1);
    QCOMPARE(small.append(callNumber(6)), nth(6));
}

void TestMqttEvent::outboxRewritesWhenGrown()
{
    const QString path = m_dir.filePath(QStringLiteral("grown.mqtt-outbox"));
    MqttOutbox box(path);
    QVERIFY(box.open());
    qint64 last = 0;
    for (int i = 0; i < 12000; ++i) { // well over a megabyte of records
        last = box.append(callNumber(i));
        if (i < 11990)
            box.acknowledge(last);
    }
    const qint64 before = QFileInfo(path).size();
    QVERIFY(before > (1 << 20));
    box.sync();
    QVERIFY(QFileInfo(path).size() < 10000);
    QCOMPARE(box.pendingCount(), 10);
    box.append(callNumber(-1)); // appends go on into the new file
    MqttOutbox reopened(path);
    QVERIFY(reopened.open());
    const QList<qint64> seqs = drain(reopened);
    QCOMPARE(seqs.size(), 11);
    QCOMPARE(seqs.first(), last - 9);
    QCOMPARE(seqs.last(), last + 1);
}

void TestMqttEvent::outboxUnwritableKeepsEventsInMemory()
{
    MqttOutbox box(m_dir.filePath(QStringLiteral("no/such/dir/x.mqtt-outbox")));
    QVERIFY(!box.open());
    QVERIFY(box.lastError().contains(QStringLiteral("no/such/dir")));
    QVERIFY(box.problem().contains(QStringLiteral("no/such/dir")));
    // No number is given that is not recorded: the events wait in memory, in order.
    QCOMPARE(box.append(callNumber(1)), qint64(0));
    QCOMPARE(box.append(callNumber(2)), qint64(0));
    QCOMPARE(box.pendingCount(), 2);
    QCOMPARE(box.heldCount(), 2);
    QCOMPARE(drain(box), QList<qint64>());
    QVERIFY(!box.retry());

    // The folder comes back: they are numbered in the order they came.
    QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("no/such/dir")));
    QVERIFY(box.retry());
    QCOMPARE(box.problem(), QString());
    QCOMPARE(drain(box), nths({1, 2}));
    QCOMPARE(parse(box.nextAfter(nth(1))->json).value("code").toString(), QStringLiteral("c0002"));
    QCOMPARE(box.append(callNumber(3)), nth(3));
}

void TestMqttEvent::outboxRecordsAtTheLimitsAreDamage()
{
    // An outbox of the earlier form (no checksums) with numbers no counter reaches.
    const QString path = m_dir.filePath(QStringLiteral("limits.mqtt-outbox"));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("N 10\n");
    f.write("E {\"seq\":10,\"type\":\"call\",\"code\":\"a\"}\n");
    f.write("E {\"seq\":9223372036854775807,\"type\":\"call\",\"code\":\"b\"}\n");
    f.write("A 9223372036854775807\n");
    f.write("N 9223372036854775807\n");
    f.write("E {\"seq\":-3,\"type\":\"call\",\"code\":\"c\"}\n");
    f.write("A 99999999999999999999999\n");
    f.write("E {\"seq\":11,\"type\":\"call\",\"code\":\"d\"}\n");
    f.close();
    QVERIFY(Durable::SequenceMark(path + QStringLiteral(".seq")).store(9, "earlier"));

    MqttOutbox box(path);
    QVERIFY(box.open());
    // Nothing waiting is dropped, and the numbers go on after the last real one.
    QCOMPARE(drain(box), QList<qint64>({10, 11}));
    QCOMPARE(box.append(callNumber(1)), qint64(12));
    QCOMPARE(box.append(callNumber(2)), qint64(13));
    QFile aside(path + QStringLiteral(".damaged"));
    QVERIFY(aside.open(QIODevice::ReadOnly));
    const QByteArray kept = aside.readAll();
    QCOMPARE(kept.count('\n'), 5);
    QVERIFY(kept.contains("A 9223372036854775807\n"));

    // Taken up again: the file is in the checksummed form now, and nothing is given twice.
    MqttOutbox again(path);
    QVERIFY(again.open());
    QCOMPARE(drain(again), QList<qint64>({10, 11, 12, 13}));
    QVERIFY(again.append(callNumber(3)) > 13);
}

void TestMqttEvent::outboxSeqNeverGivenTwice()
{
    const QString path = m_dir.filePath(QStringLiteral("promise.mqtt-outbox"));
    {
        MqttOutbox box(path);
        QVERIFY(box.open());
        for (int i = 1; i <= 5; ++i)
            QCOMPARE(box.append(callNumber(i)), nth(i));
        for (qint64 s = 1; s <= 5; ++s)
            box.acknowledge(nth(s));
        box.sync();
    }
    // The outbox is emptied by hand, then found as a directory: the numbers never start again.
    QVERIFY(QFile::remove(path));
    qint64 last = nth(5);
    {
        MqttOutbox box(path);
        QVERIFY(box.open());
        const qint64 seq = box.append(callNumber(6));
        QVERIFY2(seq > last, qPrintable(QString::number(seq)));
        last = seq;
    }
    QVERIFY(QFile::remove(path));
    QVERIFY(QDir(m_dir.path()).mkpath(QFileInfo(path).fileName()));
    {
        MqttOutbox box(path);
        QVERIFY(!box.open());
        QCOMPARE(box.append(callNumber(7)), qint64(0));
        QVERIFY(!box.problem().isEmpty());
        QVERIFY(QDir(path).removeRecursively());
        QVERIFY(box.retry());
        const auto seqs = drain(box);
        QCOMPARE(seqs.size(), 1);
        QVERIFY2(seqs[0] > last, qPrintable(QString::number(seqs[0])));
        last = seqs[0];
    }
    // An outbox with a number beyond the mark and a mark that is gone: the outbox's own numbers
    // still hold.
    QVERIFY(QFile::remove(path + QStringLiteral(".seq")));
    MqttOutbox box(path);
    QVERIFY(box.open());
    QVERIFY(box.append(callNumber(8)) > last);
}

void TestMqttEvent::outboxReinstalledStartsAboveEarlierNumbers_data()
{
    QTest::addColumn<qint64>("earlier"); // the mark an earlier installation left; 0: none, a first start
    QTest::addColumn<QString>("lost");   // what the new installation finds gone
    QTest::addColumn<qint64>("laterMs"); // how long after the earlier start the new one comes
    QTest::newRow("numbered from 1, outbox and mark gone") << qint64(123456) << "both" << qint64(0);
    QTest::newRow("numbered from the clock, outbox and mark gone an hour later")
        << qint64(0) << "both" << qint64(3600000);
    QTest::newRow("numbered from the clock, mark gone") << qint64(0) << "mark" << qint64(1000);
    QTest::newRow("numbered from 1, mark damaged, outbox gone") << qint64(123456) << "damaged" << qint64(0);
}

void TestMqttEvent::outboxReinstalledStartsAboveEarlierNumbers()
{
    QFETCH(qint64, earlier);
    QFETCH(QString, lost);
    QFETCH(qint64, laterMs);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("ward.mqtt-outbox"));
    const QString mark = path + QStringLiteral(".seq");
    if (earlier > 0)
        QVERIFY(Durable::SequenceMark(mark).store(earlier, "earlier installation"));
    qint64 last = 0;
    {
        MqttOutbox box(path);
        QVERIFY(box.open());
        for (int i = 1; i <= 3; ++i)
            last = box.append(callNumber(i));
        QCOMPARE(last, earlier > 0 ? earlier + 3 : nth(3));
        box.sync();
    }
    // The new disk or the reinstall: the ward's events go on under the same topic.
    if (lost != QLatin1String("mark"))
        QVERIFY(QFile::remove(path));
    if (lost == QLatin1String("damaged")) {
        QFile f(mark);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write("garbage\n");
    } else {
        QVERIFY(QFile::remove(mark));
    }
    Clock::setNowOverride([laterMs] { return kNow.addMSecs(laterMs); });
    qint64 first = 0;
    {
        MqttOutbox box(path);
        box.open();
        first = box.append(callNumber(4));
        QVERIFY2(first > last, qPrintable(QStringLiteral("%1 after %2").arg(first).arg(last)));
        QCOMPARE(box.append(callNumber(5)), first + 1);
        // The centre and JSON take the number as it is.
        QVERIFY(first + 1 <= Durable::kMaxSequence);
        QCOMPARE(parse(box.nextAfter(first)->json).value("seq").toInteger(), first + 1);
        box.sync();
    }
    // An ordinary restart a day later goes on one by one: the clock counts only without a mark.
    Clock::setNowOverride([] { return kNow.addDays(1); });
    MqttOutbox again(path);
    QVERIFY(again.open());
    QCOMPARE(again.append(callNumber(6)), first + 2);

    // A clock centuries ahead still leaves the numbers room to grow.
    QTemporaryDir far;
    Clock::setNowOverride([] { return QDateTime(QDate(2400, 1, 1), QTime(0, 0), QTimeZone::utc()); });
    MqttOutbox future(far.filePath(QStringLiteral("far.mqtt-outbox")));
    QVERIFY(future.open());
    QCOMPARE(future.append(callNumber(1)), MqttOutbox::kMaxFreshStart);
}

void TestMqttEvent::outboxFullDiskHoldsEventsInOrder()
{
    const QString path = m_dir.filePath(QStringLiteral("fulldisk.mqtt-outbox"));
    QList<qint64> given;
    {
        MqttOutbox box(path);
        QVERIFY(box.open());
        for (int i = 1; i <= 3; ++i)
            given << box.append(callNumber(i));
        // The disk fills: no event gets a number until its record and the mark are written.
        Durable::setFailureSeam([](Durable::Step step, const QString& p) {
            return p.contains(QStringLiteral("fulldisk")) &&
                   (step == Durable::Step::Append || step == Durable::Step::CreateTemporary);
        });
        for (int i = 4; i <= 30; ++i)
            QCOMPARE(box.append(callNumber(i)), qint64(0));
        QVERIFY(!box.problem().isEmpty());
        QCOMPARE(box.heldCount(), 27);
        box.sync();
        QVERIFY(!box.retry());
        Durable::setFailureSeam({});
        // Space is freed: the held events are numbered and recorded in the order they came.
        QVERIFY(box.retry());
        QCOMPARE(box.heldCount(), 0);
        QCOMPARE(box.append(callNumber(31)), nth(31));
        given = drain(box);
        QCOMPARE(parse(box.nextAfter(nth(3))->json).value("code").toString(), QStringLiteral("c0004"));
        // Killed without a stop.
    }
    QList<qint64> expected;
    for (qint64 s = 1; s <= 31; ++s)
        expected << nth(s);
    QCOMPARE(given, expected);
    MqttOutbox again(path);
    QVERIFY(again.open());
    QCOMPARE(drain(again), expected);
    QCOMPARE(again.append(callNumber(32)), nth(32));
}

void TestMqttEvent::outboxCrashAtEachStepOfARewrite_data()
{
    QTest::addColumn<int>("step");
    QTest::addColumn<QString>("file");
    const QList<std::pair<Durable::Step, const char*>> steps{
        {Durable::Step::CreateTemporary, "create temporary"},
        {Durable::Step::WriteTemporary, "write temporary"},
        {Durable::Step::SyncTemporary, "sync temporary"},
        {Durable::Step::Rename, "rename"},
        {Durable::Step::SyncDirectory, "sync directory"},
    };
    for (const auto& [step, name] : steps) {
        QTest::addRow("outbox, %s", name) << int(step) << QStringLiteral(".mqtt-outbox");
        QTest::addRow("mark, %s", name) << int(step) << QStringLiteral(".seq");
    }
}

void TestMqttEvent::outboxCrashAtEachStepOfARewrite()
{
    QFETCH(int, step);
    QFETCH(QString, file);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("crash.mqtt-outbox"));
    {
        MqttOutbox box(path);
        QVERIFY(box.open());
        for (int i = 1; i <= 5; ++i)
            box.append(callNumber(i));
        box.acknowledge(nth(1));
        box.acknowledge(nth(2));
        box.sync();
    }
    // The next start rewrites the file (and records the mark), and the process ends at the step.
    const pid_t child = ::fork();
    if (child == 0) {
        Durable::setFailureSeam([step, file](Durable::Step at, const QString& p) {
            // The temporary of a replace is named after its target.
            if (at == Durable::Step(step) &&
                (p.endsWith(file) || p.contains(file + QStringLiteral(".partial-"))))
                ::_exit(0);
            return false;
        });
        MqttOutbox box(path);
        box.open();
        // A mark recorded well ahead is stored again only after many numbers: force it.
        for (int i = 0; i < int(MqttOutbox::kReserveBlock) + 1; ++i)
            box.append(callNumber(100));
        ::_exit(3);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 0);

    // Whatever the child numbered before its end may have been published: never given again, and
    // nothing waiting is lost.
    MqttOutbox after(path);
    QVERIFY(after.open());
    QVERIFY(QDir(dir.path()).entryList({QStringLiteral("*.partial-*")}, QDir::Files).isEmpty());
    const QList<qint64> seqs = drain(after);
    QVERIFY(seqs.size() >= 3);
    QCOMPARE(seqs.mid(0, 3), nths({3, 4, 5}));
    for (qsizetype i = 1; i < seqs.size(); ++i)
        QCOMPARE(seqs[i], seqs[i - 1] + 1);
    QVERIFY(after.append(callNumber(6)) > seqs.last());
}

QTEST_GUILESS_MAIN(TestMqttEvent)
#include "tst_mqttevent.moc"
