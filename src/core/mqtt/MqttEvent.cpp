#include "core/mqtt/MqttEvent.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

// A journal id, or null while the journal does not have the entry yet.
QJsonValue journalId(qint64 id)
{
    return id > 0 ? QJsonValue(id) : QJsonValue(QJsonValue::Null);
}

MqttEvent placeEvent(const QString& type, const QDateTime& time, const QString& code, const QString& function,
                     const QString& place, const QString& ward, const QString& staff)
{
    MqttEvent e;
    e.type = type;
    e.time = time;
    e.code = code;
    e.function = function;
    e.place = place;
    e.ward = ward;
    e.staff = staff;
    return e;
}

} // namespace

MqttEvent MqttEvent::call(const QDateTime& time, const QString& code, const QString& function,
                          const QString& place, const QString& ward, const QString& staff)
{
    return placeEvent(QStringLiteral("call"), time, code, function, place, ward, staff);
}

MqttEvent MqttEvent::cancel(const QDateTime& time, const QString& code, const QString& function,
                            const QString& place, const QString& ward, const QString& staff,
                            const QList<MqttReaction>& closed)
{
    MqttEvent e = placeEvent(QStringLiteral("cancel"), time, code, function, place, ward, staff);
    e.reaction = closed;
    return e;
}

MqttEvent MqttEvent::repeat(const QDateTime& time, const QString& code, const QString& function,
                            const QString& place, const QString& ward, const QString& staff,
                            const QDateTime& since)
{
    MqttEvent e = placeEvent(QStringLiteral("repeat"), time, code, function, place, ward, staff);
    e.since = since;
    return e;
}

MqttEvent MqttEvent::escalation(const QDateTime& time, const QString& level, const QString& code,
                                const QString& function, const QString& place, const QString& ward,
                                const QString& staff, const QDateTime& since)
{
    MqttEvent e = placeEvent(QStringLiteral("escalation"), time, code, function, place, ward, staff);
    e.level = level;
    e.since = since;
    return e;
}

MqttEvent MqttEvent::antennaSupervision(const QDateTime& time, const QString& antenna, bool silent)
{
    MqttEvent e;
    e.type = QStringLiteral("antenna");
    e.time = time;
    e.antenna = antenna;
    e.silent = silent;
    return e;
}

QByteArray MqttEvent::toJson() const
{
    QJsonObject o;
    o.insert(QStringLiteral("type"), type);
    o.insert(QStringLiteral("time"), MqttJson::isoTime(time));
    o.insert(QStringLiteral("seq"), seq);
    if (type == QLatin1String("antenna")) {
        o.insert(QStringLiteral("antenna"), antenna);
        o.insert(QStringLiteral("silent"), silent);
    } else {
        o.insert(QStringLiteral("code"), code);
        o.insert(QStringLiteral("function"), function);
        o.insert(QStringLiteral("place"), place);
        o.insert(QStringLiteral("ward"), ward);
        o.insert(QStringLiteral("staff"), staff);
    }
    if (type == QLatin1String("cancel")) {
        QJsonArray closed;
        for (const MqttReaction& r : reaction) {
            QJsonObject entry{{QStringLiteral("id"), journalId(r.id)},
                              {QStringLiteral("time"), MqttJson::isoTime(r.callTime)},
                              {QStringLiteral("seconds"), r.seconds}};
            if (!r.call.isEmpty())
                entry.insert(QStringLiteral("call"), r.call);
            closed.append(entry);
        }
        o.insert(QStringLiteral("reaction"), closed);
    }
    if (!callKey.isEmpty())
        o.insert(QStringLiteral("call"), callKey);
    if (id > 0)
        o.insert(QStringLiteral("id"), id);
    if (type == QLatin1String("repeat") || type == QLatin1String("escalation"))
        o.insert(QStringLiteral("since"), MqttJson::isoTime(since));
    if (type == QLatin1String("escalation"))
        o.insert(QStringLiteral("level"), level);
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

namespace MqttJson {

QString isoTime(const QDateTime& time)
{
    if (!time.isValid())
        return QString();
    const int offset = time.offsetFromUtc();
    const int minutes = (offset < 0 ? -offset : offset) / 60;
    return time.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss")) +
           QStringLiteral("%1%2:%3")
               .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
               .arg(minutes / 60, 2, 10, QLatin1Char('0'))
               .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QByteArray openCalls(const QList<MqttOpenCall>& calls)
{
    QJsonArray rows;
    for (const MqttOpenCall& c : calls)
        rows.append(QJsonObject{{QStringLiteral("call"), c.call},
                                {QStringLiteral("id"), journalId(c.id)},
                                {QStringLiteral("code"), c.code},
                                {QStringLiteral("function"), c.function},
                                {QStringLiteral("place"), c.place},
                                {QStringLiteral("ward"), c.ward},
                                {QStringLiteral("staff"), c.staff},
                                {QStringLiteral("time"), isoTime(c.time)},
                                {QStringLiteral("level"), c.level}});
    return QJsonDocument(rows).toJson(QJsonDocument::Compact);
}

} // namespace MqttJson
