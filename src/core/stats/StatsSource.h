#pragma once

#include "core/stats/Statistics.h"

#include <QString>

#include <memory>

namespace db {
class Database;
}

namespace Stats {

// Where the statistics read: the database named in the settings file beside the executable, and the
// journal's bound and type texts from the same file. Nothing is written: a missing settings file
// means the defaults, and it stays missing.
struct Source
{
    QString databasePath;
    QString maxReactionTime;
    QString typeText8;
    QString typeTextB;
};

Source sourceBesideExecutable(const QString& exePath);

// How long a read waits for the journal writer's lock before it gives up.
constexpr int kBusyTimeoutMs = 3000;

// A read-only connection of its own. Throws AppError when the file is missing, is not a database or
// holds no journal.
std::unique_ptr<db::Database> openJournal(const QString& databasePath);

} // namespace Stats
