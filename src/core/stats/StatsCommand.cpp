#include "core/stats/StatsCommand.h"

#include "core/base/AppError.h"
#include "core/db/Database.h"
#include "core/settings/AppState.h"
#include "core/settings/IniFile.h"
#include "core/stats/Statistics.h"
#include "core/stats/StatsReport.h"
#include "core/stats/StatsSource.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTextStream>

namespace Stats {

namespace {

constexpr int kBadArguments = 2;
constexpr int kFailed = 1;

QString usage()
{
    return QStringLiteral("запуск: HalvaneServer --statistics ПЕРВЫЙ_ДЕНЬ ПОСЛЕДНИЙ_ДЕНЬ ФАЙЛ.xlsx [--force] "
                          "(даты в виде ГГГГ-ММ-ДД)");
}

// Exactly YYYY-MM-DD and a day of the calendar.
QDate dateArgument(const QString& text, const QString& which)
{
    static const QRegularExpression form(QStringLiteral(R"(^\d{4}-\d{2}-\d{2}$)"));
    const QDate date = form.match(text).hasMatch() ? QDate::fromString(text, Qt::ISODate) : QDate();
    if (!date.isValid())
        throw AppError(QStringLiteral("%1 день «%2» — не дата вида ГГГГ-ММ-ДД").arg(which, text));
    return date;
}

// The same file, through links and relative names alike.
bool sameFile(const QFileInfo& a, const QString& b)
{
    const QFileInfo other(b);
    if (a.exists() && other.exists())
        return a.canonicalFilePath() == other.canonicalFilePath();
    return QDir::cleanPath(a.absoluteFilePath()) == QDir::cleanPath(other.absoluteFilePath());
}

// The report may only go to a workbook of its own: never over the journal, the settings or the
// program, and over an existing file only when asked to.
void checkReportPath(const QString& path, const QString& exe, const Source& source, bool force)
{
    const QFileInfo target(path);
    if (target.suffix().compare(QLatin1String("xlsx"), Qt::CaseInsensitive) != 0)
        throw AppError(QStringLiteral("the report file \"%1\" does not end in .xlsx").arg(path));
    const std::pair<QString, QString> kept[] = {
        {source.databasePath, QStringLiteral("the database")},
        {IniFile::pathBesideExecutable(exe), QStringLiteral("the settings file")},
        {exe, QStringLiteral("the executable")}};
    for (const auto& [file, what] : kept) {
        if (sameFile(target, file))
            throw AppError(QStringLiteral("the report file \"%1\" is %2").arg(path, what));
    }
    if (target.exists() && !force)
        throw AppError(QStringLiteral("the report file \"%1\" exists; add --force to replace it").arg(path));
}

} // namespace

int runStatisticsCommand(const QStringList& args, QTextStream& err, const QString& exePath)
{
    const auto report = [&err](const QString& message, int status) {
        err << "HalvaneServer --statistics: " << message << Qt::endl;
        return status;
    };
    QStringList words = args;
    const bool force = words.removeAll(QStringLiteral("--force")) > 0;
    if (words.size() != 3)
        return report(usage(), kBadArguments);

    Options options;
    try {
        options.first = dateArgument(words.at(0), QStringLiteral("первый"));
        options.last = dateArgument(words.at(1), QStringLiteral("последний"));
        checkOptions(options);
        if (words.at(2).trimmed().isEmpty())
            throw AppError(QStringLiteral("не указан файл отчёта"));
    } catch (const AppError& e) {
        return report(e.message() + QStringLiteral("; ") + usage(), kBadArguments);
    }

    try {
        QString exe = exePath;
        if (exe.isEmpty())
            exe = App::exePathOverride().isEmpty() ? QCoreApplication::applicationFilePath()
                                                   : App::exePathOverride();
        const Source source = sourceBesideExecutable(exe);
        try {
            checkReportPath(words.at(2), exe, source, force);
        } catch (const AppError& e) {
            return report(e.message(), kBadArguments);
        }
        options.maxReactionTime = source.maxReactionTime;
        options.typeText8 = source.typeText8;
        options.typeTextB = source.typeTextB;
        Report result;
        {
            const std::unique_ptr<db::Database> database = openJournal(source.databasePath);
            result = compute(*database, options);
        }
        writeReport(words.at(2), result);
    } catch (const AppError& e) {
        // The database layer separates the parts of its reports with carriage returns.
        QString message = e.message();
        message.replace(u'\r', u' ');
        return report(message, kFailed);
    } catch (const std::exception& e) {
        return report(QString::fromLocal8Bit(e.what()), kFailed);
    }
    return 0;
}

int statisticsMain(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream err(stderr);
    return runStatisticsCommand(QCoreApplication::arguments().mid(2), err);
}

} // namespace Stats
