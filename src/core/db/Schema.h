#pragma once

namespace db {

class Database;

// Creates each missing table of the database and puts sample rows into the new ones; a table that
// exists is left as it is. Run once per start, after the connection is opened.
void runSchema(Database& db);

// The indexes behind the look-ups of every press (places by call or cancel code, journal entries of
// a code newest first) and the journal view (newest first). Idempotent; run right after runSchema.
// A database that cannot take them (read-only, or a file made by hand) is used without them: false,
// and one line on standard error says why. Another program's lock raises its DatabaseError, for the
// caller to try again.
bool ensureIndexes(Database& db);

} // namespace db
