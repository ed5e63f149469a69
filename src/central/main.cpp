#include "central/CentralService.h"
#include "central/CentralSettings.h"
#include "central/HouseStatistics.h"
#include "central/UserAccounts.h"
#include "central/web/Dashboard.h"
#include "core/base/StopSignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTextStream>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>
#include <unistd.h>

namespace {

const char kUsage[] =
    "Usage: HalvaneCentral [--help]\n"
    "       HalvaneCentral --add-user NAME | --remove-user NAME\n"
    "       HalvaneCentral --statistics FIRST LAST FILE.xlsx [--max-reaction SECONDS] [--force]\n"
    "\n"
    "The centre of the house: it gathers the events every ward server publishes to the site's MQTT\n"
    "broker into PostgreSQL, each stored once, and keeps the wards' state (online or offline, open\n"
    "calls, ranges of events never received). Its settings file HalvaneCentral.ini lies beside the\n"
    "executable and is written on the first start; so are its inbox (events received and not yet\n"
    "committed) and its lock.\n"
    "\n"
    "  (no option)   runs as a service, without windows: every change of the broker's or the\n"
    "                database's state is one line on standard error; SIGINT or SIGTERM ends it\n"
    "                cleanly. Exits with status 1 when it cannot start (settings file, inbox, a\n"
    "                second copy in the same folder); never for the broker or the database away.\n"
    "                It serves the dashboard, a live view of the house in a browser, on the\n"
    "                address and port of [Http] (HTTPS with CertFile and KeyFile) to the accounts\n"
    "                --add-user makes; a port it cannot take is tried again every 10 seconds.\n"
    "  --statistics FIRST LAST FILE.xlsx\n"
    "                writes the reaction-time statistics of the whole house for the days FIRST to\n"
    "                LAST (YYYY-MM-DD) into FILE.xlsx: a sheet per ward of the house, then the ward\n"
    "                report's sheets. --max-reaction SECONDS: the bound of an answered call (3600);\n"
    "                --force: replace an existing file. Exits 0 when written, 2 for bad arguments,\n"
    "                1 otherwise.\n"
    "  --add-user NAME\n"
    "                adds an account of the dashboard, or gives an existing one a new password:\n"
    "                the password is asked twice without echo, or read as two lines of standard\n"
    "                input when that is not a terminal. Only a hash of it is stored.\n"
    "  --remove-user NAME\n"
    "                removes the account. Both exit 0 when done, 2 for bad arguments, 1 otherwise.\n"
    "  --help        this text.\n";

// One line of standard error; the threads write whole lines.
void reportLine(const QString& line)
{
    QString text = line;
    text.replace(u'\r', u' ').replace(u'\n', u' ');
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
}

} // namespace

int main(int argc, char* argv[])
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }
    QCoreApplication app(argc, argv);
    const QString exe = QCoreApplication::applicationFilePath();
    const QStringList args = QCoreApplication::arguments().mid(1);
    if (!args.isEmpty() && args.first() == QLatin1String("--statistics")) {
        QTextStream err(stderr);
        return HouseStatistics::runCommand(args.mid(1), err, exe);
    }
    if (!args.isEmpty() &&
        (args.first() == QLatin1String("--add-user") || args.first() == QLatin1String("--remove-user"))) {
        QTextStream err(stderr);
        return UserAccounts::runCommand(args, err, exe, stdin);
    }
    if (!args.isEmpty()) {
        std::fprintf(stderr, "HalvaneCentral: unknown argument \"%s\"\n%s", qUtf8Printable(args.first()),
                     kUsage);
        return 2;
    }
    if (!StopSignals::install()) {
        reportLine(QStringLiteral("Cannot install the signal handlers"));
        return 1;
    }

    // Every connection of the dashboard is a file descriptor: the soft limit (1,024 under systemd)
    // is raised as far as the hard one allows.
    if (rlimit files{}; ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    // The dashboard outlives the service: the store's thread reports to it until the service stops.
    Dashboard dashboard(&reportLine);
    CentralService service(CentralSettings::pathBeside(exe), &reportLine);
    service.setObserver(
        [&dashboard](const EventStore::Committed& committed) { dashboard.observe(committed); });
    QString why;
    if (!service.start(&why)) {
        reportLine(why);
        return 1;
    }
    dashboard.start(service.http(), service.database().ConnInfo);
    QSocketNotifier notifier(StopSignals::readFd(), QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, [&] {
        StopSignals::take();
        notifier.setEnabled(false);
        QCoreApplication::quit();
    });
    const int status = app.exec();
    service.stop();
    return status;
}
