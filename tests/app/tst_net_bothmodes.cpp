// The server with windows and without them says the same on standard error and ends with the same
// status: the line that says what runs, the broker's and the alert manager's state, the journal's
// state while another program holds the file, the stop by a signal, and a stop that loses events
// (neither the journal nor the spool can take them) says how many and ends with status 1.

#include "HeadlessServer.h"

#include "core/db/Database.h"
#include "core/db/Schema.h"

#include <sqlite3.h>

#include <QNetworkDatagram>
#include <QProcess>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <csignal>

namespace {

// A directory holding a copy of the program, a journal with one place and a settings file naming a
// broker and an alert manager that do not answer (nothing listens on ports 1 and 2).
bool prepare(const QTemporaryDir& dir)
{
    if (copyServer(dir).isEmpty())
        return false;
    auto db = db::Database::openDatabase(dir.filePath(QStringLiteral("orv_med.db")));
    db::runSchema(*db);
    db->executeStatement(
        QStringLiteral("INSERT INTO buts (abcde, btnclr, name, comm) VALUES ('q0001', 'r0001', 'P1', '')"));
    db->closeDatabase();
    QFile ini(dir.filePath(QStringLiteral("HalvaneServer.ini")));
    if (!ini.open(QIODevice::WriteOnly))
        return false;
    ini.write("[Mqtt]\r\nHost=127.0.0.1\r\nPort=1\r\nTopic=ward/7\r\n"
              "[Alerts]\r\nHost=127.0.0.1\r\nPort=2\r\nPointOfCare=W7\r\n");
    return true;
}

bool pressAndHear(QUdpSocket& station, const QByteArray& press)
{
    QUdpSocket antenna;
    antenna.writeDatagram(press, QHostAddress::LocalHost, 5556);
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 5000) {
        if (!station.waitForReadyRead(200))
            continue;
        while (station.hasPendingDatagrams()) {
            if (station.receiveDatagram().data().startsWith("#" + press.left(5) + ';'))
                return true;
        }
    }
    return false;
}

} // namespace

class TestBothModes : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void sameLinesAndStatus_data();
    void sameLinesAndStatus();
};

void TestBothModes::sameLinesAndStatus_data()
{
    QTest::addColumn<bool>("windows");
    QTest::newRow("with windows") << true;
    QTest::newRow("headless") << false;
}

void TestBothModes::sameLinesAndStatus()
{
    QFETCH(bool, windows);
    QTemporaryDir dir;
    QVERIFY(prepare(dir));
    const QString dbPath = dir.filePath(QStringLiteral("orv_med.db"));

    QUdpSocket station;
    QVERIFY(station.bind(QHostAddress::LocalHost, 5567));
    QProcess server;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    if (windows)
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    server.setProcessEnvironment(env);
    server.setProcessChannelMode(QProcess::SeparateChannels);
    server.start(dir.filePath(QStringLiteral("HalvaneServer")),
                 windows ? QStringList() : QStringList{QStringLiteral("--headless")});
    QVERIFY(server.waitForStarted());
    QVERIFY(listening(station));
    QString err;
    const auto said = [&](const QString& text) {
        err += QString::fromLocal8Bit(server.readAllStandardError());
        return err.contains(text);
    };

    // The place is known before another program takes the file.
    QVERIFY(pressAndHear(station, "q00018"));
    QVERIFY(pressAndHear(station, "q00012"));
    // Once they are journaled the spool is gone, and can no longer be made: a directory holds its name.
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(dbPath + QStringLiteral(".spool")), 5000);
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("orv_med.db.spool")));
    sqlite3* other = nullptr;
    QCOMPARE(sqlite3_open(QFile::encodeName(dbPath).constData(), &other), SQLITE_OK);
    sqlite3_busy_timeout(other, 5000);
    QCOMPARE(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    QVERIFY(pressAndHear(station, "q00018"));
    QTRY_VERIFY_WITH_TIMEOUT(said(QStringLiteral("Журнал недоступен")), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(said(QStringLiteral("MQTT: брокер 127.0.0.1:1 недоступен")), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(said(QStringLiteral("Оповещения: менеджер оповещений 127.0.0.1:2 недоступен")),
                             5000);

    ::kill(pid_t(server.processId()), SIGTERM);
    QVERIFY(server.waitForFinished(10000));
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    err += QString::fromLocal8Bit(server.readAllStandardError());
    QCOMPARE(server.exitStatus(), QProcess::NormalExit);
    QVERIFY2(server.exitCode() == 1, qPrintable(err));

    const QStringList lines = err.split(u'\n', Qt::SkipEmptyParts);
    QVERIFY2(
        lines.first().startsWith(QStringLiteral("HalvaneServer ") + QStringLiteral(HALVANE_VERSION) +
                                 (windows ? QStringLiteral(" с окнами: ") : QStringLiteral(" без окон: "))),
        qPrintable(err));
    // The states, as often as they change (the broker and the manager are tried again), worded alike in
    // both modes (the reason included); the end once.
    const QStringList states{
        QStringLiteral("MQTT: подключение к брокеру 127.0.0.1:1."),
        QStringLiteral("MQTT: брокер 127.0.0.1:1 недоступен ("),
        QStringLiteral("Оповещения: подключение к менеджеру оповещений 127.0.0.1:2."),
        QStringLiteral("Оповещения: менеджер оповещений 127.0.0.1:2 недоступен ("),
        QStringLiteral("Журнал недоступен, ожидают записи: 1, из них только в памяти: 1"),
    };
    static QStringList statesWithWindows;
    for (const QString& state : states) {
        const QStringList found = lines.filter(state);
        QVERIFY2(!found.isEmpty(), qPrintable(state + QStringLiteral("\n---\n") + err));
        if (windows)
            statesWithWindows << found.first();
        else if (!statesWithWindows.isEmpty())
            QCOMPARE(found.first(), statesWithWindows.at(states.indexOf(state)));
    }
    const QStringList end{
        QStringLiteral("Сервер остановлен сигналом SIGTERM от процесса %1")
            .arg(QCoreApplication::applicationPid()),
        QStringLiteral("Остановка: потеряно событий, не записанных ни в журнал, ни в файл ожидания: 1."),
    };
    for (const QString& line : end)
        QVERIFY2(lines.filter(line).size() == 1, qPrintable(line + QStringLiteral("\n---\n") + err));
    QCOMPARE(lines.last(), end.last());
    // Nothing of the lost call reached the journal.
    auto db = db::Database::openDatabase(dbPath);
    QCOMPARE(db->query(QStringLiteral("SELECT * FROM logs")).rowCount(), 1);
}

QTEST_GUILESS_MAIN(TestBothModes)
#include "tst_net_bothmodes.moc"
