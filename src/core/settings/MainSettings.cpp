#include "core/settings/MainSettings.h"

#include "core/net/StationNotice.h"
#include "core/settings/IniFile.h"
#include "core/settings/SettingsTable.h"

#include <iterator>

namespace {

const QString kDB = QStringLiteral("DB");
const QString kAntenna = QStringLiteral("Antenna");
const QString kVisualizationClient = QStringLiteral("VisualizationClient");
const QString kLogForm = QStringLiteral("LogForm");
const QString kLogConst = QStringLiteral("logConst");

struct TextKey
{
    const QString& section;
    const char16_t* key;
    const char16_t* text;
};

// The comment keys in the order the first start writes them. LogForm comes back after logConst for
// its column comments; they still land with the section's other comments, since a new key goes
// after the last key of its section.
const TextKey kComments[] = {
    {kDB, u";FileName", u"Имя базы данных. По умолчанию orvlite.db."},
    {kAntenna, u";ToPort", u"номер UDP-порта в который ... "},
    {kAntenna, u";FromPort", u"номер UDP-порта из которого ... "},
    {kVisualizationClient, u";ToPort", u"номер UDP-порта в который ... "},
    {kVisualizationClient, u";FromPort", u"номер UDP-порта из которого ... "},
    {kVisualizationClient, u";ToPing", u"пингующая строка от сервера клиенту"},
    {kVisualizationClient, u";FromPing", u"пингующая строка от клиента к серверу"},
    {kLogForm, u";Описание секции", u"Главная форма"},
    {kLogForm, u";ant0text", u"Статус. Подключенные антенны не найдены."},
    {kLogForm, u";ant1text", u"Статус. Подключена антенна N"},
    {kLogForm, u";antNtext", u"Статус. Подключены антенны N,N"},
    {kLogForm, u";reg0text", u"Статус. Режим добавления."},
    {kLogForm, u";reg1text", u"Статус. Режим поиска."},
    {kLogForm, u";reg2text", u"Статус. Режим регистрации."},
    {kLogForm, u";q1", u"Вопрос. Действительно закрыть программу?"},
    {kLogForm, u";mInExcel", u"Пункт меню: В excel"},
    {kLogForm, u";mm1", u"Пункт меню: Журнал событий"},
    {kLogForm, u";mm11", u"Пункт меню: Фильтр"},
    {kLogForm, u";mm12", u"Пункт меню: Очистка"},
    {kLogForm, u";mm2", u"Пункт меню: База"},
    {kLogForm, u";mm21", u"Пункт меню: Палаты"},
    {kLogForm, u";mm22", u"Пункт меню: Койки"},
    {kLogForm, u";mm23", u"Пункт меню: Ответственные"},
    {kLogConst, u";Описание секции", u"Константы отчёта"},
    {kLogConst, u";s_min", u"мин "},
    {kLogConst, u";s_sec", u"сек "},
    {kLogConst, u";s_noreaction", u"пропущено"},
    {kLogConst, u";s_maxreactiontime", u"01:00:00 - если больше то пропущено"},
    {kLogConst, u";s_mНОМЕР_МЕСЯЦА", u"Обозн. месяца "},
    {kLogConst, u";log_r8", u"вызов"},
    {kLogConst, u";log_r4", u"прием "},
    {kLogConst, u";log_rb", u"вызов отв."},
    {kLogForm, u";colНОМЕР_СТОЛБЦА", u"описание столбца N"},
    {kLogForm, u";colНОМЕР_СТОЛБЦАw", u"ширина столбца N"},
    {kLogForm, u";col0", u"Дата"},
    {kLogForm, u";col1", u"Время"},
    {kLogForm, u";col2", u"Время подтв."},
    {kLogForm, u";col3", u"Палата"},
    {kLogForm, u";col4", u"Койка"},
    {kLogForm, u";col5", u"Ответственный"},
    {kLogForm, u";col6", u"Тип"},
    {kLogForm, u";col7", u"Реакция"},
};

// Defaults of the texts that are both written on the first start and read on every start.
constexpr const char16_t* kDefFileName = u"orv_med.db";
constexpr qint32 kDefToAntPort = 5557;
constexpr qint32 kDefFromAntPort = 5556;
constexpr qint32 kDefToClientsPort = Stations::kStationPort;
constexpr qint32 kDefFromClientsPort = Stations::kServerPort;
const QString kDefToPing = QLatin1String(Stations::kPing);
const QString kDefFromPing = QLatin1String(Stations::kHello);
constexpr qint32 kDefColumnWidth = 50;

// LogForm texts from ant0text to mm23, in the order the first start writes them.
const TextKey kLogFormTexts[] = {
    {kLogForm, u"ant0text", u"Подключенные антенны не найдены."},
    {kLogForm, u"ant1text", u"Подключена антенна "},
    {kLogForm, u"antNtext", u"Подключены антенны "},
    {kLogForm, u"reg0text", u"Режим добавления."},
    {kLogForm, u"reg1text", u"Режим поиска."},
    {kLogForm, u"reg2text", u"Режим регистрации."},
    {kLogForm, u"excelFileName", u"журнал"},
    {kLogForm, u"q1", u"Действительно закрыть программу?"},
    {kLogForm, u"mInExcel", u"В Excel"},
    {kLogForm, u"mm1", u"Журнал событий"},
    {kLogForm, u"mm11", u"Фильтр"},
    {kLogForm, u"mm12", u"Очистка"},
    {kLogForm, u"mm2", u"База"},
    {kLogForm, u"mm21", u"Палаты"},
    {kLogForm, u"mm22", u"Койки"},
    {kLogForm, u"mm23", u"Ответственные"},
};

// Column captions as the first start writes them.
constexpr const char16_t* kColumnCaptions[8] = {
    u"Дата", u"Время", u"Время подтв.", u"Палата", u"Место", u"Ответственный", u"Тип", u"Реакция",
};

// Column captions as read. Column 4 falls back to "Койка", not to the "Место" the first start
// writes: the fallback shows only in a file that lacks the key.
constexpr const char16_t* kColumnReadDefaults[8] = {
    u"Дата", u"Время", u"Время подтв.", u"Палата", u"Койка", u"Ответственный", u"Тип", u"Реакция",
};

constexpr const char16_t* kMonths[12] = {
    u"янв", u"фев", u"мар", u"апр", u"май", u"июн", u"июл", u"авг", u"сен", u"окт", u"ноя", u"дек",
};

constexpr const char16_t* kDefMin = u"мин ";
constexpr const char16_t* kDefSec = u"сек ";
constexpr const char16_t* kDefNoReaction = u"пропущено";
constexpr const char16_t* kDefMaxReactionTime = u"01:00:00";
constexpr const char16_t* kDefLogR8 = u"вызов";
constexpr const char16_t* kDefLogR4Written = u"прием ";
// Function "4" falls back to "вызов " when the key is missing, not to the "прием " written.
constexpr const char16_t* kDefLogR4Read = u"вызов ";
constexpr const char16_t* kDefLogRb = u"вызов отв.";

QString text(const char16_t* s)
{
    return QString::fromUtf16(s);
}

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

void writeGeometry(IniFile& ini, const QRect& outer)
{
    ini.writeInteger(kLogForm, QStringLiteral("Top"), outer.top());
    ini.writeInteger(kLogForm, QStringLiteral("Left"), outer.left());
    ini.writeInteger(kLogForm, QStringLiteral("Height"), outer.height());
    ini.writeInteger(kLogForm, QStringLiteral("Width"), outer.width());
}

} // namespace

