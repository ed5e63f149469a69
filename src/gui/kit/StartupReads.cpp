#include "gui/kit/StartupReads.h"

#include "core/db/Database.h"
#include "core/db/DatabaseError.h"

#include <sqlite3.h>

#include <utility>

namespace {
bool isLock(const db::DatabaseError& e)
{
    return e.code() == SQLITE_BUSY || e.code() == SQLITE_LOCKED;
}
} // namespace

void StartupReads::add(const QString& name, std::function<void()> read)
{
    m_reads.append({name, std::move(read)});
}

bool StartupReads::run(db::Database& db, int waitMs)
{
    const db::BusyTimeoutScope wait(db, waitMs);
    while (!m_reads.isEmpty()) {
        try {
            m_reads.constFirst().read();
        } catch (const db::DatabaseError& e) {
            if (isLock(e))
                return false;
            m_reads.removeFirst();
            throw;
        } catch (...) {
            m_reads.removeFirst();
            throw;
        }
        m_reads.removeFirst();
    }
    return true;
}

QStringList StartupReads::waiting() const
{
    QStringList names;
    names.reserve(m_reads.size());
    for (const Read& read : m_reads)
        names << read.name;
    return names;
}
