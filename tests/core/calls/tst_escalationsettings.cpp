// What the Escalation section reads odd values as; the section as a start writes it, and hand edits
// kept, are checked with every other section in tst_settingsections.

#include "core/calls/EscalationSettings.h"
#include "core/settings/IniFile.h"

#include <QTemporaryDir>
#include <QTest>

class TestEscalationSettings : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void readValues_data();
    void readValues();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_path;
};

void TestEscalationSettings::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_path = m_dir->filePath(QStringLiteral("HalvaneServer.ini"));
}

void TestEscalationSettings::readValues_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("expected");

    QTest::newRow("repeat off") << "RepeatSec"
                                << "0" << 0;
    QTest::newRow("hex") << "AlarmSec"
                         << "0x3C" << 60;
    QTest::newRow("letters give the default") << "WarnSec"
                                              << "abc" << 180;
    QTest::newRow("empty gives the default") << "WindowHours"
                                             << "" << 12;
    QTest::newRow("too large gives the default") << "AntennaSilentSec"
                                                 << "99999999999" << 60;
    QTest::newRow("window hidden at start") << "ShowAtStart"
                                            << "0" << 0;
    QTest::newRow("window shown for any other number") << "ShowAtStart"
                                                       << "2" << 1;
}

void TestEscalationSettings::readValues()
{
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(int, expected);
    IniFile ini(m_path);
    ini.writeString(EscalationSettings::kSection, key, value);
    const EscalationValues v = EscalationSettings::read(ini);
    const int actual = key == QLatin1String("RepeatSec")          ? v.RepeatSec
                       : key == QLatin1String("AlarmSec")         ? v.AlarmSec
                       : key == QLatin1String("WarnSec")          ? v.WarnSec
                       : key == QLatin1String("WindowHours")      ? v.WindowHours
                       : key == QLatin1String("AntennaSilentSec") ? v.AntennaSilentSec
                                                                  : int(v.ShowAtStart);
    QCOMPARE(actual, expected);
}

QTEST_GUILESS_MAIN(TestEscalationSettings)
#include "tst_escalationsettings.moc"
