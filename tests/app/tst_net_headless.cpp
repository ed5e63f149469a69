// The headless server as a process: SIGTERM in the middle of a burst of presses ends it within two
// seconds with one line naming the signal and its sender, and every press it announced before the
// signal is in the journal afterwards. Publishing to
// a broker (Debian's mosquitto at a free port): the calls of a broker outage survive the server
// killed during it and arrive in order once both are back. Killed outright while presses wait behind
// another program's lock, it journals them at its next start.

#include "HeadlessServer.h"
#include "MosquittoBroker.h"

#include <sqlite3.h>

#include "core/db/Database.h"
#include "core/db/Schema.h"
#include "core/mqtt/MqttSettings.h"
#include "core/settings/IniFile.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <csignal>

namespace {

QString placeCode(int i)
{
    return QStringLiteral("q%1").arg(i, 4, 10, QLatin1Char('0'));
}

// A directory holding a copy of the program and a journal with `places` places.
bool prepareServerDir(const QTemporaryDir& dir, int places)
{
    if (copyServer(dir).isEmpty())
        return false;
    auto db = db::Database::openDatabase(dir.filePath(QStringLiteral("orv_med.db")));
    db::runSchema(*db);
    db->executeStatement(QStringLiteral("BEGIN"));
    for (int i = 0; i < places; ++i)
        db->executeStatement(
            QStringLiteral("INSERT INTO buts (abcde, btnclr, name, comm) VALUES (?, ?, ?, '')"),
            {placeCode(i), QStringLiteral("r%1").arg(i, 4, 10, QLatin1Char('0')),
             QStringLiteral("P%1").arg(i)});
    db->executeStatement(QStringLiteral("COMMIT"));
    db->closeDatabase();
    return true;
}

// The highest seq of the events the MQTT outbox holds ("seq":n in its records); 0 when none.
qint64 lastSeq(const QString& outboxPath)
{
    QFile f(outboxPath);
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = f.readAll();
    qint64 last = 0;
    for (qsizetype at = text.indexOf("\"seq\":"); at >= 0; at = text.indexOf("\"seq\":", at + 1)) {
        qsizetype end = at + 6;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9')
            ++end;
        last = qMax(last, text.mid(at + 6, end - at - 6).toLongLong());
    }
    return last;
}

void startServer(QProcess& server, const QTemporaryDir& dir)
{
    ::startServer(server, dir.filePath(QStringLiteral("HalvaneServer")));
}

QSet<QString> journaledCodes(const QString& dbPath)
{
    auto db = db::Database::openDatabase(dbPath);
    // The server may be writing meanwhile.
    db->setBusyTimeout(2000);
    db::ResultTable rows = db->query(QStringLiteral("SELECT abcde FROM logs"));
    QSet<QString> codes;
    while (!rows.endOfRows()) {
        codes.insert(rows.fieldByName(QStringLiteral("abcde")));
        rows.nextRow();
    }
    db->closeDatabase();
    return codes;
}

} // namespace

class TestHeadless : public QObject
{
    Q_OBJECT

private slots:
    void sigtermDuringABurstLosesNoPress();
    void killedDuringABrokerOutageLosesNoEvent();
    void killWhileEventsWaitBehindALockLosesNothing();
    void startUnderALockServesAtOnce_data();
    void startUnderALockServesAtOnce();
    void settingsFileThatCannotBeWrittenStillStarts();
    void oversizedSettingsFileStartsAtOnceAndIsKept();
};

