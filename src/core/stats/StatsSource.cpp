#include "core/stats/StatsSource.h"

#include "core/base/AppError.h"
#include "core/db/Database.h"
#include "core/settings/IniFile.h"
#include "core/settings/MainSettings.h"

#include <QDir>
#include <QFileInfo>

namespace Stats {

Source sourceBesideExecutable(const QString& exePath)
{
    const IniFile ini(IniFile::pathBesideExecutable(exePath));
    const MainSettingsValues values = MainSettings::readStored(ini);
    Source source;
    source.databasePath = QFileInfo(exePath).absolutePath() + u'/' + values.dbFileName;
    source.maxReactionTime = values.s_maxreactiontime;
    source.typeText8 = values.log_r8;
    source.typeTextB = values.log_rb;
    return source;
}

std::unique_ptr<db::Database> openJournal(const QString& databasePath)
{
    const QFileInfo info(databasePath);
    if (!info.exists())
        throw AppError(
            QStringLiteral("The database %1 does not exist").arg(QDir::toNativeSeparators(databasePath)));
    if (!info.isFile())
        throw AppError(
            QStringLiteral("The database %1 is not a file").arg(QDir::toNativeSeparators(databasePath)));
    std::unique_ptr<db::Database> database = db::Database::openReadOnly(databasePath);
    database->setBusyTimeout(kBusyTimeoutMs);
    if (!database->tableExists(QStringLiteral("logs")))
        throw AppError(
            QStringLiteral("The database %1 holds no journal").arg(QDir::toNativeSeparators(databasePath)));
    return database;
}

} // namespace Stats
