#pragma once

#include <QAbstractSocket>
#include <QByteArray>
#include <QHostAddress>
#include <QString>

#include <functional>
#include <memory>

class QThread;

// One receiving UDP socket on a thread of its own, bound to every local IPv4 address at one port.
// The socket is created, bound, read and destroyed inside that thread, so the user-interface thread
// never waits for the network. The handler runs on the listener thread for every datagram, so it
// must touch shared state only under its lock and never reach a window or the database.
class UdpListener
{
public:
    using Handler = std::function<void(const QByteArray& data, const QHostAddress& sender)>;

    UdpListener();
    ~UdpListener();
    UdpListener(const UdpListener&) = delete;
    UdpListener& operator=(const UdpListener&) = delete;

    // Binds and starts receiving. Ports are 32-bit settings values of which only the low 16 bits
    // count. Returns false with bindErrorText() when the port cannot be bound (typically a second
    // copy of the program holds it); nothing runs then.
    bool start(qint32 port, Handler onDatagram, QString* errorText = nullptr);
    void stop(); // waits for the thread to end; harmless when not running

    bool isRunning() const;
    quint16 localPort() const; // the bound port, 0 when not running

    // The receive buffer asked for at the next start(); 0 keeps the system's default.
    static constexpr int kReceiveBufferBytes = 8 * 1024 * 1024;
    void setRequestedReceiveBuffer(int bytes) { m_requestedReceiveBuffer = bytes; }
    // The receive buffer the system granted, in bytes as it reports them (Linux reports twice the
    // usable size); 0 when not running.
    int receiveBufferBytes() const { return m_receiveBuffer; }

    // The sender's address as plain IPv4 when it is one (an IPv4-mapped IPv6 address included).
    static QHostAddress plainIPv4(const QHostAddress& address);

    // Why a UDP port could not be bound, in the operator's words and naming the port; the network
    // layer's own text where no such words exist.
    static QString bindErrorText(QAbstractSocket::SocketError error, quint16 port,
                                 const QString& networkText);

private:
    std::unique_ptr<QThread> m_thread;
    quint16 m_port = 0;
    int m_requestedReceiveBuffer = kReceiveBufferBytes;
    int m_receiveBuffer = 0;
};
