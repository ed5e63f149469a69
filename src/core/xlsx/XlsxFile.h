#pragma once

#include "core/base/DurableFile.h"

#include <QString>

#include <xlsxwriter.h>

// What every workbook written to disk shares: the error it raises, the checks of its target, and the
// temporary file beside the target that takes the target's name only when the workbook is complete.
namespace XlsxFile {

// Raises AppError "Unable to write to <path>: <reason>", the reason without its closing full stops.
[[noreturn]] void unableToWrite(const QString& path, const QString& reason);

// libxlsxwriter's own text for an error.
QString reasonOf(lxw_error error);

// Raises unableToWrite when the target's folder does not exist or the target cannot be replaced.
void checkTarget(const QString& target);

// The file a workbook is written to: a temporary beside the target that the workbook writer fills
// by name, and that takes the target's name, flushed to the disk, only when the workbook is
// complete. Whatever happens before, no half-written file is left beside the target.
class Replacement
{
public:
    // Raises unableToWrite when the temporary cannot be made.
    explicit Replacement(const QString& target);
    const QString& temporaryPath() const { return m_file.temporaryPath(); }
    // Gives the complete workbook the target's name; raises unableToWrite when it cannot.
    void commit();

private:
    Durable::Replacement m_file;
};

} // namespace XlsxFile
