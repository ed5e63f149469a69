// The sections every start adds to the server's settings file when they are missing (Escalation,
// Mqtt, Alerts), checked alike, one row per section: written whole after the sections the file
// already has, the keys a section lacks added to it while hand edits stay, a second start that
// writes nothing, and the defaults read from the file and from no file at all. What one section
// does with odd values is tested beside the section's own code.

#include "core/alerts/AlertsSettings.h"
#include "core/base/Cp1251.h"
#include "core/calls/EscalationSettings.h"
#include "core/mqtt/MqttSettings.h"
#include "core/settings/IniFile.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

namespace {

// A start's write of one section: true when it added a key.
using SectionWriter = std::function<bool(IniFile&)>;
// Every member of the section as it is read, one "Key=value" each, in the struct's order.
using SectionReader = std::function<QStringList(const IniFile&)>;

QString flag(bool on)
{
    return on ? QStringLiteral("1") : QStringLiteral("0");
}

QStringList readEscalation(const IniFile& ini)
{
    const EscalationValues v = EscalationSettings::read(ini);
    return {QStringLiteral("WarnSec=") + QString::number(v.WarnSec),
            QStringLiteral("AlarmSec=") + QString::number(v.AlarmSec),
            QStringLiteral("RepeatSec=") + QString::number(v.RepeatSec),
            QStringLiteral("WindowHours=") + QString::number(v.WindowHours),
            QStringLiteral("AntennaSilentSec=") + QString::number(v.AntennaSilentSec),
            QStringLiteral("ShowAtStart=") + flag(v.ShowAtStart),
            QStringLiteral("sAlarmCount=") + v.sAlarmCount,
            QStringLiteral("sAntennaSilent=") + v.sAntennaSilent,
            QStringLiteral("sSince=") + v.sSince};
}

QStringList readMqtt(const IniFile& ini)
{
    const MqttSettingsValues v = MqttSettings::read(ini);
    return {QStringLiteral("Host=") + v.Host,
            QStringLiteral("Port=") + QString::number(v.Port),
            QStringLiteral("Topic=") + v.Topic,
            QStringLiteral("ClientId=") + v.ClientId,
            QStringLiteral("Username=") + v.Username,
            QStringLiteral("Password=") + v.Password,
            QStringLiteral("Tls=") + flag(v.Tls),
            QStringLiteral("CaFile=") + v.CaFile,
            QStringLiteral("enabled=") + flag(v.enabled())};
}

QStringList readAlerts(const IniFile& ini)
{
    const AlertsSettingsValues v = AlertsSettings::read(ini);
    return {QStringLiteral("Host=") + v.Host,
            QStringLiteral("Port=") + QString::number(v.Port),
            QStringLiteral("PointOfCare=") + v.PointOfCare,
            QStringLiteral("Facility=") + v.Facility,
            QStringLiteral("SendingApplication=") + v.SendingApplication,
            QStringLiteral("ReceivingApplication=") + v.ReceivingApplication,
            QStringLiteral("ReceivingFacility=") + v.ReceivingFacility,
            QStringLiteral("AckTimeoutSec=") + QString::number(v.AckTimeoutSec),
            QStringLiteral("RetrySec=") + QString::number(v.RetrySec),
            QStringLiteral("WatchdogSec=") + QString::number(v.WatchdogSec),
            QStringLiteral("enabled=") + flag(v.enabled())};
}

// The defaults with the named "Key=value" entries put in place of theirs.
QStringList with(QStringList values, const QStringList& changed)
{
    for (const QString& change : changed) {
        const QString key = change.section(u'=', 0, 0) + QLatin1Char('=');
        for (QString& value : values) {
            if (value.startsWith(key))
                value = change;
        }
    }
    return values;
}

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

QByteArray encodeLines(const QStringList& lines)
{
    return Cp1251::encode(lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n"));
}

// The key of a line, its leading ";" kept: comment keys and keys are told apart.
QString keyOf(const QString& line)
{
    return line.section(u'=', 0, 0);
}

} // namespace

Q_DECLARE_METATYPE(SectionWriter)
Q_DECLARE_METATYPE(SectionReader)

class TestSettingSections : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void sectionWrittenAfterTheOthers_data() { sections({{"", {}}}); }
    void sectionWrittenAfterTheOthers();
    // Each section edited by hand twice: last in the file, and with another section after it.
    void missingKeysAddedAndHandEditsKept_data()
    {
        sections({{", last", {}}, {", before another", {QStringLiteral("[Other]"), QStringLiteral("x=1")}}});
    }
    void missingKeysAddedAndHandEditsKept();

private:
    // One row per section and layout: its writer and reader, the lines a start appends to a file
    // without it, what it reads as then (and with no file), a section edited by hand (a comment key
    // changed, a value changed, keys removed), what that reads as, and the lines that follow the
    // section in the file (a layout: a name and its lines).
    static void sections(const QList<std::pair<const char*, QStringList>>& layouts);

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_path;
};

