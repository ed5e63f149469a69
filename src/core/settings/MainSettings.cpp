#include "core/settings/MainSettings.h"

#include "core/net/StationNotice.h"
#include "core/settings/IniFile.h"
#include "core/settings/SettingsSection.h"

namespace {

using V = MainSettingsValues;
using K = SettingsSection<V>;

QString columnKey(int n)
{
    return QStringLiteral("col%1").arg(n);
}

QString widthKey(int n)
{
    return QStringLiteral("col%1w").arg(n);
}

QString monthKey(int month)
{
    return QStringLiteral("s_m%1").arg(month, 2, 10, QLatin1Char('0'));
}

const QString kSectionDescription = QStringLiteral("Описание секции");
const QString kToPortComment = QStringLiteral("номер UDP-порта в который ... ");
const QString kFromPortComment = QStringLiteral("номер UDP-порта из которого ... ");

const K& dbSection()
{
    static const K section(
        QStringLiteral("DB"),
        {K::comment(QStringLiteral("FileName"), QStringLiteral("Имя базы данных. По умолчанию orvlite.db.")),
         K::text(QStringLiteral("FileName"), &V::dbFileName)});
    return section;
}

const K& antennaSection()
{
    static const K section(QStringLiteral("Antenna"),
                           {K::comment(QStringLiteral("ToPort"), kToPortComment),
                            K::comment(QStringLiteral("FromPort"), kFromPortComment),
                            K::integer(QStringLiteral("ToPort"), &V::ToAntPort).asLowBitsPort(),
                            K::integer(QStringLiteral("FromPort"), &V::FromAntPort).asLowBitsPort()});
    return section;
}

// Written on every start with their defaults, so a hand edit lasts only until the next start.
const K& clientSection()
{
    constexpr auto every = SettingsKey::When::EveryStart;
    static const K section(
        QStringLiteral("VisualizationClient"),
        {K::comment(QStringLiteral("ToPort"), kToPortComment),
         K::comment(QStringLiteral("FromPort"), kFromPortComment),
         K::comment(QStringLiteral("ToPing"), QStringLiteral("пингующая строка от сервера клиенту")),
         K::comment(QStringLiteral("FromPing"), QStringLiteral("пингующая строка от клиента к серверу")),
         K::integer(QStringLiteral("ToPort"), &V::ToClientsPort)
             .writing(V().ToClientsPort)
             .when(every)
             .asLowBitsPort(),
         K::integer(QStringLiteral("FromPort"), &V::FromClientsPort)
             .writing(V().FromClientsPort)
             .when(every)
             .asLowBitsPort(),
         K::text(QStringLiteral("ToPing"), &V::sToClient).writing(V().sToClient).when(every),
         K::text(QStringLiteral("FromPing"), &V::sFromClient).writing(V().sFromClient).when(every)});
    return section;
}

const K& logFormSection()
{
    static const K section = [] {
        const QString status = QStringLiteral("Статус. ");
        const QString menu = QStringLiteral("Пункт меню: ");
        QList<K::Row> rows = {
            K::comment(kSectionDescription, QStringLiteral("Главная форма")),
            K::comment(QStringLiteral("ant0text"),
                       status + QStringLiteral("Подключенные антенны не найдены.")),
            K::comment(QStringLiteral("ant1text"), status + QStringLiteral("Подключена антенна N")),
            K::comment(QStringLiteral("antNtext"), status + QStringLiteral("Подключены антенны N,N")),
            K::comment(QStringLiteral("reg0text"), status + QStringLiteral("Режим добавления.")),
            K::comment(QStringLiteral("reg1text"), status + QStringLiteral("Режим поиска.")),
            K::comment(QStringLiteral("reg2text"), status + QStringLiteral("Режим регистрации.")),
            K::comment(QStringLiteral("q1"), QStringLiteral("Вопрос. Действительно закрыть программу?")),
            K::comment(QStringLiteral("mInExcel"), menu + QStringLiteral("В excel")),
            K::comment(QStringLiteral("mm1"), menu + QStringLiteral("Журнал событий")),
            K::comment(QStringLiteral("mm11"), menu + QStringLiteral("Фильтр")),
            K::comment(QStringLiteral("mm12"), menu + QStringLiteral("Очистка")),
            K::comment(QStringLiteral("mm2"), menu + QStringLiteral("База")),
            K::comment(QStringLiteral("mm21"), menu + QStringLiteral("Палаты")),
            K::comment(QStringLiteral("mm22"), menu + QStringLiteral("Койки")),
            K::comment(QStringLiteral("mm23"), menu + QStringLiteral("Ответственные")),
            K::comment(QStringLiteral("colНОМЕР_СТОЛБЦА"), QStringLiteral("описание столбца N")),
            K::comment(QStringLiteral("colНОМЕР_СТОЛБЦАw"), QStringLiteral("ширина столбца N")),
        };
        // The comment of a column is its read default ("Койка" for column 4).
        const V defaults;
        for (int n = 0; n < 8; ++n)
            rows << K::comment(columnKey(n), defaults.col[std::size_t(n)]);
        rows << K::text(QStringLiteral("Caption"), &V::Caption) << K::integer(QStringLiteral("Top"), &V::Top)
             << K::integer(QStringLiteral("Left"), &V::Left)
             << K::integer(QStringLiteral("Height"), &V::Height)
             << K::integer(QStringLiteral("Width"), &V::Width)
             << K::text(QStringLiteral("ant0text"), &V::ant0text)
             << K::text(QStringLiteral("ant1text"), &V::ant1text)
             << K::text(QStringLiteral("antNtext"), &V::antNtext)
             << K::text(QStringLiteral("reg0text"), &V::reg0text)
             << K::text(QStringLiteral("reg1text"), &V::reg1text)
             << K::text(QStringLiteral("reg2text"), &V::reg2text)
             << K::text(QStringLiteral("excelFileName"), &V::excelFileName)
             << K::text(QStringLiteral("q1"), &V::q1) << K::text(QStringLiteral("mInExcel"), &V::mInExcel)
             << K::text(QStringLiteral("mm1"), &V::mm1) << K::text(QStringLiteral("mm11"), &V::mm11)
             << K::text(QStringLiteral("mm12"), &V::mm12) << K::text(QStringLiteral("mm2"), &V::mm2)
             << K::text(QStringLiteral("mm21"), &V::mm21) << K::text(QStringLiteral("mm22"), &V::mm22)
             << K::text(QStringLiteral("mm23"), &V::mm23);
        for (int n = 0; n < 8; ++n) {
            K::Row caption = K::text(columnKey(n), &V::col, std::size_t(n));
            if (n == 4)
                caption = caption.writing(QStringLiteral("Место"));
            rows << caption << K::integer(widthKey(n), &V::colw, std::size_t(n));
        }
        return K(QStringLiteral("LogForm"), rows);
    }();
    return section;
}

const K& logConstSection()
{
    static const K section = [] {
        QList<K::Row> rows = {
            K::comment(kSectionDescription, QStringLiteral("Константы отчёта")),
            K::comment(QStringLiteral("s_min"), QStringLiteral("мин ")),
            K::comment(QStringLiteral("s_sec"), QStringLiteral("сек ")),
            K::comment(QStringLiteral("s_noreaction"), QStringLiteral("пропущено")),
            K::comment(QStringLiteral("s_maxreactiontime"),
                       QStringLiteral("01:00:00 - если больше то пропущено")),
            K::comment(QStringLiteral("s_mНОМЕР_МЕСЯЦА"), QStringLiteral("Обозн. месяца ")),
            K::comment(QStringLiteral("log_r8"), QStringLiteral("вызов")),
            K::comment(QStringLiteral("log_r4"), QStringLiteral("прием ")),
            K::comment(QStringLiteral("log_rb"), QStringLiteral("вызов отв.")),
            K::text(QStringLiteral("s_min"), &V::s_min),
            K::text(QStringLiteral("s_sec"), &V::s_sec),
            K::text(QStringLiteral("s_noreaction"), &V::s_noreaction),
            K::text(QStringLiteral("s_maxreactiontime"), &V::s_maxreactiontime),
        };
        for (int month = 1; month <= 12; ++month)
            rows << K::text(monthKey(month), &V::s_m, std::size_t(month - 1));
        rows << K::text(QStringLiteral("log_r8"), &V::log_r8)
             << K::text(QStringLiteral("log_r4"), &V::log_r4).writing(QStringLiteral("прием "))
             << K::text(QStringLiteral("log_rb"), &V::log_rb);
        return K(QStringLiteral("logConst"), rows);
    }();
    return section;
}

// In the order the first start creates them.
QList<const K*> sections()
{
    return {&dbSection(), &antennaSection(), &clientSection(), &logFormSection(), &logConstSection()};
}

} // namespace

