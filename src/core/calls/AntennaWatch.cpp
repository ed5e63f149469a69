#include "core/calls/AntennaWatch.h"

#include <algorithm>

AntennaWatch::AntennaWatch(int silentSeconds) : m_seconds(silentSeconds) {}

void AntennaWatch::heard(const QStringList& ids, const QDateTime& now)
{
    if (!enabled())
        return;
    for (const QString& id : ids) {
        const QString folded = id.toCaseFolded();
        const auto known = std::find_if(m_antennas.begin(), m_antennas.end(),
                                        [&folded](const Antenna& a) { return a.folded == folded; });
        if (known != m_antennas.end()) {
            known->lastHeard = now;
            continue;
        }
        if (m_antennas.size() >= kMaxAntennas) {
            const auto oldest = std::min_element(
                m_antennas.begin(), m_antennas.end(),
                [](const Antenna& a, const Antenna& b) { return a.lastHeard < b.lastHeard; });
            m_antennas.erase(oldest);
        }
        m_antennas.append({id, folded, now});
    }
}

bool AntennaWatch::check(const QDateTime& now)
{
    QList<Silent> silent;
    if (enabled()) {
        for (const Antenna& a : std::as_const(m_antennas)) {
            if (a.lastHeard.secsTo(now) >= m_seconds)
                silent.append({a.id, a.lastHeard});
        }
        std::stable_sort(silent.begin(), silent.end(),
                         [](const Silent& a, const Silent& b) { return a.lastHeard < b.lastHeard; });
    }
    if (silent == m_silent)
        return false;
    m_silent = silent;
    if (m_listener)
        m_listener();
    return true;
}
