#include "core/mqtt/MqttSettings.h"

#include "core/settings/IniFile.h"
#include "core/settings/SettingsSection.h"

namespace {

using V = MqttSettingsValues;
using K = SettingsSection<V>;

const K& section()
{
    static const K table(
        MqttSettings::kSection,
        {K::comment(QStringLiteral("Описание секции"), QStringLiteral("Публикация событий в брокер MQTT")),
         K::comment(QStringLiteral("Host"),
                    QStringLiteral("адрес брокера MQTT; пусто - публикация выключена")),
         K::comment(QStringLiteral("Port"), QStringLiteral("порт брокера, 1883 (8883 для TLS)")),
         K::comment(QStringLiteral("Topic"),
                    QStringLiteral("префикс топиков: <Topic>/events, <Topic>/open, <Topic>/status")),
         K::comment(QStringLiteral("ClientId"), QStringLiteral("идентификатор клиента; пусто - случайный")),
         K::comment(QStringLiteral("Username"),
                    QStringLiteral("имя пользователя на брокере; пусто - без имени")),
         K::comment(QStringLiteral("Password"), QStringLiteral("пароль пользователя на брокере")),
         K::comment(QStringLiteral("Tls"), QStringLiteral("1 - соединение TLS, 0 - без шифрования")),
         K::comment(QStringLiteral("CaFile"),
                    QStringLiteral("файл сертификата CA (PEM) для TLS; пусто - системные сертификаты")),
         K::text(QStringLiteral("Host"), &V::Host),
         // Unlike the UDP ports, a broker port outside the valid range is not cut to 16 bits: 70000
         // would silently become 4464 and point at some other service.
         K::integer(QStringLiteral("Port"), &V::Port).within(1, 65535),
         K::text(QStringLiteral("Topic"), &V::Topic), K::text(QStringLiteral("ClientId"), &V::ClientId),
         K::text(QStringLiteral("Username"), &V::Username), K::text(QStringLiteral("Password"), &V::Password),
         K::integer(QStringLiteral("Tls"), &V::Tls), K::text(QStringLiteral("CaFile"), &V::CaFile)});
    return table;
}

} // namespace

QString MqttSettingsValues::problem() const
{
    if (!TlsUnreadable.isNull())
        return QStringLiteral("[Mqtt] Tls=\"%1\" is neither 1 (TLS) nor 0 (no encryption): the broker stays "
                              "off rather than send the password in plain text")
            .arg(TlsUnreadable);
    if (Topic.isEmpty())
        return QStringLiteral("the topic prefix is empty");
    if (Topic.contains(QLatin1Char('+')) || Topic.contains(QLatin1Char('#')))
        return QStringLiteral("the topic prefix \"%1\" holds a wildcard (+ or #)").arg(Topic);
    return {};
}

namespace MqttSettings {

bool writeWhenMissing(IniFile& ini)
{
    return section().writeMissing(ini);
}

MqttSettingsValues read(const IniFile& ini)
{
    MqttSettingsValues v = section().read(ini);
    while (v.Topic.endsWith(QLatin1Char('/')))
        v.Topic.chop(1);
    v.TlsUnreadable = unreadableTls(ini, kSection);
    if (!v.TlsUnreadable.isNull())
        v.Tls = false;
    return v;
}

QString unreadableTls(const IniFile& ini, const QString& section)
{
    // Read as the file's numbers are (decimal, or hexadecimal with 0x); an empty key is off.
    const QString tls = ini.readString(section, QStringLiteral("Tls"), QString()).trimmed();
    bool ok = false;
    const int number = tls.toInt(&ok, 0);
    if (!tls.isEmpty() && (!ok || (number != 0 && number != 1)))
        return tls;
    return {};
}

} // namespace MqttSettings