void TestSettingSections::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_path = m_dir->filePath(QStringLiteral("HalvaneServer.ini"));
}

void TestSettingSections::sections(const QList<std::pair<const char*, QStringList>>& layouts)
{
    QTest::addColumn<SectionWriter>("write");
    QTest::addColumn<SectionReader>("read");
    QTest::addColumn<QStringList>("written");
    QTest::addColumn<QStringList>("defaults");
    QTest::addColumn<QStringList>("hand");
    QTest::addColumn<QStringList>("handRead");
    QTest::addColumn<QStringList>("following");
    const auto row = [&](const char* name, const SectionWriter& write, const SectionReader& read,
                         const QStringList& written, const QStringList& defaults, const QStringList& hand,
                         const QStringList& handRead) {
        for (const auto& [layout, following] : layouts)
            QTest::addRow("%s%s", name, layout)
                << write << read << written << defaults << hand << handRead << following;
    };

    const QStringList escalation = {"WarnSec=180",
                                    "AlarmSec=300",
                                    "RepeatSec=180",
                                    "WindowHours=12",
                                    "AntennaSilentSec=60",
                                    "ShowAtStart=1",
                                    "sAlarmCount=Вызовов в тревоге:",
                                    "sAntennaSilent=Нет сигнала от антенны",
                                    "sSince=с"};
    const QStringList mqtt = {"Host=",     "Port=1883", "Topic=halvane/ward",
                              "ClientId=", "Username=", "Password=",
                              "Tls=0",     "CaFile=",   "enabled=0"};
    const QStringList alerts = {"Host=",
                                "Port=2575",
                                "PointOfCare=",
                                "Facility=",
                                "SendingApplication=HALVANE",
                                "ReceivingApplication=",
                                "ReceivingFacility=",
                                "AckTimeoutSec=5",
                                "RetrySec=5",
                                "WatchdogSec=30",
                                "enabled=0"};
    row("Escalation", SectionWriter(EscalationSettings::writeMissing), SectionReader(readEscalation),
        QStringList{
            "[Escalation]",
            ";Описание секции=Ожидающие вызовы: цвета, повтор извещения, контроль антенн",
            ";WarnSec=через сколько секунд ожидания вызов выделяется цветом предупреждения (0 - не "
            "выделять)",
            ";AlarmSec=через сколько секунд ожидания вызов выделяется цветом тревоги (0 - не выделять)",
            ";RepeatSec=через сколько секунд клиентам повторяется извещение о вызове без ответа (0 - "
            "не повторять)",
            ";WindowHours=за сколько последних часов вызовы без ответа берутся из журнала при запуске",
            ";AntennaSilentSec=через сколько секунд молчания антенны поднимается тревога (0 - не "
            "следить)",
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
        },
        escalation, QStringList{";WarnSec=моё", "WarnSec=60", "AlarmSec=0"},
        with(escalation, {"WarnSec=60", "AlarmSec=0"}));

    row("Mqtt", SectionWriter(MqttSettings::writeWhenMissing), SectionReader(readMqtt),
        QStringList{
            "[Mqtt]",
            ";Описание секции=Публикация событий в брокер MQTT",
            ";Host=адрес брокера MQTT; пусто - публикация выключена",
            ";Port=порт брокера, 1883 (8883 для TLS)",
            ";Topic=префикс топиков: <Topic>/events, <Topic>/open, <Topic>/status",
            ";ClientId=идентификатор клиента; пусто - случайный",
            ";Username=имя пользователя на брокере; пусто - без имени",
            ";Password=пароль пользователя на брокере",
            ";Tls=1 - соединение TLS, 0 - без шифрования",
            ";CaFile=файл сертификата CA (PEM) для TLS; пусто - системные сертификаты",
            "Host=",
            "Port=1883",
            "Topic=halvane/ward",
            "ClientId=",
            "Username=",
            "Password=",
            "Tls=0",
            "CaFile=",
        },
        mqtt, QStringList{";Описание секции=x", "Host=broker.local", "Port=8883"},
        with(mqtt, {"Host=broker.local", "Port=8883", "enabled=1"}));

    row("Alerts", SectionWriter(AlertsSettings::writeWhenMissing), SectionReader(readAlerts),
        QStringList{
            "[Alerts]",
            ";Описание секции=Передача вызовов на телефоны через менеджер оповещений (IHE PCD ACM)",
            ";Host=адрес менеджера оповещений (HL7 MLLP); пусто - вызовы на телефоны не передаются",
            ";Port=TCP-порт менеджера оповещений, 2575",
            ";PointOfCare=отделение, как его знает менеджер оповещений (PV1-3.1)",
            ";Facility=больница, как её знает менеджер оповещений (MSH-4, PV1-3.4)",
            ";SendingApplication=имя этого сервера в сообщениях (MSH-3)",
            ";ReceivingApplication=имя менеджера оповещений (MSH-5); пусто - не указывается",
            ";ReceivingFacility=больница менеджера оповещений (MSH-6); пусто - не указывается",
            ";AckTimeoutSec=сколько секунд ждать подтверждения сообщения (ACK)",
            ";RetrySec=через сколько секунд повторить сообщение без подтверждения или с ответом AE/CE",
            ";WatchdogSec=через сколько секунд простоя посылать контрольное сообщение (0 - не "
            "посылать)",
            "Host=",
            "Port=2575",
            "PointOfCare=",
            "Facility=",
            "SendingApplication=HALVANE",
            "ReceivingApplication=",
            "ReceivingFacility=",
            "AckTimeoutSec=5",
            "RetrySec=5",
            "WatchdogSec=30",
        },
        alerts, QStringList{"Host=10.2.2.2", "RetrySec=12"},
        with(alerts, {"Host=10.2.2.2", "RetrySec=12", "enabled=1"}));
}

