#include "central/web/DashboardQueries.h"

#include "central/HouseStatistics.h"
#include "central/UserAccounts.h"
#include "core/base/AppError.h"
#include "core/stats/Statistics.h"
#include "core/stats/StatsReport.h"

#include <QDateTime>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <stdexcept>

namespace DashboardQueries {

namespace {

// A time column as milliseconds since the epoch.
QByteArray ms(const char* column)
{
    return QByteArray("floor(extract(epoch FROM ") + column + ") * 1000)::bigint";
}

// $1: the ward ids as a JSON array, or NULL for every ward.
const QByteArray kWardFilter = "($1::jsonb IS NULL OR ward IN (SELECT jsonb_array_elements_text($1::jsonb)))";

const QByteArray kLiveWards =
    "SELECT ward, name, status, " + ms("since") + " FROM wards WHERE " + kWardFilter + " ORDER BY ward";
const QByteArray kLiveCalls = "SELECT ward, call, code, function, place, ward_name, staff, " + ms("time") +
                              ", level FROM open_calls WHERE " + kWardFilter + " ORDER BY ward, position";
const QByteArray kLiveSilent = "SELECT ward, antenna, " + ms("since") + " FROM antennas WHERE silent AND " +
                               kWardFilter + " ORDER BY ward, length(antenna), antenna";
const QByteArray kLiveGapTotals =
    "SELECT ward, count(*), sum(last_seq - first_seq + 1) FROM event_gaps WHERE " + kWardFilter +
    " GROUP BY ward";
const QByteArray kLiveGapsRecent = "SELECT ward, first_seq, last_seq FROM (SELECT ward, first_seq, last_seq, "
                                   "row_number() OVER (PARTITION BY "
                                   "ward ORDER BY first_seq DESC) AS n FROM event_gaps WHERE " +
                                   kWardFilter + ") g WHERE n <= 5 ORDER BY ward, first_seq DESC";
const QByteArray kLiveConflicts =
    "SELECT ward, count(*) FROM event_conflicts WHERE " + kWardFilter + " GROUP BY ward";

// The page is taken from the index alone (the inner statement: an index scan and a limit, whatever
// the depth), then joined with the names and reactions and sorted again: at most a page of rows.
const QByteArray kJournalOuter = R"sql(
SELECT e.ward, w.name, e.seq, e.type, floor(extract(epoch FROM e.time) * 1000)::bigint,
       to_char(e.local_time, 'YYYY-MM-DD HH24:MI:SS'), e.code, e.function, e.place, e.ward_name, e.staff,
       e.level, e.antenna, e.silent, e.call, r.seconds, (extract(epoch FROM e.time) * 1000000)::bigint
FROM (SELECT * FROM events e
)sql";
const QByteArray kJournalJoins = R"sql() e
LEFT JOIN wards w ON w.ward = e.ward
LEFT JOIN reactions r ON e.type = 'call' AND r.ward = e.ward AND r.call = e.call
ORDER BY e.time DESC, e.ward, e.seq
)sql";

// The calls of each ward on each day of the period, as the statistics count them.
const QByteArray kCallsPerDay = R"sql(
SELECT d.ward, coalesce(nullif(w.name, ''), d.ward), d.day, d.calls
FROM (SELECT ward, local_time::date - $1::date AS day, count(*) AS calls FROM events
      WHERE type = 'call' AND function IN ('8', 'b') AND local_time >= $1::date AND local_time < $2::date + 1
      GROUP BY 1, 2) d
LEFT JOIN wards w ON w.ward = d.ward
)sql";

QJsonValue textOrNull(const Pg::Result& r, int row, int column)
{
    return r.isNull(row, column) ? QJsonValue() : QJsonValue(r.text(row, column));
}

QJsonValue integerOrNull(const Pg::Result& r, int row, int column)
{
    return r.isNull(row, column) ? QJsonValue() : QJsonValue(r.integer(row, column));
}

QJsonValue secondsOrNull(const std::optional<int>& seconds)
{
    return seconds ? QJsonValue(*seconds) : QJsonValue();
}

