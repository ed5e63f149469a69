#pragma once

#include "core/calls/AntennaWatch.h"
#include "core/calls/EscalationSettings.h"
#include "core/journal/TimeFormat.h"

#include <QDateTime>
#include <QString>

// The status texts of the open-call supervision, for the main window's status bar and the red
// lines of the open-calls window.
namespace StatusTexts {

// "Вызовов в тревоге: 2"; "" when no call is in alarm.
QString alarmCount(int calls, const EscalationValues& settings);

// "Нет сигнала от антенны A1 с 14:05:09"; the day and month go before the time when the antenna was
// last heard on another day than now.
QString silentAntenna(const AntennaWatch::Silent& antenna, const EscalationValues& settings,
                      const QDateTime& now, const LogConst& logConst);

} // namespace StatusTexts
