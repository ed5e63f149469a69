#include "core/stats/StatsCommand.h"

#include "core/base/AppError.h"
#include "core/db/Database.h"
#include "core/settings/AppState.h"
#include "core/stats/Statistics.h"
#include "core/stats/StatsReport.h"
#include "core/stats/StatsSource.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QTextStream>

namespace Stats {

namespace {

constexpr int kBadArguments = 2;
constexpr int kFailed = 1;

QString usage()
{
    return QStringLiteral("запуск: HalvaneServer --statistics ПЕРВЫЙ_ДЕНЬ ПОСЛЕДНИЙ_ДЕНЬ ФАЙЛ.xlsx "
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

} // namespace

int runStatisticsCommand(const QStringList& args, QTextStream& err, const QString& exePath)
{
    const auto report = [&err](const QString& message, int status) {
        err << "HalvaneServer --statistics: " << message << Qt::endl;
        return status;
    };
    if (args.size() != 3)
        return report(usage(), kBadArguments);

    Options options;
    try {
        options.first = dateArgument(args.at(0), QStringLiteral("первый"));
        options.last = dateArgument(args.at(1), QStringLiteral("последний"));
        checkOptions(options);
        if (args.at(2).trimmed().isEmpty())
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
        options.maxReactionTime = source.maxReactionTime;
        options.typeText8 = source.typeText8;
        options.typeTextB = source.typeTextB;
        Report result;
        {
            const std::unique_ptr<db::Database> database = openJournal(source.databasePath);
            result = compute(*database, options);
        }
        writeReport(args.at(2), result);
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
