#include "core/db/Schema.h"

#include "core/base/AppError.h"
#include "core/db/Database.h"
#include "core/db/DatabaseError.h"

#include <sqlite3.h>

#include <cstdio>

namespace db {

namespace {

// The seed statements are fixed texts; the only values spliced in are ids the database just gave.
QString idOrNull(const QString& id)
{
    return id.isEmpty() ? QStringLiteral(", NULL") : QStringLiteral(", ") + id;
}

QString seededId(Database& db, const QString& sql)
{
    const ResultTable table = db.query(sql);
    return table.rowCount() > 0 ? table.fieldByName(QStringLiteral("id")) : QString();
}

} // namespace

void runSchema(Database& db)
{
    // The seed places take the ward and staff ids only when those tables were created just now.
    QString g;
    QString w;

    if (!db.tableExists(QStringLiteral("groups"))) {
        db.executeStatement(QStringLiteral("CREATE TABLE groups ") +
                            QStringLiteral("(id INTEGER PRIMARY KEY AUTOINCREMENT,") +
                            QStringLiteral("name TEXT,") + QStringLiteral("comm TEXT)"));
        db.executeStatement(QStringLiteral("INSERT INTO groups") + QStringLiteral("(name, comm) ") +
                            QStringLiteral("VALUES ( \"Палата 1\" , \"тест\")"));
        g = seededId(db, QStringLiteral("SELECT id FROM groups"));
    }

    if (!db.tableExists(QStringLiteral("workers"))) {
        db.executeStatement(QStringLiteral("CREATE TABLE workers ") +
                            QStringLiteral("(id INTEGER PRIMARY KEY AUTOINCREMENT,") +
                            QStringLiteral("name TEXT,") + QStringLiteral("comm TEXT)"));
        db.executeStatement(QStringLiteral("INSERT INTO workers") + QStringLiteral("(name, comm) ") +
                            QStringLiteral("VALUES ( \"Тестова Анна\" , \"Комментарий\")"));
        w = seededId(db, QStringLiteral("SELECT id FROM workers"));
    }

    if (!db.tableExists(QStringLiteral("buts"))) {
        db.executeStatement(QStringLiteral("CREATE TABLE buts ") +
                            QStringLiteral("(id INTEGER PRIMARY KEY AUTOINCREMENT,") +
                            QStringLiteral("abcde TEXT,") + QStringLiteral("btnclr TEXT,") +
                            QStringLiteral("name TEXT,") + QStringLiteral("groupsid INTEGER,") +
                            QStringLiteral("workersid INTEGER,") + QStringLiteral("comm TEXT)"));
        const QString columns = QStringLiteral("(abcde, btnclr, name, comm, groupsid, workersid)");
        db.executeStatement(QStringLiteral("INSERT INTO buts ") + columns +
                            QStringLiteral("VALUES ( \"f6186\" , \"f6186\", \"Койка № 1\", \"Тест. 1\"") +
                            idOrNull(g) + idOrNull(w) + QStringLiteral(") "));
        db.executeStatement(QStringLiteral("INSERT INTO buts ") + columns +
                            QStringLiteral("VALUES (\"ba5ac\",\"ba5ac\", \"Койка № 2\", \"Тест. 2\"") +
                            idOrNull(g) + idOrNull(w) + QStringLiteral(") "));
    }

    if (!db.tableExists(QStringLiteral("logs"))) {
        db.executeStatement(QStringLiteral("CREATE TABLE logs ") +
                            QStringLiteral("(id INTEGER PRIMARY KEY AUTOINCREMENT, ") +
                            QStringLiteral("timest TEXT, ") + QStringLiteral("timestr TEXT, ") +
                            QStringLiteral("abcde TEXT, ") + QStringLiteral("f TEXT, ") +
                            QStringLiteral("butsname TEXT, ") + QStringLiteral("groupsname TEXT, ") +
                            QStringLiteral("workersname TEXT, ") + QStringLiteral("reactiontime TEXT) "));
        // The journal starts empty.
    }
}

bool ensureIndexes(Database& db)
{
    // The journal view reads newest first; the journal writer looks up a code's entries newest
    // first; every press finds its place by call code or cancel code.
    static const char* const kIndexes[] = {
        "CREATE INDEX IF NOT EXISTS logs_timest ON logs (timest)",
        "CREATE INDEX IF NOT EXISTS logs_abcde_timest ON logs (abcde, timest)",
        "CREATE INDEX IF NOT EXISTS buts_abcde ON buts (abcde)",
        "CREATE INDEX IF NOT EXISTS buts_btnclr ON buts (btnclr)",
    };
    try {
        for (const char* sql : kIndexes)
            db.executeStatement(QString::fromLatin1(sql));
    } catch (const AppError& e) {
        // Another program's lock only postpones them: the caller tries again.
        const auto* dbError = dynamic_cast<const DatabaseError*>(&e);
        if (dbError && (dbError->code() == SQLITE_BUSY || dbError->code() == SQLITE_LOCKED))
            throw;
        // The indexes only make look-ups faster: a file they cannot be added to (read-only, or
        // made by hand) still serves, more slowly. The rest would fail the same way.
        std::fprintf(stderr, "HalvaneServer: working without the database's indexes: %s\n",
                     e.message().simplified().toLocal8Bit().constData());
        return false;
    }
    return true;
}

} // namespace db
