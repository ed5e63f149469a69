// The engine's open calls over the network: a call still open is announced again to a listening
// display station every RepeatSec and no more after its cancel, the list follows the call and the
// cancel, and an antenna that signed on and then fell silent raises the alarm and clears it. A call
// is open from its notice on, also while another program locks the journal; a call taken off the
// list is never closed by a later cancel; the calls found open at start are announced once.

#include "../db/DbTestSupport.h"
#include "DisplayStation.h"

#include "core/base/Clock.h"
#include "core/db/Database.h"
#include "core/engine/WardServer.h"
#include "core/net/StationNotice.h"
#include "core/net/UdpSender.h"
#include "core/settings/AppState.h"
#include "core/settings/IniFile.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

namespace {

// Standard error into a file for as long as it lives.
class StderrCapture
{
public:
    explicit StderrCapture(const QString& path) : m_path(path)
    {
        std::fflush(stderr);
        m_saved = ::dup(STDERR_FILENO);
        const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd >= 0) {
            ::dup2(fd, STDERR_FILENO);
            ::close(fd);
        }
    }
    ~StderrCapture() { restore(); }
    QStringList lines()
    {
        restore();
        QFile file(m_path);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromLocal8Bit(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
    }

private:
    void restore()
    {
        if (m_saved < 0)
            return;
        std::fflush(stderr);
        ::dup2(m_saved, STDERR_FILENO);
        ::close(m_saved);
        m_saved = -1;
    }
    QString m_path;
    int m_saved = -1;
};

} // namespace

class TestNetOpenCalls : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void openCallIsRepeatedUntilItsCancel();
    void silentAntennaRaisesAndClearsTheAlarm();
    void callIsOpenFromItsNoticeWhileTheJournalIsLocked();
    void removedCallIsNeverClosedByALaterCancel();
    void callsFoundAtStartAreAnnouncedOnce();
    void wallClockSetBackHoldsNothingUp();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QDateTime m_start;
    QElapsedTimer m_elapsed;
    qint64 m_jumpMs = 0;     // added to the running clock by a test
    qint64 m_wallStepMs = 0; // added to the wall clock alone: the clock set by hand
};

void TestNetOpenCalls::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    App::setExePathOverride(m_dir->filePath(QStringLiteral("HalvaneServer")));
    // The clock runs with real time from a fixed start, so that the one-second timer sees time pass;
    // a jump is time passing, on both clocks.
    m_start = QDateTime(QDate(2017, 12, 3), QTime(14, 5, 9));
    m_jumpMs = 0;
    m_elapsed.start();
    m_wallStepMs = 0;
    Clock::setNowOverride([this] { return m_start.addMSecs(m_elapsed.elapsed() + m_jumpMs + m_wallStepMs); });
    Clock::setElapsedOverride([this] { return m_elapsed.elapsed() + m_jumpMs; });
    UdpSender::setBroadcastAddressForTests(QHostAddress(QHostAddress::LocalHost));
}

void TestNetOpenCalls::cleanup()
{
    Clock::setNowOverride({});
    Clock::setElapsedOverride({});
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
        // Through the start's own copy of the file, which the engine reads its sections from.
        IniFile ini = App::settings();
        ini.writeString(QStringLiteral("Escalation"), QStringLiteral("RepeatSec"), QStringLiteral("2"));
    }
    const MainSettingsValues& cfg = server.cfg();
    DisplayStation station;
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

    sendLocal("f61868", UdpSender::portFromSetting(cfg.FromAntPort));
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
    sendLocal("f61862", UdpSender::portFromSetting(cfg.FromAntPort));
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

    sendLocal("###A1", UdpSender::portFromSetting(server.cfg().FromAntPort));
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
    sendLocal("###A1", UdpSender::portFromSetting(server.cfg().FromAntPort));
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

