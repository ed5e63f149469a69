#include "core/calls/StatusTexts.h"

namespace StatusTexts {

QString alarmCount(int calls, const EscalationValues& settings)
{
    if (calls <= 0)
        return {};
    return settings.sAlarmCount + u' ' + QString::number(calls);
}

QString silentAntenna(const AntennaWatch::Silent& antenna, const EscalationValues& settings,
                      const QDateTime& now, const LogConst& logConst)
{
    const QString ts = sTSFromDateTime(antenna.lastHeard);
    QString since = sTimeFromTS(ts);
    if (antenna.lastHeard.date() != now.date())
        since = sDateFromTS(ts, logConst) + u' ' + since;
    return settings.sAntennaSilent + u' ' + antenna.id + u' ' + settings.sSince + u' ' + since;
}

} // namespace StatusTexts