QByteArray compact(const QJsonDocument& document)
{
    return document.toJson(QJsonDocument::Compact);
}

// A read of several statements on one view of the tables.
void beginSnapshot(Pg::Connection& c)
{
    c.run("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ, READ ONLY");
}

QString isoUtc(const QDateTime& time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

QJsonObject groupRow(const Stats::GroupRow& row)
{
    return QJsonObject{{QStringLiteral("name"), row.name},
                       {QStringLiteral("calls"), row.calls},
                       {QStringLiteral("answered"), row.answered},
                       {QStringLiteral("missed"), row.missed},
                       {QStringLiteral("open"), row.open},
                       {QStringLiteral("removed"), row.removed},
                       {QStringLiteral("median"), secondsOrNull(row.median)},
                       {QStringLiteral("p90"), secondsOrNull(row.percentile90)},
                       {QStringLiteral("longest"), secondsOrNull(row.longest)},
                       {QStringLiteral("function4"), row.function4}};
}

Stats::Report houseReport(Pg::Connection& c, QDate first, QDate last)
{
    if (first.isNull() || last.isNull())
        throw AppError(QStringLiteral("Укажите первый и последний день периода"));
    Stats::Options options;
    options.first = first;
    options.last = last;
    return HouseStatistics::compute(c, options, HouseStatistics::kDefaultMaxReaction);
}

} // namespace

QByteArray live(Pg::Connection& c, const QStringList& wards)
{
    const Pg::Param filter =
        wards.isEmpty() ? Pg::Param() : compact(QJsonDocument(QJsonArray::fromStringList(wards)));
    Pg::Transaction snapshot(c);
    beginSnapshot(c);
    const Pg::Result cards = c.exec(kLiveWards, {filter});
    const Pg::Result calls = c.exec(kLiveCalls, {filter});
    const Pg::Result silent = c.exec(kLiveSilent, {filter});
    const Pg::Result gapTotals = c.exec(kLiveGapTotals, {filter});
    const Pg::Result gapsRecent = c.exec(kLiveGapsRecent, {filter});
    const Pg::Result conflictTotals = c.exec(kLiveConflicts, {filter});
    snapshot.commit();

    QHash<QString, QJsonArray> open, quiet, ranges;
    for (int r = 0; r < calls.rows(); ++r) {
        open[calls.text(r, 0)].append(QJsonObject{{QStringLiteral("call"), calls.text(r, 1)},
                                                  {QStringLiteral("code"), calls.text(r, 2)},
                                                  {QStringLiteral("function"), calls.text(r, 3)},
                                                  {QStringLiteral("place"), calls.text(r, 4)},
                                                  {QStringLiteral("room"), calls.text(r, 5)},
                                                  {QStringLiteral("staff"), calls.text(r, 6)},
                                                  {QStringLiteral("time"), integerOrNull(calls, r, 7)},
                                                  {QStringLiteral("level"), calls.text(r, 8)}});
    }
    for (int r = 0; r < silent.rows(); ++r) {
        quiet[silent.text(r, 0)].append(QJsonObject{{QStringLiteral("antenna"), silent.text(r, 1)},
                                                    {QStringLiteral("since"), silent.integer(r, 2)}});
    }
    for (int r = 0; r < gapsRecent.rows(); ++r)
        ranges[gapsRecent.text(r, 0)].append(QJsonArray{gapsRecent.integer(r, 1), gapsRecent.integer(r, 2)});
    QHash<QString, std::pair<qint64, qint64>> gaps;
    for (int r = 0; r < gapTotals.rows(); ++r)
        gaps.insert(gapTotals.text(r, 0), {gapTotals.integer(r, 1), gapTotals.integer(r, 2)});
    QHash<QString, qint64> conflicts;
    for (int r = 0; r < conflictTotals.rows(); ++r)
        conflicts.insert(conflictTotals.text(r, 0), conflictTotals.integer(r, 1));
    QJsonArray out;
    for (int w = 0; w < cards.rows(); ++w) {
        const QString ward = cards.text(w, 0);
        const std::pair<qint64, qint64> lost = gaps.value(ward, {0, 0});
        out.append(
            QJsonObject{{QStringLiteral("ward"), ward},
                        {QStringLiteral("name"), cards.text(w, 1)},
                        {QStringLiteral("status"), cards.text(w, 2)},
                        {QStringLiteral("since"), cards.integer(w, 3)},
                        {QStringLiteral("calls"), open.value(ward)},
                        {QStringLiteral("silent"), quiet.value(ward)},
                        {QStringLiteral("gaps"), QJsonObject{{QStringLiteral("ranges"), lost.first},
                                                             {QStringLiteral("events"), lost.second},
                                                             {QStringLiteral("recent"), ranges.value(ward)}}},
                        {QStringLiteral("conflicts"), conflicts.value(ward, 0)}});
    }
    return compact(QJsonDocument(QJsonObject{{QStringLiteral("now"), QDateTime::currentMSecsSinceEpoch()},
                                             {QStringLiteral("wards"), out}}));
}

