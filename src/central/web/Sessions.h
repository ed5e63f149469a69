#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QSet>
#include <QString>
#include <QtGlobal>

#include <functional>
#include <optional>

// The dashboard's logins, kept in memory: a login gives a random token (the session cookie's value)
// that names the account until it has lasted the settings' hours, until logout, or until the
// account is removed. A restart of the centre ends every session.
class Sessions
{
public:
    using Now = std::function<qint64()>; // milliseconds since the epoch

    // Beyond it the oldest session gives way to a new one.
    static constexpr qsizetype kMaxSessions = 10000;

    explicit Sessions(int hours, Now now = {});

    // A new session of `name`: its token, 43 characters of base64url (32 random bytes).
    QByteArray open(const QString& name);
    // The account of a token that is still good; an expired one is forgotten.
    std::optional<QString> find(QByteArrayView token);
    void close(QByteArrayView token);
    // Ends the sessions of every account not in `names`; returns the accounts whose sessions ended.
    QSet<QString> keepOnly(const QSet<QString>& names);
    qsizetype count() const { return m_sessions.size(); }
    int hours() const { return m_hours; }

private:
    struct Session
    {
        QString name;
        qint64 opened = 0;
    };

    qint64 now() const;

    const int m_hours;
    const Now m_now;
    QHash<QByteArray, Session> m_sessions;
};

// Failed logins slow the next ones down, counted both per address and per account name: from the
// third failure in a row on, each further attempt must wait twice as long as the one before (1 s,
// 2 s, 4 s, ... up to 5 minutes). An attempt made earlier is refused without looking at the
// password. A success clears the name's and the address's count; a count fades after an hour
// without failures.
class LoginThrottle
{
public:
    using Now = Sessions::Now;

    static constexpr int kFreeFailures = 2;
    static constexpr qint64 kFirstDelayMs = 1000;
    static constexpr qint64 kMaxDelayMs = 5 * 60 * 1000;
    static constexpr qint64 kForgetMs = 60 * 60 * 1000;
    static constexpr qsizetype kMaxEntries = 20000;

    explicit LoginThrottle(Now now = {});

    // How many milliseconds must still pass before an attempt from `address` for `name` is checked;
    // 0: it may be checked now.
    qint64 waitMs(const QHostAddress& address, const QString& name);
    void failed(const QHostAddress& address, const QString& name);
    void succeeded(const QHostAddress& address, const QString& name);

private:
    struct Entry
    {
        int failures = 0;
        qint64 last = 0;
    };

    qint64 now() const;
    qint64 waitOf(QHash<QString, Entry>& table, const QString& key, qint64 at);
    void fail(QHash<QString, Entry>& table, const QString& key, qint64 at);

    const Now m_now;
    QHash<QString, Entry> m_addresses;
    QHash<QString, Entry> m_names;
};
