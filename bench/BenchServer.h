#pragma once

// What the benchmarks that start the program itself share: a copy of it in a directory of its own
// with a journal of 100 places.

#include "core/db/Database.h"
#include "core/db/Schema.h"

#include <QFile>
#include <QTemporaryDir>

inline bool prepareServerDir(const QTemporaryDir& dir, const QString& server)
{
    const QString exe = dir.filePath(QStringLiteral("HalvaneServer"));
    if (!QFile::copy(server, exe))
        return false;
    QFile::setPermissions(exe, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    auto db = db::Database::openDatabase(dir.filePath(QStringLiteral("orv_med.db")));
    db::runSchema(*db);
    db->executeStatement(QStringLiteral("BEGIN"));
    for (int i = 0; i < 100; ++i)
        db->executeStatement(
            QStringLiteral("INSERT INTO buts (abcde, btnclr, name, comm) VALUES (?, ?, ?, '')"),
            {QStringLiteral("q%1").arg(i, 4, 10, QLatin1Char('0')),
             QStringLiteral("r%1").arg(i, 4, 10, QLatin1Char('0')), QStringLiteral("P%1").arg(i)});
    db->executeStatement(QStringLiteral("COMMIT"));
    db->closeDatabase();
    return true;
}
