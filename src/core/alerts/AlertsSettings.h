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

// Every start: writes each comment key and key of the section that the file lacks, so existing
// installations get the section on their next start, after the sections they have, and a section
// left incomplete gets the keys it lacks; the values that are there stay. True when a key was added.
// Throws AppError when the write fails (the start holds its writes and makes them in one step).
bool writeWhenMissing(IniFile& ini);

// Reads the section; a missing key, or a number out of its range, yields the default.
AlertsSettingsValues read(const IniFile& ini);

} // namespace AlertsSettings
