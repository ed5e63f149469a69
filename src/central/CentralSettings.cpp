#include "central/CentralSettings.h"

#include "core/mqtt/MqttSettings.h"
#include "core/settings/IniFile.h"
#include "core/settings/SettingsSection.h"

namespace {

using B = SettingsSection<BrokerSettings>;
using D = SettingsSection<DatabaseSettings>;
using H = SettingsSection<HttpSettings>;
constexpr auto kMissing = SettingsKey::When::Missing;

const B& brokerSection()
{
    static const B section(
        QStringLiteral("Broker"),
        {B::comment(QStringLiteral("Описание секции"),
                    QStringLiteral("Брокер MQTT, от которого собираются события отделений")),
         B::comment(QStringLiteral("Host"), QStringLiteral("адрес брокера MQTT")),
         B::comment(QStringLiteral("Port"), QStringLiteral("порт брокера, 1883 (8883 для TLS)")),
         B::comment(QStringLiteral("ClientId"),
                    QStringLiteral("постоянный идентификатор клиента; у второй копии - свой")),
         B::comment(QStringLiteral("Username"),
                    QStringLiteral("имя пользователя на брокере; пусто - без имени")),
         B::comment(QStringLiteral("Password"), QStringLiteral("пароль пользователя на брокере")),
         B::comment(QStringLiteral("Tls"), QStringLiteral("1 - соединение TLS, 0 - без шифрования")),
         B::comment(QStringLiteral("CaFile"),
                    QStringLiteral("файл сертификата CA (PEM) для TLS; пусто - системные сертификаты")),
         B::comment(QStringLiteral("Topics"),
                    QStringLiteral("префиксы топиков отделений через запятую; + - один уровень; последний "
                                   "уровень - идентификатор отделения")),
         B::text(QStringLiteral("Host"), &BrokerSettings::Host).when(kMissing),
         B::integer(QStringLiteral("Port"), &BrokerSettings::Port).within(1, 65535).when(kMissing),
         B::text(QStringLiteral("ClientId"), &BrokerSettings::ClientId).when(kMissing),
         B::text(QStringLiteral("Username"), &BrokerSettings::Username).when(kMissing),
         B::text(QStringLiteral("Password"), &BrokerSettings::Password).when(kMissing),
         B::integer(QStringLiteral("Tls"), &BrokerSettings::Tls).when(kMissing),
         B::text(QStringLiteral("CaFile"), &BrokerSettings::CaFile).when(kMissing),
         B::text(QStringLiteral("Topics"), &BrokerSettings::Topics).when(kMissing)});
    return section;
}

const D& databaseSection()
{
    static const D section(
        QStringLiteral("Database"),
        {D::comment(QStringLiteral("Описание секции"),
                    QStringLiteral("База PostgreSQL, в которой хранятся события больницы")),
         D::comment(
             QStringLiteral("ConnInfo"),
             QStringLiteral("строка подключения libpq, например host=db1 dbname=halvane user=central")),
         D::text(QStringLiteral("ConnInfo"), &DatabaseSettings::ConnInfo).when(kMissing)});
    return section;
}

const H& httpSection()
{
    static const H section(
        QStringLiteral("Http"),
        {H::comment(QStringLiteral("Описание секции"),
                    QStringLiteral("Веб-страница больницы: вызовы, статистика и журнал в браузере")),
         H::comment(QStringLiteral("Address"),
                    QStringLiteral("адрес, на котором принимаются подключения; пусто - все адреса")),
         H::comment(QStringLiteral("Port"), QStringLiteral("порт веб-страницы, 8080")),
         H::comment(QStringLiteral("CertFile"),
                    QStringLiteral("файл сертификата (PEM); вместе с KeyFile - HTTPS")),
         H::comment(QStringLiteral("KeyFile"), QStringLiteral("файл закрытого ключа сертификата (PEM)")),
         H::comment(QStringLiteral("SessionHours"),
                    QStringLiteral("сколько часов действует вход, от 1 до 720")),
         H::comment(QStringLiteral("Hosts"),
                    QStringLiteral("имена, по которым открывают страницу, через запятую, кроме имени этого "
                                   "компьютера и IP-адресов; * - любые")),
         H::text(QStringLiteral("Address"), &HttpSettings::Address).when(kMissing),
         H::integer(QStringLiteral("Port"), &HttpSettings::Port).within(1, 65535).when(kMissing),
         H::text(QStringLiteral("CertFile"), &HttpSettings::CertFile).when(kMissing),
         H::text(QStringLiteral("KeyFile"), &HttpSettings::KeyFile).when(kMissing),
         H::integer(QStringLiteral("SessionHours"), &HttpSettings::SessionHours)
             .within(1, 720)
             .when(kMissing),
         H::text(QStringLiteral("Hosts"), &HttpSettings::Hosts).when(kMissing)});
    return section;
}

} // namespace

QStringList BrokerSettings::topicFilters() const
{
    QStringList filters;
    for (QString f : Topics.split(u',', Qt::SkipEmptyParts)) {
        f = f.trimmed();
        while (f.endsWith(u'/'))
            f.chop(1);
        if (!f.isEmpty())
            filters << f;
    }
    return filters;
}

QString BrokerSettings::problem() const
{
    if (!TlsUnreadable.isNull())
        return QStringLiteral("[Broker] Tls=\"%1\" - не 1 (TLS) и не 0 (без шифрования)").arg(TlsUnreadable);
    if (Host.isEmpty())
        return QStringLiteral("не задан адрес брокера ([Broker] Host)");
    const QStringList filters = topicFilters();
    if (filters.isEmpty())
        return QStringLiteral("не задан ни один префикс топиков ([Broker] Topics)");
    for (const QString& f : filters) {
        if (f.contains(u'#'))
            return QStringLiteral("в префиксе топиков \"%1\" есть \"#\"; один уровень обозначает \"+\"")
                .arg(f);
        for (const QString& level : f.split(u'/')) {
            if (level.isEmpty())
                return QStringLiteral("в префиксе топиков \"%1\" пустой уровень").arg(f);
            if (level.contains(u'+') && level != QLatin1String("+"))
                return QStringLiteral("в префиксе топиков \"%1\" \"+\" должен занимать весь уровень").arg(f);
        }
    }
    return {};
}

namespace CentralSettings {

QString pathBeside(const QString& exePath)
{
    return IniFile::pathBesideExecutable(exePath);
}

void writeStart(IniFile& ini)
{
    const bool firstStart = !ini.exists();
    ini.holdWrites();
    brokerSection().writeStart(ini, firstStart);
    databaseSection().writeStart(ini, firstStart);
    httpSection().writeStart(ini, firstStart);
    ini.writeHeld();
}

BrokerSettings readBroker(const IniFile& ini)
{
    BrokerSettings b = brokerSection().read(ini);
    b.TlsUnreadable = MqttSettings::unreadableTls(ini, QStringLiteral("Broker"));
    if (!b.TlsUnreadable.isNull())
        b.Tls = false;
    return b;
}

DatabaseSettings readDatabase(const IniFile& ini)
{
    return databaseSection().read(ini);
}

HttpSettings readHttp(const IniFile& ini)
{
    return httpSection().read(ini);
}

} // namespace CentralSettings
