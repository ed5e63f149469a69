// The alert manager's message without a network: the Alerts settings section's ranges, HL7
// escaping, the MLLP frame reader, the acknowledgement parser and the PCD-04 message of every kind
// and phase of an alert, with the framing and the escaping read back once by Debian's python3-hl7.

#include "core/alerts/AlertMessage.h"
#include "core/alerts/AlertsSettings.h"
#include "core/alerts/Hl7.h"
#include "core/settings/IniFile.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QDateTime kCallTime(QDate(2024, 3, 1), QTime(14, 5, 9), QTimeZone(3 * 3600));

AlertsSettingsValues ward()
{
    AlertsSettingsValues s;
    s.Host = QStringLiteral("10.0.0.5");
    s.PointOfCare = QStringLiteral("ТО-3");
    s.Facility = QStringLiteral("ГБ1");
    s.SendingApplication = QStringLiteral("HALVANE");
    s.ReceivingApplication = QStringLiteral("AM");
    s.ReceivingFacility = QStringLiteral("HOSP");
    return s;
}

AlertSubject callSubject()
{
    AlertSubject s;
    s.key = Pcd04::callKey(311);
    s.kind = AlertSubject::Kind::Call;
    s.code = QStringLiteral("f6186");
    s.place = QStringLiteral("Койка № 1");
    s.ward = QStringLiteral("Палата 5");
    s.staff = QStringLiteral("Тестова Анна");
    s.time = kCallTime;
    return s;
}

QStringList segments(const QByteArray& message)
{
    return QString::fromUtf8(message).split(u'\r', Qt::SkipEmptyParts);
}

// Field n of the first segment named seg, split on "|" (MSH-n stands at index n - 1).
QString field(const QByteArray& message, const QString& seg, int n)
{
    for (const QString& segment : segments(message)) {
        const QStringList fields = segment.split(u'|');
        if (fields[0] != seg)
            continue;
        const int index = seg == QLatin1String("MSH") ? n - 1 : n;
        return index < fields.size() ? fields[index] : QString();
    }
    return QStringLiteral("<no %1>").arg(seg);
}

// The OBX segment of a facet (the last part of OBX-4), split on "|".
QStringList facet(const QByteArray& message, int n)
{
    for (const QString& segment : segments(message)) {
        const QStringList fields = segment.split(u'|');
        if (fields[0] == QLatin1String("OBX") && fields.size() > 4 &&
            fields[4] == QStringLiteral("1.0.0.0.%1").arg(n))
            return fields;
    }
    return {};
}

} // namespace

class TestAlertMessage : public QObject
{
    Q_OBJECT

private slots:
    void settingsReadWithRanges();
    void escapingRoundTrips_data();
    void escapingRoundTrips();
    void timestampCarriesTheOffset();
    void mllpReaderFindsWholeFrames_data();
    void mllpReaderFindsWholeFrames();
    void acknowledgementsParsed_data();
    void acknowledgementsParsed();
    void callStartCarriesEveryField();
    void phasesAndPrioritiesOfEveryKind_data();
    void phasesAndPrioritiesOfEveryKind();
    void alertIdentifierNamesTheWard();
    void hostileNamesStayInTheirFields();
    void subjectRecordRoundTrips();
    void pythonHl7ReadsFramingAndEscaping();
};

void TestAlertMessage::settingsReadWithRanges()
{
    QTemporaryDir dir;
    IniFile ini(dir.filePath(QStringLiteral("a.ini")));
    // The defaults as a start writes them are checked with every other section in
    // tst_settingsections; here, values out of their ranges.
    AlertsSettings::writeWhenMissing(ini);
    ini.writeString(AlertsSettings::kSection, QStringLiteral("Host"), QStringLiteral("am.hospital"));
    ini.writeInteger(AlertsSettings::kSection, QStringLiteral("Port"), 70000);
    ini.writeInteger(AlertsSettings::kSection, QStringLiteral("AckTimeoutSec"), 0);
    ini.writeInteger(AlertsSettings::kSection, QStringLiteral("RetrySec"), 12);
    ini.writeInteger(AlertsSettings::kSection, QStringLiteral("WatchdogSec"), 0);
    AlertsSettingsValues v = AlertsSettings::read(ini);
    QVERIFY(v.enabled());
    QCOMPARE(v.Port, 2575);       // not cut to 16 bits: another service would answer
    QCOMPARE(v.AckTimeoutSec, 5); // a zero timeout would resend at once, forever
    QCOMPARE(v.RetrySec, 12);
    QCOMPARE(v.WatchdogSec, 0); // 0 is the documented "none"
    // Without a point of care the alert manager cannot route: reported, not started.
    QVERIFY(!v.problem().isEmpty());
    v.PointOfCare = QStringLiteral("ТО-3");
    QVERIFY(v.problem().isEmpty());
}

