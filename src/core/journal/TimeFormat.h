#pragma once

#include <QDateTime>
#include <QString>

struct MainSettingsValues;

// The constant texts of the journal columns, read once from the settings section "logConst" by the
// main window. The defaults are the values as they come back from the settings file (trimmed).
struct LogConst
{
    QString s_min = QStringLiteral("мин");
    QString s_sec = QStringLiteral("сек");
    QString s_noreaction = QStringLiteral("пропущено");
    QString s_maxreactiontime = QStringLiteral("01:00:00");
    QString s_m[12] = {QStringLiteral("янв"), QStringLiteral("фев"), QStringLiteral("мар"),
                       QStringLiteral("апр"), QStringLiteral("май"), QStringLiteral("июн"),
                       QStringLiteral("июл"), QStringLiteral("авг"), QStringLiteral("сен"),
                       QStringLiteral("окт"), QStringLiteral("ноя"), QStringLiteral("дек")};
};

// The texts the journal shows for function codes.
struct JournalTypeTexts
{
    QString log_r8;
    QString log_r4;
    QString log_rb;
};

// The journal's constant texts (section logConst) as the journal and the open calls show times.
LogConst logConstFromSettings(const MainSettingsValues& cfg);

// Timestamp text of a local moment, "yyyy.MM.dd hh:mm:ss"; milliseconds are dropped. Every field has
// a fixed width, so the journal sorts and filters these texts as text.
QString sTSFromDateTime(const QDateTime& dateTime);

// Reads a timestamp text back as a local moment with 0 milliseconds. Throws AppError
// "'<text>' is not a valid date and time" when the text is not of that form.
QDateTime DateTimeFromTS(const QString& ts);

// Reaction-time text "hh:nn:ss" of the distance between two moments, whichever comes first.
// Hours run past 24 and stop at 99:59:59, so the text keeps its fixed width and still orders by
// duration when compared as text.
QString sElapsedFromDateTimes(const QDateTime& start, const QDateTime& end);

// Date column text: day without leading zero, a blank, the month word ("" for an empty text).
// Throws AppError "'<text>' is not a valid integer value" when the day or month is not a number.
QString sDateFromTS(const QString& ts, const LogConst& logConst);

// Time column text: the time of day part of a timestamp text ("" for an empty text).
QString sTimeFromTS(const QString& ts);

// Reaction column text: "<m> мин <s> сек", "<s> сек", or s_noreaction above the bound
// ("" for an open entry). Throws AppError when a field is not a number.
QString sReactionTime(const QString& reaction, const LogConst& logConst);