namespace MainSettings {

QRect designOuterGeometry()
{
    const V d;
    return QRect(d.Left, d.Top, d.Width, d.Height);
}

void InitComm(IniFile& ini)
{
    for (const K* section : sections())
        section->writeComments(ini);
}

void InitDef(IniFile& ini, const QRect& designOuterGeometry)
{
    V design;
    design.Top = designOuterGeometry.top();
    design.Left = designOuterGeometry.left();
    design.Height = designOuterGeometry.height();
    design.Width = designOuterGeometry.width();
    for (const K* section : sections())
        section->writeDefaults(ini, design);
}

MainSettingsValues read(IniFile& ini)
{
    // The client keys are always put back to their defaults before they are read.
    for (const K* section : sections())
        section->writeLaterStart(ini);
    return readStored(ini);
}

MainSettingsValues readStored(const IniFile& ini, const MainSettingsValues& defaults)
{
    MainSettingsValues v = defaults;
    for (const K* section : sections())
        section->readInto(ini, v);
    return v;
}

void InitSave(IniFile& ini, const QRect& outerGeometry, const std::array<qint32, 8>& columnWidths,
              const QString& excelFileName)
{
    V saved;
    saved.Top = outerGeometry.top();
    saved.Left = outerGeometry.left();
    saved.Height = outerGeometry.height();
    saved.Width = outerGeometry.width();
    saved.colw = columnWidths;
    saved.excelFileName = excelFileName;
    QStringList keys = {QStringLiteral("Top"), QStringLiteral("Left"), QStringLiteral("Height"),
                        QStringLiteral("Width")};
    for (int n = 0; n < 8; ++n)
        keys << widthKey(n);
    keys << QStringLiteral("excelFileName");
    logFormSection().save(ini, keys, saved);
}

} // namespace MainSettings