void TestAlertMessage::escapingRoundTrips_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("escaped");
    QTest::addColumn<QString>("readBack");
    QTest::newRow("plain Cyrillic") << QStringLiteral("Койка № 1") << QStringLiteral("Койка № 1")
                                    << QStringLiteral("Койка № 1");
    QTest::newRow("every delimiter") << QStringLiteral("a|b^c~d\\e&f")
                                     << QStringLiteral("a\\F\\b\\S\\c\\R\\d\\E\\e\\T\\f")
                                     << QStringLiteral("a|b^c~d\\e&f");
    QTest::newRow("segment ends") << QStringLiteral("a\rb\nc") << QStringLiteral("a\\X0D\\b\\X0A\\c")
                                  << QStringLiteral("a\rb\nc");
    QTest::newRow("frame bytes and controls dropped") << QStringLiteral("a\x0b"
                                                                        "b\x1c"
                                                                        "c\x01")
                                                      << QStringLiteral("abc") << QStringLiteral("abc");
    QTest::newRow("an escape-looking text")
        << QStringLiteral("\\F\\") << QStringLiteral("\\E\\F\\E\\") << QStringLiteral("\\F\\");
}

void TestAlertMessage::escapingRoundTrips()
{
    QFETCH(QString, text);
    QFETCH(QString, escaped);
    QFETCH(QString, readBack);
    QCOMPARE(Hl7::escape(text), escaped);
    QCOMPARE(Hl7::unescape(escaped), readBack);
}

void TestAlertMessage::timestampCarriesTheOffset()
{
    QCOMPARE(Hl7::timestamp(kCallTime), QStringLiteral("20240301140509+0300"));
    QCOMPARE(Hl7::timestamp(QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5), QTimeZone(-(5 * 3600 + 30 * 60)))),
             QStringLiteral("20240102030405-0530"));
    QCOMPARE(Hl7::timestamp(QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5), QTimeZone::utc())),
             QStringLiteral("20240102030405+0000"));
}

void TestAlertMessage::mllpReaderFindsWholeFrames_data()
{
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<QList<QByteArray>>("frames");
    QTest::addColumn<bool>("ok");
    const QByteArray a = Hl7::frame("MSH|a\r");
    const QByteArray b = Hl7::frame("MSH|b\r");
    QTest::newRow("one whole") << QList<QByteArray>{a} << QList<QByteArray>{"MSH|a\r"} << true;
    QList<QByteArray> bytes;
    for (const char c : a + b)
        bytes << QByteArray(1, c);
    QTest::newRow("byte by byte") << bytes << QList<QByteArray>{"MSH|a\r", "MSH|b\r"} << true;
    QTest::newRow("two in one chunk, noise around") << QList<QByteArray>{"junk" + a + "\r\n" + b + "tail"}
                                                    << QList<QByteArray>{"MSH|a\r", "MSH|b\r"} << true;
    QTest::newRow("end split between chunks")
        << QList<QByteArray>{"\x0bMSH|a\r\x1c", "\x0d"} << QList<QByteArray>{"MSH|a\r"} << true;
    QTest::newRow("a frame never ended, then a new one")
        << QList<QByteArray>{"\x0bMSH|lost", a} << QList<QByteArray>{"MSH|a\r"} << true;
    QTest::newRow("partial: nothing yet") << QList<QByteArray>{"\x0bMSH|a\r"} << QList<QByteArray>{} << true;
    QTest::newRow("oversized") << QList<QByteArray>{'\x0b' + QByteArray(70 * 1024, 'x')}
                               << QList<QByteArray>{} << false;
}

void TestAlertMessage::mllpReaderFindsWholeFrames()
{
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(QList<QByteArray>, frames);
    QFETCH(bool, ok);
    Hl7::MllpReader reader;
    bool fed = true;
    for (const QByteArray& chunk : chunks)
        fed = reader.feed(chunk) && fed;
    QCOMPARE(fed, ok);
    QList<QByteArray> got;
    QByteArray m;
    while (reader.next(&m))
        got << m;
    QCOMPARE(got, frames);
}

