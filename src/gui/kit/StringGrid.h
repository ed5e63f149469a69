#pragma once

#include <QAbstractTableModel>
#include <QTableView>

class IniFile;

// Cells of a small grid held in memory (wards, staff, places, lists of a few hundred rows).
// Row numbers follow the grid's own: row 0 is the header row, data rows count from 1. The grid always
// has at least one data row: an empty result shows as one empty row.
class StringGridModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    explicit StringGridModel(int columns, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    void setCaption(int column, const QString& text);
    QString caption(int column) const;

    // Header row included, as the grid counts: 2 is one data row, the least there is.
    int RowCount() const { return static_cast<int>(m_rows.size()) + 1; }
    void setRowCount(int rowsWithHeader);
    QString cell(int column, int row) const;
    void setCell(int column, int row, const QString& text);
    // Replaces every data row; no rows gives one empty row.
    void setRows(const QList<QStringList>& rows);

private:
    int m_columns;
    QStringList m_captions;
    QList<QStringList> m_rows;
};

// A grid: a header row, whole-row selection, widths changed by dragging, no editing.
// Column N takes its caption from "col<N>" and its width from "col<N>w" (default 50).
class StringGrid : public QTableView
{
    Q_OBJECT
public:
    explicit StringGrid(int columns, QWidget* parent = nullptr);

    // The grid's own model; null when another model was set (the journal).
    StringGridModel* cells() const { return m_cells; }

    int ColCount() const;
    int RowCount() const;
    // The selected data row, from 1; 1 when nothing is selected but a row exists.
    int Row() const;
    void setRow(int row);
    QString Cells(int column, int row) const;

    void setCaption(int column, const QString& text);
    QString caption(int column) const;

    // Widths first, then captions, as a window reads its grid.
    void readColumns(const IniFile& ini, const QString& section, const QStringList& defaultCaptions);
    void saveColumnWidths(IniFile& ini, const QString& section) const;

    void setModel(QAbstractItemModel* model) override;

private:
    void applyLook();
    StringGridModel* m_cells = nullptr;
};
