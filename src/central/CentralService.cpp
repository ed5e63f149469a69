#include "central/CentralService.h"

#include "core/base/AppError.h"
#include "core/settings/IniFile.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

CentralService::CentralService(QString settingsPath, BrokerLink::Report report)
    : m_settingsPath(std::move(settingsPath)), m_report(std::move(report))
{
}

CentralService::~CentralService()
{
    stop();
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

QString CentralService::beside(const char* suffix) const
{
    QString path = m_settingsPath;
    if (path.endsWith(QLatin1String(".ini")))
        path.chop(4);
    return path + QLatin1String(suffix);
}

bool CentralService::start(QString* why)
{
    IniFile ini = IniFile::load(m_settingsPath);
    try {
        CentralSettings::writeStart(ini);
    } catch (const AppError& e) {
        *why = e.message();
        return false;
    }
    const BrokerSettings broker = CentralSettings::readBroker(ini);
    const DatabaseSettings database = CentralSettings::readDatabase(ini);
    m_database = database;
    m_http = CentralSettings::readHttp(ini);
    if (const QString problem = broker.problem(); !problem.isEmpty()) {
        *why = QStringLiteral("%1: %2").arg(m_settingsPath, problem);
        return false;
    }

    const QByteArray lockPath = QFile::encodeName(beside(".lock"));
    m_lockFd = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_lockFd < 0) {
        *why = QStringLiteral("не открывается %1: %2")
                   .arg(beside(".lock"), QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    if (::flock(m_lockFd, LOCK_EX | LOCK_NB) != 0) {
        *why =
            QStringLiteral("с файлом %1 уже работает другой HalvaneCentral (второй копии нужна своя папка)")
                .arg(m_settingsPath);
        return false;
    }

    m_inbox = std::make_unique<EventInbox>(beside(".inbox"));
    qint64 recovered = 0;
    qint64 damaged = 0;
    if (!m_inbox->open(&recovered, &damaged)) {
        *why = m_inbox->errorString();
        return false;
    }
    if (recovered > 0 && m_report)
        m_report(
            QStringLiteral("Журнал центра: %1 событий ждут записи в базу с прошлого запуска").arg(recovered));
    if (damaged > 0 && m_report)
        m_report(QStringLiteral("Журнал центра: %1 повреждённых записей пропущено и сохранено рядом с ним")
                     .arg(damaged));

    m_store = std::make_unique<EventStore>(database.ConnInfo, *m_inbox, beside(".rejects"), m_report,
                                           m_timing.store);
    m_store->setObserver(m_observer);
    if (!m_store->start(why))
        return false;
    m_link = std::make_unique<BrokerLink>(broker, *m_inbox, m_report, m_timing.broker);
    return m_link->start(why);
}

void CentralService::stop()
{
    if (m_link)
        m_link->stop();
    if (m_store)
        m_store->stop();
    if (m_inbox)
        m_inbox->sync();
}
