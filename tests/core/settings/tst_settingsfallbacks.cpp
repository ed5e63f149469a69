// A value of the server's settings file that cannot be used as it stands is told in one line naming
// the file, the section, the key, the value and what is used instead; the value used is the one the
// line names. The same line is told once however often the section is read, and a good value tells
// nothing.

#include "core/alerts/AlertsSettings.h"
#include "core/calls/EscalationSettings.h"
#include "core/mqtt/MqttSettings.h"
#include "core/settings/IniFile.h"
#include "core/settings/MainSettings.h"
#include "core/settings/SettingsFallback.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

namespace {

// What a section's reader makes of the key, as text: the number or the text it uses, or "off" for a
// broker the values keep off.
QString usedValue(const IniFile& ini, const QString& section, const QString& key)
{
    if (section == QLatin1String("Escalation")) {
        const EscalationValues v = EscalationSettings::read(ini);
        const QHash<QString, qint32> numbers = {{"WarnSec", v.WarnSec},
                                                {"AlarmSec", v.AlarmSec},
                                                {"RepeatSec", v.RepeatSec},
                                                {"WindowHours", v.WindowHours},
                                                {"AntennaSilentSec", v.AntennaSilentSec},
                                                {"ShowAtStart", v.ShowAtStart}};
        return numbers.contains(key) ? QString::number(numbers.value(key)) : v.sAlarmCount;
    }
    if (section == QLatin1String("Mqtt")) {
        const MqttSettingsValues v = MqttSettings::read(ini);
        if (!v.problem().isEmpty())
            return QStringLiteral("off");
        return key == QLatin1String("Port") ? QString::number(v.Port) : v.Topic;
    }
    if (section == QLatin1String("Alerts"))
        return QString::number(AlertsSettings::read(ini).Port);
    const MainSettingsValues v = MainSettings::readStored(ini);
    const QHash<QString, qint32> ports = {{"Antenna/ToPort", v.ToAntPort},
                                          {"Antenna/FromPort", v.FromAntPort},
                                          {"VisualizationClient/ToPort", v.ToClientsPort},
                                          {"VisualizationClient/FromPort", v.FromClientsPort}};
    return QString::number(ports.value(section + u'/' + key));
}

} // namespace

class TestSettingsFallbacks : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void toldInOneLine_data();
    void toldInOneLine();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QStringList m_told;
};

void TestSettingsFallbacks::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_told.clear();
    SettingsFallbacks::forget();
    SettingsFallbacks::setSink([this](const QString& line) { m_told << line; });
}

void TestSettingsFallbacks::cleanup()
{
    SettingsFallbacks::setSink({});
    SettingsFallbacks::forget();
}

