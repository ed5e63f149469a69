#include "gui/journal/JournalModel.h"

#include "core/base/AppError.h"
#include "core/db/DatabaseError.h"

#include <sqlite3.h>

#include <algorithm>
#include <limits>
#include <utility>

JournalModel::JournalModel(QObject* parent) : QAbstractTableModel(parent), m_retry(new QTimer(this))
{
    m_captions.resize(kColumns);
    m_retry->setSingleShot(true);
    m_retry->setInterval(kRetryMs);
    connect(m_retry, &QTimer::timeout, this, &JournalModel::retryBusyPages);
}

QString JournalModel::busyText()
{
    return QStringLiteral("База данных занята другой программой, повтор…");
}

void JournalModel::retryBusyPages()
{
    const QSet<int> pages = std::exchange(m_busyPages, {});
    for (const int p : pages) {
        const int first = p * kPageRows;
        const int last = std::min(m_rows, first + kPageRows) - 1;
        if (first <= last)
            Q_EMIT dataChanged(index(first, 0), index(last, kColumns - 1));
    }
}

void JournalModel::setDatabase(db::Database* database)
{
    if (database)
        m_store.emplace(*database);
    else
        m_store.reset();
    m_countValid = false;
}

void JournalModel::setTexts(const LogConst& logConst, const JournalTypeTexts& types)
{
    m_logConst = logConst;
    m_types = types;
}

void JournalModel::setCaption(int column, const QString& text)
{
    m_captions[column] = text;
    Q_EMIT headerDataChanged(Qt::Horizontal, column, column);
}

bool JournalModel::setHeaderData(int section, Qt::Orientation orientation, const QVariant& value, int role)
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= kColumns)
        return false;
    setCaption(section, value.toString());
    return true;
}

void JournalModel::detach()
{
    m_store.reset();
    m_pages.clear();
    m_pageOrder.clear();
    m_busyPages.clear();
}

void JournalModel::refresh(const QString& where, const QVariantList& whereParams)
{
    if (!m_store)
        return;
    // Without a filter, and with nothing deleted since the last count, the entries added since then are
    // those with a larger id: counting them costs nothing however long the journal is. A filter (its
    // conditions may look at the reaction time, which a cancel changes) counts everything again.
    const bool incremental = m_countValid && where.isEmpty() && m_where.isEmpty();
    qint64 count = 0;
    const qint64 maxId = m_store->maxId();
    if (incremental) {
        count = m_count;
        if (maxId > m_maxId)
            count += m_store->countAfter(m_maxId);
    } else {
        count = m_store->count(where, whereParams);
    }

    // First the rows already shown take their new texts, then rows are added or removed at the end:
    // the selected position stays where it was, and a view never sees a row change unannounced.
    const int oldRows = m_rows;
    const int newRows = static_cast<int>(std::clamp<qint64>(count, 1, std::numeric_limits<int>::max()));
    m_where = where;
    m_whereParams = whereParams;
    m_count = count;
    m_maxId = maxId;
    m_countValid = true;
    m_pages.clear();
    m_pageOrder.clear();
    m_busyPages.clear();
    m_conversionReported = false;
    Q_EMIT dataChanged(index(0, 0), index(oldRows - 1, kColumns - 1));
    if (newRows > oldRows) {
        beginInsertRows(QModelIndex(), oldRows, newRows - 1);
        m_rows = newRows;
        endInsertRows();
    } else if (newRows < oldRows) {
        beginRemoveRows(QModelIndex(), newRows, oldRows - 1);
        m_rows = newRows;
        endRemoveRows();
    }
}

int JournalModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_rows;
}

int JournalModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : kColumns;
}

QVariant JournalModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return m_captions.value(section);
    return QAbstractTableModel::headerData(section, orientation, role);
}

QStringList JournalModel::displayRow(const JournalStore::StoredRow& stored) const
{
    using S = JournalStore::StoredColumn;
    QStringList row;
    row.resize(kColumns);
    try {
        row[0] = sDateFromTS(stored[S::Timest], m_logConst);
        row[1] = sTimeFromTS(stored[S::Timest]);
        row[2] = sTimeFromTS(stored[S::Timestr]);
        row[3] = stored[S::Ward];
        row[4] = stored[S::Place];
        row[5] = stored[S::Staff];
        const QString& f = stored[S::Function];
        row[6] = f == u"8"   ? m_types.log_r8
                 : f == u"4" ? m_types.log_r4
                 : f == u"b" ? m_types.log_rb
                             : QString();
        row[7] = sReactionTime(stored[S::Reaction], m_logConst);
    } catch (const AppError& e) {
        if (!m_conversionReported) {
            m_conversionReported = true;
            Q_EMIT conversionFailed(e.message());
        }
    }
    return row;
}

const QList<QStringList>* JournalModel::page(int pageIndex) const
{
    auto it = m_pages.constFind(pageIndex);
    if (it != m_pages.constEnd())
        return &it.value();
    if (!m_store || m_busyPages.contains(pageIndex))
        return nullptr;

    QList<QStringList> rows;
    try {
        const QList<JournalStore::StoredRow> stored =
            m_store->page(m_where, m_whereParams, kPageRows, qint64(pageIndex) * kPageRows);
        rows.reserve(stored.size());
        for (const JournalStore::StoredRow& entry : stored)
            rows << displayRow(entry);
    } catch (const AppError& e) {
        const auto* dbError = dynamic_cast<const db::DatabaseError*>(&e);
        if (dbError && (dbError->code() == SQLITE_BUSY || dbError->code() == SQLITE_LOCKED)) {
            // Asked again for every cell of the page: once kept back, it is not tried before the retry.
            m_busyPages.insert(pageIndex);
            if (!m_retry->isActive())
                m_retry->start();
            return nullptr;
        }
        if (!m_conversionReported) {
            m_conversionReported = true;
            Q_EMIT conversionFailed(e.message());
        }
        return nullptr;
    }

    if (m_pageOrder.size() >= kMaxPages)
        m_pages.remove(m_pageOrder.takeFirst());
    m_pageOrder << pageIndex;
    return &m_pages.insert(pageIndex, rows).value();
}

QVariant JournalModel::data(const QModelIndex& index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid() || m_count == 0)
        return QVariant();
    const QList<QStringList>* rows = page(index.row() / kPageRows);
    if (!rows) {
        if (index.column() == 0 && m_busyPages.contains(index.row() / kPageRows))
            return busyText();
        return QVariant();
    }
    const int offset = index.row() % kPageRows;
    if (offset >= rows->size())
        return QVariant();
    return rows->at(offset).value(index.column());
}

void JournalModel::forEachEntry(const std::function<void(const QStringList&)>& visit) const
{
    if (!m_store)
        return;
    m_store->forEach(m_where, m_whereParams,
                     [&](const JournalStore::StoredRow& stored) { visit(displayRow(stored)); });
}
