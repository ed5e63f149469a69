#pragma once

#include "board/BoardSettings.h"
#include "board/BoardState.h"

#include <QDateTime>
#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>

class QUdpSocket;

// The board's side of the exchange with the server: one UDP socket bound at the board's port, which
// receives the pings and notices and sends the hello; a timer that keeps the hello going while the
// server is silent and lets time pass for the call list. Everything runs on the thread that owns
// the station (the user-interface thread): a datagram costs a parse and a look at a short list.
class BoardStation : public QObject
{
    Q_OBJECT
public:
    enum class Cue { NewCall, Alarm };

    // The board's steady time in milliseconds: waiting times, warning and alarm, the link's silences
    // and the requests all run on it. It never follows the wall clock, which an administrator or a
    // time server may set back or forward while calls wait; only the time of the last ping shown in
    // the banner is wall time.
    using SteadyClock = std::function<qint64()>;

    // Runs on a monotonic clock started here.
    explicit BoardStation(const BoardSettings& settings, QObject* parent = nullptr);
    // Runs on the given steady time (a test steps it).
    BoardStation(const BoardSettings& settings, SteadyClock steady, QObject* parent = nullptr);
    ~BoardStation() override;

    // Binds the board's port (every local IPv4 address) and says the first hello. False with the
    // network layer's text when the port is taken.
    bool start(QString* errorText = nullptr);
    quint16 localPort() const;

    const CallList& calls() const { return m_state.calls(); }
    const ServerLink& link() const { return m_state.link(); }
    qint64 nowMs() const { return m_steady(); }
    bool isLost() const { return m_state.isLost(nowMs()); }
    QDateTime lastPingAt() const { return m_lastPingAt; } // null before the first ping

    // How often time is looked at: the hello, the lost connection, the ends of highlights.
    static constexpr int kTickMs = 200;
    static constexpr int kDatagramsPerTurn = 256;

Q_SIGNALS:
    void changed(); // the board must be drawn again
    void cue(BoardStation::Cue cue);
    void helloSaid(); // for whoever watches the exchange

private:
    void readDatagrams();
    void tick();
    void sayHello();
    void askCalls();
    void report(const BoardState::Effect& effect);

    BoardSettings m_settings;
    BoardState m_state;
    std::unique_ptr<QUdpSocket> m_socket;
    QTimer m_timer;
    SteadyClock m_steady;
    QDateTime m_lastPingAt;
};
