#pragma once

#include "core/net/StationNotice.h"

#include <QList>
#include <QString>
#include <QtGlobal>

// The times and the bound of the call list.
struct CallLimits
{
    qint64 warnMs = 180'000;     // waiting this long turns a tile to the warning colour
    qint64 alarmMs = 300'000;    // and this long to the alarm colour, with the alarm cue
    qsizetype maxTiles = 100;    // tiles kept at most
    qint64 highlightMs = 10'000; // how long a place notice highlights its place
};

// What the board shows: one tile per open call, plus short-lived tiles for places the operator
// points at. Times are milliseconds of one steady clock chosen by the caller (the board's running
// time), so nothing here reads a clock and every step can be replayed in a test.
class CallList
{
public:
    enum class Level { Normal, Warning, Alarm };

    struct Tile
    {
        QString code;
        QString function; // the calling function of the last call notice; "0" for a place tile
        QString staff;
        QString ward; // from a place notice, or for a call from the server's list of open calls
        QString place;
        bool isCall = true;          // false: a place tile, shown only while highlighted
        qint64 sinceMs = 0;          // when the call arrived (a place tile: when it was pointed at)
        qint64 highlightUntilMs = 0; // highlighted by a place notice until then
        bool stale = false;          // shown while the server could not be heard: may be over
        bool alarmed = false;        // the alarm cue has been given
        qint64 heardMs = 0;          // when the board learned of the call
        int serverLevel = 0;         // the level the server gave in its list of open calls
    };

    using Limits = CallLimits;

    struct Effect
    {
        bool changed = false; // the board must be drawn again
        bool newCall = false; // a call that was not open before: the cue sounds
    };

    explicit CallList(Limits limits = {});

    // One notice from the server. A call opens a tile unless its code has one; a repeat keeps the
    // tile and its waiting time (and clears a stale mark: the server still knows the call). A
    // cancel closes the code's tile. A place notice highlights the code's tiles, or shows a place
    // tile when there are none. Pings and invalid notices change nothing.
    Effect apply(const Notice& notice, qint64 nowMs);

    // Time passing: place tiles end when their highlight does; calls that reach the alarm time
    // count once each in alarmsReached.
    struct TickEffect
    {
        bool changed = false;
        int alarmsReached = 0;
    };
    TickEffect tick(qint64 nowMs);

    // The server has not been heard: every tile shown may have been cancelled meanwhile.
    void markAllStale();

    // The server's whole list of open calls, with their waiting times and levels, asked for at
    // askedMs: its calls are shown as it has them (times, names, levels) and marked current. A call
    // shown but missing from the list is over (its cancel notice was lost, or the operator closed
    // it) and is dropped, unless the board learned of it at askedMs or later: the list may have been
    // built before the server had it. With complete false (the server had to cut the list) nothing
    // is dropped. The server's thresholds (seconds, 0: that level is off) replace the board's.
    Effect applyServerList(const QList<Stations::ListedCall>& calls, qint32 warnSec, qint32 alarmSec,
                           qint64 nowMs, qint64 askedMs, bool complete = true);

    // Place tiles first (the operator is pointing at them), then calls, longest waiting first.
    const QList<Tile>& tiles() const { return m_tiles; }
    qsizetype callCount() const;

    Level level(const Tile& tile, qint64 nowMs) const;
    bool isHighlighted(const Tile& tile, qint64 nowMs) const { return tile.highlightUntilMs > nowMs; }
    const Limits& limits() const { return m_limits; }

private:
    qsizetype indexOfCall(const QString& code) const;
    qsizetype indexOfPlaceTile(const QString& code) const;
    // Makes room for one more tile of the given kind; false when a place tile cannot be shown.
    bool makeRoom(bool forCall);
    void insertCall(Tile tile);
    void sortCalls();

    Limits m_limits;
    QList<Tile> m_tiles;
};
