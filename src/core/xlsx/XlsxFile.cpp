#include "core/xlsx/XlsxFile.h"

#include "core/base/AppError.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

namespace XlsxFile {

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

Replacement::Replacement(const QString& target) : m_file(target)
{
    if (!m_file.open()) {
        const int reason = errno;
        unableToWrite(target, QString::fromLocal8Bit(std::strerror(reason)));
    }
}

void Replacement::commit()
{
    if (!m_file.commit()) {
        const int reason = errno;
        unableToWrite(m_file.target(), QString::fromLocal8Bit(std::strerror(reason)));
    }
}

} // namespace XlsxFile