void TestSettingSections::sectionWrittenAfterTheOthers()
{
    QFETCH(SectionWriter, write);
    QFETCH(SectionReader, read);
    QFETCH(QStringList, written);
    QFETCH(QStringList, defaults);

    // No file at all: every member reads as its default.
    QCOMPARE(read(IniFile(m_path)), defaults);

    // An installed file with the sections of an earlier start and a note with an LF-only line added
    // by hand: the section goes after them, in CP1251 with CR LF, the bytes before it untouched.
    IniFile ini(m_path);
    ini.writeString(QStringLiteral("DB"), QStringLiteral("FileName"), QStringLiteral("orv_med.db"));
    ini.writeString(QStringLiteral("LogForm"), QStringLiteral("Caption"), QStringLiteral("x"));
    QByteArray before = fileBytes(m_path);
    before += "; hand note\n";
    writeBytes(m_path, before);

    QVERIFY(write(ini));
    const QByteArray after = fileBytes(m_path);
    QVERIFY(after.startsWith(before));
    QCOMPARE(Cp1251::decode(after.mid(before.size())).split(QStringLiteral("\r\n")), QStringList(written)
                                                                                         << QString());
    QCOMPARE(after.mid(before.size()), encodeLines(written));

    // The next start finds everything there and writes nothing.
    QVERIFY(!write(ini));
    QCOMPARE(fileBytes(m_path), after);
    QCOMPARE(read(ini), defaults);
    QCOMPARE(read(IniFile(m_path)), defaults);
}

void TestSettingSections::missingKeysAddedAndHandEditsKept()
{
    QFETCH(SectionWriter, write);
    QFETCH(SectionReader, read);
    QFETCH(QStringList, written);
    QFETCH(QStringList, hand);
    QFETCH(QStringList, handRead);
    QFETCH(QStringList, following);

    // The section as a start cut short or an editor left it.
    const QString header = written.first();
    const QStringList& other = following;
    writeBytes(m_path, encodeLines(QStringList(header) << hand << other));
    IniFile ini(m_path);
    QVERIFY(write(ini));
    const QByteArray once = fileBytes(m_path);
    QVERIFY(!write(ini));
    QCOMPARE(fileBytes(m_path), once);

    QStringList lines = Cp1251::decode(once).split(QStringLiteral("\r\n"));
    QCOMPARE(lines.takeLast(), QString());
    // The hand-written lines stay first and as they were; what follows the section stays last.
    QCOMPARE(lines.mid(0, 1 + hand.size()), QStringList(header) << hand);
    QCOMPARE(lines.mid(lines.size() - other.size()), other);
    // Every line the section lacked is added once, none of the hand-written keys a second time.
    QStringList handKeys;
    for (const QString& line : hand)
        handKeys << keyOf(line);
    QStringList added;
    for (const QString& line : written.mid(1)) {
        if (!handKeys.contains(keyOf(line)))
            added << line;
    }
    QCOMPARE(lines.size(), 1 + hand.size() + added.size() + other.size());
    for (const QString& line : added)
        QVERIFY2(lines.count(line) == 1, qPrintable(line));
    for (const QString& key : handKeys) {
        QVERIFY2(lines.filter(QRegularExpression(QLatin1Char('^') + QRegularExpression::escape(key) +
                                                 QLatin1Char('=')))
                         .size() == 1,
                 qPrintable(key));
    }

    QCOMPARE(read(ini), handRead);
}

QTEST_GUILESS_MAIN(TestSettingSections)
#include "tst_settingsections.moc"
