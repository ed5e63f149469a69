#include "core/mqtt/MqttSettings.h"

#include "core/settings/IniFile.h"
#include "core/settings/SettingsFallback.h"
#include "core/settings/SettingsSection.h"

#include <QFileInfo>

#include <optional>

namespace {

using V = MqttSettingsValues;
using K = SettingsSection<V>;

const QString kBrokerOff = QStringLiteral("the broker stays off");

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
         K::integer(QStringLiteral("Tls"), &V::Tls).checkedByReader(),
         K::text(QStringLiteral("CaFile"), &V::CaFile)});
    return table;
}

} // namespace

namespace {

// A value that keeps the broker off: its key, its value and what is wrong with it.
struct Unusable
{
    QString key;
    QString value;
    QString why;
};

std::optional<Unusable> unusable(const MqttSettingsValues& v)
{
    if (!v.TlsUnreadable.isNull())
        return Unusable{QStringLiteral("Tls"), v.TlsUnreadable,
                        QStringLiteral("is neither 1 (TLS) nor 0 (no encryption), and the password must not "
                                       "go out in plain text")};
    if (!v.CaFileUnreadable.isEmpty())
        return Unusable{QStringLiteral("CaFile"), v.CaFile, v.CaFileUnreadable};
    if (v.Topic.isEmpty())
        return Unusable{QStringLiteral("Topic"), v.Topic, QStringLiteral("is empty")};
    if (v.Topic.contains(QLatin1Char('+')) || v.Topic.contains(QLatin1Char('#')))
        return Unusable{QStringLiteral("Topic"), v.Topic, QStringLiteral("holds a wildcard (+ or #)")};
    return std::nullopt;
}

} // namespace

QString MqttSettingsValues::problem() const
{
    const std::optional<Unusable> u = unusable(*this);
    return u ? QStringLiteral("[Mqtt] %1=\"%2\" %3; %4").arg(u->key, u->value, u->why, kBrokerOff)
             : QString();
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
    // The library's own word for a missing file is "Invalid function arguments provided.", at every
    // attempt to connect.
    if (v.Tls && !v.CaFile.isEmpty()) {
        const QFileInfo ca(v.CaFile);
        if (!ca.exists())
            v.CaFileUnreadable = QStringLiteral("does not exist");
        else if (!ca.isFile())
            v.CaFileUnreadable = QStringLiteral("is not a file");
        else if (!ca.isReadable())
            v.CaFileUnreadable = QStringLiteral("cannot be read");
    }
    // Told with the file's name as the section is read; problem() says it again to whoever starts
    // the publisher.
    if (const std::optional<Unusable> u = unusable(v); u && v.enabled())
        SettingsFallbacks::report({ini.path(), kSection, u->key, u->value, u->why, kBrokerOff});
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
