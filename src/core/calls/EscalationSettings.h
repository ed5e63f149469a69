#pragma once

#include <QString>
#include <QtGlobal>

class IniFile;

// The section "Escalation": how long a call may wait before it is coloured, how often its notice is
// repeated to the display stations, how far back the open calls are taken from the journal at start,
// when a silent antenna raises the alarm, and whether the open-calls window is shown at start.
// Texts come back without their trailing blanks; whoever joins them with other text supplies them.
struct EscalationValues
{
    // Seconds of waiting after which a call turns to the warning colour, then to the alarm colour;
    // 0 (or less) leaves that colour off.
    qint32 WarnSec = 180;
    qint32 AlarmSec = 300;
    // Seconds between two notices of a call that is still open; 0 (or less) sends no repeat.
    qint32 RepeatSec = 180;
    // How many hours back the open calls are taken from the journal at start; 0 takes none.
    qint32 WindowHours = 12;
    // Seconds without a sign-on after which an antenna that was heard counts as silent; 0 (or less)
    // switches the supervision off.
    qint32 AntennaSilentSec = 60;
    bool ShowAtStart = true;

    // Status texts: "<sAlarmCount> <n>" and "<sAntennaSilent> <id> <sSince> <time>".
    QString sAlarmCount = QStringLiteral("Вызовов в тревоге:");
    QString sAntennaSilent = QStringLiteral("Нет сигнала от антенны");
    QString sSince = QStringLiteral("с");
};

namespace EscalationSettings {

inline const QString kSection = QStringLiteral("Escalation");

// Every start, after the sections of the other windows: writes each key of the section that the file
// lacks, comment keys first. A file without the section gets all of it, appended after the existing
// sections; a file that has it keeps every value as it stands. True when a key was added. Throws
// AppError when the write fails.
bool writeMissing(IniFile& ini);

// The values, each with its default when missing or not a number.
EscalationValues read(const IniFile& ini);

} // namespace EscalationSettings
