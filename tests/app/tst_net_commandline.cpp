// HalvaneServer as the installer meets it on the command line: its help, a start where no window can
// be shown, the line the headless server starts with, and a port another program holds, all in the
// operator's language.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

namespace {

struct Run
{
    int status = -1;
    bool crashed = false;
    QString out;
    QString err;
};

QProcessEnvironment withoutDisplay()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    return env;
}

Run run(const QString& exe, const QStringList& args, const QProcessEnvironment& env)
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(exe, args);
    Run result;
    if (!process.waitForFinished(20000)) {
        process.kill();
        process.waitForFinished();
    }
    result.crashed = process.exitStatus() != QProcess::NormalExit;
    result.status = process.exitCode();
    result.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    result.err = QString::fromLocal8Bit(process.readAllStandardError());
    return result;
}

// A copy of the program in a directory of its own, where it writes its settings and its database.
QString copyServer(const QTemporaryDir& dir)
{
    const QString exe = dir.filePath(QStringLiteral("HalvaneServer"));
    if (!QFile::copy(QStringLiteral(HALVANE_SERVER_EXE), exe))
        return QString();
    QFile::setPermissions(exe, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return exe;
}

} // namespace

class TestCommandLine : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void helpIsInRussian();
    void withoutADisplayItSaysWhatIsMissing_data();
    void withoutADisplayItSaysWhatIsMissing();
    void headlessStartSaysWhoRunsAndWhere();
    void theStartLineComesFirst_data();
    void theStartLineComesFirst();
    void aTakenPortIsNamed();
};

void TestCommandLine::helpIsInRussian()
{
    const Run r = run(QStringLiteral(HALVANE_SERVER_EXE), {QStringLiteral("--help")}, withoutDisplay());
    QCOMPARE(r.status, 0);
    QVERIFY2(r.out.contains(QStringLiteral("Запуск: HalvaneServer")), qPrintable(r.out));
    QVERIFY(r.out.contains(QStringLiteral("--headless")));
    QVERIFY(r.out.contains(QStringLiteral("без окон и без дисплея")));
    QVERIFY(!r.out.contains(QStringLiteral("Usage")));
}

void TestCommandLine::withoutADisplayItSaysWhatIsMissing_data()
{
    QTest::addColumn<QString>("display");
    QTest::addColumn<QString>("said");
    QTest::newRow("none named") << QString() << QStringLiteral("переменная DISPLAY не задана");
    // Named, but no X server answers there: Qt gives up while the application is made.
    QTest::newRow("none answers") << QStringLiteral(":97") << QStringLiteral("DISPLAY=:97");
}

// Instead of Qt's platform message and an abort: what is missing, and that --headless runs without it.
void TestCommandLine::withoutADisplayItSaysWhatIsMissing()
{
    QFETCH(QString, display);
    QFETCH(QString, said);
    QProcessEnvironment env = withoutDisplay();
    if (!display.isEmpty())
        env.insert(QStringLiteral("DISPLAY"), display);
    const Run r = run(QStringLiteral(HALVANE_SERVER_EXE), {}, env);
    QVERIFY2(!r.crashed, qPrintable(r.err));
    QCOMPARE(r.status, 1);
    QVERIFY2(r.err.contains(QStringLiteral("нет доступного дисплея")) && r.err.contains(said) &&
                 r.err.contains(QStringLiteral("HalvaneServer --headless")),
             qPrintable(r.err));
    QVERIFY2(!r.err.contains(QStringLiteral("qt.qpa")), qPrintable(r.err));
}