void TestAlertMessage::acknowledgementsParsed_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("controlId");
    QTest::addColumn<QString>("text");
    const QByteArray msh = "MSH|^~\\&|AM|H|HALVANE||20240301||ACK^R40^ACK|9|P|2.6\r";
    QTest::newRow("AA") << msh + "MSA|AA|17\r" << true << "AA"
                        << "17"
                        << "";
    QTest::newRow("CA, LF segment ends") << QByteArray(msh).replace('\r', '\n') + "MSA|CA|17\n"
                                         << true << "CA"
                                         << "17"
                                         << "";
    QTest::newRow("AE with MSA-3") << msh + "MSA|AE|17|Busy\\T\\retry\r" << true << "AE"
                                   << "17"
                                   << "Busy&retry";
    QTest::newRow("AR with ERR-8") << msh + "MSA|AR|17\rERR||||E||||Неизвестное отделение\r" << true << "AR"
                                   << "17"
                                   << "Неизвестное отделение";
    QTest::newRow("CR with ERR-3 text")
        << msh + "MSA|CR|17\rERR|||207^Application internal error^HL70357|E\r" << true << "CR"
        << "17"
        << "Application internal error";
    QTest::newRow("other delimiters") << QByteArray("MSH#$~\\&#AM\rMSA#AA#17\r") << true << "AA"
                                      << "17"
                                      << "";
    QTest::newRow("no MSA") << msh << false << ""
                            << ""
                            << "";
    QTest::newRow("unknown code") << msh + "MSA|OK|17\r" << false << "OK"
                                  << ""
                                  << "";
    QTest::newRow("no MSH") << QByteArray("MSA|AA|17\r") << false << ""
                            << ""
                            << "";
    QTest::newRow("garbage") << QByteArray("\xff\xfe|||") << false << ""
                             << ""
                             << "";
    QTest::newRow("empty") << QByteArray() << false << ""
                           << ""
                           << "";
}

void TestAlertMessage::acknowledgementsParsed()
{
    QFETCH(QByteArray, message);
    QFETCH(bool, ok);
    QFETCH(QString, code);
    QFETCH(QString, controlId);
    QFETCH(QString, text);
    const Hl7::Ack ack = Hl7::parseAck(message);
    QCOMPARE(ack.ok, ok);
    QCOMPARE(ack.code, code);
    if (ok) {
        QCOMPARE(ack.controlId, controlId);
        QCOMPARE(ack.text, text);
    }
}

