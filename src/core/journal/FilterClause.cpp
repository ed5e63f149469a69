#include "core/journal/FilterClause.h"

#include "core/base/AppError.h"

#include <QStringList>

namespace {

QString twoDigits(qint64 value)
{
    return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0'));
}

void append(FilterClause& clause, const QString& condition)
{
    clause.where += clause.where.isEmpty() ? QStringLiteral(" WHERE ") : QStringLiteral(" AND ");
    clause.where += condition;
}

} // namespace

namespace Filter {

QString timestampText(const QDate& date, const QTime& time)
{
    // Composed from its parts rather than from a moment: a local midnight that a clock change skips
    // still makes a valid bound.
    return date.toString(QStringLiteral("yyyy.MM.dd")) + u' ' + time.toString(QStringLiteral("hh:mm:ss"));
}

QString thresholdText(const QString& minutes)
{
    qint64 m = 0;
    if (!minutes.isEmpty()) {
        bool ok = false;
        m = minutes.toInt(&ok, 10);
        if (!ok)
            throw AppError(QStringLiteral("'%1' is not a valid integer value").arg(minutes));
    }
    QString hours = twoDigits(m / 60);
    if (hours.size() > 2)
        hours = QStringLiteral("99");
    return hours + u':' + twoDigits(m % 60) + QStringLiteral(":00");
}

FilterClause buildClause(const FilterSelection& s)
{
    FilterClause clause;
    if (s.lowerOn) {
        append(clause, QStringLiteral("(timest >= ?)"));
        clause.params << timestampText(s.lowerDate, s.lowerTime);
    }
    if (s.upperOn) {
        append(clause, QStringLiteral("(timest <= ?)"));
        clause.params << timestampText(s.upperDate, s.upperTime);
    }
    if (s.wardIndex == 1) {
        append(clause, QStringLiteral("(groupsname=\"\")"));
    } else if (s.wardIndex >= 2) {
        append(clause, QStringLiteral("(groupsname=?)"));
        clause.params << s.wardText;
    }
    if (s.placeIndex >= 1) {
        append(clause, QStringLiteral("(butsname=?)"));
        clause.params << s.placeText;
    }
    if (s.functionIndex >= 1) {
        append(clause, QStringLiteral("(f=?)"));
        clause.params << s.functionCode;
    }
    if (s.reactionIndex == 1 || s.reactionIndex == 2) {
        // An open entry has no reaction time and never matches either way.
        const QString op = s.reactionIndex == 1 ? QStringLiteral(">=") : QStringLiteral("<=");
        append(clause, QStringLiteral("(reactiontime ") + op + QStringLiteral("? AND reactiontime<>\"\")"));
        clause.params << thresholdText(s.thresholdMinutes);
    }
    return clause;
}

QString describe(const FilterSelection& s)
{
    const auto moment = [](const QDate& date, const QTime& time) {
        return date.toString(QStringLiteral("dd.MM.yyyy")) + u' ' + time.toString(QStringLiteral("hh:mm"));
    };
    QStringList parts;
    if (s.lowerOn)
        parts << QStringLiteral("с ") + moment(s.lowerDate, s.lowerTime);
    if (s.upperOn)
        parts << QStringLiteral("по ") + moment(s.upperDate, s.upperTime);
    if (s.wardIndex >= 1)
        parts << s.wardText;
    if (s.placeIndex >= 1)
        parts << s.placeText;
    if (s.functionIndex >= 1)
        parts << s.functionText;
    if (s.reactionIndex == 1 || s.reactionIndex == 2) {
        const QString minutes = s.thresholdMinutes.isEmpty() ? QStringLiteral("0") : s.thresholdMinutes;
        parts << QStringLiteral("реакция: ") + s.reactionText + u' ' + minutes + QStringLiteral(" мин.");
    }
    return parts.join(QStringLiteral(", "));
}

} // namespace Filter
