#pragma once

#include "core/alerts/AlertsSettings.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

// What one alert is about, for its whole life: the ward reports each open call and each silent antenna
// to the alert manager as one alert with one identifier, in messages that start, update and end it.
struct AlertSubject
{
    enum class Kind { Call, KBCall, Reception, AntennaSilent, Watchdog };

    QString key; // this ward's own name of the alert: see Pcd04::callKey() and antennaKey()
    Kind kind = Kind::Call;
    QString code;   // the button's code, or the antenna's identity
    QString place;  // the place's name ("" for an antenna)
    QString ward;   // the place's ward
    QString staff;  // the staff member named for the place
    QDateTime time; // the call's time; for an antenna, when it was last heard

    // One line of text without line feeds, for the outbox; and back. fromRecord() is false for a
    // line that is not one.
    QByteArray toRecord() const;
    static bool fromRecord(QByteArrayView record, AlertSubject* subject);

    friend bool operator==(const AlertSubject&, const AlertSubject&) = default;
};

// One message of an alert's life.
struct AlertEvent
{
    enum class Phase { Start, Update, End, Present };
    enum class Priority { None, Low, Medium, High };

    AlertSubject subject;
    Phase phase = Phase::Start;
    Priority priority = Priority::Medium;
    QDateTime at; // when it happened (MSH-7 and OBX-14)
};

// IHE PCD-04 "Report Alert": the HL7 v2.6 message ORU^R40^ORU_R40 of an Alert Reporter, segments
// separated by CR, UTF-8, every text escaped. The codes are those of the IHE PCD Technical Framework
// volume 2 for the facets of an alert; the kind of a call is a local code of this system (99HLV).
namespace Pcd04 {

inline const QString kProfile = QStringLiteral("IHE_PCD_ACM_001^IHE PCD^1.3.6.1.4.1.19376.1.6.1.4.1^ISO");
inline const QString kLocalCodes = QStringLiteral("99HLV");

// The ward's name of an open call and of one silence of an antenna: unique in this ward forever (the
// journal never gives an entry id twice; an antenna's silence is named by its start).
QString callKey(qint64 journalEntryId);
QString antennaKey(const QString& antenna, const QDateTime& lastHeard);

// OBR-3 of the alert (EI): "<Facility>:<PointOfCare>:<key>^<SendingApplication>", the empty parts
// left out: unique across restarts and across wards. The one place that names an alert.
QString alertIdentifier(const AlertsSettingsValues& settings, const QString& key);

// The kind of a calling function ("8", "b", "4"); Call for anything else.
AlertSubject::Kind kindOfFunction(const QString& f);
// The local code and its Russian text (OBX-5 of facet 1).
QString kindCode(AlertSubject::Kind kind);
QString kindText(AlertSubject::Kind kind);
// "start", "update", "end", "present"; "PN", "PL", "PM", "PH".
QString phaseName(AlertEvent::Phase phase);
QString priorityName(AlertEvent::Priority priority);
// "SA" for a call (an advisory from a person, not a device), "ST" for an antenna (a technical alarm).
QString alertType(AlertSubject::Kind kind);

// The whole message, to be framed for MLLP.
QByteArray build(const AlertsSettingsValues& settings, const AlertEvent& event, const QString& controlId);

} // namespace Pcd04
