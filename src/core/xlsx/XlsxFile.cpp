#include "core/xlsx/XlsxFile.h"

#include "core/base/AppError.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <filesystem>
#include <system_error>

namespace XlsxFile {

namespace {

std::filesystem::path fsPath(const QString& path)
{
    return std::filesystem::path(path.toStdU16String());
}

} // namespace

void unableToWrite(const QString& path, const QString& reason)
{
    QString text = reason;
    while (text.endsWith(u'.'))
        text.chop(1);
    throw AppError(QStringLiteral("Unable to write to %1: %2").arg(QDir::toNativeSeparators(path), text));
}

QString reasonOf(lxw_error error)
{
    return QString::fromUtf8(lxw_strerror(error));
}

void checkTarget(const QString& target)
{
    const QFileInfo targetInfo(target);
    if (!targetInfo.absoluteDir().exists())
        unableToWrite(target, QStringLiteral("the folder does not exist"));
    if (targetInfo.exists() && (!targetInfo.isFile() || !targetInfo.isWritable()))
        unableToWrite(target, QStringLiteral("the file cannot be replaced"));
}

QString temporaryNameBeside(const QString& target)
{
    for (;;) {
        const QString name = target + QStringLiteral(".%1.tmp").arg(QRandomGenerator::global()->generate(), 8,
                                                                    16, QLatin1Char('0'));
        if (!QFileInfo::exists(name))
            return name;
    }
}

void replaceTarget(const QString& temporary, const QString& target)
{
    std::error_code error;
    std::filesystem::rename(fsPath(temporary), fsPath(target), error);
    if (error)
        unableToWrite(target, QString::fromLocal8Bit(error.message()));
}

RemoveOnExit::~RemoveOnExit()
{
    QFile::remove(m_name);
}

} // namespace XlsxFile
