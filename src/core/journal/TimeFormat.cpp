#include "core/journal/TimeFormat.h"
#include "core/settings/MainSettings.h"

#include "core/base/AppError.h"

#include <QRegularExpression>

namespace {

constexpr qint64 msPerSecond = 1000;
constexpr qint64 msPerMinute = 60 * msPerSecond;
constexpr qint64 msPerHour = 60 * msPerMinute;
// Two digits of hours are all the fixed-width text can hold.
constexpr qint64 maxElapsedMs = 100 * msPerHour - msPerSecond;

int integerField(const QString& text)
{
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    if (!ok)
        throw AppError(QStringLiteral("'%1' is not a valid integer value").arg(text));
    return value;
}

QString twoDigits(qint64 value)
{
    return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0'));
}

} // namespace

QString sTSFromDateTime(const QDateTime& dateTime)
{
    return dateTime.toString(QStringLiteral("yyyy.MM.dd hh:mm:ss"));
}

QDateTime DateTimeFromTS(const QString& ts)
{
    // Texts written by hand into the database may drop leading zeros; the fields and separators
    // must still be there.
    static const QRegularExpression form(
        QStringLiteral(R"(^\s*(\d{1,4})\.(\d{1,2})\.(\d{1,2}) +(\d{1,2}):(\d{1,2}):(\d{1,2})\s*$)"));
    const auto invalid = [&ts] {
        return AppError(QStringLiteral("'%1' is not a valid date and time").arg(ts));
    };

    const QRegularExpressionMatch match = form.match(ts);
    if (!match.hasMatch())
        throw invalid();
    const auto field = [&match](int n) { return match.captured(n).toInt(); };
    const QDate date(field(1), field(2), field(3));
    const QTime time(field(4), field(5), field(6));
    if (!date.isValid() || !time.isValid())
        throw invalid();
    const QDateTime result(date, time);
    if (!result.isValid())
        throw invalid();
    return result;
}

QString sElapsedFromDateTimes(const QDateTime& start, const QDateTime& end)
{
    // msecsTo measures real elapsed time, so a clock change for daylight saving between the two
    // moments does not add or remove an hour.
    qint64 ms = start.msecsTo(end);
    if (ms < 0)
        ms = -ms;
    if (ms > maxElapsedMs)
        ms = maxElapsedMs;
    return twoDigits(ms / msPerHour) + QLatin1Char(':') + twoDigits(ms / msPerMinute % 60) +
           QLatin1Char(':') + twoDigits(ms / msPerSecond % 60);
}

QString sDateFromTS(const QString& ts, const LogConst& logConst)
{
    if (ts.isEmpty())
        return {};
    const int day = integerField(ts.mid(8, 2));
    const int month = integerField(ts.mid(5, 2));
    QString result = QString::number(day) + QLatin1Char(' ');
    if (month >= 1 && month <= 12)
        result += logConst.s_m[month - 1];
    return result;
}

QString sTimeFromTS(const QString& ts)
{
    if (ts.isEmpty())
        return {};
    return ts.mid(11, 8);
}

QString sReactionTime(const QString& reaction, const LogConst& logConst)
{
    if (reaction.isEmpty())
        return {};
    // Text comparison by character code, like the filter: the bound is a reaction-time text too.
    if (QString::compare(reaction, logConst.s_maxreactiontime, Qt::CaseSensitive) > 0)
        return logConst.s_noreaction;
    const int minutes = integerField(reaction.mid(0, 2)) * 60 + integerField(reaction.mid(3, 2));
    const int seconds = integerField(reaction.mid(6, 2));
    QString result;
    if (minutes > 0)
        result = QString::number(minutes) + QLatin1Char(' ') + logConst.s_min + QLatin1Char(' ');
    return result + QString::number(seconds) + QLatin1Char(' ') + logConst.s_sec;
}

LogConst logConstFromSettings(const MainSettingsValues& cfg)
{
    LogConst texts;
    texts.s_min = cfg.s_min;
    texts.s_sec = cfg.s_sec;
    texts.s_noreaction = cfg.s_noreaction;
    texts.s_maxreactiontime = cfg.s_maxreactiontime;
    for (int m = 0; m < 12; ++m)
        texts.s_m[m] = cfg.s_m[m];
    return texts;
}
