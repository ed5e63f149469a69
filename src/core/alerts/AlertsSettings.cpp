#include "core/alerts/AlertsSettings.h"

#include "core/settings/IniFile.h"

namespace {

using AlertsSettings::kSection;

// Every key of the section in the order a start that lacks the section writes it: its comment, its
// default and the member it is read into (exactly one of text and number is set), with the range a
// number must lie in.
struct Key
{
    const char16_t* key;
    const char16_t* comment;
    const char16_t* textDefault;
    qint32 numberDefault;
    qint32 min;
    qint32 max;
    QString AlertsSettingsValues::*text;
    qint32 AlertsSettingsValues::*number;
};

const Key kKeys[] = {
    {u"Host", u"адрес менеджера оповещений (HL7 MLLP); пусто - вызовы на телефоны не передаются", u"", 0, 0,
     0, &AlertsSettingsValues::Host, nullptr},
    {u"Port", u"TCP-порт менеджера оповещений, 2575", nullptr, 2575, 1, 65535, nullptr,
     &AlertsSettingsValues::Port},
    {u"PointOfCare", u"отделение, как его знает менеджер оповещений (PV1-3.1)", u"", 0, 0, 0,
     &AlertsSettingsValues::PointOfCare, nullptr},
    {u"Facility", u"больница, как её знает менеджер оповещений (MSH-4, PV1-3.4)", u"", 0, 0, 0,
     &AlertsSettingsValues::Facility, nullptr},
    {u"SendingApplication", u"имя этого сервера в сообщениях (MSH-3)", u"HALVANE", 0, 0, 0,
     &AlertsSettingsValues::SendingApplication, nullptr},
    {u"ReceivingApplication", u"имя менеджера оповещений (MSH-5); пусто - не указывается", u"", 0, 0, 0,
     &AlertsSettingsValues::ReceivingApplication, nullptr},
    {u"ReceivingFacility", u"больница менеджера оповещений (MSH-6); пусто - не указывается", u"", 0, 0, 0,
     &AlertsSettingsValues::ReceivingFacility, nullptr},
    {u"AckTimeoutSec", u"сколько секунд ждать подтверждения сообщения (ACK)", nullptr, 5, 1, 3600, nullptr,
     &AlertsSettingsValues::AckTimeoutSec},
    {u"RetrySec", u"через сколько секунд повторить сообщение без подтверждения или с ответом AE/CE", nullptr,
     5, 1, 3600, nullptr, &AlertsSettingsValues::RetrySec},
    {u"WatchdogSec", u"через сколько секунд простоя посылать контрольное сообщение (0 - не посылать)",
     nullptr, 30, 0, 86400, nullptr, &AlertsSettingsValues::WatchdogSec},
};

const char16_t* const kDescription = u"Передача вызовов на телефоны через менеджер оповещений (IHE PCD ACM)";

// No key of the file can hold this: values lose their blanks, and it is not a blank.
const QString kMissing = QStringLiteral("\x01missing");

QString text(const char16_t* s)
{
    return QString::fromUtf16(s);
}

} // namespace

QString AlertsSettingsValues::problem() const
{
    if (PointOfCare.isEmpty())
        return QStringLiteral("PointOfCare is empty: the alert manager could not route the calls");
    if (SendingApplication.isEmpty())
        return QStringLiteral("SendingApplication is empty: the alerts would have no sender");
    return {};
}

namespace AlertsSettings {

void writeWhenMissing(IniFile& ini)
{
    if (ini.readString(kSection, QStringLiteral(";Описание секции"), kMissing) != kMissing ||
        ini.readString(kSection, QStringLiteral("Host"), kMissing) != kMissing)
        return;
    ini.writeString(kSection, QStringLiteral(";Описание секции"), text(kDescription));
    for (const Key& k : kKeys)
        ini.writeString(kSection, u';' + text(k.key), text(k.comment));
    for (const Key& k : kKeys) {
        if (k.textDefault)
            ini.writeString(kSection, text(k.key), text(k.textDefault));
        else
            ini.writeInteger(kSection, text(k.key), k.numberDefault);
    }
}

AlertsSettingsValues read(const IniFile& ini)
{
    AlertsSettingsValues v;
    for (const Key& k : kKeys) {
        if (k.textDefault) {
            v.*(k.text) = ini.readString(kSection, text(k.key), text(k.textDefault));
            continue;
        }
        qint32 n = ini.readInteger(kSection, text(k.key), k.numberDefault);
        if (n < k.min || n > k.max)
            n = k.numberDefault;
        v.*(k.number) = n;
    }
    return v;
}

} // namespace AlertsSettings