void TestSettingsFallbacks::toldInOneLine_data()
{
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("others"); // other lines of the section, before the key
    QTest::addColumn<QString>("line");   // empty: nothing is told
    QTest::addColumn<QString>("used");

    const QString topic(3000, u't');
    const QString mqttOn = QStringLiteral("Host=broker.local");
    const QString tlsOn = mqttOn + QStringLiteral("\r\nTls=1");

    QTest::newRow("escalation text") << "Escalation"
                                     << "WarnSec"
                                     << "abc"
                                     << ""
                                     << "HalvaneServer.ini [Escalation] WarnSec=\"abc\" is not a number; "
                                        "180 is used instead"
                                     << "180";
    QTest::newRow("escalation empty") << "Escalation"
                                      << "AlarmSec"
                                      << ""
                                      << ""
                                      << "HalvaneServer.ini [Escalation] AlarmSec=\"\" is not a number; 300 "
                                         "is used instead"
                                      << "300";
    QTest::newRow("escalation past 32 bits")
        << "Escalation"
        << "RepeatSec"
        << "99999999999"
        << ""
        << "HalvaneServer.ini [Escalation] RepeatSec=\"99999999999\" is not a number; 180 is used instead"
        << "180";
    QTest::newRow("escalation switch")
        << "Escalation"
        << "ShowAtStart"
        << "2"
        << ""
        << "HalvaneServer.ini [Escalation] ShowAtStart=\"2\" is not within 0 to "
           "1; 1 is used instead"
        << "1";
    QTest::newRow("escalation good hex") << "Escalation"
                                         << "WindowHours"
                                         << "0x10"
                                         << ""
                                         << ""
                                         << "16";
    QTest::newRow("escalation good negative") << "Escalation"
                                              << "WarnSec"
                                              << "-5"
                                              << ""
                                              << ""
                                              << "-5";

    // The ward's own UDP ports keep their reading of the low 16 bits, and the line says so; a number
    // whose low 16 bits are 0 names no port at all.
    QTest::newRow("antenna port past 16 bits")
        << "Antenna"
        << "FromPort"
        << "70000"
        << ""
        << "HalvaneServer.ini [Antenna] FromPort=\"70000\" is not a port number (1 to 65535); its low 16 "
           "bits, port 4464, are used"
        << "4464";
    QTest::newRow("antenna port negative")
        << "Antenna"
        << "ToPort"
        << "-1"
        << ""
        << "HalvaneServer.ini [Antenna] ToPort=\"-1\" is not a port number (1 to 65535); its low 16 bits, "
           "port 65535, are used"
        << "65535";
    QTest::newRow("antenna port zero") << "Antenna"
                                       << "ToPort"
                                       << "0"
                                       << ""
                                       << "HalvaneServer.ini [Antenna] ToPort=\"0\" names no port (1 to "
                                          "65535); port 5557 is used instead"
                                       << "5557";
    QTest::newRow("antenna port 65536") << "Antenna"
                                        << "FromPort"
                                        << "65536"
                                        << ""
                                        << "HalvaneServer.ini [Antenna] FromPort=\"65536\" names no port (1 "
                                           "to 65535); port 5556 is used instead"
                                        << "5556";
    QTest::newRow("antenna port good") << "Antenna"
                                       << "FromPort"
                                       << "6000"
                                       << ""
                                       << ""
                                       << "6000";
    QTest::newRow("stations port zero") << "VisualizationClient"
                                        << "FromPort"
                                        << "0"
                                        << ""
                                        << "HalvaneServer.ini [VisualizationClient] FromPort=\"0\" names no "
                                           "port (1 to 65535); port 5566 is used instead"
                                        << "5566";

    QTest::newRow("broker port past 16 bits") << "Mqtt"
                                              << "Port"
                                              << "70000" << mqttOn
                                              << "HalvaneServer.ini [Mqtt] Port=\"70000\" is not within 1 to "
                                                 "65535; 1883 is used instead"
                                              << "1883";
    QTest::newRow("broker port zero") << "Mqtt"
                                      << "Port"
                                      << "0" << mqttOn
                                      << "HalvaneServer.ini [Mqtt] Port=\"0\" is not within 1 to 65535; 1883 "
                                         "is used instead"
                                      << "1883";
    QTest::newRow("broker topic too long")
        << "Mqtt"
        << "Topic" << topic << mqttOn
        << "HalvaneServer.ini [Mqtt] Topic=\"" + QString(80, u't') +
               "…\" (3000 characters) is longer than 2047 characters; its first 2047 characters are used"
        << QString(2047, u't');
    QTest::newRow("broker ca file missing")
        << "Mqtt"
        << "CaFile"
        << "/no/such/dir/ca.pem" << tlsOn
        << "HalvaneServer.ini [Mqtt] CaFile=\"/no/such/dir/ca.pem\" does not exist; the broker stays off"
        << "off";
    QTest::newRow("broker ca file is a directory")
        << "Mqtt"
        << "CaFile"
        << "/" << tlsOn
        << "HalvaneServer.ini [Mqtt] CaFile=\"/\" is not a file; the "
           "broker stays off"
        << "off";
    QTest::newRow("broker tls unreadable")
        << "Mqtt"
        << "Tls"
        << "yes" << mqttOn
        << "HalvaneServer.ini [Mqtt] Tls=\"yes\" is neither 1 (TLS) nor 0 (no encryption), and the password "
           "must not go out in plain text; the broker stays off"
        << "off";
    QTest::newRow("broker topic wildcard") << "Mqtt"
                                           << "Topic"
                                           << "ward/#" << mqttOn
                                           << "HalvaneServer.ini [Mqtt] Topic=\"ward/#\" holds a wildcard (+ "
                                              "or #); the broker stays off"
                                           << "off";
    // Without a host nothing is published: nothing to tell about the broker's values.
    QTest::newRow("broker off anyway") << "Mqtt"
                                       << "Tls"
                                       << "yes"
                                       << ""
                                       << ""
                                       << "off";

    QTest::newRow("alert manager port") << "Alerts"
                                        << "Port"
                                        << "70000"
                                        << ""
                                        << "HalvaneServer.ini [Alerts] Port=\"70000\" is not within 1 to "
                                           "65535; 2575 is used instead"
                                        << "2575";
}

void TestSettingsFallbacks::toldInOneLine()
{
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QString, others);
    QFETCH(QString, line);
    QFETCH(QString, used);

    const QString path = m_dir->filePath(QStringLiteral("HalvaneServer.ini"));
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QString text = u'[' + section + QStringLiteral("]\r\n");
        if (!others.isEmpty())
            text += others + QStringLiteral("\r\n");
        file.write((text + key + u'=' + value + QStringLiteral("\r\n")).toUtf8().prepend("\xEF\xBB\xBF"));
    }
    const IniFile ini = IniFile::load(path);

    QCOMPARE(usedValue(ini, section, key), used);
    // Read again, as the windows and the start read their sections more than once: told once.
    QCOMPARE(usedValue(ini, section, key), used);
    const QStringList expected = line.isEmpty() ? QStringList() : QStringList{line};
    QCOMPARE(m_told, expected);
    QCOMPARE(SettingsFallbacks::take(), expected);
    QCOMPARE(SettingsFallbacks::take(), QStringList());
}

QTEST_GUILESS_MAIN(TestSettingsFallbacks)
#include "tst_settingsfallbacks.moc"
