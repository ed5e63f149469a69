#pragma once

#include "core/net/StationNotice.h"

#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <QtGlobal>

class IniFile;

// Everything the board takes from its settings file HalvaneBoard.ini (beside the executable, in the
// server's style: Windows-1251, CR LF, a comment key before every key, written on the first start).
// Each member's initialiser is what a first start writes and what a missing key reads as. Texts
// arrive without their trailing blanks; whoever joins them with other text adds the blanks.
struct BoardSettings
{
    // [Server]
    QString Address; // empty: the hello goes out as a broadcast
    qint32 ToPort = Stations::kServerPort;
    qint32 FromPort = Stations::kStationPort;
    QString FromPing = QLatin1String(Stations::kHello);
    QString ToPing = QLatin1String(Stations::kPing);

    // [Board]
    QString Caption = QStringLiteral("Табло вызовов");
    qint32 WarnTime = 180;  // seconds
    qint32 AlarmTime = 300; // seconds
    qint32 Sound = 1;
    qint32 MaxTiles = 100;
    QString log_r8 = QStringLiteral("вызов");
    QString log_r4 = QStringLiteral("прием ");
    QString log_rb = QStringLiteral("вызов отв.");
    QString placeText = QStringLiteral("Место указано оператором");
    QString lostText = QStringLiteral("Нет связи с сервером.");
    QString lastPingText = QStringLiteral("Последний сигнал в ");
    QString noPingText = QStringLiteral("Сервер ещё не найден.");
    QString staleText = QStringLiteral("возможно, устарело");
    QString emptyText = QStringLiteral("Вызовов нет");
    QString moreText = QStringLiteral("Ещё вызовов: ");

    // The type label of a calling function, as the server's journal names it.
    QString typeLabel(const QString& function) const;

    // Ports are 32-bit values of which only the low 16 bits count, as in the server's file.
    quint16 toPort() const { return static_cast<quint16>(ToPort & 0xFFFF); }
    quint16 fromPort() const { return static_cast<quint16>(FromPort & 0xFFFF); }
    // Times in milliseconds, at least one second each, the alarm never before the warning.
    qint64 warnMs() const;
    qint64 alarmMs() const;
    qsizetype maxTiles() const; // 1 to 1000
    bool soundOn() const { return Sound != 0; }
};

namespace BoardSettingsFile {

// The settings file of the board beside its executable.
QString path(const QString& exePath);

// On a first start (no file yet) writes the comment keys and then every key with its default;
// then reads every key. A failed first-start write throws AppError("Unable to write to <path>"),
// after which the caller may still read the defaults with read().
void writeFirstStart(IniFile& ini);
BoardSettings read(const IniFile& ini);

// Every key of the file, section by section, in the order the first start writes them.
QStringList keys();

} // namespace BoardSettingsFile

// The command line: "--server ADDRESS" overrides Server/Address, "--window" shows the board in a
// window instead of the whole screen.
struct BoardOptions
{
    QString server; // from --server; empty when not given
    bool windowed = false;
    bool help = false; // --help or -h: the usage is all that is asked for
    QString error;     // a message for the person starting the board; empty when the line is good
};
// What the board takes on its command line, for --help and after a mistake.
QString boardUsage();
BoardOptions parseBoardArguments(const QStringList& arguments);

// The address the hello goes to: an IPv4 address, or a null address for the broadcast when the
// text is empty. ok is false when the text is neither empty nor an address.
QHostAddress serverAddressFromText(const QString& text, bool* ok);
