#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QtGlobal>

// One journal entry closed by a cancel: the entry's id in the journal, the moment of its call and
// the seconds from that call to the cancel.
struct MqttReaction
{
    qint64 id = 0;
    QDateTime callTime;
    qint64 seconds = 0;
};

// One event of the ward as published to <Topic>/events. Build it with one of the named makers;
// seq is given by the outbox when the event is queued.
//
// JSON (one compact UTF-8 object; fields absent when they do not belong to the type):
//   every event:  "type", "time" (local, ISO 8601 with the UTC offset: "2024-03-01T14:05:09+03:00"),
//                 "seq" (grows by one per event, never repeats)
//   call, repeat, escalation, cancel: "code", "function", "place", "ward", "staff" ("" when none)
//   cancel:       "reaction": [{"id": journal entry id, "time": its call time, "seconds": n}, ...],
//                 one object per entry the cancel closed, oldest call first; [] when it closed none
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
//   [{"id": journal entry id, "code", "function", "place", "ward", "staff", "time": call time,
//     "level": "" | "warning" | "alarm"}, ...]
// The waiting time is left to the consumer (now minus "time"), so the topic changes only when the
// list or a level does.
struct MqttOpenCall
{
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
