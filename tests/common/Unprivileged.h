#pragma once

// File permissions as an ordinary user meets them, also when the tests run as root (who reads and
// writes every file whatever its mode): while an Unprivileged lives, this process's effective user
// and group are those of an unprivileged account (uid and gid 65534, "nobody" on Debian), and its
// directory belongs to that account. The saved root identity is taken back when it goes. A test run
// by an ordinary user runs as it is. Header only.

#include <QDir>
#include <QTemporaryDir>

#include <memory>

#include <sys/types.h>
#include <unistd.h>

class Unprivileged
{
public:
    static constexpr uid_t kUser = 65534;
    static constexpr gid_t kGroup = 65534;

    Unprivileged()
    {
        if (::geteuid() == 0) {
            // The group first: without root the user could no longer change it.
            m_switched = ::setegid(kGroup) == 0 && ::seteuid(kUser) == 0;
            if (!m_switched)
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
    bool ok() const { return ::geteuid() != 0 && m_dir->isValid(); }
    // A directory of the test's, owned by the user the test runs as.
    QString filePath(const QString& name) const { return m_dir->filePath(name); }
    QString path() const { return m_dir->path(); }

private:
    void restore()
    {
        if (::geteuid() != 0 && m_switched) {
            (void)!::seteuid(0);
            (void)!::setegid(0);
        }
        m_switched = false;
    }

    bool m_switched = false;
    std::unique_ptr<QTemporaryDir> m_dir;
};
