#include "central/HouseStatistics.h"

#include "central/CentralSettings.h"
#include "central/PgConnection.h"
#include "core/base/AppError.h"
#include "core/settings/IniFile.h"
#include "core/stats/StatsReport.h"

#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QTextStream>

namespace HouseStatistics {

namespace {

// The period's calls with their reactions: $1 first day, $2 last day.
const QByteArray kCalls = R"sql(
WITH c AS (
    SELECT e.ward, e.seq, e.ward_name, e.staff, e.place, e.function AS f, e.local_time AS t, r.seconds
    FROM events e
    LEFT JOIN reactions r ON r.ward = e.ward AND r.call = e.call AND e.function <> '4'
    WHERE e.type = 'call' AND e.function IN ('8', 'b', '4')
      AND e.local_time >= $1::date AND e.local_time < $2::date + 1
)
)sql";

// One row per group of every grouping, in one pass: $3 the bound in seconds.
const QByteArray kGroups = R"sql(
SELECT GROUPING(ward, ward_name, staff, place, h, d, day) AS g, ward, ward_name, staff, place, h, d, day,
       count(*) FILTER (WHERE f <> '4'),
       count(*) FILTER (WHERE f <> '4' AND seconds <= $3),
       count(*) FILTER (WHERE f <> '4' AND seconds > $3),
       count(*) FILTER (WHERE f <> '4' AND seconds IS NULL),
       percentile_disc(0.5) WITHIN GROUP (ORDER BY seconds) FILTER (WHERE f <> '4' AND seconds <= $3),
       percentile_disc(0.9) WITHIN GROUP (ORDER BY seconds) FILTER (WHERE f <> '4' AND seconds <= $3),
       max(seconds) FILTER (WHERE f <> '4' AND seconds <= $3),
       count(*) FILTER (WHERE f = '4')
FROM (SELECT c.*, extract(hour FROM t)::int AS h, extract(isodow FROM t)::int AS d, t::date AS day FROM c) x
GROUP BY GROUPING SETS ((ward), (ward, ward_name), (ward, staff), (ward, place), (h), (d), (day), ())
)sql";

// The calls missed, open, or answered later than the threshold ($4), newest first.
const QByteArray kExceptions = R"sql(
SELECT to_char(t, 'YYYY.MM.DD HH24:MI:SS'), ward, ward_name, place, staff, f, seconds
FROM c
WHERE f <> '4' AND (seconds IS NULL OR seconds > $3 OR seconds > $4)
ORDER BY t DESC, ward DESC, seq DESC
)sql";

const QByteArray kWardNames = "SELECT ward, name FROM wards";

// Which columns a row of kGroups is grouped by: GROUPING() sets a bit for each column left out,
// the first column the highest (ward, ward_name, staff, place, h, d, day: 64 down to 1).
constexpr int kAll = 127;
int groupedBy(std::initializer_list<int> bits)
{
    int g = kAll;
    for (int b : bits)
        g &= ~b;
    return g;
}
constexpr int kWard = 64, kWardName = 32, kStaff = 16, kPlace = 8, kHour = 4, kDay = 2, kDate = 1;

std::optional<int> seconds(const Pg::Result& r, int row, int column)
{
    if (r.isNull(row, column))
        return std::nullopt;
    return int(r.integer(row, column));
}

QString nameOr(const QString& name)
{
    return name.isEmpty() ? Stats::emptyName() : name;
}

// The ward report's order of names: by text, numbers by value; an entry without a name last.
bool nameLess(const QString& a, const QString& b)
{
    const bool aEmpty = a == Stats::emptyName();
    const bool bEmpty = b == Stats::emptyName();
    if (aEmpty != bEmpty)
        return bEmpty;
    return Stats::compareNames(a, b) < 0;
}

void sortHouseRows(QList<Stats::GroupRow>& rows)
{
    std::sort(rows.begin(), rows.end(), [](const Stats::GroupRow& a, const Stats::GroupRow& b) {
        if (a.department != b.department)
            return nameLess(a.department, b.department);
        return nameLess(a.name, b.name);
    });
}

QString durationText(int seconds)
{
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600, 2, 10, QLatin1Char('0'))
        .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

QByteArray groupsStatement()
{
    return kCalls + kGroups;
}