void TestHeadless::sigtermDuringABurstLosesNoPress()
{
    QTemporaryDir dir;
    const QString exe = dir.filePath(QStringLiteral("HalvaneServer"));
    QVERIFY(QFile::copy(QStringLiteral(HALVANE_SERVER_EXE), exe));
    QFile::setPermissions(exe, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    // 200 places, each pressed once in the burst.
    const int places = 200;
    {
        auto db = db::Database::openDatabase(dir.filePath(QStringLiteral("orv_med.db")));
        db::runSchema(*db);
        db->executeStatement(QStringLiteral("BEGIN"));
        for (int i = 0; i < places; ++i)
            db->executeStatement(
                QStringLiteral("INSERT INTO buts (abcde, btnclr, name, comm) VALUES (?, ?, ?, '')"),
                {QStringLiteral("q%1").arg(i, 4, 10, QLatin1Char('0')),
                 QStringLiteral("r%1").arg(i, 4, 10, QLatin1Char('0')), QStringLiteral("P%1").arg(i)});
        db->executeStatement(QStringLiteral("COMMIT"));
        db->closeDatabase();
    }

    QUdpSocket station;
    QVERIFY(station.bind(QHostAddress::LocalHost, 5567));
    QProcess server;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    server.setProcessEnvironment(env);
    server.start(exe, {QStringLiteral("--headless")});
    QVERIFY(server.waitForStarted());
    QElapsedTimer signalAt;
    qint64 endedAfterMs = -1;
    connect(&server, &QProcess::finished, this, [&] { endedAfterMs = signalAt.elapsed(); });

    // Say hello until the pings come: then the server listens.
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            station.writeDatagram(QByteArrayLiteral("#ToOrvikLiteServer"), QHostAddress::LocalHost, 5566);
            return station.waitForReadyRead(200);
        }(),
        10000);

    QUdpSocket antenna;
    QSet<QString> announced;
    const auto drain = [&] {
        while (station.hasPendingDatagrams()) {
            QByteArray data(qMax<qint64>(station.pendingDatagramSize(), 0), Qt::Uninitialized);
            const qint64 n = station.readDatagram(data.data(), data.size());
            const QString text = QString::fromUtf8(data.left(qMax<qint64>(n, 0)));
            if (text.startsWith(QLatin1String("#q")))
                announced.insert(text.mid(1, 5));
        }
    };
    for (int i = 0; i < places; ++i) {
        antenna.writeDatagram((QStringLiteral("q%1").arg(i, 4, 10, QLatin1Char('0')) + u'8').toUtf8(),
                              QHostAddress::LocalHost, 5556);
        if (i % 20 == 19)
            QTest::qWait(100);
        drain();
        if (i == places / 2) {
            // The signal comes once the server has announced some of the presses.
            QTRY_VERIFY_WITH_TIMEOUT((drain(), !announced.isEmpty()), 5000);
            ::kill(pid_t(server.processId()), SIGTERM);
            signalAt.start();
        }
    }
    // The burst's pauses run the event loop, so the end may already have been noticed.
    if (server.state() != QProcess::NotRunning)
        QVERIFY(server.waitForFinished(5000));
    // Measured at the process's end, not at the burst's: the promise is two seconds.
    QVERIFY2(endedAfterMs >= 0 && endedAfterMs < 2000, qPrintable(QString::number(endedAfterMs)));
    QCOMPARE(server.exitStatus(), QProcess::NormalExit);
    QCOMPARE(server.exitCode(), 0);
    drain();
    // The stop leaves one line naming the signal and this test as its sender.
    const QString errors = QString::fromLocal8Bit(server.readAllStandardError());
    QVERIFY2(errors.contains(QStringLiteral("Сервер остановлен сигналом SIGTERM от процесса %1 (")
                                 .arg(QCoreApplication::applicationPid())),
             qPrintable(errors));

    auto db = db::Database::openDatabase(dir.filePath(QStringLiteral("orv_med.db")));
    db::ResultTable rows = db->query(QStringLiteral("SELECT abcde FROM logs"));
    QSet<QString> journaled;
    while (!rows.endOfRows()) {
        journaled.insert(rows.fieldByName(QStringLiteral("abcde")));
        rows.nextRow();
    }
    db->closeDatabase();
    QVERIFY(!announced.isEmpty());
    for (const QString& code : std::as_const(announced))
        QVERIFY2(journaled.contains(code), qPrintable(code));
}

