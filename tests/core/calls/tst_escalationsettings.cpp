#include "core/base/Cp1251.h"
#include "core/calls/EscalationSettings.h"
#include "core/settings/IniFile.h"
#include "core/settings/MainSettings.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

// The section as an installation without it gets it on its next start.
const QStringList kSectionLines = {
    "[Escalation]",
    ";Описание секции=Ожидающие вызовы: цвета, повтор извещения, контроль антенн",
    ";WarnSec=через сколько секунд ожидания вызов выделяется цветом предупреждения (0 - не выделять)",
    ";AlarmSec=через сколько секунд ожидания вызов выделяется цветом тревоги (0 - не выделять)",
    ";RepeatSec=через сколько секунд клиентам повторяется извещение о вызове без ответа (0 - не повторять)",
    ";WindowHours=за сколько последних часов вызовы без ответа берутся из журнала при запуске",
    ";AntennaSilentSec=через сколько секунд молчания антенны поднимается тревога (0 - не следить)",
    ";ShowAtStart=показывать окно активных вызовов при запуске (1 - да, 0 - нет)",
    ";sAlarmCount=Статус. Вызовов в тревоге: N",
    ";sAntennaSilent=Статус. Нет сигнала от антенны N с ЧЧ:ММ:СС",
    ";sSince=Подстановка: с",
    "WarnSec=180",
    "AlarmSec=300",
    "RepeatSec=180",
    "WindowHours=12",
    "AntennaSilentSec=60",
    "ShowAtStart=1",
    "sAlarmCount=Вызовов в тревоге: ",
    "sAntennaSilent=Нет сигнала от антенны ",
    "sSince=с ",
};

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

void writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

QByteArray encodeLines(const QStringList& lines)
{
    return Cp1251::encode(lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n"));
}

} // namespace

class TestEscalationSettings : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void sectionAppendedToAnInstalledFile();
    void existingValuesStay();
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

void TestEscalationSettings::sectionAppendedToAnInstalledFile()
{
    // An installation as its first start left it, with a note and LF-only line added by hand.
    IniFile ini(m_path);
    MainSettings::InitComm(ini);
    MainSettings::InitDef(ini, QRect(3, 4, 722, 491));
    QByteArray before = fileBytes(m_path);
    before += "; hand note\n";
    writeBytes(m_path, before);

    EscalationSettings::writeMissing(ini);
    const QByteArray after = fileBytes(m_path);
    QVERIFY(after.startsWith(before));
    QCOMPARE(Cp1251::decode(after.mid(before.size())).split(QStringLiteral("\r\n")),
             QStringList(kSectionLines) << QString());
    QCOMPARE(after.mid(before.size()), encodeLines(kSectionLines));

    // The next start finds everything there and writes nothing.
    EscalationSettings::writeMissing(ini);
    QCOMPARE(fileBytes(m_path), after);

    const EscalationValues v = EscalationSettings::read(ini);
    QCOMPARE(v.WarnSec, 180);
    QCOMPARE(v.AlarmSec, 300);
    QCOMPARE(v.RepeatSec, 180);
    QCOMPARE(v.WindowHours, 12);
    QCOMPARE(v.AntennaSilentSec, 60);
    QCOMPARE(v.ShowAtStart, true);
    QCOMPARE(v.sAlarmCount, QStringLiteral("Вызовов в тревоге:"));
    QCOMPARE(v.sAntennaSilent, QStringLiteral("Нет сигнала от антенны"));
    QCOMPARE(v.sSince, QStringLiteral("с"));
}

void TestEscalationSettings::existingValuesStay()
{
    // A section edited by hand: values changed, a comment and a key removed.
    writeBytes(m_path,
               encodeLines({"[Escalation]", ";WarnSec=моё", "WarnSec=60", "AlarmSec=0", "[Other]", "x=1"}));
    IniFile ini(m_path);
    EscalationSettings::writeMissing(ini);

    QStringList lines = Cp1251::decode(fileBytes(m_path)).split(QStringLiteral("\r\n"));
    QCOMPARE(lines.mid(0, 4), QStringList({"[Escalation]", ";WarnSec=моё", "WarnSec=60", "AlarmSec=0"}));
    QCOMPARE(lines.filter(QStringLiteral("WarnSec=")).size(), 2);
    QVERIFY(lines.contains(QStringLiteral("RepeatSec=180")));
    QCOMPARE(lines.mid(lines.size() - 3), QStringList({"[Other]", "x=1", ""}));

    const EscalationValues v = EscalationSettings::read(ini);
    QCOMPARE(v.WarnSec, 60);
    QCOMPARE(v.AlarmSec, 0);
    QCOMPARE(v.RepeatSec, 180);
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
