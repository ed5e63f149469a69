#pragma once

#include "core/base/Clock.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

// Which antennas have fallen silent. Fed with the identities heard (what the status update takes
// from the antenna link) and asked once a second; an antenna counts as silent once it was heard and
// then not for AntennaSilentSec seconds of the steady clock (a wall clock set back or forward changes
// nothing), and is well again the moment it is heard. Identities are matched without regard to
// letter case, as the antenna link matches them; an antenna keeps the spelling it was first heard
// with. With no antenna ever heard there is nothing to watch.
class AntennaWatch
{
public:
    struct Silent
    {
        QString id;
        QDateTime lastHeard; // on the wall clock, as shown

        friend bool operator==(const Silent&, const Silent&) = default;
    };

    // seconds 0 (or less) switches the supervision off.
    explicit AntennaWatch(int silentSeconds);

    void heard(const QStringList& ids, const Clock::Moment& now);
    // True when the list of silent antennas changed since the last call; the listener hears of it too.
    bool check(const Clock::Moment& now);
    // One listener (the open-calls window), told after a change of the silent list.
    void setListener(std::function<void()> listener) { m_listener = std::move(listener); }

    // Longest silent first.
    const QList<Silent>& silent() const { return m_silent; }
    bool enabled() const { return m_seconds > 0; }

    // A bound on the antennas remembered, against a flood of made-up identities: a newcomer pushes
    // out a name heard only once first, then the antenna heard least recently among those still
    // heard; never an antenna that signed on and fell silent.
    static constexpr int kMaxAntennas = 256;

private:
    struct Antenna
    {
        QString id;
        QString folded;
        QDateTime lastHeard;
        qint64 lastHeardMs = 0; // the same moment on the steady clock
        bool signedOn = false;  // heard at more than one moment
    };

    bool silentAt(const Antenna& antenna, qint64 elapsedMs) const;

    int m_seconds;
    QList<Antenna> m_antennas;
    QList<Silent> m_silent;
    std::function<void()> m_listener;
};
