#pragma once

#include <QString>
#include <QStringList>

#include <functional>

// The journal written as a spreadsheet file (Office Open XML): the column captions in the first row,
// then one row per entry as the grid shows it, on the workbook's one worksheet. Columns are as wide
// as their widest text.
namespace JournalExport {

// The name of the worksheet.
inline const QString kSheetName = QStringLiteral("Журнал");

// A worksheet holds at most this many rows, the caption row included.
constexpr qint64 kMaxSheetRows = 1048576;

// Called once with a visitor that takes the display texts of one entry; calls it for every entry.
using EntrySource = std::function<void(const std::function<void(const QStringList&)>&)>;

// The name the operator chose as the file is written: ".xls" becomes ".xlsx", and a name whose
// extension is not ".xlsx" (none at all, or dots within the name) gets ".xlsx" added.
QString fileNameFor(const QString& chosen);

// The name the save dialog proposes for the one remembered: ".xls" becomes ".xlsx"; anything else,
// the first start's bare "журнал" among them, is proposed as it is.
QString proposedName(const QString& remembered);

// What the operator is told when no desktop program opens the written file.
QString savedMessage(const QString& path);
// What the operator is asked before an existing file is replaced.
QString overwriteQuestion(const QString& path);

// Writes the file at `path` (replacing a file of that name only once the new one is complete). An
// empty journal gives the caption row and one empty row. Throws AppError
// "Unable to write to <path>: <reason>" when the file cannot be written or the journal does not fit
// on a worksheet; the file the name stood for, if any, is then left as it was.
void writeXlsx(const QString& path, const QStringList& captions, const EntrySource& entries);

} // namespace JournalExport
