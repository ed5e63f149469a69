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
    "Запуск: HalvaneCentral [--help]\n"
    "        HalvaneCentral --add-user ИМЯ | --remove-user ИМЯ\n"
    "        HalvaneCentral --statistics ПЕРВЫЙ_ДЕНЬ ПОСЛЕДНИЙ_ДЕНЬ ФАЙЛ.xlsx [--max-reaction СЕКУНДЫ]\n"
    "                       [--force]\n"
    "\n"
    "Центр больницы: собирает в PostgreSQL события, которые серверы отделений публикуют в брокер MQTT,\n"
    "каждое один раз, и ведёт состояние отделений (в сети или нет, открытые вызовы, номера событий,\n"
    "которые так и не пришли). Файл настроек HalvaneCentral.ini лежит рядом с программой и создаётся при\n"
    "первом запуске; там же его журнал (события, полученные и ещё не записанные в базу) и блокировка.\n"
    "\n"
    "  (без параметров)  работает как служба, без окон: каждое изменение состояния брокера или базы\n"
    "                    данных пишется одной строкой в стандартный поток ошибок; SIGINT или SIGTERM\n"
    "                    завершают работу штатно. Код выхода 1, если запуститься не удалось (файл\n"
    "                    настроек, журнал, вторая копия в той же папке); недоступные брокер или база\n"
    "                    не завершают работу. Показывает браузеру панель больницы (вызовы,\n"
    "                    статистика, журнал) по адресу и порту из [Http] (HTTPS с CertFile и\n"
    "                    KeyFile) для учётных записей, созданных --add-user; занятый порт\n"
    "                    пробуется снова каждые 10 секунд.\n"
    "  --statistics ПЕРВЫЙ_ДЕНЬ ПОСЛЕДНИЙ_ДЕНЬ ФАЙЛ.xlsx\n"
    "                    записывает статистику времени реакции всей больницы за дни с первого по\n"
    "                    последний (ГГГГ-ММ-ДД) в книгу ФАЙЛ.xlsx: лист по отделениям, затем листы\n"
    "                    отчёта отделения. --max-reaction СЕКУНДЫ: граница отвеченного вызова (3600);\n"
    "                    --force: заменить существующий файл. Код выхода 0, если файл записан,\n"
    "                    2 при неверных аргументах, 1 в остальных случаях.\n"
    "  --add-user ИМЯ    создаёт учётную запись панели или задаёт новый пароль существующей: пароль\n"
    "                    спрашивается дважды без отображения или читается двумя строками стандартного\n"
    "                    ввода, если это не терминал. Хранится только его хеш.\n"
    "  --remove-user ИМЯ удаляет учётную запись. Код выхода обеих команд 0, если сделано, 2 при\n"
    "                    неверных аргументах, 1 в остальных случаях.\n"
    "  --help            эта справка.\n";

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
        std::fprintf(stderr, "HalvaneCentral: неизвестный параметр «%s»\n%s", qUtf8Printable(args.first()),
                     kUsage);
        return 2;
    }
    if (!StopSignals::install()) {
        reportLine(QStringLiteral("Не удалось установить обработчики сигналов"));
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
    StopSignals::Note stopNote;
    QSocketNotifier notifier(StopSignals::readFd(), QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, [&] {
        stopNote = StopSignals::take();
        notifier.setEnabled(false);
        QCoreApplication::quit();
    });
    const int status = app.exec();
    // Who ended the service, before the stop's own lines.
    if (stopNote.signal != 0)
        reportLine(QStringLiteral("Центр остановлен %1").arg(StopSignals::describe(stopNote)));
    service.stop();
    return status;
}
