#pragma once

#include <QString>

#include <utility>

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

// A name beside the target that no file holds yet.
QString temporaryNameBeside(const QString& target);

// Gives the complete workbook the target's name; raises unableToWrite when it cannot.
void replaceTarget(const QString& temporary, const QString& target);

// Whatever happens, no half-written file is left beside the target.
class RemoveOnExit
{
public:
    explicit RemoveOnExit(QString name) : m_name(std::move(name)) {}
    ~RemoveOnExit();
    RemoveOnExit(const RemoveOnExit&) = delete;
    RemoveOnExit& operator=(const RemoveOnExit&) = delete;

private:
    QString m_name;
};

} // namespace XlsxFile
