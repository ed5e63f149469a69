#pragma once

#include <QString>
#include <QtGlobal>

class IniFile;

// Section Mqtt of the settings file: where the ward's events are published. With Host empty the
// server publishes nothing and opens no outbox.
struct MqttSettingsValues
{
    QString Host;                                   // empty: publishing off
    quint16 Port = 1883;                            // 1 to 65535; anything else reads as 1883
    QString Topic = QStringLiteral("halvane/ward"); // prefix; events go to <Topic>/events
    QString ClientId;                               // empty: the client library picks a random one
    QString Username;                               // empty: no user name is sent
    QString Password;
    bool Tls = false;
    QString CaFile; // with Tls: the CA certificate(s) in PEM; empty: the system's CA directory
    // The text of a Tls key that is neither 0 nor 1 (Tls then reads as off and problem() says so);
    // empty when the key can be read.
    QString TlsUnreadable;
    // With Tls: why the CaFile named cannot be read (the broker then stays off and problem() says
    // so); empty when it can, or when none is named.
    QString CaFileUnreadable;

    bool enabled() const { return !Host.isEmpty(); }

    // Empty when the values can be used; otherwise why not (a topic prefix with "+" or "#", say).
    QString problem() const;
};

namespace MqttSettings {

inline const QString kSection = QStringLiteral("Mqtt");

// Every start: writes each comment key and key of the section that the file lacks, so existing
// installations get the section on their next start, appended after the existing sections, and a
// section left incomplete (a start cut short, a key removed by hand) gets the keys it lacks; the
// values that are there stay. True when a key was added. Throws AppError when the write fails.
bool writeWhenMissing(IniFile& ini);

// Reads the section; missing keys yield the defaults. A trailing "/" of the topic prefix is dropped.
// With a host set, a value that keeps the broker off (problem()) is told in one line as the section
// is read (SettingsFallbacks), like every other value the file holds that cannot be used.
MqttSettingsValues read(const IniFile& ini);

// The text of a section's Tls key when it is neither 0 nor 1 (a broker must then stay off rather
// than send a password in plain text); a null string when the key reads as 0, 1 or is empty.
QString unreadableTls(const IniFile& ini, const QString& section);

} // namespace MqttSettings
