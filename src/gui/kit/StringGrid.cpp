#include "gui/kit/StringGrid.h"

#include "core/settings/IniFile.h"

#include <QFont>
#include <QHeaderView>

namespace {
QStringList emptyRow(int columns)
{
    QStringList row;
    row.resize(columns);
    return row;
}
} // namespace

StringGridModel::StringGridModel(int columns, QObject* parent)
    : QAbstractTableModel(parent), m_columns(columns)
{
    m_captions.resize(columns);
    m_rows.append(emptyRow(columns));
}

int StringGridModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int StringGridModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_columns;
}

QVariant StringGridModel::data(const QModelIndex& index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid())
        return QVariant();
    return m_rows.at(index.row()).value(index.column());
}

QVariant StringGridModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return m_captions.value(section);
    return QAbstractTableModel::headerData(section, orientation, role);
}

void StringGridModel::setCaption(int column, const QString& text)
{
    m_captions[column] = text;
    Q_EMIT headerDataChanged(Qt::Horizontal, column, column);
}

QString StringGridModel::caption(int column) const
{
    return m_captions.value(column);
}

void StringGridModel::setRowCount(int rowsWithHeader)
{
    const int wanted = qMax(1, rowsWithHeader - 1);
    const int have = static_cast<int>(m_rows.size());
    if (wanted > have) {
        beginInsertRows(QModelIndex(), have, wanted - 1);
        for (int i = have; i < wanted; ++i)
            m_rows.append(emptyRow(m_columns));
        endInsertRows();
    } else if (wanted < have) {
        beginRemoveRows(QModelIndex(), wanted, have - 1);
        m_rows.resize(wanted);
        endRemoveRows();
    }
}

QString StringGridModel::cell(int column, int row) const
{
    if (row < 1 || row > m_rows.size())
        return QString();
    return m_rows.at(row - 1).value(column);
}

void StringGridModel::setCell(int column, int row, const QString& text)
{
    if (row < 1 || row > m_rows.size() || column < 0 || column >= m_columns)
        return;
    m_rows[row - 1][column] = text;
    const QModelIndex i = index(row - 1, column);
    Q_EMIT dataChanged(i, i);
}

void StringGridModel::setRows(const QList<QStringList>& rows)
{
    // Keep the row count where it can, so the selected position survives a refill.
    setRowCount(static_cast<int>(rows.size()) + 1);
    for (int r = 0; r < m_rows.size(); ++r) {
        QStringList line = r < rows.size() ? rows.at(r) : QStringList();
        line.resize(m_columns);
        m_rows[r] = line;
    }
    if (!m_rows.isEmpty())
        Q_EMIT dataChanged(index(0, 0), index(static_cast<int>(m_rows.size()) - 1, m_columns - 1));
}

StringGrid::StringGrid(int columns, QWidget* parent) : QTableView(parent)
{
    m_cells = new StringGridModel(columns, this);
    QTableView::setModel(m_cells);
    applyLook();
}

void StringGrid::applyLook()
{
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSortingEnabled(false);
    setWordWrap(false);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    horizontalHeader()->setSectionsMovable(false);
    horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setFixedHeight(22);
    horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    horizontalHeader()->setStretchLastSection(false);
    horizontalHeader()->setMinimumSectionSize(0);
    QFont headerFont(QStringLiteral("Tahoma"), 8);
    headerFont.setBold(true);
    horizontalHeader()->setFont(headerFont);
    setFont(QFont(QStringLiteral("Tahoma"), 8));
    setStyleSheet(QStringLiteral("QTableView { gridline-color: rgb(240, 236, 236); }"
                                 "QHeaderView::section { color: black; border: 1px solid rgb(209, 210, 212);"
                                 " padding-left: 2px; }"));
}

void StringGrid::setModel(QAbstractItemModel* model)
{
    QTableView::setModel(model);
    if (model != m_cells)
        m_cells = nullptr;
}

int StringGrid::ColCount() const
{
    return model() ? model()->columnCount() : 0;
}

int StringGrid::RowCount() const
{
    return model() ? model()->rowCount() + 1 : 1;
}

int StringGrid::Row() const
{
    const QModelIndex current = currentIndex();
    if (current.isValid())
        return current.row() + 1;
    return RowCount() > 1 ? 1 : 0;
}

void StringGrid::setRow(int row)
{
    if (!model() || row < 1 || row >= RowCount())
        return;
    const QModelIndex target = model()->index(row - 1, qMax(0, currentIndex().column()));
    setCurrentIndex(target);
    selectRow(row - 1);
    scrollTo(target);
}

QString StringGrid::Cells(int column, int row) const
{
    if (row == 0)
        return caption(column);
    if (!model() || row < 1 || row >= RowCount())
        return QString();
    return model()->index(row - 1, column).data().toString();
}

void StringGrid::setCaption(int column, const QString& text)
{
    if (m_cells)
        m_cells->setCaption(column, text);
    else if (model())
        model()->setHeaderData(column, Qt::Horizontal, text);
}

QString StringGrid::caption(int column) const
{
    return model() ? model()->headerData(column, Qt::Horizontal, Qt::DisplayRole).toString() : QString();
}

void StringGrid::readColumns(const IniFile& ini, const QString& section, const QStringList& defaultCaptions)
{
    const int columns = ColCount();
    for (int c = 0; c < columns; ++c)
        setColumnWidth(c, qMax(0, ini.readInteger(section, QStringLiteral("col%1w").arg(c), 50)));
    for (int c = 0; c < columns; ++c)
        setCaption(c, ini.readString(section, QStringLiteral("col%1").arg(c), defaultCaptions.value(c)));
}

void StringGrid::saveColumnWidths(IniFile& ini, const QString& section) const
{
    for (int c = 0; c < ColCount(); ++c)
        ini.writeInteger(section, QStringLiteral("col%1w").arg(c), columnWidth(c));
}
