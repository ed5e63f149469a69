#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QtGlobal>

// One open call closed by a cancel: the call's key, its entry's id in the journal (0 while the
// journal does not have it yet), the moment of the call and the seconds from that call to the cancel.
struct MqttReaction
{
    qint64 id = 0;
    QDateTime callTime;
    qint64 seconds = 0;
    QString call;
};

// One event of the ward as published to <Topic>/events. Build it with one of the named makers;
// seq is given by the outbox when the event is queued.
//
// JSON (one compact UTF-8 object; fields absent when they do not belong to the type):
//   every event:  "type", "time" (local, ISO 8601 with the UTC offset: "2024-03-01T14:05:09+03:00"),
//                 "seq" (grows by one per event, never repeats)
//   call, repeat, escalation, cancel: "code", "function", "place", "ward", "staff" ("" when none)
//   call, repeat, escalation: "call", the open call's key, the same from the call's notice to its
//                 end; repeat and escalation also "id", the journal entry's id, once the journal has it
//   cancel:       "reaction": [{"call": key, "id": journal entry id or null while the journal does not
//                 have it, "time": its call time, "seconds": n}, ...], one object per open call the
//                 cancel closed, oldest call first; [] when it closed none
//   repeat, escalation: "since", the time of the call that is still open
//   escalation:   "level": "warning" or "alarm"
//   antenna:      "antenna" (the antenna's id), "silent" (true: fell silent, false: heard again)
struct MqttEvent
{
    QString type;
    QDateTime time;
    QString code;
    QString function;
    QString place;
    QString ward;
    QString staff;
    QList<MqttReaction> reaction;
    QDateTime since;
    QString level;
    QString antenna;
    bool silent = false;
    qint64 seq = 0;
    QString callKey; // the open call's key (call, repeat, escalation)
    qint64 id = 0;   // its journal entry's id, 0 while unknown (repeat, escalation)

    static MqttEvent call(const QDateTime& time, const QString& code, const QString& function,
                          const QString& place, const QString& ward, const QString& staff);
    static MqttEvent cancel(const QDateTime& time, const QString& code, const QString& function,
                            const QString& place, const QString& ward, const QString& staff,
                            const QList<MqttReaction>& closed);
    static MqttEvent repeat(const QDateTime& time, const QString& code, const QString& function,
                            const QString& place, const QString& ward, const QString& staff,
                            const QDateTime& since);
    // level: "warning" or "alarm"
    static MqttEvent escalation(const QDateTime& time, const QString& level, const QString& code,
                                const QString& function, const QString& place, const QString& ward,
                                const QString& staff, const QDateTime& since);
    static MqttEvent antennaSupervision(const QDateTime& time, const QString& antenna, bool silent);

    QByteArray toJson() const;
};

// One row of the open calls, as published (retained) to <Topic>/open in a JSON array, longest
// waiting first as the caller orders them:
//   [{"call": the call's key, "id": journal entry id (null while the journal does not have it yet),
//     "code", "function", "place", "ward", "staff", "time": call time,
//     "level": "" | "warning" | "alarm"}, ...]
// The waiting time is left to the consumer (now minus "time"), so the topic changes only when the
// list or a level does.
struct MqttOpenCall
{
    QString call;
    qint64 id = 0;
    QString code;
    QString function;
    QString place;
    QString ward;
    QString staff;
    QDateTime time;
    QString level;
};

namespace MqttJson {

// "2024-03-01T14:05:09+03:00": the time as it is (local time for the clock's values) with the
// offset it has from UTC; "Z" is never used, so every stamp reads alike.
QString isoTime(const QDateTime& time);

QByteArray openCalls(const QList<MqttOpenCall>& calls);

} // namespace MqttJson