QByteArray wardList(Pg::Connection& c)
{
    const Pg::Result r = c.exec("SELECT ward, name FROM wards ORDER BY name, ward");
    QJsonArray out;
    for (int i = 0; i < r.rows(); ++i)
        out.append(
            QJsonObject{{QStringLiteral("ward"), r.text(i, 0)}, {QStringLiteral("name"), r.text(i, 1)}});
    return compact(QJsonDocument(out));
}

QByteArray encodeCursor(const JournalKey& key)
{
    const QByteArray text =
        QByteArray::number(key.timeMicros) + ':' + QByteArray::number(key.seq) + ':' + key.ward.toUtf8();
    return text.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

std::optional<JournalKey> decodeCursor(const QByteArray& cursor)
{
    // A ward id is a topic level: a few dozen bytes.
    if (cursor.isEmpty() || cursor.size() > 1024)
        return std::nullopt;
    const QByteArray::FromBase64Result decoded = QByteArray::fromBase64Encoding(
        cursor, QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals |
                    QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return std::nullopt;
    static const QRegularExpression form(QStringLiteral("^(-?[0-9]{1,18}):([0-9]{1,18}):(.+)$"),
                                         QRegularExpression::DotMatchesEverythingOption);
    const QString text = QString::fromUtf8(*decoded);
    if (text.toUtf8() != *decoded || text.contains(QChar(0)))
        return std::nullopt; // not UTF-8, or a character no text column holds
    const QRegularExpressionMatch m = form.match(text);
    if (!m.hasMatch())
        return std::nullopt;
    return JournalKey{m.captured(1).toLongLong(), m.captured(3), m.captured(2).toLongLong()};
}

Statement journalStatement(const JournalQuery& q)
{
    if (q.limit < 1 || q.limit > kMaxJournalLimit)
        throw AppError(QStringLiteral("Число строк страницы журнала: от 1 до %1").arg(kMaxJournalLimit));
    if (!q.first.isNull() && !q.last.isNull() && q.first > q.last)
        throw AppError(QStringLiteral("Период журнала кончается раньше, чем начинается"));
    Statement s;
    s.sql = kJournalOuter;
    QByteArrayList where;
    const auto next = [&s](Pg::Param value) {
        s.params.append(std::move(value));
        return '$' + QByteArray::number(s.params.size());
    };
    const bool oneWard = !q.ward.isEmpty();
    if (oneWard)
        where << "e.ward = " + next(Pg::param(q.ward));
    if (!q.place.isEmpty())
        where << "e.place = " + next(Pg::param(q.place));
    if (!q.first.isNull())
        where << "e.time >= " + next(Pg::param(isoUtc(q.first.startOfDay()))) + "::timestamptz";
    if (!q.last.isNull())
        where << "e.time < " + next(Pg::param(isoUtc(q.last.addDays(1).startOfDay()))) + "::timestamptz";
    if (!q.after.isEmpty()) {
        const std::optional<JournalKey> key = decodeCursor(q.after);
        if (!key)
            throw AppError(QStringLiteral("Неверная позиция в журнале; откройте журнал сначала"));
        // The bound on time alone is the index's; the rows of the same moment are sorted by
        // (ward, seq) after it. Exact to the microsecond, as stored.
        const QByteArray time = "('epoch'::timestamptz + " + next(Pg::param(key->timeMicros)) +
                                "::bigint * interval '1 microsecond')";
        const QByteArray after = oneWard ? "e.seq > " + next(Pg::param(key->seq))
                                         : "(e.ward, e.seq) > (" + next(Pg::param(key->ward)) + ", " +
                                               next(Pg::param(key->seq)) + "::bigint)";
        where << "e.time <= " + time + " AND (e.time < " + time + " OR " + after + ")";
    }
    if (!where.isEmpty())
        s.sql += "WHERE " + where.join(" AND ") + '\n';
    // One ward: its own index, where the ward is fixed and the order is (time DESC, seq).
    s.sql += oneWard ? "ORDER BY e.time DESC, e.seq\n" : "ORDER BY e.time DESC, e.ward, e.seq\n";
    // One row more than the page tells whether another page follows.
    s.sql += "LIMIT " + next(Pg::param(qint64(q.limit) + 1)) + kJournalJoins;
    return s;
}

QByteArray journal(Pg::Connection& c, const JournalQuery& query)
{
    const Statement s = journalStatement(query);
    const Pg::Result r = c.exec(s.sql, s.params);
    const int shown = std::min(r.rows(), query.limit);
    QJsonArray rows;
    for (int i = 0; i < shown; ++i) {
        rows.append(QJsonObject{
            {QStringLiteral("ward"), r.text(i, 0)},
            {QStringLiteral("wardName"), r.isNull(i, 1) ? r.text(i, 0) : r.text(i, 1)},
            {QStringLiteral("seq"), r.integer(i, 2)},
            {QStringLiteral("type"), r.text(i, 3)},
            {QStringLiteral("time"), r.integer(i, 4)},
            {QStringLiteral("localTime"), r.text(i, 5)},
            {QStringLiteral("code"), textOrNull(r, i, 6)},
            {QStringLiteral("function"), textOrNull(r, i, 7)},
            {QStringLiteral("place"), textOrNull(r, i, 8)},
            {QStringLiteral("room"), textOrNull(r, i, 9)},
            {QStringLiteral("staff"), textOrNull(r, i, 10)},
            {QStringLiteral("level"), textOrNull(r, i, 11)},
            {QStringLiteral("antenna"), textOrNull(r, i, 12)},
            {QStringLiteral("silent"), r.isNull(i, 13) ? QJsonValue() : QJsonValue(r.bytes(i, 13) == "t")},
            {QStringLiteral("call"), textOrNull(r, i, 14)},
            {QStringLiteral("reaction"), integerOrNull(r, i, 15)}});
    }
    QJsonValue next;
    if (r.rows() > query.limit) {
        const int last = shown - 1;
        next = QString::fromLatin1(encodeCursor({r.integer(last, 16), r.text(last, 0), r.integer(last, 2)}));
    }
    return compact(
        QJsonDocument(QJsonObject{{QStringLiteral("rows"), rows}, {QStringLiteral("next"), next}}));
}

QByteArray statistics(Pg::Connection& c, QDate first, QDate last)
{
    const Stats::Report report = houseReport(c, first, last);
    const int days = int(first.daysTo(last)) + 1;

    // Every ward of the report has its row of days, in the report's order.
    QHash<QString, QList<qint64>> perWard;
    for (const Stats::GroupRow& row : report.departments)
        perWard.insert(row.name, QList<qint64>(days, 0));
    const Pg::Result counts =
        c.exec(kCallsPerDay, {Pg::param(first.toString(Qt::ISODate)), Pg::param(last.toString(Qt::ISODate))});
    for (int r = 0; r < counts.rows(); ++r) {
        const qint64 day = counts.integer(r, 2);
        auto it = perWard.find(counts.text(r, 1));
        if (it == perWard.end()) // a call stored since the report was read
            it = perWard.insert(counts.text(r, 1), QList<qint64>(days, 0));
        if (day >= 0 && day < days)
            (*it)[day] += counts.integer(r, 3);
    }

    QJsonArray wards, perDay, dayNames, hours;
    QStringList order;
    for (const Stats::GroupRow& row : report.departments) {
        wards.append(groupRow(row));
        if (!order.contains(row.name))
            order.append(row.name);
    }
    for (auto it = perWard.cbegin(); it != perWard.cend(); ++it) {
        if (!order.contains(it.key()))
            order.append(it.key());
    }
    for (const QString& name : order) {
        QJsonArray values;
        for (qint64 n : perWard.value(name))
            values.append(n);
        perDay.append(QJsonObject{{QStringLiteral("ward"), name}, {QStringLiteral("counts"), values}});
    }
    for (int d = 0; d < days; ++d)
        dayNames.append(first.addDays(d).toString(Qt::ISODate));
    const QList<Stats::GroupRow>& byHour = report.groups[Stats::ByHour];
    for (int h = 0; h < byHour.size(); ++h) {
        hours.append(QJsonObject{{QStringLiteral("hour"), h},
                                 {QStringLiteral("calls"), byHour[h].calls},
                                 {QStringLiteral("median"), secondsOrNull(byHour[h].median)},
                                 {QStringLiteral("p90"), secondsOrNull(byHour[h].percentile90)}});
    }
    QStringList columns = Stats::columnCaptions(Stats::ByWard);
    columns[0] = QStringLiteral("Отделение");
    Stats::GroupRow total = report.total;
    total.name.clear();
    return compact(QJsonDocument(QJsonObject{{QStringLiteral("first"), first.toString(Qt::ISODate)},
                                             {QStringLiteral("last"), last.toString(Qt::ISODate)},
                                             {QStringLiteral("columns"), QJsonArray::fromStringList(columns)},
                                             {QStringLiteral("wards"), wards},
                                             {QStringLiteral("total"), groupRow(total)},
                                             {QStringLiteral("days"), dayNames},
                                             {QStringLiteral("perDay"), perDay},
                                             {QStringLiteral("hours"), hours}}));
}

QByteArray statisticsFile(Pg::Connection& c, QDate first, QDate last)
{
    const Stats::Report report = houseReport(c, first, last);
    // A failure to write here is the centre's, not the request's: not an AppError, which would
    // tell the page its request was wrong.
    QTemporaryDir dir;
    if (!dir.isValid())
        throw std::runtime_error("no temporary directory for the statistics file: " +
                                 dir.errorString().toStdString());
    const QString path = dir.filePath(QStringLiteral("statistics.xlsx"));
    try {
        Stats::writeReport(path, report);
    } catch (const AppError& e) {
        throw std::runtime_error(e.message().toStdString());
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error("cannot read back " + path.toStdString() + ": " +
                                 file.errorString().toStdString());
    return file.readAll();
}

QDate parseDate(const QString& text)
{
    if (text.isEmpty())
        return {};
    static const QRegularExpression form(QStringLiteral(R"(^\d{4}-\d{2}-\d{2}$)"));
    const QDate date = form.match(text).hasMatch() ? QDate::fromString(text, Qt::ISODate) : QDate();
    if (!date.isValid())
        throw AppError(QStringLiteral("Дата должна быть в виде ГГГГ-ММ-ДД"));
    return date;
}

std::optional<QByteArray> passwordHash(Pg::Connection& c, const QString& name)
{
    const QByteArray hash = UserAccounts::hashOf(c, name);
    if (hash.isEmpty())
        return std::nullopt;
    return hash;
}

QStringList userNames(Pg::Connection& c)
{
    const Pg::Result r = c.exec("SELECT name FROM users ORDER BY name");
    QStringList names;
    for (int i = 0; i < r.rows(); ++i)
        names.append(r.text(i, 0));
    return names;
}

} // namespace DashboardQueries
