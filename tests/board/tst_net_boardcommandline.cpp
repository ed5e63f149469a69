// HalvaneBoard as it is started at a station: its help and a mistyped option, a start where it has no
// screen, and a port another program holds, all in the language of the ward.

#include "board/BoardSettings.h"
#include "board/BoardStation.h"

#include <QProcess>
#include <QUdpSocket>
#include <QtTest>

namespace {

const QString kBoard = QStringLiteral(HALVANE_BUILD_DIR "/HalvaneBoard");

struct Run
{
    int status = -1;
    bool crashed = false;
    QString out;
    QString err;
};

Run run(const QStringList& args, const QString& display = QString())
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    if (!display.isEmpty())
        env.insert(QStringLiteral("DISPLAY"), display);
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(kBoard, args);
    if (!process.waitForFinished(20000)) {
        process.kill();
        process.waitForFinished();
    }
    Run r;
    r.crashed = process.exitStatus() != QProcess::NormalExit;
    r.status = process.exitCode();
    r.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    r.err = QString::fromLocal8Bit(process.readAllStandardError());
    return r;
}

} // namespace

class TestBoardCommandLine : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void helpAnswers();
    void aMistypedOptionIsNamed();
    void withoutADisplayItSaysWhatIsMissing_data();
    void withoutADisplayItSaysWhatIsMissing();
    void aTakenPortIsNamed();
};

// Also where there is no screen: the help needs none.
void TestBoardCommandLine::helpAnswers()
{
    for (const QString& option : {QStringLiteral("--help"), QStringLiteral("-h")}) {
        const Run r = run({option});
        QCOMPARE(r.status, 0);
        QVERIFY2(r.out.contains(QStringLiteral("Запуск: HalvaneBoard")) &&
                     r.out.contains(QStringLiteral("--server")) && r.out.contains(QStringLiteral("--window")),
                 qPrintable(r.out));
        QVERIFY(r.err.isEmpty());
    }
}

void TestBoardCommandLine::aMistypedOptionIsNamed()
{
    const Run r = run({QStringLiteral("--windw")});
    QCOMPARE(r.status, 2);
    QVERIFY2(r.err.startsWith(QStringLiteral("Неизвестный параметр: --windw")), qPrintable(r.err));
    QVERIFY2(r.err.contains(QStringLiteral("Запуск: HalvaneBoard")), qPrintable(r.err));
    const Run missing = run({QStringLiteral("--server")});
    QCOMPARE(missing.status, 2);
    QVERIFY2(missing.err.startsWith(QStringLiteral("Не указан адрес после --server")),
             qPrintable(missing.err));
}

void TestBoardCommandLine::withoutADisplayItSaysWhatIsMissing_data()
{
    QTest::addColumn<QString>("display");
    QTest::addColumn<QString>("said");
    QTest::newRow("none named") << QString() << QStringLiteral("переменная DISPLAY не задана");
    QTest::newRow("none answers") << QStringLiteral(":97") << QStringLiteral("DISPLAY=:97");
}

void TestBoardCommandLine::withoutADisplayItSaysWhatIsMissing()
{
    QFETCH(QString, display);
    QFETCH(QString, said);
    const Run r = run({QStringLiteral("--window")}, display);
    QVERIFY2(!r.crashed, qPrintable(r.err));
    QCOMPARE(r.status, 1);
    QVERIFY2(r.err.contains(QStringLiteral("нет доступного дисплея")) && r.err.contains(said),
             qPrintable(r.err));
    QVERIFY2(!r.err.contains(QStringLiteral("qt.qpa")), qPrintable(r.err));
}

void TestBoardCommandLine::aTakenPortIsNamed()
{
    QUdpSocket other;
    QVERIFY(other.bind(QHostAddress::AnyIPv4, 5567));
    BoardStation station(BoardSettings{});
    QString error;
    QVERIFY(!station.start(&error));
    QVERIFY2(error.contains(QStringLiteral("UDP-порт 5567 уже занят")), qPrintable(error));
}

QTEST_GUILESS_MAIN(TestBoardCommandLine)
#include "tst_net_boardcommandline.moc"