Stats::Report compute(Pg::Connection& c, const Stats::Options& given, int maxReactionSeconds)
{
    Stats::Options options = given;
    options.maxReactionTime = durationText(maxReactionSeconds);
    Stats::checkOptions(options);
    Stats::Report report;
    report.options = options;
    report.house = true;
    const int days = int(options.first.daysTo(options.last)) + 1;
    report.callsPerDay.fill(0, days);

    QHash<QString, QString> names;
    Pg::Result wards = c.exec(kWardNames);
    for (int r = 0; r < wards.rows(); ++r)
        names.insert(wards.text(r, 0), wards.text(r, 1));
    const auto departmentName = [&names](const QString& ward) {
        const QString name = names.value(ward);
        return name.isEmpty() ? ward : name;
    };

    const QList<Pg::Param> params{Pg::param(options.first.toString(Qt::ISODate)),
                                  Pg::param(options.last.toString(Qt::ISODate)),
                                  Pg::param(qint64(maxReactionSeconds))};
    // One read of the period does every grouping; the transaction keeps both queries on one view.
    Pg::Transaction snapshot(c);
    c.run("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ, READ ONLY");
    // A year of a large house sorts millions of calls: in memory rather than in files on the server.
    c.run("SET LOCAL work_mem = '256MB'");
    Pg::Result groups = c.exec(kCalls + kGroups, params);
    for (int r = 0; r < groups.rows(); ++r) {
        const int g = int(groups.integer(r, 0));
        Stats::GroupRow row;
        row.calls = groups.integer(r, 8);
        row.answered = groups.integer(r, 9);
        row.missed = groups.integer(r, 10);
        row.open = groups.integer(r, 11);
        row.median = seconds(groups, r, 12);
        row.percentile90 = seconds(groups, r, 13);
        row.longest = seconds(groups, r, 14);
        row.function4 = groups.integer(r, 15);
        const QString ward = groups.text(r, 1);
        if (g == groupedBy({kWard})) {
            row.name = departmentName(ward);
            report.departments.append(row);
            continue;
        }
        row.department = departmentName(ward);
        if (g == groupedBy({kWard, kWardName})) {
            row.name = nameOr(groups.text(r, 2));
            report.groups[Stats::ByWard].append(row);
        } else if (g == groupedBy({kWard, kStaff})) {
            row.name = nameOr(groups.text(r, 3));
            report.groups[Stats::ByStaff].append(row);
        } else if (g == groupedBy({kWard, kPlace})) {
            row.name = nameOr(groups.text(r, 4));
            report.groups[Stats::ByPlace].append(row);
        } else if (g == groupedBy({kHour})) {
            // Filled below, every hour in its place.
            report.groups[Stats::ByHour].append(row);
            report.groups[Stats::ByHour].last().name = QString::number(groups.integer(r, 5));
        } else if (g == groupedBy({kDay})) {
            report.groups[Stats::ByWeekday].append(row);
            report.groups[Stats::ByWeekday].last().name = QString::number(groups.integer(r, 6));
        } else if (g == groupedBy({kDate})) {
            const qint64 d = options.first.daysTo(QDate::fromString(groups.text(r, 7), Qt::ISODate));
            if (d >= 0 && d < days)
                report.callsPerDay[d] = row.calls;
        } else if (g == kAll) {
            report.total = row;
            report.total.department.clear();
        }
    }
    // Every hour and every day of the week has its row, in order, as in the ward's report.
    for (const auto& [grouping, count, first, nameOf] :
         {std::tuple{Stats::ByHour, 24, 0, &Stats::hourName},
          std::tuple{Stats::ByWeekday, 7, 1, &Stats::weekdayName}}) {
        QList<Stats::GroupRow> full;
        for (int i = 0; i < count; ++i) {
            Stats::GroupRow row;
            for (const Stats::GroupRow& found : report.groups[grouping])
                if (found.name.toInt() == i + first)
                    row = found;
            row.name = nameOf(i + first);
            full.append(row);
        }
        report.groups[grouping] = full;
    }
    for (Stats::Grouping g : {Stats::ByWard, Stats::ByStaff, Stats::ByPlace})
        sortHouseRows(report.groups[g]);
    std::sort(report.departments.begin(), report.departments.end(),
              [](const Stats::GroupRow& a, const Stats::GroupRow& b) { return nameLess(a.name, b.name); });

    Pg::Result exceptions =
        c.exec(kCalls + kExceptions, params + QList<Pg::Param>{Pg::param(qint64(options.thresholdSeconds))});
    report.exceptions.reserve(exceptions.rows());
    for (int r = 0; r < exceptions.rows(); ++r) {
        Stats::ExceptionRow e;
        e.timest = exceptions.text(r, 0);
        e.department = departmentName(exceptions.text(r, 1));
        e.ward = exceptions.text(r, 2);
        e.place = exceptions.text(r, 3);
        e.staff = exceptions.text(r, 4);
        e.f = exceptions.bytes(r, 5) == "b" ? 'b' : '8';
        e.reaction = seconds(exceptions, r, 6);
        e.kind = !e.reaction                        ? Stats::ExceptionRow::Open
                 : *e.reaction > maxReactionSeconds ? Stats::ExceptionRow::Missed
                                                    : Stats::ExceptionRow::Slow;
        report.exceptions.append(std::move(e));
    }
    snapshot.commit();
    return report;
}

