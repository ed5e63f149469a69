#pragma once

#include "board/BoardSettings.h"
#include "board/BoardState.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

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

    explicit BoardStation(const BoardSettings& settings, QObject* parent = nullptr);
    ~BoardStation() override;

    // Binds the board's port (every local IPv4 address) and says the first hello. False with the
    // network layer's text when the port is taken.
    bool start(QString* errorText = nullptr);
    quint16 localPort() const;

    const CallList& calls() const { return m_state.calls(); }
    const ServerLink& link() const { return m_state.link(); }
    qint64 nowMs() const { return m_clock.elapsed(); }
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
    QElapsedTimer m_clock;
    QDateTime m_lastPingAt;
};