void TestAlertMessage::callStartCarriesEveryField()
{
    AlertEvent event;
    event.subject = callSubject();
    event.phase = AlertEvent::Phase::Start;
    event.priority = AlertEvent::Priority::Medium;
    event.at = kCallTime.addSecs(1);
    const QByteArray m = Pcd04::build(ward(), event, QStringLiteral("1001"));
    QVERIFY(m.endsWith('\r'));
    QVERIFY(!m.contains('\n'));
    QCOMPARE(segments(m).size(), 12);
    QCOMPARE(segments(m)[0].left(9), QStringLiteral("MSH|^~\\&|"));
    QCOMPARE(field(m, "MSH", 3), QStringLiteral("HALVANE"));
    QCOMPARE(field(m, "MSH", 4), QStringLiteral("ГБ1"));
    QCOMPARE(field(m, "MSH", 5), QStringLiteral("AM"));
    QCOMPARE(field(m, "MSH", 6), QStringLiteral("HOSP"));
    QCOMPARE(field(m, "MSH", 7), QStringLiteral("20240301140510+0300"));
    QCOMPARE(field(m, "MSH", 9), QStringLiteral("ORU^R40^ORU_R40"));
    QCOMPARE(field(m, "MSH", 10), QStringLiteral("1001"));
    QCOMPARE(field(m, "MSH", 11), QStringLiteral("P"));
    QCOMPARE(field(m, "MSH", 12), QStringLiteral("2.6"));
    QCOMPARE(field(m, "MSH", 15), QStringLiteral("AL"));
    QCOMPARE(field(m, "MSH", 16), QStringLiteral("NE"));
    QCOMPARE(field(m, "MSH", 18), QStringLiteral("UNICODE UTF-8"));
    QCOMPARE(field(m, "MSH", 21), QStringLiteral("IHE_PCD_ACM_001^IHE PCD^1.3.6.1.4.1.19376.1.6.1.4.1^ISO"));
    QCOMPARE(segments(m)[1], QStringLiteral("PID|1"));
    QCOMPARE(field(m, "PV1", 3), QStringLiteral("ТО-3^Палата 5^Койка № 1^ГБ1"));
    QCOMPARE(field(m, "OBR", 3), QStringLiteral("ГБ1:ТО-3:C311^HALVANE"));
    QCOMPARE(field(m, "OBR", 4), QStringLiteral("196616^MDC_EVT_ALARM^MDC"));
    QCOMPARE(field(m, "OBR", 7), QStringLiteral("20240301140509+0300"));

    struct Facet
    {
        int n;
        const char* type;
        const char* id;
        QString value;
    };
    const Facet facets[] = {
        {1, "CWE", "196616^MDC_EVT_ALARM^MDC", QStringLiteral("HLV_CALL^Вызов^99HLV")},
        {2, "ST", "68480^MDC_ATTR_ALERT_SOURCE^MDC", QStringLiteral("f6186")},
        {3, "ST", "68481^MDC_ATTR_EVENT_PHASE^MDC", QStringLiteral("start")},
        {4, "ST", "68482^MDC_ATTR_ALARM_STATE^MDC", QStringLiteral("active")},
        {5, "ST", "68483^MDC_ATTR_ALARM_INACTIVATION_STATE^MDC", QStringLiteral("enabled")},
        {6, "ST", "68484^MDC_ATTR_ALARM_PRIORITY^MDC", QStringLiteral("PM")},
        {7, "ST", "68485^MDC_ATTR_ALERT_TYPE^MDC", QStringLiteral("SA")},
        {8, "ST", "HLV_STAFF^Ответственный^99HLV", QStringLiteral("Тестова Анна")},
    };
    for (int i = 0; i < 8; ++i) {
        const Facet& f = facets[i];
        const QStringList obx = facet(m, f.n);
        QVERIFY2(!obx.isEmpty(), qPrintable(QString::number(f.n)));
        QCOMPARE(segments(m)[4 + i], obx.join(u'|')); // in facet order, right after OBR
        QCOMPARE(obx[1], QString::number(f.n));
        QCOMPARE(obx[2], QString::fromLatin1(f.type));
        QCOMPARE(obx[3], QString::fromUtf8(f.id));
        QCOMPARE(obx[5], f.value);
        QCOMPARE(obx[11], QStringLiteral("F"));
    }
    QCOMPARE(facet(m, 1).value(14), QStringLiteral("20240301140510+0300"));
}

void TestAlertMessage::phasesAndPrioritiesOfEveryKind_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("phase");
    QTest::addColumn<int>("priority");
    QTest::addColumn<QString>("event");
    QTest::addColumn<QString>("phaseText");
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("priorityText");
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("location");
    using K = AlertSubject::Kind;
    using P = AlertEvent::Phase;
    using R = AlertEvent::Priority;
    const QString bed = QStringLiteral("ТО-3^Палата 5^Койка № 1^ГБ1");
    QTest::newRow("call update at the alarm")
        << int(K::Call) << int(P::Update) << int(R::High) << "HLV_CALL^Вызов^99HLV"
        << "update"
        << "active"
        << "PH"
        << "SA" << bed;
    QTest::newRow("call end") << int(K::Call) << int(P::End) << int(R::High) << "HLV_CALL^Вызов^99HLV"
                              << "end"
                              << "inactive"
                              << "PH"
                              << "SA" << bed;
    QTest::newRow("KB unit call") << int(K::KBCall) << int(P::Start) << int(R::Medium)
                                  << "HLV_CALL_KB^Вызов ответственного^99HLV"
                                  << "start"
                                  << "active"
                                  << "PM"
                                  << "SA" << bed;
    QTest::newRow("reception") << int(K::Reception) << int(P::Start) << int(R::Low)
                               << "HLV_RECEPTION^Приём^99HLV"
                               << "start"
                               << "active"
                               << "PL"
                               << "SA" << bed;
    QTest::newRow("silent antenna") << int(K::AntennaSilent) << int(P::Start) << int(R::Medium)
                                    << "HLV_ANTENNA_SILENT^Нет сигнала от антенны^99HLV"
                                    << "start"
                                    << "active"
                                    << "PM"
                                    << "ST"
                                    << "ТО-3^^^ГБ1";
    QTest::newRow("antenna heard again") << int(K::AntennaSilent) << int(P::End) << int(R::Medium)
                                         << "HLV_ANTENNA_SILENT^Нет сигнала от антенны^99HLV"
                                         << "end"
                                         << "inactive"
                                         << "PM"
                                         << "ST"
                                         << "ТО-3^^^ГБ1";
    QTest::newRow("keep-alive") << int(K::Watchdog) << int(P::Present) << int(R::None)
                                << "HLV_WATCHDOG^Контроль связи^99HLV"
                                << "present"
                                << "active"
                                << "PN"
                                << "SA"
                                << "ТО-3^^^ГБ1";
}

