#pragma once

#include <QString>
#include <QStringList>

#include <functional>

// The journal written as a spreadsheet file (Office Open XML): the column captions in the first row,
// then one row per entry as the grid shows it. The data lies on the second worksheet, which is the
// one that opens; the first stays empty. Columns are as wide as their widest text.
namespace JournalExport {

// A worksheet holds at most this many rows, the caption row included.
constexpr qint64 kMaxSheetRows = 1048576;

// Called once with a visitor that takes the display texts of one entry; calls it for every entry.
using EntrySource = std::function<void(const std::function<void(const QStringList&)>&)>;

// The name the operator chose, with ".xlsx" when it carries no extension.
QString fileNameFor(const QString& chosen);

// Writes the file at `path` (replacing a file of that name only once the new one is complete). An
// empty journal gives the caption row and one empty row. Throws AppError
// "Unable to write to <path>: <reason>" when the file cannot be written or the journal does not fit
// on a worksheet; the file the name stood for, if any, is then left as it was.
void writeXlsx(const QString& path, const QStringList& captions, const EntrySource& entries);

} // namespace JournalExport
