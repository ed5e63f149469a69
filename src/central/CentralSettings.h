#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

class IniFile;

// [Broker] of HalvaneCentral.ini: the site's MQTT broker and the wards to gather from it.
struct BrokerSettings
{
    QString Host = QStringLiteral("127.0.0.1");
    quint16 Port = 1883; // 1 to 65535; anything else reads as 1883
    // Fixed, so that the broker keeps this copy's session and its events while it is away; two
    // copies need two ids.
    QString ClientId = QStringLiteral("halvane-central");
    QString Username; // empty: no user name is sent
    QString Password;
    bool Tls = false;
    QString CaFile; // with Tls: the CA certificate(s) in PEM; empty: the system's CA directory
    // Topic prefixes, separated by commas: each matching prefix is one ward, its last level the
    // ward's id; "+" stands for one level.
    QString Topics = QStringLiteral("halvane/+");
    // The text of a Tls key that is neither 0 nor 1; empty when the key can be read.
    QString TlsUnreadable;

    // The prefixes of Topics, without blanks and trailing "/".
    QStringList topicFilters() const;
    // Empty when the values can be used; otherwise why not.
    QString problem() const;
};

// [Database] of HalvaneCentral.ini.
struct DatabaseSettings
{
    QString ConnInfo = QStringLiteral("dbname=halvane"); // a libpq connection string
};

// [Http] of HalvaneCentral.ini: where the dashboard is served.
struct HttpSettings
{
    QString Address;       // the address to listen on; empty: all of the machine's addresses
    quint16 Port = 8080;   // 1 to 65535; anything else reads as 8080
    QString CertFile;      // with KeyFile: HTTPS with this certificate chain (PEM)
    QString KeyFile;       // the certificate's private key (PEM)
    int SessionHours = 12; // a login lasts this long at most; 1 to 720, anything else reads as 12
    // The names the page is opened by, separated by commas, besides the computer's own name,
    // "localhost" and any IP address; a request naming another host is refused. "*": any name.
    QString Hosts;

    // HTTPS when both files are set.
    bool https() const { return !CertFile.isEmpty() && !KeyFile.isEmpty(); }
};

namespace CentralSettings {

// HalvaneCentral.ini beside the executable.
QString pathBeside(const QString& exePath);

// Every start: a first start (no file yet) writes every section whole, comment keys first; a later
// start adds the keys a section lacks and keeps the values that are there. Throws AppError when the
// file cannot be written.
void writeStart(IniFile& ini);

// Read the sections; missing keys yield the defaults.
BrokerSettings readBroker(const IniFile& ini);
DatabaseSettings readDatabase(const IniFile& ini);
HttpSettings readHttp(const IniFile& ini);

} // namespace CentralSettings
