#pragma once

#include "core/net/StationNotice.h"

#include <QHostAddress>
#include <QtGlobal>

struct LinkTiming
{
    qint64 helloEveryMs = 5000; // while no ping is heard
    qint64 lostAfterMs = 2000;  // without a ping, the connection counts as lost
    // Without a configured address, the server found is kept until it has been silent this long;
    // only then may another address become the server.
    qint64 forgetAfterMs = 60'000;
    qint64 askAgainMs = 1000;   // the open calls asked for again while no whole answer came
    int asksPerLink = 6;        // and given up for this link after so many requests
    qint64 refreshMs = 120'000; // the open calls asked for again while the link holds and no call is shown
    // and this often while calls are shown: a call whose cancel notice was lost leaves at the next
    // answer, so this is about the longest it can stay (the server answers a station every 2 s at most)
    qint64 refreshShownMs = 10'000;
};

// How the board finds the server and keeps being listed by it. The server lists a display station
// when the station says hello, pings every listed station every 500 ms, and forgets them all when
// it restarts. So the board says hello at its start and, whenever it has heard no ping for a while,
// again every few seconds until pings return: a restarted server lists it again on its own.
//
// The server the board found is the sender of the pings: its address and port, as the server sends
// its pings and notices through one socket. Notices and answers are taken from it alone. A ping from
// another port of the same address is taken once the server counts as lost (it restarted). With a
// configured address, no other address is ever the server. Without one, another address is taken
// only after the found server has been silent for forgetAfterMs (it moved, or another machine took
// over): pings from elsewhere while it is only briefly silent are dropped.
//
// After every (re)connection the board asks the server for its open calls, again every askAgainMs
// until a whole answer came (asksPerLink times at most: an older server does not answer; such a
// round is tried again after refreshMs), then every refreshShownMs while calls are shown and every
// refreshMs while none is, and after a new call, no sooner than askAgainMs after the last request.
// Times are milliseconds of one steady clock chosen by the caller, so the whole exchange can be
// replayed in a test without sockets.
class ServerLink
{
public:
    using Timing = LinkTiming;

    // A null configured address: the hello goes out as a broadcast on the local network.
    explicit ServerLink(const QHostAddress& configured = QHostAddress(), Timing timing = {});

    enum class Verdict { Drop, Ping, Notice, Answer };
    // A datagram from sender, already parsed. Ping: a sign of life, the sender is the server from
    // now on. Notice: a notice from the found server, to be shown. Drop: anything else.
    Verdict classify(const Notice& notice, const QHostAddress& sender, quint16 senderPort, qint64 nowMs);
    // An answer with the open calls: Answer when it comes from the found server, otherwise Drop.
    Verdict classifyAnswer(const QHostAddress& sender, quint16 senderPort) const;
    // A call the board did not know arrived: the list is asked for soon (for the call's ward), unless
    // a round of requests is already on.
    void wantCalls();
    // A whole answer was taken: no more requests until the next refresh.
    void answered(qint64 nowMs);
    // When the current round of requests began: its first request. Whatever made the board ask, an
    // answer to the round was built after that moment, so it lists every call the board heard of
    // before it that the server still has open.
    qint64 roundStartMs() const { return m_roundStartMs; }

    struct TickResult
    {
        bool sayHello = false;   // the caller sends the hello now
        bool becameLost = false; // once, when the pings stop
        bool askCalls = false;   // the caller asks the server for its open calls now
    };
    // callsShown: the board shows calls, which the answers keep in line with the server.
    TickResult tick(qint64 nowMs, bool callsShown = false);

    bool isLost(qint64 nowMs) const;
    bool everPinged() const { return m_everPinged; }
    qint64 lastPingMs() const { return m_lastPingMs; }
    QHostAddress server() const { return m_server; }
    quint16 serverPort() const { return m_serverPort; }
    // Where the hello goes: the configured address, or the limited broadcast address.
    QHostAddress helloAddress() const;
    const Timing& timing() const { return m_timing; }

private:
    bool isServer(const QHostAddress& sender, quint16 senderPort) const;
    bool mayBecomeServer(const QHostAddress& sender, qint64 nowMs) const;

    QHostAddress m_configured;
    Timing m_timing;
    QHostAddress m_server;
    quint16 m_serverPort = 0;
    bool m_everPinged = false;
    qint64 m_lastPingMs = 0;
    bool m_helloSaid = false;
    qint64 m_lastHelloMs = 0;
    bool m_wasLost = true; // nothing is heard before the first ping; there is nothing to mark yet
    bool m_needCalls = false;
    bool m_roundAfterConnect = false;
    int m_asks = 0;
    qint64 m_lastAskMs = 0;
    qint64 m_roundStartMs = 0;
    qint64 m_answeredMs = 0;
};
