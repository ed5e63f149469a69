#pragma once

#include "core/journal/JournalStore.h"
#include "core/journal/TimeFormat.h"

#include <QAbstractTableModel>
#include <QHash>
#include <QSet>
#include <QStringList>
#include <QTimer>
#include <QVariantList>

#include <functional>
#include <optional>

// The journal, newest first, read from the database page by page as the grid asks for rows: the
// journal holds years of entries, and a refill after every press must not read all of them.
// The grid always has at least one data row; an empty journal shows one empty row. A page another
// program's lock keeps from being read is not waited for: its rows say so and it is read again a
// moment later.
class JournalModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    static constexpr int kColumns = 8;
    // How long a page kept back by another program's lock shows busyText() before it is read again.
    static constexpr int kRetryMs = 1000;
    // What the first cell of such a page's rows shows meanwhile.
    static QString busyText();

    explicit JournalModel(QObject* parent = nullptr);

    void setDatabase(db::Database* database);
    void setTexts(const LogConst& logConst, const JournalTypeTexts& types);
    void setCaption(int column, const QString& text);

    // Counts the entries the clause lets through and refills the rows. Raises the database error
    // before anything changes. The selected position is kept (rows are added or removed at the end).
    void refresh(const QString& where, const QVariantList& whereParams);
    // The next refill counts every entry again (after entries were deleted).
    void invalidateCount() { m_countValid = false; }
    // Forgets the database (closed).
    void detach();

    qint64 entryCount() const { return m_count; }

    // The eight display texts of each entry, in grid order, streamed; for the export.
    void forEachEntry(const std::function<void(const QStringList&)>& visit) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    bool setHeaderData(int section, Qt::Orientation orientation, const QVariant& value, int role) override;

Q_SIGNALS:
    // A stored text could not be converted (only a hand-edited database holds such texts).
    void conversionFailed(const QString& message) const;

private:
    static constexpr int kPageRows = 64;
    static constexpr int kMaxPages = 256;

    QStringList displayRow(const JournalStore::StoredRow& stored) const;
    const QList<QStringList>* page(int pageIndex) const;
    void retryBusyPages();

    // The journal of the open database; none once it is closed.
    mutable std::optional<JournalStore> m_store;
    LogConst m_logConst;
    JournalTypeTexts m_types;
    QStringList m_captions;

    QString m_where;
    QVariantList m_whereParams;
    qint64 m_count = 0; // entries the clause lets through
    int m_rows = 1;     // rows shown: the entries, or the one empty row
    qint64 m_maxId = 0;
    bool m_countValid = false;

    mutable QHash<int, QList<QStringList>> m_pages;
    mutable QList<int> m_pageOrder;
    mutable bool m_conversionReported = false;
    mutable QSet<int> m_busyPages; // pages kept back by a lock, read again when m_retry fires
    QTimer* m_retry;
};
