#include "core/stats/Statistics.h"

#include "core/base/AppError.h"
#include "core/base/Cp1251.h"
#include "core/db/Database.h"
#include "core/journal/RemovedCalls.h"

#include <algorithm>
#include <string>
#include <unordered_map>

namespace Stats {

namespace {

constexpr int kSecondsPerHour = 3600;
// A longer period is surely a typing error; it would also make the per-day chart unreadable.
constexpr qint64 kMaxDays = 36525;

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}
int twoDigits(const char* p)
{
    return (p[0] - '0') * 10 + (p[1] - '0');
}

// Hour of a timestamp text "yyyy.MM.dd hh:mm:ss" whose date part the query already fixed; -1 when the
// time of day cannot be read.
int hourOf(std::string_view ts)
{
    if (ts.size() != 19 || ts[10] != ' ' || ts[13] != ':' || ts[16] != ':')
        return -1;
    const char* p = ts.data();
    for (int i : {11, 12, 14, 15, 17, 18})
        if (!isDigit(p[i]))
            return -1;
    const int hour = twoDigits(p + 11);
    if (hour > 23 || twoDigits(p + 14) > 59 || twoDigits(p + 17) > 59)
        return -1;
    return hour;
}

QString dayStart(const QDate& day)
{
    return day.toString(QStringLiteral("yyyy.MM.dd")) + QStringLiteral(" 00:00:00");
}
QString dayEnd(const QDate& day)
{
    return day.toString(QStringLiteral("yyyy.MM.dd")) + QStringLiteral(" 23:59:59");
}

struct Accumulator
{
    qint64 calls = 0;
    qint64 answered = 0;
    qint64 missed = 0;
    qint64 open = 0;
    qint64 removed = 0;
    qint64 function4 = 0;
    std::vector<int> times; // the answered calls' reaction times

    GroupRow finish(const QString& name)
    {
        GroupRow row;
        row.name = name;
        row.calls = calls;
        row.answered = answered;
        row.missed = missed;
        row.open = open;
        row.removed = removed;
        row.function4 = function4;
        if (!times.empty()) {
            std::sort(times.begin(), times.end());
            row.median = nearestRank(times, 50);
            row.percentile90 = nearestRank(times, 90);
            row.longest = times.back();
        }
        std::vector<int>().swap(times);
        return row;
    }
};

struct TransparentHash
{
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

// Names as the journal stores them (Windows-1251 bytes), each decoded once.
class NameTable
{
public:
    int idOf(std::string_view bytes)
    {
        const auto found = m_ids.find(bytes);
        if (found != m_ids.end())
            return found->second;
        const int id = static_cast<int>(m_names.size());
        m_ids.emplace(std::string(bytes), id);
        m_names.append(Cp1251::decode(bytes.data(), static_cast<qsizetype>(bytes.size())));
        m_groups.emplace_back();
        return id;
    }
    const QString& name(int id) const { return m_names.at(id); }
    Accumulator& group(int id) { return m_groups[static_cast<std::size_t>(id)]; }

