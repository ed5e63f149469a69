#include "core/mqtt/MqttSettings.h"

#include "core/settings/IniFile.h"

namespace {

using MqttSettings::kSection;

struct TextKey
{
    const char16_t* key;
    const char16_t* text;
};

const TextKey kComments[] = {
    {u";Описание секции", u"Публикация событий в брокер MQTT"},
    {u";Host", u"адрес брокера MQTT; пусто - публикация выключена"},
    {u";Port", u"порт брокера, 1883 (8883 для TLS)"},
    {u";Topic", u"префикс топиков: <Topic>/events, <Topic>/open, <Topic>/status"},
    {u";ClientId", u"идентификатор клиента; пусто - случайный"},
    {u";Username", u"имя пользователя на брокере; пусто - без имени"},
    {u";Password", u"пароль пользователя на брокере"},
    {u";Tls", u"1 - соединение TLS, 0 - без шифрования"},
    {u";CaFile", u"файл сертификата CA (PEM) для TLS; пусто - системные сертификаты"},
};

constexpr qint32 kDefPort = 1883;
constexpr const char16_t* kDefTopic = u"halvane/ward";

// No key of the file can hold this: values lose their blanks, and it is not a blank.
const QString kMissing = QStringLiteral("\x01missing");

QString text(const char16_t* s)
{
    return QString::fromUtf16(s);
}

} // namespace

QString MqttSettingsValues::problem() const
{
    if (Topic.isEmpty())
        return QStringLiteral("the topic prefix is empty");
    if (Topic.contains(QLatin1Char('+')) || Topic.contains(QLatin1Char('#')))
        return QStringLiteral("the topic prefix \"%1\" holds a wildcard (+ or #)").arg(Topic);
    return {};
}

namespace MqttSettings {

void writeWhenMissing(IniFile& ini)
{
    if (ini.readString(kSection, QStringLiteral(";Описание секции"), kMissing) != kMissing ||
        ini.readString(kSection, QStringLiteral("Host"), kMissing) != kMissing)
        return;
    for (const TextKey& comment : kComments)
        ini.writeString(kSection, text(comment.key), text(comment.text));
    ini.writeString(kSection, QStringLiteral("Host"), QString());
    ini.writeInteger(kSection, QStringLiteral("Port"), kDefPort);
    ini.writeString(kSection, QStringLiteral("Topic"), text(kDefTopic));
    ini.writeString(kSection, QStringLiteral("ClientId"), QString());
    ini.writeString(kSection, QStringLiteral("Username"), QString());
    ini.writeString(kSection, QStringLiteral("Password"), QString());
    ini.writeInteger(kSection, QStringLiteral("Tls"), 0);
    ini.writeString(kSection, QStringLiteral("CaFile"), QString());
}

MqttSettingsValues read(const IniFile& ini)
{
    MqttSettingsValues v;
    v.Host = ini.readString(kSection, QStringLiteral("Host"), QString());
    const qint32 port = ini.readInteger(kSection, QStringLiteral("Port"), kDefPort);
    // Unlike the UDP ports, a broker port outside the valid range is not cut to 16 bits: 70000
    // would silently become 4464 and point at some other service.
    v.Port = quint16(port >= 1 && port <= 65535 ? port : kDefPort);
    v.Topic = ini.readString(kSection, QStringLiteral("Topic"), text(kDefTopic));
    while (v.Topic.endsWith(QLatin1Char('/')))
        v.Topic.chop(1);
    v.ClientId = ini.readString(kSection, QStringLiteral("ClientId"), QString());
    v.Username = ini.readString(kSection, QStringLiteral("Username"), QString());
    v.Password = ini.readString(kSection, QStringLiteral("Password"), QString());
    v.Tls = ini.readInteger(kSection, QStringLiteral("Tls"), 0) != 0;
    v.CaFile = ini.readString(kSection, QStringLiteral("CaFile"), QString());
    return v;
}

} // namespace MqttSettings
