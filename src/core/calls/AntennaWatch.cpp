#include "core/calls/AntennaWatch.h"

#include <algorithm>

AntennaWatch::AntennaWatch(int silentSeconds) : m_seconds(silentSeconds) {}

void AntennaWatch::heard(const QStringList& ids, const Clock::Moment& now)
{
    if (!enabled())
        return;
    for (const QString& id : ids) {
        const QString folded = id.toCaseFolded();
        const auto known = std::find_if(m_antennas.begin(), m_antennas.end(),
                                        [&folded](const Antenna& a) { return a.folded == folded; });
        if (known != m_antennas.end()) {
            known->signedOn = known->signedOn || known->lastHeardMs != now.elapsedMs;
            known->lastHeard = now.wall;
            known->lastHeardMs = now.elapsedMs;
            continue;
        }
        if (m_antennas.size() >= kMaxAntennas) {
            // Room is made first by a name heard only once (what a flood of made-up names is made
            // of), then by the antenna heard least recently among those still heard. An antenna that
            // signed on and fell silent stays in alarm until it is heard again, whatever names
            // strangers send; with every place taken by one the newcomer is not watched.
            const auto evictable = [this, &now](const Antenna& a) {
                return !a.signedOn || !silentAt(a, now.elapsedMs);
            };
            const auto before = [](const Antenna& a, const Antenna& b) {
                return a.signedOn != b.signedOn ? !a.signedOn : a.lastHeardMs < b.lastHeardMs;
            };
            auto victim = m_antennas.end();
            for (auto a = m_antennas.begin(); a != m_antennas.end(); ++a) {
                if (evictable(*a) && (victim == m_antennas.end() || before(*a, *victim)))
                    victim = a;
            }
            if (victim == m_antennas.end())
                continue;
            m_antennas.erase(victim);
        }
        m_antennas.append({id, folded, now.wall, now.elapsedMs, false});
    }
}

bool AntennaWatch::silentAt(const Antenna& antenna, qint64 elapsedMs) const
{
    return elapsedMs - antenna.lastHeardMs >= qint64(m_seconds) * 1000;
}

bool AntennaWatch::check(const Clock::Moment& now)
{
    QList<Silent> silent;
    if (enabled()) {
        QList<const Antenna*> quiet;
        for (const Antenna& a : std::as_const(m_antennas)) {
            if (silentAt(a, now.elapsedMs))
                quiet.append(&a);
        }
        std::stable_sort(quiet.begin(), quiet.end(),
                         [](const Antenna* a, const Antenna* b) { return a->lastHeardMs < b->lastHeardMs; });
        for (const Antenna* a : std::as_const(quiet))
            silent.append({a->id, a->lastHeard});
    }
    if (silent == m_silent)
        return false;
    m_silent = silent;
    if (m_listener)
        m_listener();
    return true;
}
