#pragma once

#include "core/stats/Statistics.h"

#include <QString>
#include <QStringList>

class QTextStream;

namespace Pg {
class Connection;
}

// The ward's reaction-time statistics over the whole house, computed in PostgreSQL from the stored
// events, with the ward's definitions: calls are the "call" events of function "8" and "b" in the
// period (the ward's own wall-clock days, first 00:00:00 through last 23:59:59); a call is answered
// when a cancel's reaction names its journal entry with at most the bound's seconds, missed above
// it, open without one; medians and 90th percentiles by the nearest rank (percentile_disc); calls of
// function "4" counted apart. The rooms, staff and places are grouped within their ward of the house.
namespace HouseStatistics {

// The bound's default: the ward's s_maxreactiontime, "01:00:00".
constexpr int kDefaultMaxReaction = 3600;

// Throws Pg::Error, and AppError for options that cannot be used.
Stats::Report compute(Pg::Connection& connection, const Stats::Options& options, int maxReactionSeconds);

// The statement that groups the period's calls, for a look at its plan: $1 first day, $2 last day
// (YYYY-MM-DD), $3 the bound in seconds.
QByteArray groupsStatement();

// HalvaneCentral --statistics FIRST LAST FILE.xlsx [--max-reaction SECONDS] [--force]: `args` are
// the words after the command word. Reads [Database] of the settings file beside exePath (never
// writing it). Returns 0 when the file is written; otherwise writes one line to `err` and returns 2
// for bad arguments (a file that is not .xlsx, or one that exists without --force, among them) and
// 1 for anything else.
int runCommand(const QStringList& args, QTextStream& err, const QString& exePath);

} // namespace HouseStatistics
