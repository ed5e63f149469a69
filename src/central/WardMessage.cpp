#include "central/WardMessage.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>
#include <cmath>

namespace {

// A JSON number the database can take as a bigint and JSON carries exactly.
constexpr double kMaxExact = 9007199254740991.0; // 2^53 - 1

std::optional<qint64> integerOf(const QJsonValue& v)
{
    if (!v.isDouble())
        return std::nullopt;
    const double d = v.toDouble();
    if (!std::isfinite(d) || d != std::floor(d) || std::fabs(d) > kMaxExact)
        return std::nullopt;
    return qint64(d);
}

std::optional<QString> textOf(const QJsonObject& o, const char* key)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (!v.isString())
        return std::nullopt;
    return v.toString();
}

// PostgreSQL's text and jsonb hold no NUL character; a payload with one is refused whole.
bool holdsNul(const QByteArray& payload)
{
    return payload.contains('\0') || payload.contains("\\u0000");
}

// A text PostgreSQL cannot store: half of a surrogate pair, which JSON's \ud800 escapes can make.
bool holdsLoneSurrogate(const QString& text)
{
    return !text.isValidUtf16();
}

bool holdsLoneSurrogate(const QJsonValue& value)
{
    if (value.isString())
        return holdsLoneSurrogate(value.toString());
    if (value.isArray()) {
        const QJsonArray array = value.toArray();
        return std::any_of(array.begin(), array.end(),
                           [](const QJsonValue& v) { return holdsLoneSurrogate(v); });
    }
    if (value.isObject()) {
        const QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end(); ++it) {
            if (holdsLoneSurrogate(it.key()) || holdsLoneSurrogate(it.value()))
                return true;
        }
    }
    return false;
}

// The payload without the byte-order mark some writers put before UTF-8; JSON has none, and the
// database refuses it.
QByteArray withoutByteOrderMark(const QByteArray& payload)
{
    return payload.startsWith("\xEF\xBB\xBF") ? payload.sliced(3) : payload;
}

// Checks what the database would refuse (and with it the whole batch) before anything is queued:
// a NUL, bytes that are not UTF-8, text that is not JSON, or half of a surrogate pair.
std::optional<QJsonDocument> documentOf(const QByteArray& payload, QString* why)
{
    if (holdsNul(payload)) {
        *why = QStringLiteral("the payload holds a NUL character");
        return std::nullopt;
    }
    if (!QByteArrayView(payload).isValidUtf8()) {
        *why = QStringLiteral("the payload is not UTF-8");
        return std::nullopt;
    }
    QJsonParseError error;
    QJsonDocument doc = QJsonDocument::fromJson(payload, &error);
    if (error.error != QJsonParseError::NoError) {
        *why = QStringLiteral("not JSON (%1)").arg(error.errorString());
        return std::nullopt;
    }
    if (holdsLoneSurrogate(doc.isArray() ? QJsonValue(doc.array()) : QJsonValue(doc.object()))) {
        *why = QStringLiteral("a text holds half of a surrogate pair (\\ud800 to \\udfff alone)");
        return std::nullopt;
    }
    return doc;
}

std::optional<QJsonObject> objectOf(const QByteArray& payload, QString* why)
{
    if (payload.size() > WardEvent::kMaxPayload) {
        *why = QStringLiteral("a payload of %1 bytes, more than an event ever has").arg(payload.size());
        return std::nullopt;
    }
    const std::optional<QJsonDocument> doc = documentOf(payload, why);
    if (!doc)
        return std::nullopt;
    if (!doc->isObject()) {
        *why = QStringLiteral("not a JSON object");
        return std::nullopt;
    }
    return doc->object();
}

} // namespace

std::optional<WardEvent> WardEvent::parse(const QString& ward, const QByteArray& published, QString* why)
{
    QString reason;
    if (!why)
        why = &reason;
    const QByteArray payload = withoutByteOrderMark(published);
    const std::optional<QJsonObject> object = objectOf(payload, why);
    if (!object)
        return std::nullopt;
    const QJsonObject& o = *object;
    WardEvent e;
    e.ward = ward;
    const std::optional<qint64> seq = integerOf(o.value(QLatin1String("seq")));
    if (!seq || *seq <= 0) {
        *why = QStringLiteral("no positive whole \"seq\"");
        return std::nullopt;
    }
    e.seq = *seq;
    const std::optional<QString> type = textOf(o, "type");
    if (!type || type->isEmpty()) {
        *why = QStringLiteral("no \"type\"");
        return std::nullopt;
    }
    e.type = *type;
    e.time = textOf(o, "time").value_or(QString());
    if (!WardMessage::parseTime(e.time, &e.localTime)) {
        *why = QStringLiteral("no \"time\" of the form 2024-03-01T10:02:00+03:00");
        return std::nullopt;
    }
    e.code = textOf(o, "code");
    e.function = textOf(o, "function");
    e.place = textOf(o, "place");
    e.wardName = textOf(o, "ward");
    e.staff = textOf(o, "staff");
    e.level = textOf(o, "level");
    e.antenna = textOf(o, "antenna");
    if (const QJsonValue silent = o.value(QLatin1String("silent")); silent.isBool())
        e.silent = silent.toBool();
    e.call = textOf(o, "call");
    if (e.call && e.call->isEmpty())
        e.call.reset();
    e.entryId = integerOf(o.value(QLatin1String("id")));
    if (e.type == QLatin1String("cancel")) {
        for (const QJsonValue& v : o.value(QLatin1String("reaction")).toArray()) {
            const QJsonObject r = v.toObject();
            const QString call = textOf(r, "call").value_or(QString());
            const std::optional<qint64> seconds = integerOf(r.value(QLatin1String("seconds")));
            // Only a call's key pairs a reaction with its call; the payload keeps the rest.
            if (!call.isEmpty() && seconds && *seconds >= 0)
                e.closed.append({call, integerOf(r.value(QLatin1String("id"))), *seconds});
        }
    }
    e.payload = payload;
    // JSON allows line breaks only between its tokens: as blanks they mean the same, and the log
    // keeps one record a line.
    e.payload.replace('\n', ' ').replace('\r', ' ');
    return e;
}

