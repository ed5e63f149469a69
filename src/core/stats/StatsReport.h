#pragma once

#include <QString>

namespace Stats {

struct Report;

// A worksheet holds at most this many rows, the heading row included.
constexpr qint64 kMaxSheetRows = 1048576;

// Writes the report as one .xlsx file: the sheets "Палаты", "Ответственные", "Места", "Часы",
// "Дни недели" (a heading row, then one row per group with the window's columns in the window's
// order), "Превышения" (the exceptions, newest first), "По дням" (calls per day) and "Сводка" (the
// period, the bound, the threshold and the whole period as one group). The house's report
// (Report::house) begins with the sheet "Отделения" (one row per hospital ward) and gives the rooms,
// staff, places and exceptions a column "Отделение" (first; after the moment for the exceptions).
// Reaction times are time values shown as [h]:mm:ss, moments are date-time values.
//
// The file at `path` is replaced only once the new one is complete. Throws AppError
// "Unable to write to <path>: <reason>" when it cannot be written, or when its name does not end in
// ".xlsx"; the old file is then left as it was.
void writeReport(const QString& path, const Report& report);

} // namespace Stats