    QList<GroupRow> finish()
    {
        QList<GroupRow> rows;
        rows.reserve(m_names.size());
        for (qsizetype id = 0; id < m_names.size(); ++id) {
            const QString& stored = m_names.at(id);
            rows.append(
                m_groups[static_cast<std::size_t>(id)].finish(stored.isEmpty() ? emptyName() : stored));
        }
        // Alphabetical, letter case aside, numbers by value; an entry without a name comes last.
        std::sort(rows.begin(), rows.end(), [](const GroupRow& a, const GroupRow& b) {
            const bool aEmpty = a.name == emptyName();
            const bool bEmpty = b.name == emptyName();
            if (aEmpty != bEmpty)
                return bEmpty;
            return compareNames(a.name, b.name) < 0;
        });
        return rows;
    }

private:
    std::unordered_map<std::string, int, TransparentHash, std::equal_to<>> m_ids;
    QStringList m_names;
    std::vector<Accumulator> m_groups;
};

// Whether a reaction counts as answered: the journal compares the text with the bound as text. A
// bound of the usual form compares the same way as numbers, which is quicker.
class Bound
{
public:
    explicit Bound(const QString& text) : m_text(text)
    {
        const QByteArray latin = text.toLatin1();
        if (text.size() == 8 && QString::fromLatin1(latin) == text)
            m_seconds = parseReaction(std::string_view(latin.constData(), 8));
    }
    bool answered(std::string_view reaction, int seconds) const
    {
        if (m_seconds)
            return seconds <= *m_seconds;
        return QString::compare(QLatin1StringView(reaction.data(), static_cast<qsizetype>(reaction.size())),
                                m_text, Qt::CaseSensitive) <= 0;
    }

private:
    QString m_text;
    std::optional<int> m_seconds;
};

} // namespace

QString groupingTitle(Grouping grouping)
{
    switch (grouping) {
    case ByWard:
        return QStringLiteral("Палаты");
    case ByStaff:
        return QStringLiteral("Ответственные");
    case ByPlace:
        return QStringLiteral("Места");
    case ByHour:
        return QStringLiteral("Часы");
    case ByWeekday:
    case GroupingCount:
        break;
    }
    return QStringLiteral("Дни недели");
}

QStringList columnCaptions(Grouping grouping)
{
    static const char16_t* const groupCaptions[GroupingCount] = {u"Палата", u"Ответственный", u"Место",
                                                                 u"Час", u"День недели"};
    const QString group = QString::fromUtf16(groupCaptions[grouping < GroupingCount ? grouping : ByWeekday]);
    return {group,
            QStringLiteral("Вызовов"),
            QStringLiteral("Отвечено"),
            QStringLiteral("Пропущено"),
            QStringLiteral("Открыто"),
            QStringLiteral("Убрано"),
            QStringLiteral("Медиана"),
            QStringLiteral("90-й процентиль"),
            QStringLiteral("Самое долгое"),
            QStringLiteral("Приёмов (4)")};
}

int compareNames(const QString& a, const QString& b)
{
    const auto isAsciiDigit = [](QChar c) { return c.unicode() >= u'0' && c.unicode() <= u'9'; };
    // The run of digits, or of anything else, that starts at `from`.
    const auto run = [&](const QString& s, qsizetype from) {
        const bool digits = isAsciiDigit(s.at(from));
        qsizetype to = from;
        while (to < s.size() && isAsciiDigit(s.at(to)) == digits)
            ++to;
        return QStringView(s).mid(from, to - from);
    };
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < a.size() && j < b.size()) {
        const QStringView ra = run(a, i);
        const QStringView rb = run(b, j);
        i += ra.size();
        j += rb.size();
        int order = 0;
        if (isAsciiDigit(ra.front()) && isAsciiDigit(rb.front())) {
            // By value: without their leading zeros, the longer number is the larger.
            const auto value = [](QStringView digits) {
                qsizetype zeros = 0;
                while (zeros + 1 < digits.size() && digits.at(zeros) == u'0')
                    ++zeros;
                return digits.mid(zeros);
            };
            const QStringView va = value(ra);
            const QStringView vb = value(rb);
            order = va.size() != vb.size() ? (va.size() < vb.size() ? -1 : 1) : va.compare(vb);
        } else {
            order = ra.compare(rb, Qt::CaseInsensitive);
        }
        if (order != 0)
            return order;
    }
    if (i < a.size() || j < b.size())
        return i < a.size() ? 1 : -1;
    const int byText = a.compare(b, Qt::CaseInsensitive);
    return byText != 0 ? byText : a.compare(b);
}

QString hourName(int hour)
{
    return QStringLiteral("%1:00–%1:59").arg(hour, 2, 10, QLatin1Char('0'));
}