void TestNetOpenCalls::callIsOpenFromItsNoticeWhileTheJournalIsLocked()
{
    WardServer server;
    server.create();
    App::finishStart();
    {
        // Through the start's own copy of the file, which the engine reads its sections from.
        IniFile ini = App::settings();
        ini.writeString(QStringLiteral("Escalation"), QStringLiteral("RepeatSec"), QStringLiteral("2"));
        ini.writeString(QStringLiteral("Escalation"), QStringLiteral("WarnSec"), QStringLiteral("3"));
    }
    const MainSettingsValues& cfg = server.cfg();
    DisplayStation station;
    QVERIFY(station.bind(UdpSender::portFromSetting(cfg.ToClientsPort)));
    QString error;
    QVERIFY2(server.start(&error), qPrintable(error));
    station.socket.writeDatagram(cfg.sFromClient.toUtf8(), QHostAddress::LocalHost,
                                 UdpSender::portFromSetting(cfg.FromClientsPort));
    QTRY_VERIFY_WITH_TIMEOUT(!station.times(cfg.sToClient).isEmpty(), 3000);
    QList<NoticedEvent> noticed;
    connect(&server, &WardServer::noticed, this, [&](const NoticedEvent& e) { noticed << e; });
    QSignalSpy repeated(&server, &WardServer::callRepeated);
    QSignalSpy escalated(&server, &WardServer::callEscalated);

    // Another program holds the file for the whole call.
    const QString dbPath = m_dir->filePath(QStringLiteral("orv_med.db"));
    dbtest::PlainConnection other(dbPath);
    QCOMPARE(other.exec("BEGIN EXCLUSIVE"), SQLITE_OK);
    sendLocal("f61868", UdpSender::portFromSetting(cfg.FromAntPort));
    const QString notice = QStringLiteral("#f6186;8;Тестова Анна;Койка № 1;");
    QTRY_COMPARE_WITH_TIMEOUT(station.times(notice).size(), 1, 3000);
    // Listed with its notice, not yet journaled; the journal says it waits.
    QCOMPARE(server.openCalls()->count(), 1);
    const OpenCall call = server.openCalls()->at(0);
    QVERIFY(!call.journaled());
    QCOMPARE(noticed.size(), 1);
    QCOMPARE(noticed[0].call.key, call.key);
    QTRY_VERIFY_WITH_TIMEOUT(!server.journalStatus().isEmpty(), 3000);

    // It repeats and escalates while the journal still cannot take it.
    QTRY_COMPARE_WITH_TIMEOUT(station.times(notice).size(), 2, 5000);
    QVERIFY(!repeated.isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(!escalated.isEmpty(), 3000);
    QCOMPARE(escalated.at(0).at(0).value<OpenCall>().key, call.key);
    QCOMPARE(escalated.at(0).at(1).value<CallLevel>(), CallLevel::Warning);
    QVERIFY(!server.openCalls()->at(0).journaled());

    // The lock goes: the journal id follows, the key stays.
    QCOMPARE(other.exec("COMMIT"), SQLITE_OK);
    QTRY_VERIFY_WITH_TIMEOUT(server.openCalls()->at(0).journaled(), 3000);
    QCOMPARE(server.openCalls()->at(0).key, call.key);
    QCOMPARE(server.db().query(QStringLiteral("SELECT max(id) FROM logs")).fieldAsInteger(0),
             server.openCalls()->at(0).id);
    QVERIFY(server.journalStatus().isEmpty());
}

void TestNetOpenCalls::removedCallIsNeverClosedByALaterCancel()
{
    WardServer server;
    server.create();
    QString error;
    QVERIFY2(server.start(&error), qPrintable(error));
    const quint16 antennaPort = UdpSender::portFromSetting(server.cfg().FromAntPort);
    const auto journaled = [&server] {
        return server.db().query(QStringLiteral("SELECT count(*) FROM logs WHERE f = '8'")).fieldAsInteger(0);
    };

    // A call whose cancel was lost is taken off the list.
    sendLocal("f61868", antennaPort);
    QTRY_COMPARE_WITH_TIMEOUT(journaled(), 1, 3000);
    QTRY_VERIFY(server.openCalls()->count() == 1 && server.openCalls()->at(0).journaled());
    const qint64 removed = server.openCalls()->at(0).id;
    server.openCalls()->dismiss(server.openCalls()->at(0).key, Clock::now());
    server.openCallsEdited();
    QCOMPARE(server.openCalls()->count(), 0);

    // A later call at the same bed (past the antenna link's suppression of repeats), and its cancel
    // three minutes on.
    QTest::qWait(700);
    m_jumpMs += 60000;
    sendLocal("f61868", antennaPort);
    QTRY_COMPARE_WITH_TIMEOUT(journaled(), 2, 3000);
    m_jumpMs += 180000;
    sendLocal("f61862", antennaPort);
    QTRY_COMPARE_WITH_TIMEOUT(
        server.db().query(QStringLiteral("SELECT count(*) FROM logs WHERE timestr <> ''")).fieldAsInteger(0),
        1, 3000);
    const db::ResultTable first =
        server.db().query(QStringLiteral("SELECT timestr, reactiontime FROM logs WHERE id = ?"), {removed});
    QCOMPARE(first.fieldAsText(0), QString());
    QCOMPARE(first.fieldAsText(1), QString());
    QCOMPARE(server.db()
                 .query(QStringLiteral("SELECT reactiontime FROM logs WHERE id <> ? AND f = '8'"), {removed})
                 .fieldAsText(0),
             QStringLiteral("00:03:00"));
    QCOMPARE(
        server.db()
            .query(QStringLiteral("SELECT count(*) FROM dismissedcalls WHERE id = ? AND removedat <> ''"),
                   {removed})
            .fieldAsInteger(0),
        1);
    QCOMPARE(server.openCalls()->count(), 0);
}

void TestNetOpenCalls::callsFoundAtStartAreAnnouncedOnce()
{
    WardServer server;
    server.create();
    // Left open by the last run: one in alarm, one in warning, one just come.
    const QStringList times = {QStringLiteral("2017.12.03 13:55:00"), QStringLiteral("2017.12.03 14:01:00"),
                               QStringLiteral("2017.12.03 14:05:00")};
    for (const QString& t : times)
        server.db().executeStatement(
            QStringLiteral("INSERT INTO logs (timest, timestr, abcde, f, butsname, groupsname, workersname, "
                           "reactiontime) VALUES (?, '', 'f6186', '8', 'Койка № 1', 'Палата 1', '', '')"),
            {t});
    QList<QList<OpenCall>> lists;
    connect(&server, &WardServer::openCallsChanged, this,
            [&](const QList<OpenCall>& calls) { lists << calls; });
    QList<CallLevel> levels;
    connect(&server, &WardServer::callEscalated, this,
            [&](const OpenCall&, CallLevel level) { levels << level; });
    QString error;
    QVERIFY2(server.start(&error), qPrintable(error));
    QCOMPARE(levels, (QList<CallLevel>{CallLevel::Alarm, CallLevel::Warning}));
    QCOMPARE(lists.size(), 1);
    QCOMPARE(lists[0].size(), 3);
    server.TimerCallsTimer();
    QCOMPARE(levels.size(), 2);
}

// The wall clock set back 10 minutes while a call waits: its warning and alarm come at WarnSec and
// AlarmSec of the time that passed, the board is told how long it really waited, and the step is one
// line on standard error, however many ticks follow it.
void TestNetOpenCalls::wallClockSetBackHoldsNothingUp()
{
    WardServer server;
    server.create();
    const MainSettingsValues& cfg = server.cfg();
    DisplayStation station;
    QVERIFY(station.bind(UdpSender::portFromSetting(cfg.ToClientsPort)));
    QString error;
    QVERIFY2(server.start(&error), qPrintable(error));
    // The supervision's tick is driven by hand from here on.
    server.TimerCalls.stop();
    const int warnSec = server.escalation().WarnSec;
    const int alarmSec = server.escalation().AlarmSec;
    QVERIFY(warnSec > 10 && alarmSec > warnSec + 10);
    QList<CallLevel> escalated;
    connect(&server, &WardServer::callEscalated, this,
            [&](const OpenCall&, CallLevel level) { escalated << level; });

    station.socket.writeDatagram(cfg.sFromClient.toUtf8(), QHostAddress::LocalHost,
                                 UdpSender::portFromSetting(cfg.FromClientsPort));
    QTRY_VERIFY_WITH_TIMEOUT(!station.times(cfg.sToClient).isEmpty(), 3000);
    sendLocal("f61868", UdpSender::portFromSetting(cfg.FromAntPort));
    QTRY_COMPARE_WITH_TIMEOUT(server.openCalls()->count(), 1, 3000);
    server.TimerCallsTimer();

    StderrCapture captured(m_dir->filePath(QStringLiteral("stderr.txt")));
    m_wallStepMs -= 600'000;
    server.TimerCallsTimer();
    server.TimerCallsTimer();
    // Time passes to a second and a half before the warning, then past it.
    const auto waitedMs = [&server] {
        return OpenCalls::waitingMs(server.openCalls()->at(0), Clock::elapsedMs());
    };
    m_jumpMs += qint64(warnSec) * 1000 - waitedMs() - 1500;
    server.TimerCallsTimer();
    QCOMPARE(escalated, QList<CallLevel>{});
    m_jumpMs += 2000;
    server.TimerCallsTimer();
    QCOMPARE(escalated, QList<CallLevel>{CallLevel::Warning});
    m_jumpMs += qint64(alarmSec - warnSec) * 1000;
    server.TimerCallsTimer();
    QCOMPARE(escalated, (QList<CallLevel>{CallLevel::Warning, CallLevel::Alarm}));
    QCOMPARE(server.openCalls()->at(0).level, CallLevel::Alarm);
    server.TimerCallsTimer();

    // The board's answer: the call has waited past AlarmSec, not the 0 the wall clock would say.
    station.socket.writeDatagram(QByteArray(Stations::kCallsRequest), QHostAddress::LocalHost,
                                 UdpSender::portFromSetting(cfg.FromClientsPort));
    QString answer;
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            station.drain();
            for (const auto& [text, ms] : std::as_const(station.received)) {
                if (text.startsWith(QLatin1String(Stations::kCallsAnswerHead)))
                    answer = text;
            }
            return !answer.isEmpty();
        }(),
        5000);
    const QStringList lines = answer.split(u'\n');
    QCOMPARE(lines.size(), 2);
    const QStringList fields = lines.at(1).split(u'\t');
    QCOMPARE(fields.value(0), QStringLiteral("f6186"));
    const qint64 answered = fields.value(2).toLongLong();
    QVERIFY2(answered >= qint64(alarmSec) * 1000 && answered < qint64(alarmSec + 30) * 1000,
             qPrintable(fields.value(2)));
    QCOMPARE(fields.value(3), QStringLiteral("2"));

    const QStringList said = captured.lines().filter(QStringLiteral("Системные часы"));
    QCOMPARE(said.size(), 1);
    QVERIFY2(said.at(0).startsWith(QStringLiteral("Системные часы переведены назад на 10 мин 0 сек")),
             qPrintable(said.at(0)));
}

QTEST_GUILESS_MAIN(TestNetOpenCalls)
#include "tst_net_opencalls.moc"
