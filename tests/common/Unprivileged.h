#pragma once

// File permissions as an ordinary user meets them, also when the tests run as root (who reads and
// writes every file whatever its mode): while an Unprivileged lives, this process's effective user
// and group are those of an unprivileged account (uid and gid 65534, "nobody" on Debian), and its
// directory belongs to that account; so does a directory of the test's handed over to it, with
// everything in it. The saved root identity is taken back when it goes. A test run by an ordinary
// user runs as it is. Header only.

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <memory>
#include <vector>

#include <grp.h>

#include <sys/types.h>
#include <unistd.h>

class Unprivileged
{
public:
    static constexpr uid_t kUser = 65534;
    static constexpr gid_t kGroup = 65534;

    explicit Unprivileged(const QString& handOver = QString())
    {
        if (::geteuid() == 0) {
            if (!handOver.isEmpty())
                giveAway(handOver);
            // Real and effective alike (access() checks the real one), root kept as the saved
            // identity to come back to; root's groups dropped and the group changed first, as the
            // user could no longer change them.
            m_groups.resize(::getgroups(0, nullptr));
            m_groups.resize(std::max(0, ::getgroups(int(m_groups.size()), m_groups.data())));
            m_switched = ::setgroups(0, nullptr) == 0 && ::setresgid(kGroup, kGroup, 0) == 0;
            if (m_switched && ::setresuid(kUser, kUser, 0) != 0)
                restore();
        }
        m_dir = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/halvane-user-XXXXXX"));
    }
    ~Unprivileged()
    {
        m_dir.reset(); // removed by its owner
        restore();
    }
    Unprivileged(const Unprivileged&) = delete;
    Unprivileged& operator=(const Unprivileged&) = delete;

    // False when the switch failed: the test would see root's permissions.
    bool ok() const { return ::geteuid() != 0 && ::getuid() != 0 && m_dir->isValid(); }
    // A directory of the test's, owned by the user the test runs as.
    QString filePath(const QString& name) const { return m_dir->filePath(name); }
    QString path() const { return m_dir->path(); }

private:
    static void giveAway(const QString& dir)
    {
        (void)!::chown(QFile::encodeName(dir).constData(), kUser, kGroup);
        QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            (void)!::lchown(QFile::encodeName(it.next()).constData(), kUser, kGroup);
    }

    void restore()
    {
        if (m_switched) {
            (void)!::setresuid(0, 0, 0);
            (void)!::setresgid(0, 0, 0);
            (void)!::setgroups(m_groups.size(), m_groups.data());
        }
        m_switched = false;
    }

    bool m_switched = false;
    std::vector<gid_t> m_groups;
    std::unique_ptr<QTemporaryDir> m_dir;
};