void TestHeadless::killedDuringABrokerOutageLosesNoEvent()
{
    QTemporaryDir dir;
    const QString exe = copyServer(dir);
    QVERIFY(!exe.isEmpty());
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("broker")));
    MosquittoBroker broker(dir.filePath(QStringLiteral("broker")));
    QVERIFY(broker.start());
    const QString topic = QStringLiteral("test/ward");
    MqttTestSubscriber sub(broker.port(), topic + QStringLiteral("/#"),
                           {QStringLiteral("headless-subscriber"), {}, {}, {}});
    QTRY_VERIFY(sub.subscribed());

    QUdpSocket station;
    QVERIFY(station.bind(QHostAddress::LocalHost, 5567));
    QProcess server;

    // The first start writes the section with publishing off (its place among the sections is
    // checked in tst_net_opencalls_window, its keys in tst_settingsections).
    startServer(server, exe);
    QVERIFY(listening(station));
    ::kill(pid_t(server.processId()), SIGTERM);
    QVERIFY(server.waitForFinished(5000));
    const QString iniPath = IniFile::pathBesideExecutable(exe);
    {
        IniFile ini(iniPath);
        QCOMPARE(ini.readString(MqttSettings::kSection, QStringLiteral("Host"), QStringLiteral("?")),
                 QString());
        ini.writeString(MqttSettings::kSection, QStringLiteral("Host"), QStringLiteral("127.0.0.1"));
        ini.writeInteger(MqttSettings::kSection, QStringLiteral("Port"), broker.port());
        ini.writeString(MqttSettings::kSection, QStringLiteral("Topic"), topic);
    }
    QTest::qWait(300);
    QVERIFY(sub.messages().isEmpty());

    startServer(server, exe);
    QVERIFY(listening(station));
    QTRY_VERIFY_WITH_TIMEOUT(sub.payloads(topic + QStringLiteral("/status")).contains("online"), 10000);

    // The broker goes away; three presses of the sample place are announced, then the server is
    // killed, and started again while the broker is still away.
    broker.stop();
    const QByteArray presses[] = {"f61868", "f61862", "f61868"};
    QUdpSocket antenna;
    const QString outbox = dir.filePath(QStringLiteral("orv_med.db.mqtt-outbox"));
    qint64 written = lastSeq(outbox);
    for (const QByteArray& p : presses) {
        antenna.writeDatagram(p, QHostAddress::LocalHost, 5556);
        QVERIFY(station.waitForReadyRead(3000));
        while (station.hasPendingDatagrams())
            station.receiveDatagram();
        // Kept in the outbox for the broker's return before the next press.
        QTRY_VERIFY_WITH_TIMEOUT(lastSeq(outbox) > written, 5000);
        written = lastSeq(outbox);
    }
    server.kill();
    QVERIFY(server.waitForFinished(5000));
    startServer(server, exe);
    QVERIFY(listening(station));
    QVERIFY(broker.start());

    const QString eventsTopic = topic + QStringLiteral("/events");
    QList<QJsonObject> got;
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            got.clear();
            QSet<qint64> seen;
            for (const QByteArray& p : sub.payloads(eventsTopic)) {
                const QJsonObject o = QJsonDocument::fromJson(p).object();
                const qint64 seq = o.value(QStringLiteral("seq")).toInteger();
                if (!seen.contains(seq)) {
                    seen.insert(seq);
                    got << o;
                }
            }
            return got.size() >= 3;
        }(),
        30000);
    QCOMPARE(got.size(), 3);
    const QStringList types = {QStringLiteral("call"), QStringLiteral("cancel"), QStringLiteral("call")};
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(got[i].value(QStringLiteral("type")).toString(), types[i]);
        QCOMPARE(got[i].value(QStringLiteral("code")).toString(), QStringLiteral("f6186"));
        if (i > 0)
            QCOMPARE(got[i].value(QStringLiteral("seq")).toInteger(),
                     got[i - 1].value(QStringLiteral("seq")).toInteger() + 1);
    }
    QCOMPARE(got[1].value(QStringLiteral("reaction")).toArray().size(), 1);

    ::kill(pid_t(server.processId()), SIGTERM);
    QVERIFY(server.waitForFinished(5000));
    QTRY_COMPARE(sub.payloads(topic + QStringLiteral("/status")).last(), QByteArray("offline"));
}

