#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

namespace db {

// The whole result of one query, copied into memory when the query ran. It keeps no link to the
// connection and starts at row 0, moving only forward. Column names are held in upper case, so
// look-ups by name ignore case.
class ResultTable
{
public:
    // How the values of a column are read, decided once from the first row.
    enum class Kind { Integer, Float, Blob, Text, Null };

    ResultTable() = default;

    int rowCount() const { return m_rowCount; }
    bool endOfRows() const { return m_currentRow >= m_rowCount; }
    bool nextRow();

    int fieldIndex(const QString& name) const;
    QString fieldByName(const QString& name) const;
    QString fieldAsText(int column) const;
    qint64 fieldAsInteger(int column) const;
    bool fieldIsNull(int column) const;

    int columnCount() const { return static_cast<int>(m_columnNames.size()); }
    QString columnName(int column) const;
    Kind columnKind(int column) const;

private:
    friend class Database;

    // Called while the query copies its rows: the columns once, on the first row, then one value
    // per column and row (an invalid QVariant for NULL).
    void setColumns(QStringList upperCaseNames, QList<Kind> kinds);
    void appendValue(QVariant value) { m_values.append(std::move(value)); }
    void finishRow() { ++m_rowCount; }

    const QVariant& current(int column) const; // end of rows and a bad position fail here
    QString textOf(int column) const;

    QStringList m_columnNames;
    QList<Kind> m_kinds;
    QList<QVariant> m_values; // row after row, columnCount() values each
    int m_rowCount = 0;
    int m_currentRow = 0;
};

} // namespace db
