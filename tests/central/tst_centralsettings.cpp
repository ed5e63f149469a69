// HalvaneCentral.ini: the sections a start writes, their order, the keys a later start adds without
// touching the values there, and what odd values read as.

#include "central/CentralSettings.h"
#include "core/base/Cp1251.h"
#include "core/settings/IniFile.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestCentralSettings : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    int m_files = 0;

    QString newPath() { return m_dir.filePath(QStringLiteral("c%1.ini").arg(++m_files)); }
    static void writeText(const QString& path, const QString& text)
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(Cp1251::encode(text));
    }
    static QString readText(const QString& path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? Cp1251::decode(f.readAll()) : QString();
    }

private slots:
    void firstStartWritesHttpAfterTheOtherSections()
    {
        const QString path = newPath();
        IniFile ini(path);
        CentralSettings::writeStart(ini);
        const QString text = readText(path);
        const qsizetype broker = text.indexOf(QLatin1String("[Broker]\r\n"));
        const qsizetype database = text.indexOf(QLatin1String("[Database]\r\n"));
        const qsizetype http = text.indexOf(QLatin1String("[Http]\r\n"));
        QVERIFY(broker >= 0 && database > broker && http > database);
        const QString section = text.mid(http);
        for (const char* line : {"Address=\r\n", "Port=8080\r\n", "CertFile=\r\n", "KeyFile=\r\n",
                                 "SessionHours=12\r\n", ";SessionHours="})
            QVERIFY2(section.contains(QLatin1String(line)), line);
        QVERIFY(section.contains(QStringLiteral("Веб-страница")));

        const HttpSettings h = CentralSettings::readHttp(IniFile(path));
        QCOMPARE(h.Address, QString());
        QCOMPARE(h.Port, quint16(8080));
        QCOMPARE(h.SessionHours, 12);
        QVERIFY(!h.https());
    }

    // A file from before the dashboard: [Http] is added whole, the values already there are kept,
    // and a second start changes nothing more.
    void laterStartAddsHttpAndKeepsValues()
    {
        const QString path = newPath();
        writeText(path, QStringLiteral("[Broker]\r\nHost=mq1\r\nTopics=site/+\r\n[Database]\r\n"
                                       "ConnInfo=host=db1 dbname=house\r\n"));
        {
            IniFile ini(path);
            CentralSettings::writeStart(ini);
        }
        QString once = readText(path);
        QVERIFY(once.contains(QLatin1String("Host=mq1\r\n")));
        QVERIFY(once.contains(QLatin1String("ConnInfo=host=db1 dbname=house\r\n")));
        QVERIFY(once.indexOf(QLatin1String("[Http]")) > once.indexOf(QLatin1String("[Database]")));
        QCOMPARE(CentralSettings::readHttp(IniFile(path)).Port, quint16(8080));

        writeText(path, once.replace(QLatin1String("Port=8080"), QLatin1String("Port=8443"))
                            .replace(QLatin1String("SessionHours=12"), QLatin1String("SessionHours=8")));
        const QString edited = readText(path);
        {
            IniFile ini(path);
            CentralSettings::writeStart(ini);
        }
        QCOMPARE(readText(path), edited);
        const HttpSettings h = CentralSettings::readHttp(IniFile(path));
        QCOMPARE(h.Port, quint16(8443));
        QCOMPARE(h.SessionHours, 8);
    }

    void valuesAsRead_data()
    {
        QTest::addColumn<QString>("keys");
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("hours");
        QTest::addColumn<bool>("https");
        QTest::newRow("set") << "Address=10.0.0.5\r\nPort=443\r\nCertFile=/c.pem\r\nKeyFile=/k.pem\r\n"
                                "SessionHours=720\r\n"
                             << 443 << 720 << true;
        QTest::newRow("port 0, hours 0") << "Port=0\r\nSessionHours=0\r\n" << 8080 << 12 << false;
        QTest::newRow("port too big, hours too many") << "Port=65536\r\nSessionHours=721\r\n"
                                                      << 8080 << 12 << false;
        QTest::newRow("not numbers") << "Port=http\r\nSessionHours=day\r\n" << 8080 << 12 << false;
        QTest::newRow("certificate without key") << "CertFile=/c.pem\r\n" << 8080 << 12 << false;
        QTest::newRow("key without certificate") << "KeyFile=/k.pem\r\n" << 8080 << 12 << false;
    }
    void valuesAsRead()
    {
        QFETCH(QString, keys);
        QFETCH(int, port);
        QFETCH(int, hours);
        QFETCH(bool, https);
        const QString path = newPath();
        writeText(path, QStringLiteral("[Http]\r\n") + keys);
        const HttpSettings h = CentralSettings::readHttp(IniFile(path));
        QCOMPARE(int(h.Port), port);
        QCOMPARE(h.SessionHours, hours);
        QCOMPARE(h.https(), https);
    }
};

QTEST_GUILESS_MAIN(TestCentralSettings)
#include "tst_centralsettings.moc"