QString weekdayName(int isoDay)
{
    static const char16_t* const names[7] = {u"Понедельник", u"Вторник", u"Среда",      u"Четверг",
                                             u"Пятница",     u"Суббота", u"Воскресенье"};
    return QString::fromUtf16(names[(isoDay - 1 + 7) % 7]);
}

QString emptyName()
{
    return QStringLiteral("(не указано)");
}

QStringList exceptionCaptions()
{
    return {QStringLiteral("Дата и время"),  QStringLiteral("Палата"), QStringLiteral("Место"),
            QStringLiteral("Ответственный"), QStringLiteral("Тип"),    QStringLiteral("Реакция"),
            QStringLiteral("Причина")};
}

QString exceptionKindText(ExceptionRow::Kind kind)
{
    switch (kind) {
    case ExceptionRow::Missed:
        return QStringLiteral("пропущен");
    case ExceptionRow::Open:
        return QStringLiteral("открыт");
    case ExceptionRow::Removed:
        return QStringLiteral("убран из активных");
    case ExceptionRow::Slow:
        break;
    }
    return QStringLiteral("дольше порога");
}

QString typeText(const Options& options, char f)
{
    return f == 'b' ? options.typeTextB : options.typeText8;
}

std::optional<int> parseReaction(std::string_view text)
{
    if (text.size() != 8 || text[2] != ':' || text[5] != ':')
        return std::nullopt;
    const char* p = text.data();
    for (int i : {0, 1, 3, 4, 6, 7})
        if (!isDigit(p[i]))
            return std::nullopt;
    const int minutes = twoDigits(p + 3);
    const int seconds = twoDigits(p + 6);
    if (minutes > 59 || seconds > 59)
        return std::nullopt;
    return twoDigits(p) * kSecondsPerHour + minutes * 60 + seconds;
}

QString durationText(int seconds)
{
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / kSecondsPerHour)
        .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

std::optional<int> nearestRank(const std::vector<int>& sorted, int percent)
{
    if (sorted.empty())
        return std::nullopt;
    const auto n = static_cast<qint64>(sorted.size());
    // ceil(percent * n / 100) in whole numbers, at least rank 1.
    const qint64 rank = std::max<qint64>(1, (percent * n + 99) / 100);
    return sorted[static_cast<std::size_t>(rank - 1)];
}

void checkOptions(const Options& options)
{
    if (!options.first.isValid())
        throw AppError(QStringLiteral("Первый день периода — не дата"));
    if (!options.last.isValid())
        throw AppError(QStringLiteral("Последний день периода — не дата"));
    if (options.first > options.last)
        throw AppError(QStringLiteral("Первый день периода (%1) позже последнего (%2)")
                           .arg(options.first.toString(Qt::ISODate), options.last.toString(Qt::ISODate)));
    if (options.first.year() < 1 || options.last.year() > 9999)
        throw AppError(QStringLiteral("Период должен лежать между 1 и 9999 годами"));
    if (options.first.daysTo(options.last) >= kMaxDays)
        throw AppError(QStringLiteral("Период длиннее 100 лет"));
    if (options.thresholdSeconds < 0)
        throw AppError(QStringLiteral("Порог не может быть отрицательным"));
}

