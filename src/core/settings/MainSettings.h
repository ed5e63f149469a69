#pragma once

#include <QRect>
#include <QString>
#include <QtGlobal>

#include <array>

class IniFile;

// Everything the main window takes from its sections DB, Antenna, VisualizationClient, LogForm and
// logConst, apart from its caption and geometry, which the window reads with its current values as
// defaults. Texts arrive without their trailing blanks ("мин ", written with the blank, reads
// "мин"); whoever joins them with other text supplies the blanks.
struct MainSettingsValues
{
    QString dbFileName;
    qint32 ToAntPort = 0;
    qint32 FromAntPort = 0;
    qint32 ToClientsPort = 0;
    qint32 FromClientsPort = 0;
    QString sToClient;
    QString sFromClient;

    QString ant0text;
    QString ant1text;
    QString antNtext;
    QString reg0text;
    QString reg1text;
    QString reg2text;
    QString excelFileName;
    QString q1;
    QString mInExcel;
    QString mm1;
    QString mm11;
    QString mm12;
    QString mm2;
    QString mm21;
    QString mm22;
    QString mm23;

    std::array<QString, 8> col;   // journal column captions, col0 to col7
    std::array<qint32, 8> colw{}; // journal column widths, col0w to col7w

    QString s_min;
    QString s_sec;
    QString s_noreaction;
    QString s_maxreactiontime;
    std::array<QString, 12> s_m; // month abbreviations, s_m01 to s_m12
    QString log_r8;
    QString log_r4;
    QString log_rb;
};

namespace MainSettings {

// The main window's title as designed; also the default of LogForm/Caption.
inline const QString kDesignCaption = QStringLiteral("HalvaneServer lite");

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
// (the statistics), which must leave the settings file as they found it.
MainSettingsValues readStored(const IniFile& ini);

// On a confirmed close: the window's position and outer size, the journal's column widths and the
// file name last chosen for the export.
void InitSave(IniFile& ini, const QRect& outerGeometry, const std::array<qint32, 8>& columnWidths,
              const QString& excelFileName);

} // namespace MainSettings