void TestAlertMessage::phasesAndPrioritiesOfEveryKind()
{
    QFETCH(int, kind);
    QFETCH(int, phase);
    QFETCH(int, priority);
    AlertEvent event;
    event.subject = callSubject();
    event.subject.kind = AlertSubject::Kind(kind);
    event.phase = AlertEvent::Phase(phase);
    event.priority = AlertEvent::Priority(priority);
    event.at = kCallTime;
    const QByteArray m = Pcd04::build(ward(), event, QStringLiteral("7"));
    QTEST(facet(m, 1).value(5), "event");
    QTEST(facet(m, 3).value(5), "phaseText");
    QTEST(facet(m, 4).value(5), "state");
    QTEST(facet(m, 6).value(5), "priorityText");
    QTEST(facet(m, 7).value(5), "type");
    QTEST(field(m, "PV1", 3), "location");
    const bool call = kind <= int(AlertSubject::Kind::Reception);
    QCOMPARE(facet(m, 8).isEmpty(), !call); // the staff member belongs to a place
    QCOMPARE(facet(m, 2).value(5),
             kind == int(AlertSubject::Kind::Watchdog) ? QStringLiteral("HALVANE") : QStringLiteral("f6186"));
}

void TestAlertMessage::alertIdentifierNamesTheWard()
{
    AlertsSettingsValues s = ward();
    QCOMPARE(Pcd04::alertIdentifier(s, QStringLiteral("C1")), QStringLiteral("ГБ1:ТО-3:C1^HALVANE"));
    s.Facility.clear();
    QCOMPARE(Pcd04::alertIdentifier(s, QStringLiteral("C1")), QStringLiteral("ТО-3:C1^HALVANE"));
    // Two wards of one hospital never share an identifier; one ward never gives one twice.
    AlertsSettingsValues other = s;
    other.PointOfCare = QStringLiteral("ТО-4");
    QVERIFY(Pcd04::alertIdentifier(s, Pcd04::callKey(5)) != Pcd04::alertIdentifier(other, Pcd04::callKey(5)));
    QVERIFY(Pcd04::callKey(5) != Pcd04::callKey(6));
    const QDateTime t = kCallTime;
    QVERIFY(Pcd04::antennaKey(QStringLiteral("A1"), t) !=
            Pcd04::antennaKey(QStringLiteral("A1"), t.addSecs(60)));
    s.PointOfCare = QStringLiteral("Т|О^3");
    QCOMPARE(Pcd04::alertIdentifier(s, QStringLiteral("C1")), QStringLiteral("Т\\F\\О\\S\\3:C1^HALVANE"));
}

void TestAlertMessage::hostileNamesStayInTheirFields()
{
    AlertsSettingsValues s = ward();
    s.PointOfCare = QStringLiteral("ТО|3");
    AlertEvent event;
    event.subject = callSubject();
    event.subject.place = QStringLiteral("Койка|1^2~3\\4&5");
    event.subject.ward = QStringLiteral("Палата\r\nOBX|99|ST|x");
    event.subject.staff = QStringLiteral("Анна \\E\\ & Ко");
    event.at = kCallTime;
    const QByteArray m = Pcd04::build(s, event, QStringLiteral("1|2"));
    QCOMPARE(segments(m).size(), 12); // nothing injected
    QCOMPARE(field(m, "MSH", 10), QStringLiteral("1\\F\\2"));
    const QStringList location = field(m, "PV1", 3).split(u'^');
    QCOMPARE(location.size(), 4);
    QCOMPARE(Hl7::unescape(location[0]), s.PointOfCare);
    QCOMPARE(Hl7::unescape(location[1]), event.subject.ward);
    QCOMPARE(Hl7::unescape(location[2]), event.subject.place);
    QCOMPARE(Hl7::unescape(facet(m, 8).value(5)), event.subject.staff);
    for (const QString& segment : segments(m)) {
        if (segment.startsWith(QLatin1String("OBX")))
            QVERIFY2(segment.split(u'|').size() <= 15, qPrintable(segment));
    }
}

