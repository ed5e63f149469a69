// The board's settings file and command line: the first start writes a file in the server's style
// (Windows-1251, CR LF, comment keys before the keys), hand edits are read, and values that would
// break the board are held in range; a value the board cannot use as it stands is told in one line
// naming what it uses instead.

#include "board/BoardSettings.h"

#include "core/base/Cp1251.h"
#include "core/settings/IniFile.h"
#include "core/settings/SettingsFallback.h"

#include <QTemporaryDir>
#include <QtTest>

class TestBoardSettings : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void firstStartWritesTheFile();
    void handEditsAreRead();
    void fallbacksAreTold_data();
    void fallbacksAreTold();
    void arguments_data();
    void arguments();
};

void TestBoardSettings::firstStartWritesTheFile()
{
    QTemporaryDir dir;
    const QString path = BoardSettingsFile::path(dir.filePath(QStringLiteral("HalvaneBoard")));
    QCOMPARE(QFileInfo(path).fileName(), QStringLiteral("HalvaneBoard.ini"));
    IniFile ini(path);
    BoardSettingsFile::writeFirstStart(ini);

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    QVERIFY(bytes.contains("\r\n"));
    QCOMPARE(bytes.count('\n'), bytes.count("\r\n"));
    QVERIFY(bytes.contains(Cp1251::encode(u"Caption=Табло вызовов")));
    QVERIFY(!bytes.contains(QStringLiteral("Табло").toUtf8()));

    // Each section: its description, the comment keys, then the keys, in the order of the table.
    const QStringList lines = Cp1251::decode(bytes).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    const QStringList server = lines.mid(0, 12);
    QCOMPARE(server,
             (QStringList{
                 QStringLiteral("[Server]"),
                 QStringLiteral(";Описание секции=Связь с сервером"),
                 QStringLiteral(";Address=IPv4-адрес сервера. Пусто - сервер ищется широковещательным "
                                "приветствием в локальной сети."),
                 QStringLiteral(";ToPort=номер UDP-порта сервера, в который табло посылает приветствие"),
                 QStringLiteral(";FromPort=номер UDP-порта, на который сервер посылает сигналы и извещения"),
                 QStringLiteral(";FromPing=приветствие от табло серверу"),
                 QStringLiteral(";ToPing=пингующая строка от сервера табло"),
                 QStringLiteral("Address="),
                 QStringLiteral("ToPort=5566"),
                 QStringLiteral("FromPort=5567"),
                 QStringLiteral("FromPing=#ToOrvikLiteServer"),
                 QStringLiteral("ToPing=#FromOrvikLiteServer"),
             }));
    QCOMPARE(lines.at(12), QStringLiteral("[Board]"));
    // Every key of the table has its comment before it and its default after the comments.
    const QStringList keys = BoardSettingsFile::keys();
    for (const QString& sectionKey : keys) {
        const QString key = sectionKey.section(u'/', 1);
        const auto keyLine = [&](const QString& prefix) {
            for (qsizetype i = 0; i < lines.size(); ++i) {
                if (lines.at(i).startsWith(prefix + key + QLatin1Char('=')))
                    return i;
            }
            return qsizetype(-1);
        };
        QVERIFY2(keyLine(QStringLiteral(";")) >= 0, qPrintable(key));
        QVERIFY2(keyLine(QString()) > keyLine(QStringLiteral(";")), qPrintable(key));
    }

    // Read back, the defaults; texts without their trailing blanks.
    const BoardSettings s = BoardSettingsFile::read(ini);
    QCOMPARE(s.Address, QString());
    QCOMPARE(s.toPort(), quint16(5566));
    QCOMPARE(s.fromPort(), quint16(5567));
    QCOMPARE(s.warnMs(), 180'000);
    QCOMPARE(s.alarmMs(), 300'000);
    QVERIFY(s.soundOn());
    QCOMPARE(s.maxTiles(), 100);
    QCOMPARE(s.typeLabel(QStringLiteral("8")), QStringLiteral("вызов"));
    QCOMPARE(s.typeLabel(QStringLiteral("4")), QStringLiteral("прием"));
    QCOMPARE(s.typeLabel(QStringLiteral("b")), QStringLiteral("вызов отв."));
    QCOMPARE(s.lastPingText, QStringLiteral("Последний сигнал в"));
}

void TestBoardSettings::handEditsAreRead()
{
    QTemporaryDir dir;
    IniFile ini(dir.filePath(QStringLiteral("HalvaneBoard.ini")));
    QVERIFY(!ini.exists());
    // A missing file reads as the defaults.
    QCOMPARE(BoardSettingsFile::read(ini).ToPing, QStringLiteral("#FromOrvikLiteServer"));

    BoardSettingsFile::writeFirstStart(ini);
    ini.writeString(QStringLiteral("Server"), QStringLiteral("Address"), QStringLiteral(" 192.168.1.5 "));
    ini.writeString(QStringLiteral("Server"), QStringLiteral("FromPort"), QStringLiteral("70000"));
    ini.writeString(QStringLiteral("Board"), QStringLiteral("WarnTime"), QStringLiteral("60"));
    ini.writeString(QStringLiteral("Board"), QStringLiteral("AlarmTime"),
                    QStringLiteral("30")); // before the warning
    ini.writeString(QStringLiteral("Board"), QStringLiteral("Sound"), QStringLiteral("0"));
    ini.writeString(QStringLiteral("Board"), QStringLiteral("MaxTiles"), QStringLiteral("сто"));
    ini.writeString(QStringLiteral("Board"), QStringLiteral("log_r8"), QStringLiteral("Вызов палаты"));
    BoardSettings s = BoardSettingsFile::read(ini);
    QCOMPARE(s.Address, QStringLiteral("192.168.1.5"));
    QCOMPARE(s.fromPort(), quint16(4464)); // the low 16 bits, as the server reads its ports
    QCOMPARE(s.warnMs(), 60'000);
    QCOMPARE(s.alarmMs(), 60'000); // never before the warning
    QVERIFY(!s.soundOn());
    QCOMPARE(s.maxTiles(), 100); // not a number: the default
    QCOMPARE(s.typeLabel(QStringLiteral("8")), QStringLiteral("Вызов палаты"));

    ini.writeString(QStringLiteral("Board"), QStringLiteral("MaxTiles"), QStringLiteral("0"));
    ini.writeString(QStringLiteral("Board"), QStringLiteral("WarnTime"), QStringLiteral("-5"));
    s = BoardSettingsFile::read(ini);
    QCOMPARE(s.maxTiles(), 1);
    QCOMPARE(s.warnMs(), 1000);
    ini.writeString(QStringLiteral("Board"), QStringLiteral("MaxTiles"), QStringLiteral("2000000000"));
    QCOMPARE(BoardSettingsFile::read(ini).maxTiles(), 1000);

    bool ok = false;
    QCOMPARE(serverAddressFromText(QStringLiteral("192.168.1.5"), &ok),
             QHostAddress(QStringLiteral("192.168.1.5")));
    QVERIFY(ok);
    QVERIFY(serverAddressFromText(QString(), &ok).isNull());
    QVERIFY(ok);
    for (const QString& bad :
         {QStringLiteral("server.local"), QStringLiteral("::1"), QStringLiteral("300.1.1.1")}) {
        serverAddressFromText(bad, &ok);
        QVERIFY2(!ok, qPrintable(bad));
    }
}

void TestBoardSettings::arguments_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("server");
    QTest::addColumn<bool>("windowed");
    QTest::addColumn<bool>("good");

    QTest::newRow("none") << QStringList{} << QString() << false << true;
    QTest::newRow("server and window")
        << QStringList{QStringLiteral("--server"), QStringLiteral("10.1.2.3"), QStringLiteral("--window")}
        << QStringLiteral("10.1.2.3") << true << true;
    QTest::newRow("server=") << QStringList{QStringLiteral("--server=127.0.0.1")}
                             << QStringLiteral("127.0.0.1") << false << true;
    QTest::newRow("server not an address") << QStringList{QStringLiteral("--server"), QStringLiteral("srv")}
                                           << QStringLiteral("srv") << false << false;
    QTest::newRow("server without address")
        << QStringList{QStringLiteral("--server")} << QString() << false << false;
    QTest::newRow("unknown option") << QStringList{QStringLiteral("--fullscreen")} << QString() << false
                                    << false;
    QTest::newRow("stray argument") << QStringList{QStringLiteral("10.1.2.3")} << QString() << false << false;
}

void TestBoardSettings::arguments()
{
    QFETCH(QStringList, args);
    QFETCH(QString, server);
    QFETCH(bool, windowed);
    QFETCH(bool, good);
    const BoardOptions options = parseBoardArguments(QStringList{QStringLiteral("HalvaneBoard")} + args);
    QCOMPARE(options.error.isEmpty(), good);
    if (good) {
        QCOMPARE(options.server, server);
        QCOMPARE(options.windowed, windowed);
    }
}

void TestBoardSettings::fallbacksAreTold_data()
{
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("line");
    QTest::addColumn<qint32>("used");

    // Ports as the server reads its own: the low 16 bits, said; none at all is the default port, not
    // a port the system picks that no server sends to.
    QTest::newRow("from port past 16 bits") << "Server"
                                            << "FromPort"
                                            << "70000"
                                            << "HalvaneBoard.ini [Server] FromPort=\"70000\" is not a port "
                                               "number (1 to 65535); its low 16 bits, port 4464, are used"
                                            << 4464;
    QTest::newRow("from port zero") << "Server"
                                    << "FromPort"
                                    << "0"
                                    << "HalvaneBoard.ini [Server] FromPort=\"0\" names no port (1 to 65535); "
                                       "port 5567 is used instead"
                                    << 5567;
    QTest::newRow("to port 65536")
        << "Server"
        << "ToPort"
        << "65536"
        << "HalvaneBoard.ini [Server] ToPort=\"65536\" names no port (1 to 65535); "
           "port 5566 is used instead"
        << 5566;
    QTest::newRow("warning time text") << "Board"
                                       << "WarnTime"
                                       << "три минуты"
                                       << "HalvaneBoard.ini [Board] WarnTime=\"три минуты\" is not a number; "
                                          "180 is used instead"
                                       << 180;
    QTest::newRow("from port good") << "Server"
                                    << "FromPort"
                                    << "6000"
                                    << "" << 6000;
}

void TestBoardSettings::fallbacksAreTold()
{
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QString, line);
    QFETCH(qint32, used);

    QStringList told;
    SettingsFallbacks::forget();
    SettingsFallbacks::setSink([&told](const QString& text) { told << text; });
    QTemporaryDir dir;
    IniFile ini(BoardSettingsFile::path(dir.filePath(QStringLiteral("HalvaneBoard"))));
    BoardSettingsFile::writeFirstStart(ini);
    ini.writeString(section, key, value);
    const BoardSettings s = BoardSettingsFile::read(ini);
    SettingsFallbacks::setSink({});

    const QHash<QString, qint32> read = {
        {"FromPort", s.fromPort()}, {"ToPort", s.toPort()}, {"WarnTime", s.WarnTime}};
    QCOMPARE(read.value(key), used);
    QCOMPARE(told, line.isEmpty() ? QStringList() : QStringList{line});
}

QTEST_GUILESS_MAIN(TestBoardSettings)
#include "tst_boardsettings.moc"
