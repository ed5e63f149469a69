#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>

#include <memory>

class QUdpSocket;

// The program's one sending socket, shared by the antenna commands and the client datagrams:
// bound to any local IPv4 address at a port the system chooses, broadcasting allowed. It is used
// from the user-interface thread only. Sending never reports a socket error: a lost datagram is
// simply lost, and the periodic senders try again on their next tick.
class UdpSender
{
public:
    UdpSender();
    ~UdpSender();
    UdpSender(const UdpSender&) = delete;
    UdpSender& operator=(const UdpSender&) = delete;

    // Opens the socket if it is not open yet. The send operations open it themselves when needed.
    bool open(QString* errorText = nullptr);
    bool isOpen() const;
    quint16 localPort() const;

    // One UTF-8 datagram to 255.255.255.255.
    void BroadcastUDP(const QString& text, qint32 port);
    // Tests keep the beacon and the add commands on this machine: they redirect the broadcasts to a
    // loopback address. A null address restores 255.255.255.255.
    static void setBroadcastAddressForTests(const QHostAddress& address);
    // One UTF-8 datagram to one address.
    void sendTo(const QHostAddress& address, const QString& text, qint32 port);
    // Already encoded bytes to one address, for senders that encode once and send to many.
    void sendBytesTo(const QHostAddress& address, const QByteArray& bytes, qint32 port);

    // Ports are 32-bit settings values; only the low 16 bits count (70000 sends to 4464).
    static quint16 portFromSetting(qint32 port) { return static_cast<quint16>(port & 0xFFFF); }

private:
    std::unique_ptr<QUdpSocket> m_socket;
};
