#pragma once

#include <QString>

#include <sqlite3.h>

namespace db {

// The operator-facing text of an SQLite result code, as shown in every database error report.
QString errorCodeText(int code);

// The report built from a text for a statement: the text alone when the connection has no error
// to tell, otherwise the text, the code with its description, the statement and SQLite's own message,
// the three parts separated by carriage returns.
QString errorReport(sqlite3* connection, const QString& text, const QString& sql);
QString errorReport(int code, const QString& sqliteMessage, const QString& text, const QString& sql);

} // namespace db
