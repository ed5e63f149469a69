// The engine's open calls over the network: a call still open is announced again to a listening
// display station every RepeatSec and no more after its cancel, the list follows the call and the
// cancel, and an antenna that signed on and then fell silent raises the alarm and clears it.

#include "core/base/Clock.h"
#include "core/engine/WardServer.h"
#include "core/net/UdpSender.h"
#include "core/settings/AppState.h"
#include "core/settings/IniFile.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

namespace {

// A display station on this machine: it listens where the server sends to the stations and notes
// when each datagram came.
struct Station
{
    QUdpSocket socket;
    QList<std::pair<QString, qint64>> received;
    QElapsedTimer since;

    bool bind(quint16 port)
    {
        since.start();
        return socket.bind(QHostAddress::LocalHost, port);
    }
    void drain()
    {
        while (socket.hasPendingDatagrams()) {
            QByteArray data(qMax<qint64>(socket.pendingDatagramSize(), 0), Qt::Uninitialized);
            const qint64 n = socket.readDatagram(data.data(), data.size());
            if (n >= 0)
                received.append({QString::fromUtf8(data.left(n)), since.elapsed()});
        }
    }
    QList<qint64> times(const QString& text)
    {
        drain();
        QList<qint64> at;
        for (const auto& [t, ms] : std::as_const(received)) {
            if (t == text)
                at << ms;
        }
        return at;
    }
};

void send(const QByteArray& text, quint16 port)
{
    QUdpSocket socket;
    socket.writeDatagram(text, QHostAddress::LocalHost, port);
}

} // namespace

class TestNetOpenCalls : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void openCallIsRepeatedUntilItsCancel();
    void silentAntennaRaisesAndClearsTheAlarm();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QDateTime m_start;
    QElapsedTimer m_elapsed;
    qint64 m_jumpMs = 0; // added to the running clock by a test
};

void TestNetOpenCalls::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    App::setExePathOverride(m_dir->filePath(QStringLiteral("HalvaneServer")));
    // The clock runs with real time from a fixed start, so that the one-second timer sees time pass.
    m_start = QDateTime(QDate(2017, 12, 3), QTime(14, 5, 9));
    m_jumpMs = 0;
    m_elapsed.start();
    Clock::setNowOverride([this] { return m_start.addMSecs(m_elapsed.elapsed() + m_jumpMs); });
    UdpSender::setBroadcastAddressForTests(QHostAddress(QHostAddress::LocalHost));
}

void TestNetOpenCalls::cleanup()
{
    Clock::setNowOverride({});
    UdpSender::setBroadcastAddressForTests(QHostAddress());
    App::setExePathOverride(QString());
    m_dir.reset();
}

