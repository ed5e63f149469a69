#pragma once

#include "core/net/StationNotice.h"

#include <QHostAddress>
#include <QtGlobal>

struct LinkTiming
{
    qint64 helloEveryMs = 5000; // while no ping is heard
    qint64 lostAfterMs = 2000;  // without a ping, the connection counts as lost
};

// How the board finds the server and keeps being listed by it. The server lists a display station
// when the station says hello, pings every listed station every 500 ms, and forgets them all when
// it restarts. So the board says hello at its start and, whenever it has heard no ping for a while,
// again every few seconds until pings return: a restarted server lists it again on its own.
//
// The server the board found is the sender of the pings: its address and port, as the server sends
// its pings and notices through one socket. Notices are taken from it alone; a ping from another
// sender is taken only while the found server is silent (it restarted on another port, moved to
// another address, or another machine took over). Times are milliseconds of one steady clock chosen by the
// caller, so the whole exchange can be replayed in a test without sockets.
class ServerLink
{
public:
    using Timing = LinkTiming;

    // A null configured address: the hello goes out as a broadcast on the local network.
    explicit ServerLink(const QHostAddress& configured = QHostAddress(), Timing timing = {});

    enum class Verdict { Drop, Ping, Notice };
    // A datagram from sender, already parsed. Ping: a sign of life, the sender is the server from
    // now on. Notice: a notice from the found server, to be shown. Drop: anything else.
    Verdict classify(const Notice& notice, const QHostAddress& sender, quint16 senderPort, qint64 nowMs);

    struct TickResult
    {
        bool sayHello = false;   // the caller sends the hello now
        bool becameLost = false; // once, when the pings stop
    };
    TickResult tick(qint64 nowMs);

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

    QHostAddress m_configured;
    Timing m_timing;
    QHostAddress m_server;
    quint16 m_serverPort = 0;
    bool m_everPinged = false;
    qint64 m_lastPingMs = 0;
    bool m_helloSaid = false;
    qint64 m_lastHelloMs = 0;
    bool m_wasLost = true; // nothing is heard before the first ping; there is nothing to mark yet
};
