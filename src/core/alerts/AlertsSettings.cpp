#include "core/alerts/AlertsSettings.h"

#include "core/settings/IniFile.h"
#include "core/settings/SettingsSection.h"

namespace {

using V = AlertsSettingsValues;
using K = SettingsSection<V>;

const K& section()
{
    static const K table(
        AlertsSettings::kSection,
        {K::comment(QStringLiteral("Описание секции"),
                    QStringLiteral("Передача вызовов на телефоны через менеджер оповещений (IHE PCD ACM)")),
         K::comment(QStringLiteral("Host"),
                    QStringLiteral(
                        "адрес менеджера оповещений (HL7 MLLP); пусто - вызовы на телефоны не передаются")),
         K::comment(QStringLiteral("Port"), QStringLiteral("TCP-порт менеджера оповещений, 2575")),
         K::comment(QStringLiteral("PointOfCare"),
                    QStringLiteral("отделение, как его знает менеджер оповещений (PV1-3.1)")),
         K::comment(QStringLiteral("Facility"),
                    QStringLiteral("больница, как её знает менеджер оповещений (MSH-4, PV1-3.4)")),
         K::comment(QStringLiteral("SendingApplication"),
                    QStringLiteral("имя этого сервера в сообщениях (MSH-3)")),
         K::comment(QStringLiteral("ReceivingApplication"),
                    QStringLiteral("имя менеджера оповещений (MSH-5); пусто - не указывается")),
         K::comment(QStringLiteral("ReceivingFacility"),
                    QStringLiteral("больница менеджера оповещений (MSH-6); пусто - не указывается")),
         K::comment(QStringLiteral("AckTimeoutSec"),
                    QStringLiteral("сколько секунд ждать подтверждения сообщения (ACK)")),
         K::comment(QStringLiteral("RetrySec"),
                    QStringLiteral(
                        "через сколько секунд повторить сообщение без подтверждения или с ответом AE/CE")),
         K::comment(
             QStringLiteral("WatchdogSec"),
             QStringLiteral("через сколько секунд простоя посылать контрольное сообщение (0 - не посылать)")),
         K::text(QStringLiteral("Host"), &V::Host),
         K::integer(QStringLiteral("Port"), &V::Port).within(1, 65535),
         K::text(QStringLiteral("PointOfCare"), &V::PointOfCare),
         K::text(QStringLiteral("Facility"), &V::Facility),
         K::text(QStringLiteral("SendingApplication"), &V::SendingApplication),
         K::text(QStringLiteral("ReceivingApplication"), &V::ReceivingApplication),
         K::text(QStringLiteral("ReceivingFacility"), &V::ReceivingFacility),
         K::integer(QStringLiteral("AckTimeoutSec"), &V::AckTimeoutSec).within(1, 3600),
         K::integer(QStringLiteral("RetrySec"), &V::RetrySec).within(1, 3600),
         K::integer(QStringLiteral("WatchdogSec"), &V::WatchdogSec).within(0, 86400)});
    return table;
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

bool writeWhenMissing(IniFile& ini)
{
    return section().writeMissing(ini);
}

AlertsSettingsValues read(const IniFile& ini)
{
    return section().read(ini);
}

} // namespace AlertsSettings
