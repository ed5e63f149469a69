#pragma once

#include <QString>

namespace db {
class Database;
} // namespace db

// The calls the operator took off the open list, kept in the program's own table dismissedcalls
// beside the journal: the entry's id and the moment of its removal (NULL for a removal made before
// the moment was kept). The journal entry itself stays as the press wrote it; the removal closes the
// call for good: no cancel pairs with it afterwards, the open list never takes it again, and the
// statistics count it apart.
namespace RemovedCalls {

// Creates the table, or adds the column of the removal's moment to a table made before it existed.
// Writes only when something is missing. Raises the database's error.
void ensureTable(db::Database& db);

// Whether the table exists (a read-only reader cannot create it).
bool tableExists(db::Database& db);

// Marks the entry removed at the timestamp text; a second removal keeps the first moment.
void mark(db::Database& db, qint64 id, const QString& removedAt);

// A condition on logs.id that leaves out the removed entries, for a statement on logs.
QString notRemoved();

} // namespace RemovedCalls
