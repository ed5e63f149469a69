#pragma once

#include <QDate>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <array>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

namespace db {
class Database;
}

// Reaction-time statistics over the journal, read only.
//
// Definitions shared by the window, the report file and the command line:
// - the period runs from the first day 00:00:00 through the last day 23:59:59, both included;
// - calls are entries of function "8" (place button) and "b" (KB unit); entries of function "4" are
//   counted on their own and are not calls; other functions are not counted;
// - a call is answered when its reaction time is at most the bound (logConst/s_maxreactiontime,
//   the bound beyond which the journal shows "пропущено"), missed when it is above it, open when it
//   has none yet; a call the operator took off the open list (its cancel was lost) is removed,
//   whatever its entry holds, and has no reaction time;
// - over the answered calls of a group: the median and the 90th percentile by the nearest rank (the
//   value at rank ceil(p * n) of the sorted times) and the longest.
namespace Stats {

enum Grouping { ByWard, ByStaff, ByPlace, ByHour, ByWeekday, GroupingCount };

struct Options
{
    QDate first;
    QDate last;
    // The journal's bound, as text: a reaction text above it (compared as text, as the journal does)
    // is a missed call.
    QString maxReactionTime = QStringLiteral("01:00:00");
    // Answered calls slower than this are listed among the exceptions.
    int thresholdSeconds = 5 * 60;
    // The journal's type texts of the two calling functions, for the list of exceptions.
    QString typeText8 = QStringLiteral("вызов");
    QString typeTextB = QStringLiteral("вызов отв.");
};

// One row of a grouping table; times in seconds, absent when the group has no answered call.
struct GroupRow
{
    QString department; // the house's report: the hospital ward the group belongs to
    QString name;
    qint64 calls = 0;
    qint64 answered = 0;
    qint64 missed = 0;
    qint64 open = 0;
    qint64 removed = 0;
    std::optional<int> median;
    std::optional<int> percentile90;
    std::optional<int> longest;
    qint64 function4 = 0;
};

// A call that was missed, is still open, was removed from the open list, or was answered later than
// the threshold.
struct ExceptionRow
{
    enum Kind { Missed, Open, Slow, Removed };
    QString timest;     // the entry's timestamp text
    QString department; // the house's report: the hospital ward
    QString ward;
    QString place;
    QString staff;
    char f = '8';
    std::optional<int> reaction; // seconds; absent while open
    Kind kind = Open;
};

struct Report
{
    Options options;
    // The report of the whole house: a first sheet of the hospital's wards, and the ward's name
    // before the groups and exceptions that belong to one of them.
    bool house = false;
    QList<GroupRow> departments;
    std::array<QList<GroupRow>, GroupingCount> groups;
    GroupRow total;                 // every call of the period as one group, named ""
    QList<qint64> callsPerDay;      // from the first day to the last
    QList<ExceptionRow> exceptions; // newest first
    qint64 unreadable = 0;          // entries of the period skipped for a timestamp or reaction text
                                    // that cannot be read (only a hand-edited journal has them)
};

// Names of the groups and of the sheets, as the operator reads them.
QString groupingTitle(Grouping grouping); // "Палаты", "Ответственные", "Места", "Часы", "Дни недели"
// The ten columns of a grouping table; the first names what the rows are ("Палата", "Час", ...).
QStringList columnCaptions(Grouping grouping);
QString hourName(int hour);      // "08:00–08:59"
QString weekdayName(int isoDay); // 1 "Понедельник" ... 7 "Воскресенье"
QString emptyName();             // shown for an entry without ward or staff member
// The order of the named groups: by their text, letter case aside, with the numbers in them by
// value ("№ 2" before "№ 101"); negative, 0 or positive.
int compareNames(const QString& a, const QString& b);
QStringList exceptionCaptions(); // the columns of the list of exceptions
QString exceptionKindText(ExceptionRow::Kind kind);
QString typeText(const Options& options, char f);

// Seconds of a reaction-time text "hh:nn:ss" (hours may run to 99); nullopt when it is not one.
std::optional<int> parseReaction(std::string_view text);
// "h:mm:ss", the way the window shows a reaction time.
QString durationText(int seconds);
// Nearest-rank percentile (p in percent) of sorted values; nullopt for none.
std::optional<int> nearestRank(const std::vector<int>& sorted, int percent);

// Called now and then with the days done and the days in all; answering false stops the work,
// which then throws Cancelled.
using Progress = std::function<bool(int done, int total)>;

struct Cancelled
{
};

// Checks the options: both dates valid, first not after last, a period of at most 100 years.
// Throws AppError with the message the operator sees.
void checkOptions(const Options& options);

// Reads the period's entries, one day at a time so that the journal writer is never kept waiting
// for long, and builds the report. Throws AppError for a database failure.
Report compute(db::Database& database, const Options& options, const Progress& progress = {});

} // namespace Stats
