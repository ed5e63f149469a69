// The house's dashboard in a real browser: HalvaneCentral between a real broker and a real
// PostgreSQL, with an account made by --add-user, and dashboard_browser.py driving Debian's headless
// Chromium through the login, the live calls of a test ward, the words for every kind of call, the
// statistics, the journal, every view on phones 360 and 390 px wide, and the centre's stop and
// restart.

#include "CentralTestSupport.h"
#include "MosquittoBroker.h"
#include "PostgresServer.h"
#include "ProcessGuard.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString kChromium = QStringLiteral("/usr/bin/chromium");
const QString kChromeDriver = QStringLiteral("/usr/bin/chromedriver");
// Debian's interpreter, where python3-selenium is installed (not one earlier on the PATH).
const QString kPython = QStringLiteral("/usr/bin/python3");
const QString kAccount = QStringLiteral("Старшая сестра");
const QString kPassword = QStringLiteral("ночная смена 7");

} // namespace

class TestCentralDashboardBrowser : public QObject
{
    Q_OBJECT

private:
    PostgresServer m_pg;
    QTemporaryDir m_brokerDir;
    MosquittoBroker m_broker{m_brokerDir.path()};
    QTemporaryDir m_dir;
    std::unique_ptr<centraltest::CentralProcess> m_central;
    QString m_exe;
    quint16 m_httpPort = 0;

    QString errors() { return m_central ? m_central->errors() : QString(); }

private slots:
    void initTestCase()
    {
        if (!QFile::exists(kChromium) || !QFile::exists(kChromeDriver))
            QSKIP("Debian's chromium and chromium-driver are not installed");
        QVERIFY2(QFile::exists(kPython), "Debian's python3 with python3-selenium is needed");
        QVERIFY2(PostgresServer::installed(), "package postgresql is not installed");
        // The test's folders (the programs' copies, some 40 MB each, among them) go with it however it ends.
        ProcessGuard::removeOnDeath(m_brokerDir.path());
        ProcessGuard::removeOnDeath(m_dir.path());
        QVERIFY2(m_pg.init(), qPrintable(m_pg.error()));
        QVERIFY(m_broker.start());

        m_exe = centraltest::installCentral(m_dir.path(), m_broker.port(), m_pg.connInfo(),
                                            QStringLiteral("central-dashboard"));

        // The account, as a script makes one: the password twice on standard input.
        QProcess addUser;
        addUser.setWorkingDirectory(m_dir.path());
        addUser.start(m_exe, {QStringLiteral("--add-user"), kAccount});
        QVERIFY(addUser.waitForStarted(5000));
        addUser.write((kPassword + u'\n' + kPassword + u'\n').toUtf8());
        addUser.closeWriteChannel();
        QVERIFY(addUser.waitForFinished(30000));
        QVERIFY2(addUser.exitCode() == 0, addUser.readAllStandardError().constData());

        m_central = std::make_unique<centraltest::CentralProcess>(m_exe);
        QVERIFY2(m_central->startServing(&m_httpPort), qPrintable(errors()));
        QVERIFY2(m_central->waitForLine(QStringLiteral("MQTT: связь с брокером")), qPrintable(errors()));
    }

    void cleanupTestCase()
    {
        if (m_central && m_central->running() && !m_central->terminate())
            m_central->kill();
    }

    void liveStatisticsAndJournalInChromium()
    {
        const QString script = QFINDTESTDATA("dashboard_browser.py");
        QVERIFY2(!script.isEmpty(), "dashboard_browser.py is not beside the test");
        // The screenshots stay in the build folder, to be looked at after the run.
        const QString shots = QCoreApplication::applicationDirPath() + QStringLiteral("/dashboard_screens");
        QDir(shots).removeRecursively();

        // The script, its chromedriver and Chromium, and the copy of the centre it starts again are one
        // process group, ended with the test however the test ends.
        QProcess browser;
        ProcessGuard::guard(browser);
        browser.setProcessChannelMode(QProcess::MergedChannels);
        browser.start(kPython,
                      {script, QStringLiteral("--url"), QStringLiteral("http://127.0.0.1:%1").arg(m_httpPort),
                       QStringLiteral("--name"), kAccount, QStringLiteral("--password"), kPassword,
                       QStringLiteral("--broker-port"), QString::number(m_broker.port()),
                       QStringLiteral("--prefix"), QStringLiteral("test/cardio"), QStringLiteral("--shots"),
                       shots, QStringLiteral("--centre-pid"), QString::number(m_central->pid()),
                       QStringLiteral("--centre-exe"), m_exe});
        QVERIFY(browser.waitForStarted(5000));
        const bool finished = browser.waitForFinished(100000);
        const QString output = QString::fromUtf8(browser.readAll());
        qInfo().noquote() << output.trimmed();
        if (!finished) {
            browser.kill();
            browser.waitForFinished(5000);
        }
        QVERIFY2(finished, "the browser script did not finish in 100 s");
        QVERIFY2(browser.exitStatus() == QProcess::NormalExit && browser.exitCode() == 0,
                 qPrintable(output + QStringLiteral("\ncentre:\n") + errors()));
        // The script stopped the centre on its way (and ended the copy it started again).
        QVERIFY(!m_central->running() || m_central->process().waitForFinished(10000));
        for (const char* page :
             {"login-failed", "calls", "calls-offline", "statistics", "journal", "phone-360-calls",
              "phone-360-statistics", "phone-360-journal", "phone-390-calls", "phone-390-statistics",
              "phone-390-journal", "calls-lost"})
            QVERIFY2(QFile::exists(shots + u'/' + QLatin1String(page) + QStringLiteral(".png")), page);
    }
};

QTEST_GUILESS_MAIN(TestCentralDashboardBrowser)
#include "tst_centraldashboard_browser.moc"
