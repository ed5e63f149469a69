#include "core/calls/EscalationSettings.h"

#include "core/settings/IniFile.h"

namespace {

struct Key
{
    const char16_t* key;
    const char16_t* text;
};

// Comment keys in the order the section is first written.
const Key kComments[] = {
    {u";Описание секции", u"Ожидающие вызовы: цвета, повтор извещения, контроль антенн"},
    {u";WarnSec", u"через сколько секунд ожидания вызов выделяется цветом предупреждения (0 - не выделять)"},
    {u";AlarmSec", u"через сколько секунд ожидания вызов выделяется цветом тревоги (0 - не выделять)"},
    {u";RepeatSec",
     u"через сколько секунд клиентам повторяется извещение о вызове без ответа (0 - не повторять)"},
    {u";WindowHours", u"за сколько последних часов вызовы без ответа берутся из журнала при запуске"},
    {u";AntennaSilentSec", u"через сколько секунд молчания антенны поднимается тревога (0 - не следить)"},
    {u";ShowAtStart", u"показывать окно активных вызовов при запуске (1 - да, 0 - нет)"},
    {u";sAlarmCount", u"Статус. Вызовов в тревоге: N"},
    {u";sAntennaSilent", u"Статус. Нет сигнала от антенны N с ЧЧ:ММ:СС"},
    {u";sSince", u"Подстановка: с"},
};

QString text(const char16_t* s)
{
    return QString::fromUtf16(s);
}

// No value the file can hold reads back as this: a key reading it is missing.
const QString kMissing = QStringLiteral("\x01missing\x01");

} // namespace

void writeStringIfMissing(IniFile& ini, const QString& section, const QString& key, const QString& value)
{
    if (ini.readString(section, key, kMissing) == kMissing)
        ini.writeString(section, key, value);
}

namespace EscalationSettings {

void writeMissing(IniFile& ini)
{
    for (const Key& comment : kComments)
        writeStringIfMissing(ini, kSection, text(comment.key), text(comment.text));

    const EscalationValues d;
    const auto number = [](qint32 value) { return QString::number(value); };
    writeStringIfMissing(ini, kSection, QStringLiteral("WarnSec"), number(d.WarnSec));
    writeStringIfMissing(ini, kSection, QStringLiteral("AlarmSec"), number(d.AlarmSec));
    writeStringIfMissing(ini, kSection, QStringLiteral("RepeatSec"), number(d.RepeatSec));
    writeStringIfMissing(ini, kSection, QStringLiteral("WindowHours"), number(d.WindowHours));
    writeStringIfMissing(ini, kSection, QStringLiteral("AntennaSilentSec"), number(d.AntennaSilentSec));
    writeStringIfMissing(ini, kSection, QStringLiteral("ShowAtStart"), number(d.ShowAtStart ? 1 : 0));
    writeStringIfMissing(ini, kSection, QStringLiteral("sAlarmCount"), d.sAlarmCount + u' ');
    writeStringIfMissing(ini, kSection, QStringLiteral("sAntennaSilent"), d.sAntennaSilent + u' ');
    writeStringIfMissing(ini, kSection, QStringLiteral("sSince"), d.sSince + u' ');
}

EscalationValues read(const IniFile& ini)
{
    EscalationValues v;
    v.WarnSec = ini.readInteger(kSection, QStringLiteral("WarnSec"), v.WarnSec);
    v.AlarmSec = ini.readInteger(kSection, QStringLiteral("AlarmSec"), v.AlarmSec);
    v.RepeatSec = ini.readInteger(kSection, QStringLiteral("RepeatSec"), v.RepeatSec);
    v.WindowHours = ini.readInteger(kSection, QStringLiteral("WindowHours"), v.WindowHours);
    v.AntennaSilentSec = ini.readInteger(kSection, QStringLiteral("AntennaSilentSec"), v.AntennaSilentSec);
    v.ShowAtStart = ini.readInteger(kSection, QStringLiteral("ShowAtStart"), 1) != 0;
    v.sAlarmCount = ini.readString(kSection, QStringLiteral("sAlarmCount"), v.sAlarmCount);
    v.sAntennaSilent = ini.readString(kSection, QStringLiteral("sAntennaSilent"), v.sAntennaSilent);
    v.sSince = ini.readString(kSection, QStringLiteral("sSince"), v.sSince);
    return v;
}

} // namespace EscalationSettings
