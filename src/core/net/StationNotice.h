#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// The exchange between the server and the display stations (visualization clients), written once
// for the server, the board and the tools. Every datagram carries one UTF-8 text with no terminator.
//
//   station -> server, port kServerPort:
//     hello         "#ToOrvikLiteServer": list me; the server pings every listed station
//   server -> station, port kStationPort:
//     ping          "#FromOrvikLiteServer", every kPingEveryMs
//     event notice  "#{code};{function};{staff};{place};" for every call and cancel handled
//     place notice  "#{code};0;{ward};{place};{cancel code};" when the operator points at a place
//
// The hello and the ping are settings of both programs; these are their defaults. Nothing in the
// notices is escaped, so a name holding ";" adds fields; see parseNotice.
//
// HalvaneBoard also asks for the open calls, so that it shows what the server has, with the true
// waiting times and levels, at once after its start and after every loss of the link:
//
//   station -> server, port kServerPort:
//     calls request "#HalvaneOpenCalls?" (kCallsRequest), from a listed station only
//   server -> that station alone, port kStationPort:
//     calls answer  one or more datagrams, each of them whole by itself:
//                   "#HalvaneOpenCalls;{list};{part};{parts};{warn s};{alarm s}" and then one line
//                   "\n{code}\t{function}\t{waited ms}\t{level}\t{ward}\t{staff}\t{place}" per call.
//                   {list} numbers the answer; the board has the whole list when it holds parts 1 to
//                   {parts} of one {list}. {level} is 0 (normal), 1 (warning) or 2 (alarm); the warn
//                   and alarm seconds are the server's thresholds, 0 when that level is off. Names
//                   hold no control character and at most kMaxAnswerNameChars characters.
// A station that never asks receives none of it.
namespace Stations {

constexpr qint32 kServerPort = 5566;  // the server hears the stations here
constexpr qint32 kStationPort = 5567; // the stations hear the server here
constexpr char kHello[] = "#ToOrvikLiteServer";
constexpr char kPing[] = "#FromOrvikLiteServer";
constexpr int kPingEveryMs = 500;

QString eventNotice(const QString& code, const QString& f, const QString& staff, const QString& place);
QString placeNotice(const QString& abcde, const QString& btnclr, const QString& name, const QString& ward);

constexpr char kCallsRequest[] = "#HalvaneOpenCalls?";
constexpr char kCallsAnswerHead[] = "#HalvaneOpenCalls;";
constexpr qsizetype kMaxAnswerBytes = 1024; // every part fits what a station reads of a datagram
constexpr qsizetype kMaxAnswerNameChars = 120;
constexpr int kMaxAnswerParts = 256; // hundreds of calls even with the longest names

// One open call as the answer carries it.
struct ListedCall
{
    QString code;
    QString function; // "8", "4" or "b"
    QString staff;
    QString place;
    qint64 waitedMs = 0;
    int level = 0; // 0 normal, 1 warning, 2 alarm
    QString ward;  // the place's ward; empty when it has none

    friend bool operator==(const ListedCall&, const ListedCall&) = default;
};

struct CallsAnswer
{
    bool valid = false;
    quint32 list = 0;
    int part = 0; // 1 to parts
    int parts = 0;
    qint32 warnSec = 0;
    qint32 alarmSec = 0;
    QList<ListedCall> calls;
};

// The datagrams of one answer, in order. A call whose code could not stand in a notice is left out.
QList<QByteArray> callsAnswer(quint32 list, qint32 warnSec, qint32 alarmSec, const QList<ListedCall>& calls);
// One datagram of an answer; valid is false for anything that is not one, whole and in range.
CallsAnswer parseCallsAnswer(const QByteArray& datagram);
bool isCallsAnswer(const QByteArray& datagram);

} // namespace Stations

// One datagram from the server, understood.
struct Notice
{
    enum class Kind {
        Invalid, // anything else: dropped without a word
        Ping,
        Call,   // functions "8", "4" (place buttons) and "b" (KB keys)
        Cancel, // functions "2" (place buttons) and "d" (KB keys)
        Place,  // the place notice
    };

    Kind kind = Kind::Invalid;
    QString code;     // call code of the place, or unit code and key number of a KB key
    QString function; // "8", "4", "b", "2", "d", or "0" for the place notice
    QString staff;    // event notice: the responsible staff member, may be empty
    QString ward;     // place notice: the ward, may be empty
    QString place;    // the place's name, may be empty
};

namespace NoticeLimits {
// The longest datagram looked at. A real notice carries a code and two names from the server's
// lists; anything longer is junk and is not even decoded.
constexpr qsizetype kMaxDatagramBytes = 1024;
// Longest code: place buttons have five characters, KB keys four.
constexpr qsizetype kMaxCodeLength = 16;
} // namespace NoticeLimits

// Whether a code may stand in a notice: not empty, not too long, no blank or control character.
bool isPlainNoticeCode(const QString& code);

// Control characters in a name would only garble what shows it; they become blanks, and the name
// loses its leading and trailing blanks.
QString printableName(QString name);

// Decodes and classifies one datagram. Invalid UTF-8, an oversized datagram, a text that is not the
// ping and does not have the shape of a notice, an empty code or an unknown function give Invalid.
//
// Names may hold ";": the server does not escape them. The code and the function are never split
// (codes come from the buttons), so a call is still recognised and cancelled by its code; for an
// event notice with extra fields the staff name is taken as the third field and the place name as
// the rest, for a place notice the ward as the third and the place as everything up to the last
// field, which is the cancel code. A call is thus shown rather than lost, with its names as well as
// they can be told apart.
Notice parseNotice(const QByteArray& datagram, const QString& pingText);
