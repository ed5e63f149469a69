#include "board/CallList.h"

#include <QSet>

#include <algorithm>
#include <limits>

namespace {

// A place notice names a KB unit by its two-character unit code, while the unit's calls carry the
// unit code followed by the key number.
bool placeNamesCall(const QString& placeCode, const QString& callCode)
{
    if (placeCode == callCode)
        return true;
    return placeCode.size() == 2 && callCode.size() == 4 && callCode.startsWith(placeCode);
}

} // namespace

CallList::CallList(Limits limits) : m_limits(limits)
{
    m_limits.maxTiles = std::max<qsizetype>(m_limits.maxTiles, 1);
}

qsizetype CallList::indexOfCall(const QString& code) const
{
    for (qsizetype i = 0; i < m_tiles.size(); ++i) {
        if (m_tiles.at(i).isCall && m_tiles.at(i).code == code)
            return i;
    }
    return -1;
}

qsizetype CallList::indexOfPlaceTile(const QString& code) const
{
    for (qsizetype i = 0; i < m_tiles.size(); ++i) {
        if (!m_tiles.at(i).isCall && m_tiles.at(i).code == code)
            return i;
    }
    return -1;
}

qsizetype CallList::callCount() const
{
    return std::count_if(m_tiles.cbegin(), m_tiles.cend(), [](const Tile& t) { return t.isCall; });
}

bool CallList::makeRoom(bool forCall)
{
    if (m_tiles.size() < m_limits.maxTiles)
        return true;
    // Place tiles are only pointers and go first, the oldest of them first; they sit at the front.
    for (qsizetype i = 0; i < m_tiles.size(); ++i) {
        if (!m_tiles.at(i).isCall) {
            m_tiles.removeAt(i);
            return true;
        }
    }
    if (!forCall)
        return false;
    // All tiles are calls: the one waiting longest closes, as the bound must hold whatever arrives.
    m_tiles.removeAt(0);
    return true;
}

void CallList::insertCall(Tile tile)
{
    // Calls are kept in arrival order after the place tiles; a converted place tile arrives now.
    auto pos = std::find_if(m_tiles.begin(), m_tiles.end(),
                            [&](const Tile& t) { return t.isCall && t.sinceMs > tile.sinceMs; });
    m_tiles.insert(pos, std::move(tile));
}

CallList::Effect CallList::apply(const Notice& notice, qint64 nowMs)
{
    Effect effect;
    switch (notice.kind) {
    case Notice::Kind::Invalid:
    case Notice::Kind::Ping:
        return effect;

    case Notice::Kind::Call: {
        const qsizetype open = indexOfCall(notice.code);
        if (open >= 0) {
            Tile& tile = m_tiles[open];
            // A repeat, or a new call at a place whose cancel was lost: either way the server had the
            // call open now, so a list asked for before this moment does not take the tile away.
            tile.heardMs = nowMs;
            if (tile.stale || tile.function != notice.function) {
                tile.stale = false;
                tile.function = notice.function; // "4" after "8": the same call, now of the later type
                effect.changed = true;
            }
            return effect;
        }
        Tile tile;
        tile.code = notice.code;
        tile.function = notice.function;
        tile.staff = notice.staff;
        tile.place = notice.place;
        tile.sinceMs = nowMs;
        tile.heardMs = nowMs;
        // The operator pointed at the place just before it called: the highlight carries over.
        const qsizetype pointed = indexOfPlaceTile(notice.code);
        if (pointed >= 0) {
            tile.highlightUntilMs = m_tiles.at(pointed).highlightUntilMs;
            m_tiles.removeAt(pointed);
        }
        makeRoom(true);
        insertCall(std::move(tile));
        effect.changed = true;
        effect.newCall = true;
        return effect;
    }

    case Notice::Kind::Cancel: {
        const qsizetype open = indexOfCall(notice.code);
        if (open >= 0) {
            m_tiles.removeAt(open);
            effect.changed = true;
        }
        return effect;
    }

    case Notice::Kind::Place: {
        const qint64 until = nowMs + m_limits.highlightMs;
        bool named = false;
        for (Tile& tile : m_tiles) {
            if (tile.isCall && placeNamesCall(notice.code, tile.code)) {
                tile.highlightUntilMs = until;
                named = true;
            }
        }
        if (!named) {
            const qsizetype pointed = indexOfPlaceTile(notice.code);
            if (pointed >= 0) {
                Tile& tile = m_tiles[pointed];
                tile.highlightUntilMs = until;
                tile.ward = notice.ward;
                tile.place = notice.place;
            } else if (makeRoom(false)) {
                Tile tile;
                tile.code = notice.code;
                tile.function = notice.function;
                tile.ward = notice.ward;
                tile.place = notice.place;
                tile.isCall = false;
                tile.sinceMs = nowMs;
                tile.highlightUntilMs = until;
                // After the other place tiles, before the calls.
                auto pos =
                    std::find_if(m_tiles.begin(), m_tiles.end(), [](const Tile& t) { return t.isCall; });
                m_tiles.insert(pos, std::move(tile));
            }
        }
        effect.changed = true;
        return effect;
    }
    }
    return effect;
}

