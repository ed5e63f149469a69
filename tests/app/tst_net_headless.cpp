// The headless server as a process: SIGTERM in the middle of a burst of presses ends it within two
// seconds, and every press it announced before the signal is in the journal afterwards.

#include "db/Database.h"
#include "db/Schema.h"

#include <QFile>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <csignal>

class TestHeadless : public QObject
{
    Q_OBJECT

private slots:
    void sigtermDuringABurstLosesNoPress();
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
            db->executeStatement(QStringLiteral("INSERT INTO buts (abcde, btnclr, name, comm) VALUES (?, ?, ?, '')"),
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
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start(exe, {QStringLiteral("--headless")});
    QVERIFY(server.waitForStarted());

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
    QElapsedTimer signalAt;
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
    QVERIFY2(signalAt.elapsed() < 2000 + 1000, qPrintable(QString::number(signalAt.elapsed())));
    QCOMPARE(server.exitStatus(), QProcess::NormalExit);
    QCOMPARE(server.exitCode(), 0);
    drain();

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

QTEST_GUILESS_MAIN(TestHeadless)
#include "tst_net_headless.moc"
