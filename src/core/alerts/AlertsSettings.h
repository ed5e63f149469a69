#pragma once

#include <QString>
#include <QtGlobal>

class IniFile;

// Section Alerts of the settings file: the hospital's alert manager that every open call is reported
// to (HL7 v2.6 ORU^R40 over MLLP), and how this ward names itself there. With Host empty nothing is
// reported and no outbox is opened.
struct AlertsSettingsValues
{
    QString Host;        // empty: reporting off
    qint32 Port = 2575;  // 1 to 65535; anything else reads as 2575
    QString PointOfCare; // PV1-3.1: the department as the alert manager knows it
    QString Facility;    // PV1-3.4 and MSH-4
    QString SendingApplication = QStringLiteral("HALVANE"); // MSH-3
    QString ReceivingApplication;                           // MSH-5
    QString ReceivingFacility;                              // MSH-6
    qint32 AckTimeoutSec = 5;                               // at least 1
    qint32 RetrySec = 5;                                    // at least 1
    qint32 WatchdogSec = 30;                                // 0: no keep-alive

    bool enabled() const { return !Host.isEmpty(); }
    quint16 port() const { return quint16(Port); }
    // Empty when the values can be used; otherwise why not.
    QString problem() const;
};

namespace AlertsSettings {

inline const QString kSection = QStringLiteral("Alerts");

// Appends the section with its comment keys and defaults when the file has none of it (neither its
// description nor Host), so existing installations get it on their next start, after the sections
// they have. A section that is there, even with keys removed by hand, is left as it is. Throws
// AppError when the write fails.
void writeWhenMissing(IniFile& ini);

// Reads the section; a missing key, or a number out of its range, yields the default.
AlertsSettingsValues read(const IniFile& ini);

} // namespace AlertsSettings