void TestHeadless::killWhileEventsWaitBehindALockLosesNothing()
{
    QTemporaryDir dir;
    const int places = 20;
    QVERIFY(prepareServerDir(dir, places));
    const QString dbPath = dir.filePath(QStringLiteral("orv_med.db"));

    QUdpSocket station;
    QVERIFY(station.bind(QHostAddress::LocalHost, 5567));
    QProcess server;
    startServer(server, dir);
    QVERIFY(server.waitForStarted());
    QVERIFY(helloUntilPinged(station));

    // Another program takes the write lock; every press the server then announces waits behind it.
    sqlite3* other = nullptr;
    QCOMPARE(sqlite3_open(QFile::encodeName(dbPath).constData(), &other), SQLITE_OK);
    QCOMPARE(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    QUdpSocket antenna;
    QSet<QString> announced;
    const auto drain = [&] {
        while (station.hasPendingDatagrams()) {
            QByteArray data(qMax<qint64>(station.pendingDatagramSize(), 0), Qt::Uninitialized);
            const qint64 n = station.readDatagram(data.data(), data.size());
            const QString text = QString::fromUtf8(data.left(qMax<qint64>(n, 0)));
            if (text.startsWith(QLatin1String("#q")))
                announced.insert(text.mid(1, 5));
        }
    };
    for (int i = 0; i < places; ++i)
        antenna.writeDatagram((placeCode(i) + u'8').toUtf8(), QHostAddress::LocalHost, 5556);
    QTRY_VERIFY_WITH_TIMEOUT((drain(), announced.size() == places), 5000);

    // Killed outright: nothing of the program's own end runs.
    ::kill(pid_t(server.processId()), SIGKILL);
    QVERIFY(server.waitForFinished(5000));
    QCOMPARE(server.exitStatus(), QProcess::CrashExit);
    QCOMPARE(sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
    QVERIFY(journaledCodes(dbPath).isEmpty());

    // The next start journals every announced press.
    QProcess restarted;
    startServer(restarted, dir);
    QVERIFY(restarted.waitForStarted());
    QVERIFY(helloUntilPinged(station));
    QTRY_COMPARE_WITH_TIMEOUT(journaledCodes(dbPath).size(), places, 5000);
    ::kill(pid_t(restarted.processId()), SIGTERM);
    QVERIFY(restarted.waitForFinished(5000));
    QCOMPARE(restarted.exitCode(), 0);
    QCOMPARE(journaledCodes(dbPath), announced);
    QVERIFY(!QFile::exists(dbPath + QStringLiteral(".spool")));
}

void TestHeadless::startUnderALockServesAtOnce_data()
{
    // How another program holds the file while the server starts, and whether the places can still
    // be read meanwhile (a write lock lets readers in; an exclusive one does not).
    QTest::addColumn<QByteArray>("lock");
    QTest::addColumn<bool>("placesReadable");
    QTest::newRow("write lock") << QByteArray("BEGIN IMMEDIATE") << true;
    QTest::newRow("exclusive lock") << QByteArray("BEGIN EXCLUSIVE") << false;
}

void TestHeadless::startUnderALockServesAtOnce()
{
    QFETCH(QByteArray, lock);
    QFETCH(bool, placesReadable);
    QTemporaryDir dir;
    const int places = 10;
    QVERIFY(prepareServerDir(dir, places));
    const QString dbPath = dir.filePath(QStringLiteral("orv_med.db"));
    sqlite3* other = nullptr;
    QCOMPARE(sqlite3_open(QFile::encodeName(dbPath).constData(), &other), SQLITE_OK);
    QCOMPARE(sqlite3_exec(other, lock.constData(), nullptr, nullptr, nullptr), SQLITE_OK);
    if (!placesReadable) {
        // An exclusive lock is taken for real only by a write.
        QCOMPARE(sqlite3_exec(other, "UPDATE buts SET comm = comm", nullptr, nullptr, nullptr), SQLITE_OK);
    }

    QUdpSocket station;
    QVERIFY(station.bind(QHostAddress::LocalHost, 5567));
    QProcess server;
    QElapsedTimer started;
    started.start();
    startServer(server, dir);
    QVERIFY(server.waitForStarted());
    // The first ping comes as soon as the program is up, not after the lock's end.
    QVERIFY(listening(station));
    QVERIFY2(started.elapsed() < 2000, qPrintable(QString::number(started.elapsed())));
    QCOMPARE(server.state(), QProcess::Running);

    QUdpSocket antenna;
    QSet<QString> announced;
    const auto drain = [&] {
        while (station.hasPendingDatagrams()) {
            const QString text = QString::fromUtf8(station.receiveDatagram().data());
            if (text.startsWith(QLatin1String("#q")))
                announced.insert(text.mid(1, 5));
        }
    };
    for (int i = 0; i < places; ++i)
        antenna.writeDatagram((placeCode(i) + u'8').toUtf8(), QHostAddress::LocalHost, 5556);
    if (placesReadable) {
        // Every press is announced while the journal cannot be written.
        QTRY_VERIFY_WITH_TIMEOUT((drain(), announced.size() == places), 3000);
    } else {
        QTest::qWait(500);
        drain();
    }

    // The lock ends: every press is journaled, and announced if it could not be before.
    QCOMPARE(sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
    QTRY_COMPARE_WITH_TIMEOUT(journaledCodes(dbPath).size(), places, 5000);
    QTRY_VERIFY_WITH_TIMEOUT((drain(), announced.size() == places), 3000);
    QCOMPARE(journaledCodes(dbPath), announced);
    ::kill(pid_t(server.processId()), SIGTERM);
    QVERIFY(server.waitForFinished(5000));
    QCOMPARE(server.exitCode(), 0);
    // The start's own work on the file was done once the file was free: the program's table of
    // removed calls is there.
    auto db = db::Database::openDatabase(dbPath);
    QVERIFY(db->tableExists(QStringLiteral("dismissedcalls")));
    db->closeDatabase();
}

void TestHeadless::settingsFileThatCannotBeWrittenStillStarts()
{
    // An installation from before the features' sections whose settings file the service cannot
    // write. No replacement can be made beside a file whose name leaves no room for the temporary
    // file's suffix, whoever runs the test: the program is named so.
    QTemporaryDir dir;
    const QString exe = dir.filePath(QString(240, u'H') + QStringLiteral("Server"));
    QVERIFY(QFile::copy(QStringLiteral(HALVANE_SERVER_EXE), exe));
    QFile::setPermissions(exe, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QString iniPath = IniFile::pathBesideExecutable(exe);
    const QByteArray before =
        "[DB]\r\nFileName=orv_med.db\r\n[VisualizationClient]\r\nToPort=5567\r\n"
        "FromPort=5566\r\nToPing=#FromOrvikLiteServer\r\nFromPing=#ToOrvikLiteServer\r\n";
    {
        QFile ini(iniPath);
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write(before);
    }

    QProcess server;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    server.setProcessEnvironment(env);
    server.start(exe, {QStringLiteral("--headless")});
    QVERIFY(server.waitForStarted());
    QUdpSocket station;
    QVERIFY(station.bind(QHostAddress::LocalHost, 5567));
    const bool pinged = helloUntilPinged(station);
    ::kill(pid_t(server.processId()), SIGTERM);
    QVERIFY(server.waitForFinished(10000));
    const QString errors = QString::fromLocal8Bit(server.readAllStandardError());
    QVERIFY2(pinged, qPrintable(errors));
    QCOMPARE(server.exitStatus(), QProcess::NormalExit);
    QCOMPARE(server.exitCode(), 0);

    // One line says what was not saved; the file is as it was.
    const QStringList lines = errors.split(u'\n', Qt::SkipEmptyParts);
    const QStringList said = lines.filter(QStringLiteral("Escalation"));
    QCOMPARE(said.size(), 1);
    QVERIFY2(said.first().contains(QStringLiteral("Unable to write to")) &&
                 said.first().contains(QStringLiteral("Mqtt")),
             qPrintable(said.first()));
    QFile ini(iniPath);
    QVERIFY(ini.open(QIODevice::ReadOnly));
    QCOMPARE(ini.readAll(), before);
}

void TestHeadless::oversizedSettingsFileStartsAtOnceAndIsKept()
{
    // A settings file grown to 50 MB by a careless hand, with a mistyped value among its first keys.
    QTemporaryDir dir;
    QVERIFY(prepareServerDir(dir, 1));
    const QString iniPath = dir.filePath(QStringLiteral("HalvaneServer.ini"));
    QByteArray data = "[DB]\r\nFileName=orv_med.db\r\n[Escalation]\r\nWarnSec=abc\r\n[Junk]\r\n";
    data += QByteArray(50 * 1024 * 1024, 'x');
    {
        QFile ini(iniPath);
        QVERIFY(ini.open(QIODevice::WriteOnly));
        QCOMPARE(ini.write(data), data.size());
    }

    QProcess server;
    QElapsedTimer timer;
    timer.start();
    ::startServer(server, dir.filePath(QStringLiteral("HalvaneServer")), QProcess::SeparateChannels);
    QVERIFY(server.waitForStarted());
    QUdpSocket station;
    QVERIFY(station.bind(QHostAddress::LocalHost, 5567));
    const bool pinged = helloUntilPinged(station);
    const qint64 firstPingMs = timer.elapsed();
    ::kill(pid_t(server.processId()), SIGTERM);
    QVERIFY(server.waitForFinished(10000));
    const QString errors = QString::fromLocal8Bit(server.readAllStandardError());
    QVERIFY2(pinged, qPrintable(errors));
    QVERIFY2(firstPingMs < 3000, qPrintable(QString::number(firstPingMs)));
    QCOMPARE(server.exitCode(), 0);

    // One line for the size, one for the value, each once; the file is as the person left it.
    const QStringList lines = errors.split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.filter(QStringLiteral("HalvaneServer.ini is %1 bytes long").arg(data.size())).size(), 1);
    QCOMPARE(
        lines
            .filter(QStringLiteral("HalvaneServer.ini [Escalation] WarnSec=\"abc\" is not a number; 180 is "
                                   "used instead"))
            .size(),
        1);
    QFile ini(iniPath);
    QVERIFY(ini.open(QIODevice::ReadOnly));
    QCOMPARE(ini.size(), data.size());
    QVERIFY(ini.readAll() == data);
}

QTEST_GUILESS_MAIN(TestHeadless)
#include "tst_net_headless.moc"
