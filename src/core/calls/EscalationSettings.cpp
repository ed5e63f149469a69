#include "core/calls/EscalationSettings.h"

#include "core/settings/IniFile.h"
#include "core/settings/SettingsSection.h"

namespace {

using V = EscalationValues;
using K = SettingsSection<V>;

// Written on every start that finds the section, or one of its keys, missing.
const K& section()
{
    static const K table = [] {
        const QList<K::Row> rows = {
            K::comment(QStringLiteral("Описание секции"),
                       QStringLiteral("Ожидающие вызовы: цвета, повтор извещения, контроль антенн")),
            K::comment(QStringLiteral("WarnSec"),
                       QStringLiteral("через сколько секунд ожидания вызов выделяется "
                                      "цветом предупреждения (0 - не выделять)")),
            K::comment(QStringLiteral("AlarmSec"),
                       QStringLiteral("через сколько секунд ожидания вызов выделяется цветом тревоги (0 - не "
                                      "выделять)")),
            K::comment(QStringLiteral("RepeatSec"),
                       QStringLiteral("через сколько секунд клиентам повторяется "
                                      "извещение о вызове без ответа (0 - не "
                                      "повторять)")),
            K::comment(QStringLiteral("WindowHours"),
                       QStringLiteral("за сколько последних часов вызовы без ответа берутся из журнала при "
                                      "запуске")),
            K::comment(QStringLiteral("AntennaSilentSec"),
                       QStringLiteral("через сколько секунд молчания антенны поднимается тревога (0 - не "
                                      "следить)")),
            K::comment(QStringLiteral("ShowAtStart"),
                       QStringLiteral("показывать окно активных вызовов при запуске (1 - да, 0 - нет)")),
            K::comment(QStringLiteral("sAlarmCount"), QStringLiteral("Статус. Вызовов в тревоге: N")),
            K::comment(QStringLiteral("sAntennaSilent"),
                       QStringLiteral("Статус. Нет сигнала от антенны N с ЧЧ:ММ:СС")),
            K::comment(QStringLiteral("sSince"), QStringLiteral("Подстановка: с")),
            K::integer(QStringLiteral("WarnSec"), &V::WarnSec),
            K::integer(QStringLiteral("AlarmSec"), &V::AlarmSec),
            K::integer(QStringLiteral("RepeatSec"), &V::RepeatSec),
            K::integer(QStringLiteral("WindowHours"), &V::WindowHours),
            K::integer(QStringLiteral("AntennaSilentSec"), &V::AntennaSilentSec),
            K::integer(QStringLiteral("ShowAtStart"), &V::ShowAtStart).within(0, 1),
            // The status texts are written with the blank that joins them to what follows.
            K::text(QStringLiteral("sAlarmCount"), &V::sAlarmCount).writing(V().sAlarmCount + u' '),
            K::text(QStringLiteral("sAntennaSilent"), &V::sAntennaSilent).writing(V().sAntennaSilent + u' '),
            K::text(QStringLiteral("sSince"), &V::sSince).writing(V().sSince + u' '),
        };
        QList<K::Row> missing;
        for (const K::Row& row : rows)
            missing << row.when(SettingsKey::When::Missing);
        return K(EscalationSettings::kSection, missing);
    }();
    return table;
}

} // namespace

namespace EscalationSettings {

bool writeMissing(IniFile& ini)
{
    return section().writeLaterStart(ini);
}

EscalationValues read(const IniFile& ini)
{
    return section().read(ini);
}

} // namespace EscalationSettings
