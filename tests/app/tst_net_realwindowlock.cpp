// The program with real windows on an X display with a window manager, started while another program
// holds the whole database file: no box stands in the way of the start, so the display stations are
// pinged within two seconds with nobody at the screen; the call pressed meanwhile is announced at once
// (named from the copy of the places a previous run left) and journaled once the lock ends, and SIGTERM
// ends it cleanly.
//
// The test starts its own X server (Xvfb) and openbox; where either is missing it is skipped (exit
// code 77).

#include "HeadlessServer.h"
#include "XDisplay.h"

#include "core/db/Database.h"
#include "core/db/Schema.h"
#include "core/journal/PlaceCopy.h"

#include <sqlite3.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QProcess>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <csignal>
#include <cstdio>

namespace {
QString g_display;
} // namespace

class TestRealWindowLock : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void startUnderAnExclusiveLockWaitsForNobody();
};

void TestRealWindowLock::startUnderAnExclusiveLockWaitsForNobody()
{
    QTemporaryDir dir;
    QVERIFY(!copyServer(dir).isEmpty());
    const QString dbPath = dir.filePath(QStringLiteral("orv_med.db"));
    {
        auto db = db::Database::openDatabase(dbPath);
        db::runSchema(*db);
        db->executeStatement(QStringLiteral(
            "INSERT INTO buts (abcde, btnclr, name, comm) VALUES ('q0001', 'r0001', 'P1', '')"));
        db->closeDatabase();
    }
    // What a previous run left beside the database.
    CachedPlace place;
    place.abcde = QStringLiteral("q0001");
    place.btnclr = QStringLiteral("r0001");
    place.hasAbcde = place.hasBtnclr = true;
    place.names.P = QStringLiteral("P1");
    QVERIFY(PlaceCopy(dbPath + QStringLiteral(".places")).store({place}));
    sqlite3* other = nullptr;
    QCOMPARE(sqlite3_open(QFile::encodeName(dbPath).constData(), &other), SQLITE_OK);
    QCOMPARE(sqlite3_exec(other,
                          "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE; UPDATE buts SET comm = comm;",
                          nullptr, nullptr, nullptr),
             SQLITE_OK);

    QUdpSocket station;
    QVERIFY(station.bind(QHostAddress::LocalHost, 5567));
    QProcess server;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.insert(QStringLiteral("DISPLAY"), g_display);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    server.setProcessEnvironment(env);
    server.setProcessChannelMode(QProcess::SeparateChannels);
    QElapsedTimer started;
    started.start();
    server.start(dir.filePath(QStringLiteral("HalvaneServer")), {});
    QVERIFY(server.waitForStarted());
    const bool pinged = helloUntilPinged(station);
    const qint64 pingMs = started.elapsed();
    QVERIFY2(pinged, qPrintable(QString::fromLocal8Bit(server.readAllStandardError())));
    QVERIFY2(pingMs < 2000, qPrintable(QString::number(pingMs)));

    QUdpSocket antenna;
    antenna.writeDatagram(QByteArrayLiteral("q00018"), QHostAddress::LocalHost, 5556);
    bool announced = false;
    QElapsedTimer sincePress;
    sincePress.start();
    while (!announced && sincePress.elapsed() < 2000) {
        if (!station.waitForReadyRead(200))
            continue;
        while (station.hasPendingDatagrams())
            announced = announced || station.receiveDatagram().data().startsWith("#q0001;8;");
    }
    QVERIFY2(announced, "the call is announced while the file is still held");
    sqlite3_close(other);

    ::kill(pid_t(server.processId()), SIGTERM);
    QVERIFY(server.waitForFinished(10000));
    const QString err = QString::fromLocal8Bit(server.readAllStandardError());
    QCOMPARE(server.exitStatus(), QProcess::NormalExit);
    QVERIFY2(server.exitCode() == 0, qPrintable(err));
    QVERIFY2(err.contains(QStringLiteral("Сервер остановлен сигналом SIGTERM")), qPrintable(err));
    auto db = db::Database::openDatabase(dbPath);
    QCOMPARE(db->query(QStringLiteral("SELECT * FROM logs WHERE abcde = 'q0001'")).rowCount(), 1);
}

int main(int argc, char** argv)
{
    XDisplay x;
    QString why;
    g_display = x.start(why);
    if (g_display.isEmpty()) {
        std::fprintf(stderr, "SKIP: %s\n", qPrintable(why));
        return 77;
    }
    QCoreApplication application(argc, argv);
    TestRealWindowLock test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_net_realwindowlock.moc"
