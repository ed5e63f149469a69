#include "core/alerts/AlertMessage.h"

#include "core/alerts/Hl7.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

namespace {

// The facets of an alert, as the framework numbers them in OBX-4 (the last part of the sub-id) and
// names them in OBX-3. The alert is the ward's, not a device's: its containment is the first MDS.
const QString kSubIdPrefix = QStringLiteral("1.0.0.0.");
const QString kEventCode = QStringLiteral("196616^MDC_EVT_ALARM^MDC");
const QString kSourceCode = QStringLiteral("68480^MDC_ATTR_ALERT_SOURCE^MDC");
const QString kPhaseCode = QStringLiteral("68481^MDC_ATTR_EVENT_PHASE^MDC");
const QString kStateCode = QStringLiteral("68482^MDC_ATTR_ALARM_STATE^MDC");
const QString kInactivationCode = QStringLiteral("68483^MDC_ATTR_ALARM_INACTIVATION_STATE^MDC");
const QString kPriorityCode = QStringLiteral("68484^MDC_ATTR_ALARM_PRIORITY^MDC");
const QString kTypeCode = QStringLiteral("68485^MDC_ATTR_ALERT_TYPE^MDC");

struct KindRow
{
    AlertSubject::Kind kind;
    const char* code;
    const char16_t* text;
};

// The local codes of this system, one per kind of alert.
const KindRow kKinds[] = {
    {AlertSubject::Kind::Call, "HLV_CALL", u"Вызов"},
    {AlertSubject::Kind::KBCall, "HLV_CALL_KB", u"Вызов ответственного"},
    {AlertSubject::Kind::Reception, "HLV_RECEPTION", u"Приём"},
    {AlertSubject::Kind::AntennaSilent, "HLV_ANTENNA_SILENT", u"Нет сигнала от антенны"},
    {AlertSubject::Kind::Watchdog, "HLV_WATCHDOG", u"Контроль связи"},
};

const QString kStaffCode = QStringLiteral("HLV_STAFF^Ответственный^99HLV");

const KindRow& rowOf(AlertSubject::Kind kind)
{
    for (const KindRow& row : kKinds) {
        if (row.kind == kind)
            return row;
    }
    return kKinds[0];
}

QString obx(int setId, const QString& type, const QString& id, int facet, const QString& value,
            const QString& time = QString())
{
    QString s = QStringLiteral("OBX|%1|%2|%3|%4%5|%6||||||F")
                    .arg(setId)
                    .arg(type, id, kSubIdPrefix)
                    .arg(facet)
                    .arg(value);
    if (!time.isEmpty())
        s += QStringLiteral("|||") + time;
    return s;
}

} // namespace