QByteArray WardEvent::toRecord() const
{
    return ward.toUtf8().toPercentEncoding() + ' ' + payload;
}

std::optional<WardEvent> WardEvent::fromRecord(QByteArrayView record, QString* why)
{
    const qsizetype space = record.indexOf(' ');
    if (space <= 0) {
        *why = QStringLiteral("a record without its ward");
        return std::nullopt;
    }
    const QString ward =
        QString::fromUtf8(QByteArray::fromPercentEncoding(record.first(space).toByteArray()));
    return parse(ward, record.sliced(space + 1).toByteArray(), why);
}

namespace WardMessage {

bool matches(const QString& filter, const QString& topic)
{
    const QStringList f = filter.split(u'/');
    const QStringList t = topic.split(u'/');
    if (f.size() != t.size())
        return false;
    for (qsizetype i = 0; i < f.size(); ++i) {
        if (f[i] == QLatin1String("+")) {
            if (t[i].isEmpty())
                return false;
            continue;
        }
        if (f[i] != t[i])
            return false;
    }
    return true;
}

std::optional<Topic> parseTopic(const QString& topic, const QStringList& filters)
{
    const qsizetype slash = topic.lastIndexOf(u'/');
    if (slash <= 0)
        return std::nullopt;
    const QString prefix = topic.left(slash);
    const QString last = topic.mid(slash + 1);
    Kind kind;
    if (last == QLatin1String("events"))
        kind = Kind::Events;
    else if (last == QLatin1String("status"))
        kind = Kind::Status;
    else if (last == QLatin1String("open"))
        kind = Kind::Open;
    else
        return std::nullopt;
    for (const QString& f : filters) {
        if (matches(f, prefix)) {
            const QString ward = prefix.mid(prefix.lastIndexOf(u'/') + 1);
            if (ward.isEmpty())
                return std::nullopt;
            return Topic{kind, ward};
        }
    }
    return std::nullopt;
}

std::optional<QString> parseStatus(const QByteArray& published)
{
    const QByteArray payload = withoutByteOrderMark(published);
    if (payload == "online" || payload == "offline")
        return QString::fromLatin1(payload);
    return std::nullopt;
}

std::optional<QList<WardOpenCall>> parseOpen(const QByteArray& published, QString* why)
{
    const std::optional<QJsonDocument> doc = documentOf(withoutByteOrderMark(published), why);
    if (!doc)
        return std::nullopt;
    if (!doc->isArray()) {
        *why = QStringLiteral("not a JSON array");
        return std::nullopt;
    }
    QList<WardOpenCall> calls;
    QSet<QString> seen;
    for (const QJsonValue& v : doc->array()) {
        const QJsonObject o = v.toObject();
        const QString call = textOf(o, "call").value_or(QString());
        if (call.isEmpty()) {
            *why = QStringLiteral("a row without its \"call\"");
            return std::nullopt;
        }
        if (seen.contains(call))
            continue;
        seen.insert(call);
        WardOpenCall c;
        c.call = call;
        c.entryId = integerOf(o.value(QLatin1String("id")));
        c.code = textOf(o, "code").value_or(QString());
        c.function = textOf(o, "function").value_or(QString());
        c.place = textOf(o, "place").value_or(QString());
        c.wardName = textOf(o, "ward").value_or(QString());
        c.staff = textOf(o, "staff").value_or(QString());
        c.level = textOf(o, "level").value_or(QString());
        const QString time = textOf(o, "time").value_or(QString());
        QString local;
        if (parseTime(time, &local))
            c.time = time;
        calls.append(c);
    }
    return calls;
}

bool parseTime(const QString& text, QString* localTime)
{
    static const QRegularExpression form(QStringLiteral(
        R"(^(\d{4}-\d{2}-\d{2})T(\d{2}:\d{2}:\d{2})(?:\.\d{1,9})?(?:Z|[+-](\d{2}):(\d{2}))$)"));
    const QRegularExpressionMatch m = form.match(text);
    if (!m.hasMatch())
        return false;
    const QDateTime parsed = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!parsed.isValid() || parsed.date().year() < 1)
        return false;
    // An offset no zone has (the database takes up to 15:59) is a damaged stamp.
    if (!m.captured(3).isEmpty() && (m.captured(3).toInt() > 14 || m.captured(4).toInt() > 59))
        return false;
    const QDate date = QDate::fromString(m.captured(1), Qt::ISODate);
    const QTime time = QTime::fromString(m.captured(2), Qt::ISODate);
    if (!date.isValid() || !time.isValid())
        return false;
    if (localTime)
        *localTime = m.captured(1) + u' ' + m.captured(2);
    return true;
}

} // namespace WardMessage
