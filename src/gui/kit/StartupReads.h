#pragma once

#include <QList>
#include <QString>

#include <functional>

namespace db {
class Database;
}

// The windows' own reads of the database at the start: the journal's first page, the drop-down lists
// of the adding and the filter windows. Another program holding the file (a backup, a viewer) must
// hold up neither the start nor the antennas behind it, and must open no box: a read that its lock
// refuses waits, and is tried again at every run() until the file lets it, in the order the reads
// were added. Whatever else goes wrong is the caller's to show.
class StartupReads
{
public:
    // A read raises what the database raises.
    void add(const QString& name, std::function<void()> read);

    // Runs the reads still waiting, in order, each waiting at most waitMs for another program's lock.
    // The first one a lock refuses ends the run and waits, with those after it, for the next run. An
    // error other than a lock takes its read off the list and is raised; the reads after it are
    // left for the next run. True once no read waits.
    bool run(db::Database& db, int waitMs);

    bool done() const { return m_reads.isEmpty(); }
    // The names of the reads still waiting, in order.
    QStringList waiting() const;

    // How long a read waits for a lock at the start and at each retry: the start and the
    // user-interface thread must not stand still behind it.
    static constexpr int kWaitMs = 20;
    // How often the waiting reads are tried again: the dispatcher's tick, at which the engine tries
    // its own start-up work on the file again.
    static constexpr int kRetryEveryMs = 300;

private:
    struct Read
    {
        QString name;
        std::function<void()> read;
    };
    QList<Read> m_reads;
};