namespace MainSettings {

QRect designOuterGeometry()
{
    const QSize frame = designFrame();
    return QRect(0, 0, 706 + frame.width(), 452 + frame.height() + 20);
}

void InitComm(IniFile& ini)
{
    for (const TextKey& comment : kComments)
        ini.writeString(comment.section, text(comment.key), text(comment.text));
}

void InitDef(IniFile& ini, const QRect& designOuterGeometry)
{
    ini.writeString(kDB, QStringLiteral("FileName"), text(kDefFileName));
    ini.writeInteger(kAntenna, QStringLiteral("ToPort"), kDefToAntPort);
    ini.writeInteger(kAntenna, QStringLiteral("FromPort"), kDefFromAntPort);
    ini.writeInteger(kVisualizationClient, QStringLiteral("ToPort"), kDefToClientsPort);
    ini.writeInteger(kVisualizationClient, QStringLiteral("FromPort"), kDefFromClientsPort);
    ini.writeString(kVisualizationClient, QStringLiteral("ToPing"), kDefToPing);
    ini.writeString(kVisualizationClient, QStringLiteral("FromPing"), kDefFromPing);

    ini.writeString(kLogForm, QStringLiteral("Caption"), kDesignCaption);
    writeGeometry(ini, designOuterGeometry);
    for (const TextKey& entry : kLogFormTexts)
        ini.writeString(entry.section, text(entry.key), text(entry.text));
    for (int n = 0; n < 8; ++n) {
        ini.writeString(kLogForm, columnKey(n), text(kColumnCaptions[n]));
        ini.writeInteger(kLogForm, widthKey(n), kDefColumnWidth);
    }

    ini.writeString(kLogConst, QStringLiteral("s_min"), text(kDefMin));
    ini.writeString(kLogConst, QStringLiteral("s_sec"), text(kDefSec));
    ini.writeString(kLogConst, QStringLiteral("s_noreaction"), text(kDefNoReaction));
    ini.writeString(kLogConst, QStringLiteral("s_maxreactiontime"), text(kDefMaxReactionTime));
    for (int month = 1; month <= 12; ++month)
        ini.writeString(kLogConst, monthKey(month), text(kMonths[month - 1]));
    ini.writeString(kLogConst, QStringLiteral("log_r8"), text(kDefLogR8));
    ini.writeString(kLogConst, QStringLiteral("log_r4"), text(kDefLogR4Written));
    ini.writeString(kLogConst, QStringLiteral("log_rb"), text(kDefLogRb));
}

MainSettingsValues read(IniFile& ini)
{
    // The client keys are always put back to their defaults before they are read.
    ini.writeInteger(kVisualizationClient, QStringLiteral("ToPort"), kDefToClientsPort);
    ini.writeInteger(kVisualizationClient, QStringLiteral("FromPort"), kDefFromClientsPort);
    ini.writeString(kVisualizationClient, QStringLiteral("ToPing"), kDefToPing);
    ini.writeString(kVisualizationClient, QStringLiteral("FromPing"), kDefFromPing);
    return readStored(ini);
}

MainSettingsValues readStored(const IniFile& ini)
{
    MainSettingsValues v;

    v.dbFileName = ini.readString(kDB, QStringLiteral("FileName"), text(kDefFileName));
    v.ToAntPort = ini.readInteger(kAntenna, QStringLiteral("ToPort"), kDefToAntPort);
    v.FromAntPort = ini.readInteger(kAntenna, QStringLiteral("FromPort"), kDefFromAntPort);

    v.ToClientsPort = ini.readInteger(kVisualizationClient, QStringLiteral("ToPort"), kDefToClientsPort);
    v.FromClientsPort =
        ini.readInteger(kVisualizationClient, QStringLiteral("FromPort"), kDefFromClientsPort);
    v.sToClient = ini.readString(kVisualizationClient, QStringLiteral("ToPing"), kDefToPing);
    v.sFromClient = ini.readString(kVisualizationClient, QStringLiteral("FromPing"), kDefFromPing);

    QString* const logFormFields[] = {
        &v.ant0text,      &v.ant1text, &v.antNtext, &v.reg0text, &v.reg1text, &v.reg2text,
        &v.excelFileName, &v.q1,       &v.mInExcel, &v.mm1,      &v.mm11,     &v.mm12,
        &v.mm2,           &v.mm21,     &v.mm22,     &v.mm23,
    };
    static_assert(std::size(logFormFields) == std::size(kLogFormTexts));
    for (std::size_t i = 0; i < std::size(kLogFormTexts); ++i) {
        const TextKey& entry = kLogFormTexts[i];
        *logFormFields[i] = ini.readString(entry.section, text(entry.key), text(entry.text));
    }

    for (int n = 0; n < 8; ++n)
        v.colw[std::size_t(n)] = ini.readInteger(kLogForm, widthKey(n), kDefColumnWidth);
    for (int n = 0; n < 8; ++n)
        v.col[std::size_t(n)] = ini.readString(kLogForm, columnKey(n), text(kColumnReadDefaults[n]));

    v.s_min = ini.readString(kLogConst, QStringLiteral("s_min"), text(kDefMin));
    v.s_sec = ini.readString(kLogConst, QStringLiteral("s_sec"), text(kDefSec));
    v.s_noreaction = ini.readString(kLogConst, QStringLiteral("s_noreaction"), text(kDefNoReaction));
    v.s_maxreactiontime =
        ini.readString(kLogConst, QStringLiteral("s_maxreactiontime"), text(kDefMaxReactionTime));
    for (int month = 1; month <= 12; ++month)
        v.s_m[std::size_t(month - 1)] = ini.readString(kLogConst, monthKey(month), text(kMonths[month - 1]));
    v.log_r8 = ini.readString(kLogConst, QStringLiteral("log_r8"), text(kDefLogR8));
    v.log_r4 = ini.readString(kLogConst, QStringLiteral("log_r4"), text(kDefLogR4Read));
    v.log_rb = ini.readString(kLogConst, QStringLiteral("log_rb"), text(kDefLogRb));
    return v;
}

void InitSave(IniFile& ini, const QRect& outerGeometry, const std::array<qint32, 8>& columnWidths,
              const QString& excelFileName)
{
    writeGeometry(ini, outerGeometry);
    for (int n = 0; n < 8; ++n)
        ini.writeInteger(kLogForm, widthKey(n), columnWidths[std::size_t(n)]);
    ini.writeString(kLogForm, QStringLiteral("excelFileName"), excelFileName);
}

} // namespace MainSettings