CallList::TickEffect CallList::tick(qint64 nowMs)
{
    TickEffect effect;
    const qsizetype before = m_tiles.size();
    m_tiles.removeIf([nowMs](const Tile& t) { return !t.isCall && t.highlightUntilMs <= nowMs; });
    effect.changed = m_tiles.size() != before;
    for (Tile& tile : m_tiles) {
        if (tile.isCall && !tile.alarmed && level(tile, nowMs) == Level::Alarm) {
            tile.alarmed = true;
            ++effect.alarmsReached;
            effect.changed = true;
        }
    }
    return effect;
}

void CallList::markAllStale()
{
    for (Tile& tile : m_tiles) {
        if (tile.isCall)
            tile.stale = true;
    }
}

CallList::Level CallList::level(const Tile& tile, qint64 nowMs) const
{
    if (!tile.isCall)
        return Level::Normal;
    const qint64 waited = nowMs - tile.sinceMs;
    if (waited >= m_limits.alarmMs || tile.serverLevel >= 2)
        return Level::Alarm;
    if (waited >= m_limits.warnMs || tile.serverLevel == 1)
        return Level::Warning;
    return Level::Normal;
}

void CallList::sortCalls()
{
    std::stable_sort(m_tiles.begin(), m_tiles.end(), [](const Tile& a, const Tile& b) {
        if (a.isCall != b.isCall)
            return !a.isCall; // place tiles first
        return a.isCall && a.sinceMs < b.sinceMs;
    });
}

CallList::Effect CallList::applyServerList(const QList<Stations::ListedCall>& calls, qint32 warnSec,
                                           qint32 alarmSec, qint64 nowMs, qint64 askedMs, bool complete)
{
    // A level the server keeps off is never reached.
    constexpr qint64 kNever = std::numeric_limits<qint64>::max();
    m_limits.warnMs = warnSec > 0 ? qint64(warnSec) * 1000 : kNever;
    m_limits.alarmMs = alarmSec > 0 ? qint64(alarmSec) * 1000 : kNever;

    Effect effect;
    effect.changed = true; // the colours may follow other thresholds now
    QSet<QString> listed;
    for (const Stations::ListedCall& call : calls)
        listed.insert(call.code);
    if (complete) {
        m_tiles.removeIf(
            [&](const Tile& t) { return t.isCall && !listed.contains(t.code) && t.heardMs < askedMs; });
    }

    for (const Stations::ListedCall& call : calls) {
        // What the server says of the call, on a tile the board shows already or on a new one.
        const auto takeListed = [&](Tile& tile) {
            tile.function = call.function;
            tile.staff = call.staff;
            tile.place = call.place;
            tile.ward = call.ward;
            tile.sinceMs = nowMs - call.waitedMs;
            tile.stale = false;
            tile.serverLevel = call.level;
        };
        const qsizetype open = indexOfCall(call.code);
        if (open >= 0) {
            takeListed(m_tiles[open]);
            continue;
        }
        Tile tile;
        tile.code = call.code;
        tile.heardMs = nowMs;
        takeListed(tile);
        const qsizetype pointed = indexOfPlaceTile(call.code);
        if (pointed >= 0) {
            tile.highlightUntilMs = m_tiles.at(pointed).highlightUntilMs;
            m_tiles.removeAt(pointed);
        }
        makeRoom(true);
        m_tiles.append(std::move(tile));
        effect.newCall = true;
    }
    sortCalls();
    return effect;
}
