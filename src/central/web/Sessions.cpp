#include "central/web/Sessions.h"

#include "central/web/HttpServer.h"

#include <QDateTime>

#include <sodium.h>

#include <algorithm>

namespace {

qint64 wallClock()
{
    return QDateTime::currentMSecsSinceEpoch();
}

} // namespace

Sessions::Sessions(int hours, Now now) : m_hours(hours), m_now(std::move(now)) {}

qint64 Sessions::now() const
{
    return m_now ? m_now() : wallClock();
}

QByteArray Sessions::open(const QString& name, const QByteArray& stamp)
{
    if (m_sessions.size() >= kMaxSessions) {
        auto oldest =
            std::min_element(m_sessions.begin(), m_sessions.end(),
                             [](const Session& a, const Session& b) { return a.opened < b.opened; });
        m_sessions.erase(oldest);
    }
    unsigned char random[32];
    randombytes_buf(random, sizeof random);
    const QByteArray token = QByteArray(reinterpret_cast<const char*>(random), sizeof random)
                                 .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    sodium_memzero(random, sizeof random);
    m_sessions.insert(token, Session{name, now(), stamp});
    return token;
}

std::optional<QString> Sessions::find(QByteArrayView token)
{
    if (token.isEmpty())
        return std::nullopt;
    const auto it = m_sessions.find(token.toByteArray());
    if (it == m_sessions.end())
        return std::nullopt;
    if (now() - it->opened >= qint64(m_hours) * 3600 * 1000) {
        m_sessions.erase(it);
        return std::nullopt;
    }
    return it->name;
}

void Sessions::close(QByteArrayView token)
{
    m_sessions.remove(token.toByteArray());
}

QSet<QString> Sessions::keepOnly(const QSet<QString>& names)
{
    QSet<QString> ended;
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        if (names.contains(it->name)) {
            ++it;
        } else {
            ended.insert(it->name);
            it = m_sessions.erase(it);
        }
    }
    return ended;
}

QSet<QString> Sessions::keepOnly(const QHash<QString, QByteArray>& stamps)
{
    QSet<QString> ended;
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        const auto account = stamps.constFind(it->name);
        if (account != stamps.cend() && (it->stamp.isEmpty() || it->stamp == account.value())) {
            ++it;
        } else {
            ended.insert(it->name);
            it = m_sessions.erase(it);
        }
    }
    return ended;
}

LoginThrottle::LoginThrottle(Now now) : m_now(std::move(now)) {}

qint64 LoginThrottle::now() const
{
    return m_now ? m_now() : wallClock();
}

namespace {

QString addressKey(const QHostAddress& address)
{
    return HttpServer::addressGroup(address);
}

QString nameKey(const QString& name)
{
    return name.toCaseFolded();
}

} // namespace

int LoginThrottle::failuresOf(QHash<QString, Entry>& table, const QString& key, qint64 at)
{
    const auto it = table.find(key);
    if (it == table.end())
        return 0;
    if (at - it->last >= kForgetMs) {
        table.erase(it);
        return 0;
    }
    return it->failures;
}

qint64 LoginThrottle::waitOf(QHash<QString, Entry>& table, const QString& key, qint64 at)
{
    const int failures = failuresOf(table, key, at);
    if (failures <= kFreeFailures)
        return 0;
    const Entry& e = table[key];
    const int doublings = std::min(failures - kFreeFailures - 1, 20);
    const qint64 delay = std::min(kFirstDelayMs << doublings, kMaxDelayMs);
    return std::max<qint64>(0, e.last + delay - at);
}

qint64 LoginThrottle::waitMs(const QHostAddress& address, const QString& name)
{
    const qint64 at = now();
    const QString from = addressKey(address);
    const qint64 own = waitOf(m_addresses, from, at);
    // The name holds back only an address that has failed itself.
    if (failuresOf(m_addresses, from, at) == 0)
        return own;
    return std::max(own, waitOf(m_names, nameKey(name), at));
}

LoginThrottle::Turn LoginThrottle::admit(const QHostAddress& address, const QString& name)
{
    const qint64 at = now();
    const QString from = addressKey(address);
    const QString who = nameKey(name);
    if (m_checkingAddresses.contains(from) || waitMs(address, name) > 0)
        return Turn::Refused;
    if (m_checkingNames.contains(who))
        return failuresOf(m_addresses, from, at) == 0 ? Turn::Later : Turn::Refused;
    m_checkingAddresses.insert(from);
    m_checkingNames.insert(who);
    fail(m_addresses, from, at);
    fail(m_names, who, at);
    return Turn::Check;
}

void LoginThrottle::finished(const QHostAddress& address, const QString& name, Outcome outcome)
{
    const QString from = addressKey(address);
    const QString who = nameKey(name);
    m_checkingAddresses.remove(from);
    m_checkingNames.remove(who);
    switch (outcome) {
    case Outcome::Good:
        m_addresses.remove(from);
        m_names.remove(who);
        break;
    case Outcome::Bad:
        break;
    case Outcome::Unchecked:
        unfail(m_addresses, from);
        unfail(m_names, who);
        break;
    }
}

void LoginThrottle::fail(QHash<QString, Entry>& table, const QString& key, qint64 at)
{
    if (table.size() >= kMaxEntries && !table.contains(key)) {
        // Whatever has waited longest is forgotten first; an attacker filling the table with names
        // only makes room for itself.
        auto oldest = std::min_element(table.begin(), table.end(),
                                       [](const Entry& a, const Entry& b) { return a.last < b.last; });
        table.erase(oldest);
    }
    Entry& e = table[key];
    if (at - e.last >= kForgetMs)
        e.failures = 0;
    ++e.failures;
    e.last = at;
}

void LoginThrottle::unfail(QHash<QString, Entry>& table, const QString& key)
{
    const auto it = table.find(key);
    if (it != table.end() && --it->failures <= 0)
        table.erase(it);
}