Report compute(db::Database& database, const Options& options, const Progress& progress)
{
    checkOptions(options);
    Report report;
    report.options = options;
    const Bound bound(options.maxReactionTime);
    const int days = static_cast<int>(options.first.daysTo(options.last)) + 1;
    report.callsPerDay.fill(0, days);

    NameTable wards;
    NameTable staff;
    NameTable places;
    std::array<Accumulator, 24> hours;
    std::array<Accumulator, 7> weekdays;
    Accumulator total;

    // In timestamp order, ties by entry, so the exceptions read newest first once reversed. A journal
    // kept before calls could be removed has no table of removals.
    const QString removed = RemovedCalls::tableExists(database)
                                ? QStringLiteral("logs.id IN (SELECT id FROM dismissedcalls)")
                                : QStringLiteral("0");
    db::Statement select(
        database, QStringLiteral("SELECT timest, f, groupsname, workersname, butsname, reactiontime, ") +
                      removed +
                      QStringLiteral(" FROM logs WHERE timest >= ? AND timest <= ? "
                                     "ORDER BY timest, id"));
    for (int d = 0; d < days; ++d) {
        if (progress && !progress(d, days))
            throw Cancelled{};
        const QDate day = options.first.addDays(d);
        Accumulator& weekday = weekdays[static_cast<std::size_t>(day.dayOfWeek() - 1)];
        select.reset();
        select.bindAll({dayStart(day), dayEnd(day)});
        while (select.step()) {
            const std::string_view f = select.bytes(1);
            const bool isCall = f == "8" || f == "b";
            if (!isCall && f != "4")
                continue;
            const std::string_view ts = select.bytes(0);
            const int hour = hourOf(ts);
            const bool isRemoved = isCall && select.int64(6) != 0;
            // A removed call was closed by the operator, never by a cancel: a reaction time it may
            // hold from before removals were kept apart is no nurse's.
            const std::string_view reactionText = isRemoved ? std::string_view() : select.bytes(5);
            // Entries of function "4" are never answered: their reaction time does not count.
            const std::optional<int> reaction =
                isCall && !reactionText.empty() ? parseReaction(reactionText) : std::nullopt;
            if (hour < 0 || (isCall && !reactionText.empty() && !reaction)) {
                ++report.unreadable;
                continue;
            }
            const int wardId = wards.idOf(select.bytes(2));
            const int staffId = staff.idOf(select.bytes(3));
            const int placeId = places.idOf(select.bytes(4));
            Accumulator* groups[] = {&wards.group(wardId),
                                     &staff.group(staffId),
                                     &places.group(placeId),
                                     &hours[static_cast<std::size_t>(hour)],
                                     &weekday,
                                     &total};
            if (!isCall) {
                for (Accumulator* g : groups)
                    ++g->function4;
                continue;
            }
            ++report.callsPerDay[d];
            ExceptionRow::Kind kind = ExceptionRow::Open;
            bool exceptional = true;
            if (isRemoved) {
                for (Accumulator* g : groups)
                    ++g->calls, ++g->removed;
                kind = ExceptionRow::Removed;
            } else if (!reaction) {
                for (Accumulator* g : groups)
                    ++g->calls, ++g->open;
            } else if (bound.answered(reactionText, *reaction)) {
                for (Accumulator* g : groups) {
                    ++g->calls, ++g->answered;
                    g->times.push_back(*reaction);
                }
                kind = ExceptionRow::Slow;
                exceptional = *reaction > options.thresholdSeconds;
            } else {
                for (Accumulator* g : groups)
                    ++g->calls, ++g->missed;
                kind = ExceptionRow::Missed;
            }
            if (exceptional) {
                // The names are the decoded texts of the tables, shared rather than copied.
                ExceptionRow row;
                row.timest = QString::fromLatin1(ts.data(), static_cast<qsizetype>(ts.size()));
                row.ward = wards.name(wardId);
                row.place = places.name(placeId);
                row.staff = staff.name(staffId);
                row.f = f.front();
                row.reaction = reaction;
                row.kind = kind;
                report.exceptions.append(std::move(row));
            }
        }
    }
    if (progress && !progress(days, days))
        throw Cancelled{};

    report.groups[ByWard] = wards.finish();
    report.groups[ByStaff] = staff.finish();
    report.groups[ByPlace] = places.finish();
    for (int h = 0; h < 24; ++h)
        report.groups[ByHour].append(hours[static_cast<std::size_t>(h)].finish(hourName(h)));
    for (int w = 0; w < 7; ++w)
        report.groups[ByWeekday].append(weekdays[static_cast<std::size_t>(w)].finish(weekdayName(w + 1)));
    report.total = total.finish(QString());
    std::reverse(report.exceptions.begin(), report.exceptions.end());
    return report;
}

} // namespace Stats
