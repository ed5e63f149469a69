#pragma once

#include <QByteArray>
#include <QList>

namespace Pg {
class Connection;
}

// The tables of the house in PostgreSQL, versioned: the table schema_version holds one row with the
// number of the last migration run. Each migration is a numbered step run once; the steps a start
// finds missing run in one transaction (all or none) under an advisory lock, so that two copies
// starting together never run one twice.
// A migration is never changed once released; a later change of the tables is a new one.
namespace CentralSchema {

struct Migration
{
    int version;
    QByteArray sql;
};

const QList<Migration>& migrations();
int latestVersion();

// Runs the migrations the database has not had yet. Returns the version it stands at. Throws
// Pg::Error; a database newer than this program (a later version ran) is an error too, since this
// program would not know its tables.
int migrate(Pg::Connection& connection);

} // namespace CentralSchema
