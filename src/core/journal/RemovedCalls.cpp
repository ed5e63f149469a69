#include "core/journal/RemovedCalls.h"

#include "core/db/Database.h"

namespace RemovedCalls {

void ensureTable(db::Database& db)
{
    if (!db.tableExists(QStringLiteral("dismissedcalls"))) {
        db.executeStatement(QStringLiteral(
            "CREATE TABLE IF NOT EXISTS dismissedcalls (id INTEGER PRIMARY KEY, removedat TEXT)"));
        return;
    }
    db::Statement columns(db, QStringLiteral("SELECT count(*) FROM pragma_table_info('dismissedcalls') "
                                             "WHERE name = 'removedat'"));
    if (columns.step() && columns.int64(0) == 0)
        db.executeStatement(QStringLiteral("ALTER TABLE dismissedcalls ADD COLUMN removedat TEXT"));
}

bool tableExists(db::Database& db)
{
    return db.tableExists(QStringLiteral("dismissedcalls"));
}

void mark(db::Database& db, qint64 id, const QString& removedAt)
{
    db.executeStatement(QStringLiteral("INSERT OR IGNORE INTO dismissedcalls (id, removedat) VALUES (?, ?)"),
                        {QVariant(qlonglong(id)), removedAt});
}

QString notRemoved()
{
    return QStringLiteral("logs.id NOT IN (SELECT id FROM dismissedcalls)");
}

} // namespace RemovedCalls
