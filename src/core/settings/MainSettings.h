#pragma once

#include "core/net/StationNotice.h"

#include <QRect>
#include <QString>
#include <QtGlobal>

#include <array>

class IniFile;

// Everything the main window takes from its sections DB, Antenna, VisualizationClient, LogForm and
// logConst. Texts arrive without their trailing blanks ("мин ", written with the blank, reads
// "мин"); whoever joins them with other text supplies the blanks.
struct MainSettingsValues
{
    // Each member's initialiser is the default it is read with when the file lacks its key.
    QString dbFileName = QStringLiteral("orv_med.db");
    qint32 ToAntPort = 5557;
    qint32 FromAntPort = 5556;
    qint32 ToClientsPort = Stations::kStationPort;
    qint32 FromClientsPort = Stations::kServerPort;
    QString sToClient = QLatin1String(Stations::kPing);
    QString sFromClient = QLatin1String(Stations::kHello);

    // The main window's title, position and outer size: its design values, which the window reads
    // its own current values in place of.
    // The design size is a client area of 706 x 452 below a menu bar of 20, in a design frame.
    QString Caption = QStringLiteral("HalvaneServer lite");
    qint32 Top = 0;
    qint32 Left = 0;
    qint32 Height = 452 + 20 + 39;
    qint32 Width = 706 + 16;

    QString ant0text = QStringLiteral("Подключенные антенны не найдены.");
    QString ant1text = QStringLiteral("Подключена антенна ");
    QString antNtext = QStringLiteral("Подключены антенны ");
    QString reg0text = QStringLiteral("Режим добавления.");
    QString reg1text = QStringLiteral("Режим поиска.");
    QString reg2text = QStringLiteral("Режим регистрации.");
    QString excelFileName = QStringLiteral("журнал");
    QString q1 = QStringLiteral("Действительно закрыть программу?");
    QString mInExcel = QStringLiteral("В Excel");
    QString mm1 = QStringLiteral("Журнал событий");
    QString mm11 = QStringLiteral("Фильтр");
    QString mm12 = QStringLiteral("Очистка");
    QString mm2 = QStringLiteral("База");
    QString mm21 = QStringLiteral("Палаты");
    QString mm22 = QStringLiteral("Койки");
    QString mm23 = QStringLiteral("Ответственные");

    // Journal column captions, col0 to col7. Column 4 falls back to "Койка", not to the "Место" a
    // first start writes: the fallback shows only in a file that lacks the key.
    std::array<QString, 8> col = {
        QStringLiteral("Дата"),   QStringLiteral("Время"),   QStringLiteral("Время подтв."),
        QStringLiteral("Палата"), QStringLiteral("Койка"),   QStringLiteral("Ответственный"),
        QStringLiteral("Тип"),    QStringLiteral("Реакция"),
    };
    // Journal column widths, col0w to col7w.
    std::array<qint32, 8> colw = {50, 50, 50, 50, 50, 50, 50, 50};

    QString s_min = QStringLiteral("мин ");
    QString s_sec = QStringLiteral("сек ");
    QString s_noreaction = QStringLiteral("пропущено");
    QString s_maxreactiontime = QStringLiteral("01:00:00");
    // Month abbreviations, s_m01 to s_m12.
    std::array<QString, 12> s_m = {
        QStringLiteral("янв"), QStringLiteral("фев"), QStringLiteral("мар"), QStringLiteral("апр"),
        QStringLiteral("май"), QStringLiteral("июн"), QStringLiteral("июл"), QStringLiteral("авг"),
        QStringLiteral("сен"), QStringLiteral("окт"), QStringLiteral("ноя"), QStringLiteral("дек"),
    };
    QString log_r8 = QStringLiteral("вызов");
    // Function "4" falls back to "вызов ", not to the "прием " a first start writes.
    QString log_r4 = QStringLiteral("вызов ");
    QString log_rb = QStringLiteral("вызов отв.");
};

namespace MainSettings {

// The main window's title as designed; also the default of LogForm/Caption.
inline const QString kDesignCaption = MainSettingsValues().Caption;

// The main window's design position and outer size: a client area of 706 x 452 below a menu bar.
QRect designOuterGeometry();

// First start only: the comment keys of the main window's sections, in their fixed order.
void InitComm(IniFile& ini);

// First start only: the main window's keys with their defaults, in their fixed order. The LogForm
// geometry keys take the window's design position and outer size.
void InitDef(IniFile& ini, const QRect& designOuterGeometry);

// Every start: reads the main window's values. The four VisualizationClient keys are written with
// their defaults first and then read back, so a hand edit of them lasts only until the next start.
// Throws AppError when that write fails.
MainSettingsValues read(IniFile& ini);

// The values as they stand in the file, writing nothing: for readers beside the running program
// (the statistics), which must leave the settings file as they found it, and for the main window,
// which reads its caption and geometry with its current ones as defaults.
MainSettingsValues readStored(const IniFile& ini, const MainSettingsValues& defaults = {});

// On a confirmed close: the window's position and outer size, the journal's column widths and the
// file name last chosen for the export.
void InitSave(IniFile& ini, const QRect& outerGeometry, const std::array<qint32, 8>& columnWidths,
              const QString& excelFileName);

} // namespace MainSettings