void TestAlertMessage::subjectRecordRoundTrips()
{
    AlertSubject s = callSubject();
    s.place = QStringLiteral("a\nb\"c");
    const QByteArray record = s.toRecord();
    QVERIFY(!record.contains('\n'));
    AlertSubject back;
    QVERIFY(AlertSubject::fromRecord(record, &back));
    QCOMPARE(back.key, s.key);
    QCOMPARE(back.place, s.place);
    QCOMPARE(back.time.toMSecsSinceEpoch(), s.time.toMSecsSinceEpoch());
    QVERIFY(!AlertSubject::fromRecord("{\"kind\":1}", &back));
    QVERIFY(!AlertSubject::fromRecord("not json", &back));
}

void TestAlertMessage::pythonHl7ReadsFramingAndEscaping()
{
    const QString python = QStringLiteral("/usr/bin/python3");
    QProcess check;
    check.start(python, {QStringLiteral("-c"), QStringLiteral("import hl7.mllp")});
    if (!check.waitForFinished(20000) || check.exitCode() != 0)
        QFAIL("Debian's python3-hl7 is not installed (apt-get install python3-hl7)");

    // The program reads one MLLP frame with the package's own stream reader, parses it and prints the
    // fields, unescaped by the package.
    const QString script = QStringLiteral(R"(
import asyncio, json, sys, hl7
from hl7.mllp import MLLPStreamReader
async def main():
    r = MLLPStreamReader()
    r.feed_data(sys.stdin.buffer.read())
    r.feed_eof()
    m = hl7.parse((await r.readblock()).decode('utf-8'))
    obx = [s for s in m if str(s[0]) == 'OBX']
    print(json.dumps({
        'segments': [str(s[0]) for s in m],
        'control': m['MSH.F10'],
        'profile': str(m.segment('MSH')[21]),
        'location': [m['PV1.F3.R1.C%d' % i] for i in range(1, 5)],
        'alert': m['OBR.F3.R1.C1'],
        'values': [m.unescape(str(s[5])) for s in obx],
        'subIds': [str(s[4]) for s in obx],
    }, ensure_ascii=False))
asyncio.run(main())
)");
    AlertsSettingsValues s = ward();
    s.PointOfCare = QStringLiteral("ТО|3");
    AlertEvent event;
    event.subject = callSubject();
    event.subject.place = QStringLiteral("Койка|1^2~3\\4&5");
    event.subject.ward = QStringLiteral("Палата\r5");
    event.subject.staff = QStringLiteral("Анна & Ко");
    event.at = kCallTime;
    const QByteArray framed = Hl7::frame(Pcd04::build(s, event, QStringLiteral("4242")));

    QProcess py;
    py.start(python, {QStringLiteral("-c"), script});
    QVERIFY(py.waitForStarted());
    py.write(framed);
    py.closeWriteChannel();
    QVERIFY(py.waitForFinished(20000));
    QVERIFY2(py.exitCode() == 0, py.readAllStandardError().constData());
    const QJsonObject o = QJsonDocument::fromJson(py.readAllStandardOutput()).object();
    QCOMPARE(o.value("segments").toArray().size(), 12);
    QCOMPARE(o.value("control").toString(), QStringLiteral("4242"));
    QCOMPARE(o.value("profile").toString(),
             QStringLiteral("IHE_PCD_ACM_001^IHE PCD^1.3.6.1.4.1.19376.1.6.1.4.1^ISO"));
    const QJsonArray location = o.value("location").toArray();
    QCOMPARE(location[0].toString(), s.PointOfCare);
    QCOMPARE(location[1].toString(), event.subject.ward);
    QCOMPARE(location[2].toString(), event.subject.place);
    QCOMPARE(location[3].toString(), s.Facility);
    QCOMPARE(o.value("alert").toString(), QStringLiteral("ГБ1:ТО|3:C311"));
    const QJsonArray values = o.value("values").toArray();
    QCOMPARE(values.size(), 8);
    QCOMPARE(values[2].toString(), QStringLiteral("start"));
    QCOMPARE(values[7].toString(), event.subject.staff);
    QCOMPARE(o.value("subIds").toArray()[6].toString(), QStringLiteral("1.0.0.0.7"));
}

QTEST_GUILESS_MAIN(TestAlertMessage)
#include "tst_alertmessage.moc"
