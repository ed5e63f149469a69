#include "core/db/ResultTable.h"

#include "core/base/AppError.h"
#include "core/base/Cp1251.h"

#include <QLocale>

#include <cmath>
#include <limits>

namespace db {

bool ResultTable::nextRow()
{
    if (endOfRows())
        return false;
    ++m_currentRow;
    return true;
}

void ResultTable::setColumns(QStringList upperCaseNames, QList<Kind> kinds)
{
    m_columnNames = std::move(upperCaseNames);
    m_kinds = std::move(kinds);
}

QString ResultTable::columnName(int column) const
{
    if (column < 0 || column >= columnCount())
        throw AppError(QStringLiteral("Field index out of range: %1").arg(column));
    return m_columnNames.at(column);
}

ResultTable::Kind ResultTable::columnKind(int column) const
{
    if (column < 0 || column >= columnCount())
        throw AppError(QStringLiteral("Field index out of range: %1").arg(column));
    return m_kinds.at(column);
}

int ResultTable::fieldIndex(const QString& name) const
{
    if (m_columnNames.isEmpty())
        throw AppError(QStringLiteral("Field ") + name + QStringLiteral(" Not found. Empty dataset"));
    // In a join that yields two columns of one name the first one wins.
    const int index = static_cast<int>(m_columnNames.indexOf(name.toUpper()));
    if (index < 0)
        throw AppError(QStringLiteral("Field not found in dataset: ") + name);
    return index;
}

const QVariant& ResultTable::current(int column) const
{
    if (endOfRows())
        throw AppError(QStringLiteral("Table is at End of File"));
    if (column < 0 || column >= columnCount())
        throw AppError(QStringLiteral("Field index out of range: %1").arg(column));
    return m_values.at(static_cast<qsizetype>(m_currentRow) * columnCount() + column);
}

// The text of a value that is present, by its column's kind.
QString ResultTable::textOf(int column) const
{
    const QVariant& value = current(column);
    switch (m_kinds.at(column)) {
    case Kind::Integer:
        return QString::number(value.toLongLong());
    case Kind::Float:
        return QString::number(value.toDouble(), 'g', QLocale::FloatingPointShortest);
    case Kind::Blob:
        return Cp1251::decode(value.toByteArray());
    case Kind::Text:
    case Kind::Null:
        // A column that began with NULL still shows the texts of its later rows rather than
        // hiding them as "".
        return value.toString();
    }
    return QString();
}

QString ResultTable::fieldByName(const QString& name) const
{
    const int column = fieldIndex(name);
    if (!current(column).isValid()) {
        const Kind kind = m_kinds.at(column);
        return kind == Kind::Integer || kind == Kind::Float ? QStringLiteral("0") : QString();
    }
    return textOf(column);
}

QString ResultTable::fieldAsText(int column) const
{
    if (!current(column).isValid())
        return QString();
    return textOf(column);
}

qint64 ResultTable::fieldAsInteger(int column) const
{
    const QVariant& value = current(column);
    if (!value.isValid())
        return 0;
    switch (m_kinds.at(column)) {
    case Kind::Integer:
        return value.toLongLong();
    case Kind::Float: {
        // Truncated toward zero, held inside the 64-bit range so no value overflows.
        const double d = std::trunc(value.toDouble());
        if (std::isnan(d))
            return 0;
        if (d >= 9223372036854775807.0)
            return std::numeric_limits<qint64>::max();
        if (d <= -9223372036854775808.0)
            return std::numeric_limits<qint64>::min();
        return static_cast<qint64>(d);
    }
    case Kind::Null: {
        // An expression column whose first row was NULL holds its later values as text.
        bool ok = false;
        const qint64 n = value.toString().toLongLong(&ok);
        if (ok)
            return n;
        break;
    }
    case Kind::Text:
    case Kind::Blob:
        break;
    }
    throw AppError(QStringLiteral("Not an integer or numeric field"));
}

bool ResultTable::fieldIsNull(int column) const
{
    return !current(column).isValid();
}

} // namespace db
