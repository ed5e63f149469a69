#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <optional>

// What a ward publishes, as the centre reads it: the topic says which ward and what kind of message;
// the payload is checked here once, so that nothing malformed reaches the database (where one bad
// row would hold back the whole batch): a NUL, bytes that are not UTF-8 or half of a surrogate pair
// are refused, a byte-order mark before the JSON is read away. A message that fails a check is
// dropped with the reason.

// One call a cancel closed: the call's key, its journal entry when the ward knew it, and the seconds
// from the call to the cancel.
struct ClosedCall
{
    QString call;
    std::optional<qint64> entryId;
    qint64 seconds = 0;
};

// One event of <prefix>/events, with the columns of the table events.
struct WardEvent
{
    // A ward's event is a few hundred bytes; a longer payload is refused.
    static constexpr qsizetype kMaxPayload = 64 * 1024;

    QString ward;
    qint64 seq = 0;
    QString type;
    QString time;      // ISO 8601 with its offset, as published
    QString localTime; // "yyyy-MM-dd HH:mm:ss": the ward's wall clock at the event
    std::optional<QString> code, function, place, wardName, staff, level, antenna;
    std::optional<bool> silent;
    std::optional<QString> call;   // the open call's key: call, repeat, escalation
    std::optional<qint64> entryId; // the journal entry; none while the ward's journal lacks it
    QList<ClosedCall> closed;      // cancel: its "reaction"
    QByteArray payload;            // the JSON as published

    // Parses a payload of <prefix>/events; nullopt with *why set when it cannot be stored.
    static std::optional<WardEvent> parse(const QString& ward, const QByteArray& payload, QString* why);

    // One line of the centre's durable log (no line feed in it), and back.
    QByteArray toRecord() const;
    static std::optional<WardEvent> fromRecord(QByteArrayView record, QString* why);
};

// One row of a ward's retained <prefix>/open.
struct WardOpenCall
{
    QString call;                  // the open call's key
    std::optional<qint64> entryId; // none while the ward's journal lacks the entry
    QString code, function, place, wardName, staff, level;
    QString time; // ISO 8601 with its offset; empty when the ward gave none
};

namespace WardMessage {

enum class Kind { Events, Status, Open };

struct Topic
{
    Kind kind;
    QString ward;
};

// "<prefix>/events", "<prefix>/status" or "<prefix>/open" with a prefix matching one of the filters;
// the ward is the prefix's last level. nullopt for any other topic.
std::optional<Topic> parseTopic(const QString& topic, const QStringList& filters);

// Whether a topic matches an MQTT filter with "+" levels (no "#").
bool matches(const QString& filter, const QString& topic);

// "online" or "offline" (a byte-order mark before it read away); nullopt for anything else.
std::optional<QString> parseStatus(const QByteArray& payload);

// The open list; nullopt with *why for a payload that is not one. Rows repeating a call's key are
// dropped (the first one counts).
std::optional<QList<WardOpenCall>> parseOpen(const QByteArray& payload, QString* why);

// A time as the wards write it: "2024-03-01T10:02:00+03:00" (fractions and "Z" are taken too).
// Fills the wall-clock text "yyyy-MM-dd HH:mm:ss"; false when it is not such a time.
bool parseTime(const QString& text, QString* localTime);

} // namespace WardMessage