void TestCommandLine::headlessStartSaysWhoRunsAndWhere()
{
    QTemporaryDir dir;
    const QString exe = copyServer(dir);
    QVERIFY(!exe.isEmpty());
    QProcess server;
    server.setProcessEnvironment(withoutDisplay());
    server.start(exe, {QStringLiteral("--headless")});
    QString err;
    QTRY_VERIFY_WITH_TIMEOUT(
        (err += QString::fromLocal8Bit(server.readAllStandardError()), err.contains(u'\n')), 10000);
    server.terminate();
    QVERIFY(server.waitForFinished(10000));
    QCOMPARE(server.exitCode(), 0);

    const QString line = err.section(u'\n', 0, 0);
    QVERIFY2(line.startsWith(QStringLiteral("HalvaneServer ") + QStringLiteral(HALVANE_VERSION) +
                             QStringLiteral(" без окон")),
             qPrintable(line));
    for (const char* port : {"5556", "5557", "5566", "5567"})
        QVERIFY2(line.contains(QString::fromLatin1(port)), qPrintable(line));
    QVERIFY2(line.contains(QDir::toNativeSeparators(dir.filePath(QStringLiteral("orv_med.db")))),
             qPrintable(line));
    QVERIFY2(line.contains(QDir::toNativeSeparators(dir.filePath(QStringLiteral("HalvaneServer.ini")))),
             qPrintable(line));
}

void TestCommandLine::theStartLineComesFirst_data()
{
    // Starts that write lines of their own: a broker that cannot be reached, a value of the antennas'
    // section that cannot be used (read before the ports are known), a spool that cannot be read
    // (found while the journal is opened).
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<bool>("spoolUnreadable");
    QTest::addColumn<QString>("also");
    QTest::newRow("broker") << QByteArray("[Mqtt]\r\nHost=127.0.0.1\r\nPort=1\r\nTopic=ward/7\r\n") << false
                            << QStringLiteral("MQTT: ");
    QTest::newRow("unusable value") << QByteArray("[Antenna]\r\nToPort=abc\r\n") << false
                                    << QStringLiteral("[Antenna] ToPort=\"abc\" is not a number");
    QTest::newRow("spool unreadable") << QByteArray() << true << QStringLiteral("orv_med.db.spool.unread");
}

// The first line of the service's log says what runs, whatever the start has to say besides.
void TestCommandLine::theStartLineComesFirst()
{
    QFETCH(QByteArray, ini);
    QFETCH(bool, spoolUnreadable);
    QFETCH(QString, also);
    QTemporaryDir dir;
    const QString exe = copyServer(dir);
    QVERIFY(!exe.isEmpty());
    if (spoolUnreadable)
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("orv_med.db.spool")));
    {
        QFile file(dir.filePath(QStringLiteral("HalvaneServer.ini")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(ini);
    }
    QProcess server;
    server.setProcessEnvironment(withoutDisplay());
    server.start(exe, {QStringLiteral("--headless")});
    QString err;
    QTRY_VERIFY_WITH_TIMEOUT(
        (err += QString::fromLocal8Bit(server.readAllStandardError()), err.contains(also)), 10000);
    server.terminate();
    QVERIFY(server.waitForFinished(10000));
    err += QString::fromLocal8Bit(server.readAllStandardError());
    QCOMPARE(server.exitCode(), 0);
    const QStringList lines = err.split(u'\n', Qt::SkipEmptyParts);
    QVERIFY2(lines.first().startsWith(QStringLiteral("HalvaneServer ") + QStringLiteral(HALVANE_VERSION) +
                                      QStringLiteral(" без окон: ")),
             qPrintable(err));
    QCOMPARE(lines.filter(QStringLiteral(" без окон: ")).size(), 1);
}

void TestCommandLine::aTakenPortIsNamed()
{
    QTemporaryDir dir;
    const QString exe = copyServer(dir);
    QVERIFY(!exe.isEmpty());
    QUdpSocket other;
    QVERIFY(other.bind(QHostAddress::AnyIPv4, 5556));
    const Run r = run(exe, {QStringLiteral("--headless")}, withoutDisplay());
    QCOMPARE(r.status, 1);
    QVERIFY2(r.err.contains(QStringLiteral("UDP-порт 5556 уже занят")), qPrintable(r.err));
    QVERIFY2(!r.err.contains(QStringLiteral("bound address")), qPrintable(r.err));
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_net_commandline.moc"