QByteArray AlertSubject::toRecord() const
{
    QJsonObject o;
    o.insert(QStringLiteral("key"), key);
    o.insert(QStringLiteral("kind"), int(kind));
    o.insert(QStringLiteral("code"), code);
    o.insert(QStringLiteral("place"), place);
    o.insert(QStringLiteral("ward"), ward);
    o.insert(QStringLiteral("staff"), staff);
    o.insert(QStringLiteral("time"), time.toMSecsSinceEpoch());
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

bool AlertSubject::fromRecord(QByteArrayView record, AlertSubject* subject)
{
    const QJsonDocument doc = QJsonDocument::fromJson(record.toByteArray());
    const QJsonObject o = doc.object();
    const int kind = o.value(QStringLiteral("kind")).toInt(-1);
    if (!doc.isObject() || o.value(QStringLiteral("key")).toString().isEmpty() || kind < 0 ||
        kind > int(Kind::Watchdog))
        return false;
    subject->key = o.value(QStringLiteral("key")).toString();
    subject->kind = Kind(kind);
    subject->code = o.value(QStringLiteral("code")).toString();
    subject->place = o.value(QStringLiteral("place")).toString();
    subject->ward = o.value(QStringLiteral("ward")).toString();
    subject->staff = o.value(QStringLiteral("staff")).toString();
    subject->time = QDateTime::fromMSecsSinceEpoch(o.value(QStringLiteral("time")).toInteger());
    return true;
}

namespace Pcd04 {

QString callKey(qint64 journalEntryId)
{
    return QStringLiteral("C%1").arg(journalEntryId);
}

QString antennaKey(const QString& antenna, const QDateTime& lastHeard)
{
    return QStringLiteral("A%1-%2").arg(lastHeard.toSecsSinceEpoch()).arg(antenna);
}

QString alertIdentifier(const AlertsSettingsValues& settings, const QString& key)
{
    QStringList parts;
    if (!settings.Facility.isEmpty())
        parts << settings.Facility;
    if (!settings.PointOfCare.isEmpty())
        parts << settings.PointOfCare;
    parts << key;
    return Hl7::escape(parts.join(u':')) + u'^' + Hl7::escape(settings.SendingApplication);
}

AlertSubject::Kind kindOfFunction(const QString& f)
{
    if (f == QLatin1String("b"))
        return AlertSubject::Kind::KBCall;
    if (f == QLatin1String("4"))
        return AlertSubject::Kind::Reception;
    return AlertSubject::Kind::Call;
}

QString kindCode(AlertSubject::Kind kind)
{
    return QString::fromLatin1(rowOf(kind).code);
}

QString kindText(AlertSubject::Kind kind)
{
    return QString::fromUtf16(rowOf(kind).text);
}

QString phaseName(AlertEvent::Phase phase)
{
    switch (phase) {
    case AlertEvent::Phase::Start:
        return QStringLiteral("start");
    case AlertEvent::Phase::Update:
        return QStringLiteral("update");
    case AlertEvent::Phase::End:
        return QStringLiteral("end");
    case AlertEvent::Phase::Present:
        break;
    }
    return QStringLiteral("present");
}

QString priorityName(AlertEvent::Priority priority)
{
    switch (priority) {
    case AlertEvent::Priority::None:
        return QStringLiteral("PN");
    case AlertEvent::Priority::Low:
        return QStringLiteral("PL");
    case AlertEvent::Priority::Medium:
        return QStringLiteral("PM");
    case AlertEvent::Priority::High:
        break;
    }
    return QStringLiteral("PH");
}

QString alertType(AlertSubject::Kind kind)
{
    return kind == AlertSubject::Kind::AntennaSilent ? QStringLiteral("ST") : QStringLiteral("SA");
}

QByteArray build(const AlertsSettingsValues& s, const AlertEvent& event, const QString& controlId)
{
    using Hl7::escape;
    const AlertSubject& subject = event.subject;
    const bool call =
        subject.kind != AlertSubject::Kind::AntennaSilent && subject.kind != AlertSubject::Kind::Watchdog;
    const QString at = Hl7::timestamp(event.at);
    QStringList segments;
    segments << QStringLiteral(
                    "MSH|^~\\&|%1|%2|%3|%4|%5||ORU^R40^ORU_R40|%6|P|2.6|||AL|NE||UNICODE UTF-8|||%7")
                    .arg(escape(s.SendingApplication), escape(s.Facility), escape(s.ReceivingApplication),
                         escape(s.ReceivingFacility), at, escape(controlId), kProfile);
    // The ward does not know who lies in the bed: no identifier, no name.
    segments << QStringLiteral("PID|1");
    // The place: point of care ^ room (the place's ward) ^ bed (the place) ^ facility.
    segments << QStringLiteral("PV1|1|I|%1^%2^%3^%4")
                    .arg(escape(s.PointOfCare), call ? escape(subject.ward) : QString(),
                         call ? escape(subject.place) : QString(), escape(s.Facility));
    segments << QStringLiteral("OBR|1||%1|%2|||%3")
                    .arg(alertIdentifier(s, subject.key), kEventCode, Hl7::timestamp(subject.time));
    const QString kind =
        escape(kindCode(subject.kind)) + u'^' + escape(kindText(subject.kind)) + u'^' + kLocalCodes;
    const QString source = subject.kind == AlertSubject::Kind::Watchdog ? s.SendingApplication : subject.code;
    const bool active = event.phase != AlertEvent::Phase::End;
    segments << obx(1, QStringLiteral("CWE"), kEventCode, 1, kind, at);
    segments << obx(2, QStringLiteral("ST"), kSourceCode, 2, escape(source));
    segments << obx(3, QStringLiteral("ST"), kPhaseCode, 3, phaseName(event.phase));
    segments << obx(4, QStringLiteral("ST"), kStateCode, 4,
                    active ? QStringLiteral("active") : QStringLiteral("inactive"));
    segments << obx(5, QStringLiteral("ST"), kInactivationCode, 5, QStringLiteral("enabled"));
    segments << obx(6, QStringLiteral("ST"), kPriorityCode, 6, priorityName(event.priority));
    segments << obx(7, QStringLiteral("ST"), kTypeCode, 7, alertType(subject.kind));
    if (call && !subject.staff.isEmpty())
        segments << obx(8, QStringLiteral("ST"), kStaffCode, 8, escape(subject.staff));
    return segments.join(u'\r').toUtf8() + '\r';
}

} // namespace Pcd04