namespace {

constexpr int kBadArguments = 2;
constexpr int kFailed = 1;

QString usage()
{
    return QStringLiteral("запуск: HalvaneCentral --statistics ПЕРВЫЙ_ДЕНЬ ПОСЛЕДНИЙ_ДЕНЬ ФАЙЛ.xlsx "
                          "[--max-reaction СЕКУНДЫ] [--force] (даты в виде ГГГГ-ММ-ДД)");
}

QDate dateArgument(const QString& text, const QString& which)
{
    static const QRegularExpression form(QStringLiteral(R"(^\d{4}-\d{2}-\d{2}$)"));
    const QDate date = form.match(text).hasMatch() ? QDate::fromString(text, Qt::ISODate) : QDate();
    if (!date.isValid())
        throw AppError(QStringLiteral("%1 день «%2» — не дата вида ГГГГ-ММ-ДД").arg(which, text));
    return date;
}

} // namespace

int runCommand(const QStringList& args, QTextStream& err, const QString& exePath)
{
    const auto fail = [&err](const QString& message, int status) {
        err << "HalvaneCentral --statistics: " << message << Qt::endl;
        return status;
    };
    QStringList words;
    bool force = false;
    int maxReaction = kDefaultMaxReaction;
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--force")) {
            force = true;
        } else if (args[i] == QLatin1String("--max-reaction")) {
            bool ok = false;
            maxReaction = i + 1 < args.size() ? args[i + 1].toInt(&ok) : 0;
            if (!ok || maxReaction < 1 || maxReaction > 99 * 3600)
                return fail(QStringLiteral("--max-reaction — целое число секунд от 1 до 356400; ") + usage(),
                            kBadArguments);
            ++i;
        } else {
            words << args[i];
        }
    }
    if (words.size() != 3)
        return fail(usage(), kBadArguments);
    Stats::Options options;
    const QString file = words[2];
    try {
        options.first = dateArgument(words[0], QStringLiteral("первый"));
        options.last = dateArgument(words[1], QStringLiteral("последний"));
        Stats::checkOptions(options);
    } catch (const AppError& e) {
        return fail(e.message() + QStringLiteral("; ") + usage(), kBadArguments);
    }
    if (!file.endsWith(QLatin1String(".xlsx"), Qt::CaseInsensitive) || QFileInfo(file).fileName().size() <= 5)
        return fail(QStringLiteral("файл отчёта «%1» должен оканчиваться на .xlsx").arg(file), kBadArguments);
    if (QFileInfo::exists(file) && !force)
        return fail(QStringLiteral("файл %1 уже есть; заменить его можно с --force").arg(file),
                    kBadArguments);

    try {
        const IniFile ini(CentralSettings::pathBeside(exePath));
        const DatabaseSettings database = CentralSettings::readDatabase(ini);
        Pg::Connection connection;
        Pg::Connection::Timing timing;
        timing.statementTimeoutMs = 30 * 60 * 1000; // years of a large house
        connection.open(database.ConnInfo, -1, timing);
        if (connection
                .exec("SELECT to_regclass('events') IS NOT NULL AND to_regclass('reactions') IS NOT NULL")
                .bytes(0, 0) != "t")
            return fail(QStringLiteral("в базе %1 нет событий больницы (HalvaneCentral ещё не запускался?)")
                            .arg(Pg::describeConnInfo(database.ConnInfo)),
                        kFailed);
        const Stats::Report report = compute(connection, options, maxReaction);
        Stats::writeReport(file, report);
    } catch (const Pg::Error& e) {
        return fail(QStringLiteral("PostgreSQL: %1").arg(e.message()), kFailed);
    } catch (const AppError& e) {
        return fail(e.message(), kFailed);
    }
    return 0;
}

} // namespace HouseStatistics
