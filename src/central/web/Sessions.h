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
// account is removed, disabled or given another password. A restart of the centre ends every session.
class Sessions
{
public:
    using Now = std::function<qint64()>; // milliseconds since the epoch

    // Beyond it the oldest session gives way to a new one.
    static constexpr qsizetype kMaxSessions = 10000;

    explicit Sessions(int hours, Now now = {});

    // A new session of `name`: its token, 43 characters of base64url (32 random bytes). `stamp`: what
    // the account was when the password was checked (its hash); another stamp later ends the session.
    QByteArray open(const QString& name, const QByteArray& stamp = {});
    // The account of a token that is still good; an expired one is forgotten.
    std::optional<QString> find(QByteArrayView token);
    void close(QByteArrayView token);
    // Ends the sessions of every account not in `names`; returns the accounts whose sessions ended.
    QSet<QString> keepOnly(const QSet<QString>& names);
    // The same for the accounts as they are now, each with its stamp: a session ends when its account
    // is not there or has another stamp than at its login.
    QSet<QString> keepOnly(const QHash<QString, QByteArray>& stamps);
    qsizetype count() const { return m_sessions.size(); }
    int hours() const { return m_hours; }

private:
    struct Session
    {
        QString name;
        qint64 opened = 0;
        QByteArray stamp;
    };

    qint64 now() const;

    const int m_hours;
    const Now m_now;
    QHash<QByteArray, Session> m_sessions;
};

// Failed logins slow the next ones down, counted both per address (an IPv6 address by its /64) and
// per account name: from the third failure in a row on, each further attempt must wait twice as
// long as the one before (1 s, 2 s, 4 s, ... up to 5 minutes). An attempt made earlier is refused
// without looking at the password.
//
// An attempt counts as a failure as soon as it is let in, before its password is checked, and at
// most one check runs at a time per address and per name: a burst of parallel attempts gets one
// check, not one each. The name's count holds back only addresses with failures of their own: the
// account's owner, from an address that has not failed, is never shut out by someone else guessing
// from elsewhere; such an attempt only waits its turn while another check of the name runs.
// A success clears the name's and the address's count; a count fades after an hour without failures.
class LoginThrottle
{
public:
    using Now = Sessions::Now;

    static constexpr int kFreeFailures = 2;
    static constexpr qint64 kFirstDelayMs = 1000;
    static constexpr qint64 kMaxDelayMs = 5 * 60 * 1000;
    static constexpr qint64 kForgetMs = 60 * 60 * 1000;
    static constexpr qsizetype kMaxEntries = 20000;

    enum class Turn {
        Check,   // check the password now, then call finished()
        Later,   // another check of the name is under way: ask again when it has finished
        Refused, // refused without a check
    };
    enum class Outcome {
        Good,      // the right password: the counts are cleared
        Bad,       // a wrong password or an unknown name: it stays counted
        Unchecked, // the check could not be made (no database): not counted after all
    };

    explicit LoginThrottle(Now now = {});

    Turn admit(const QHostAddress& address, const QString& name);
    void finished(const QHostAddress& address, const QString& name, Outcome outcome);

    // How many milliseconds must still pass before an attempt from `address` for `name` is let in
    // (0: now, unless a check of the address or the name is under way).
    qint64 waitMs(const QHostAddress& address, const QString& name);

private:
    struct Entry
    {
        int failures = 0;
        qint64 last = 0;
    };

    qint64 now() const;
    // The entry's failures, forgetting them when they have faded.
    int failuresOf(QHash<QString, Entry>& table, const QString& key, qint64 at);
    qint64 waitOf(QHash<QString, Entry>& table, const QString& key, qint64 at);
    void fail(QHash<QString, Entry>& table, const QString& key, qint64 at);
    static void unfail(QHash<QString, Entry>& table, const QString& key);

    const Now m_now;
    QHash<QString, Entry> m_addresses;
    QHash<QString, Entry> m_names;
    QSet<QString> m_checkingAddresses;
    QSet<QString> m_checkingNames;
};