void TestNetOpenCalls::openCallIsRepeatedUntilItsCancel()
{
    WardServer server;
    server.create();
    // As the program does once its windows exist: the start's settings go to the file.
    App::finishStart();
    {
        IniFile ini(App::settingsPath());
        ini.writeString(QStringLiteral("Escalation"), QStringLiteral("RepeatSec"), QStringLiteral("2"));
    }
    const MainSettingsValues& cfg = server.cfg();
    Station station;
    QVERIFY(station.bind(UdpSender::portFromSetting(cfg.ToClientsPort)));
    QString error;
    QVERIFY2(server.start(&error), qPrintable(error));
    QCOMPARE(server.escalation().RepeatSec, 2);
    QVERIFY(server.openCalls());
    QCOMPARE(server.openCalls()->count(), 0);

    QList<QList<OpenCall>> lists;
    connect(&server, &WardServer::openCallsChanged, this,
            [&](const QList<OpenCall>& calls) { lists << calls; });
    QSignalSpy repeated(&server, &WardServer::callRepeated);
    QStringList errors;
    connect(&server, &WardServer::errorRaised, this, [&](const QString& m) { errors << m; });

    // The station says hello and is pinged: it is on the list of stations.
    station.socket.writeDatagram(cfg.sFromClient.toUtf8(), QHostAddress::LocalHost,
                                 UdpSender::portFromSetting(cfg.FromClientsPort));
    QTRY_VERIFY_WITH_TIMEOUT(!station.times(cfg.sToClient).isEmpty(), 3000);

    send("f61868", UdpSender::portFromSetting(cfg.FromAntPort));
    const QString notice = QStringLiteral("#f6186;8;Тестова Анна;Койка № 1;");
    QTRY_COMPARE_WITH_TIMEOUT(station.times(notice).size(), 1, 3000);
    QTRY_COMPARE_WITH_TIMEOUT(server.openCalls()->count(), 1, 3000);
    QVERIFY(!lists.isEmpty());
    QCOMPARE(lists.last().size(), 1);
    QCOMPARE(lists.last().first().place, QStringLiteral("Койка № 1"));
    QCOMPARE(lists.last().first().ward, QStringLiteral("Палата 1"));

    // The same notice again, about two seconds after the first, and the engine says so.
    QTRY_COMPARE_WITH_TIMEOUT(station.times(notice).size(), 2, 5000);
    const QList<qint64> at = station.times(notice);
    QVERIFY2(at[1] - at[0] >= 1800, qPrintable(QString::number(at[1] - at[0])));
    QVERIFY2(at[1] - at[0] <= 3500, qPrintable(QString::number(at[1] - at[0])));
    QVERIFY(!repeated.isEmpty());
    QCOMPARE(repeated.last().at(0).value<OpenCall>().notice.place, QStringLiteral("Койка № 1"));

    // The cancel takes the call off the list; nothing is sent again afterwards.
    send("f61862", UdpSender::portFromSetting(cfg.FromAntPort));
    QTRY_COMPARE_WITH_TIMEOUT(station.times(QStringLiteral("#f6186;2;Тестова Анна;Койка № 1;")).size(), 1,
                              3000);
    QTRY_COMPARE_WITH_TIMEOUT(server.openCalls()->count(), 0, 3000);
    QVERIFY(lists.last().isEmpty());
    const int sent = station.times(notice).size();
    QTest::qWait(3500);
    QCOMPARE(station.times(notice).size(), sent);
    QVERIFY2(errors.isEmpty(), qPrintable(errors.join(u'\n')));
}

void TestNetOpenCalls::silentAntennaRaisesAndClearsTheAlarm()
{
    WardServer server;
    server.create();
    QString error;
    QVERIFY2(server.start(&error), qPrintable(error));
    QCOMPARE(server.escalation().AntennaSilentSec, 60);
    // The timers are driven by hand from here on.
    server.TimerCalls.stop();
    server.TimerFromClients.stop();
    QList<QVariantList> changes;
    connect(&server, &WardServer::antennaSilenceChanged, this,
            [&](const QString& id, bool silent, const QDateTime& since) {
                changes.append({id, silent, since});
            });

    send("###A1", UdpSender::portFromSetting(server.cfg().FromAntPort));
    // The sign-on travels through a listener thread; collect until the watch knows the antenna.
    const QDateTime heardAt = Clock::now();
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            server.TimerFromClientsTimer();
            m_jumpMs += 61000;
            server.TimerCallsTimer();
            m_jumpMs -= 61000;
            return !changes.isEmpty();
        }(),
        3000);
    QCOMPARE(changes.size(), 1);
    QCOMPARE(changes[0][0].toString(), QStringLiteral("A1"));
    QCOMPARE(changes[0][1].toBool(), true);
    QVERIFY(changes[0][2].toDateTime() >= heardAt);

    // Still silent: no new change; heard again: cleared.
    m_jumpMs += 62000;
    server.TimerCallsTimer();
    QCOMPARE(changes.size(), 1);
    send("###A1", UdpSender::portFromSetting(server.cfg().FromAntPort));
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            server.TimerFromClientsTimer();
            server.TimerCallsTimer();
            return changes.size() == 2;
        }(),
        3000);
    QCOMPARE(changes[1][0].toString(), QStringLiteral("A1"));
    QCOMPARE(changes[1][1].toBool(), false);
}

QTEST_GUILESS_MAIN(TestNetOpenCalls)
#include "tst_net_opencalls.moc"
