#include "central/web/Sessions.h"

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

QByteArray Sessions::open(const QString& name)
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
    m_sessions.insert(token, Session{name, now()});
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

LoginThrottle::LoginThrottle(Now now) : m_now(std::move(now)) {}

qint64 LoginThrottle::now() const
{
    return m_now ? m_now() : wallClock();
}

qint64 LoginThrottle::waitOf(QHash<QString, Entry>& table, const QString& key, qint64 at)
{
    const auto it = table.find(key);
    if (it == table.end())
        return 0;
    if (at - it->last >= kForgetMs) {
        table.erase(it);
        return 0;
    }
    if (it->failures <= kFreeFailures)
        return 0;
    const int doublings = std::min(it->failures - kFreeFailures - 1, 20);
    const qint64 delay = std::min(kFirstDelayMs << doublings, kMaxDelayMs);
    return std::max<qint64>(0, it->last + delay - at);
}

qint64 LoginThrottle::waitMs(const QHostAddress& address, const QString& name)
{
    const qint64 at = now();
    return std::max(waitOf(m_addresses, address.toString(), at), waitOf(m_names, name.toCaseFolded(), at));
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

void LoginThrottle::failed(const QHostAddress& address, const QString& name)
{
    const qint64 at = now();
    fail(m_addresses, address.toString(), at);
    fail(m_names, name.toCaseFolded(), at);
}

void LoginThrottle::succeeded(const QHostAddress& address, const QString& name)
{
    m_addresses.remove(address.toString());
    m_names.remove(name.toCaseFolded());
}
