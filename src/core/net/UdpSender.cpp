#include "core/net/UdpSender.h"

#include <QUdpSocket>

UdpSender::UdpSender() = default;

UdpSender::~UdpSender() = default;

bool UdpSender::open(QString* errorText)
{
    if (m_socket)
        return true;
    // Qt switches broadcasting on for every UDP socket it creates, so the limited broadcast
    // needs no further option here.
    auto socket = std::make_unique<QUdpSocket>();
    if (!socket->bind(QHostAddress::AnyIPv4, 0)) {
        if (errorText)
            *errorText = socket->errorString();
        return false;
    }
    m_socket = std::move(socket);
    return true;
}

bool UdpSender::isOpen() const
{
    return m_socket != nullptr;
}

quint16 UdpSender::localPort() const
{
    return m_socket ? m_socket->localPort() : 0;
}

namespace {
QHostAddress& broadcastAddress()
{
    static QHostAddress address(QHostAddress::Broadcast);
    return address;
}
} // namespace

void UdpSender::setBroadcastAddressForTests(const QHostAddress& address)
{
    broadcastAddress() = address.isNull() ? QHostAddress(QHostAddress::Broadcast) : address;
}

void UdpSender::BroadcastUDP(const QString& text, qint32 port)
{
    sendBytesTo(broadcastAddress(), text.toUtf8(), port);
}

void UdpSender::sendTo(const QHostAddress& address, const QString& text, qint32 port)
{
    sendBytesTo(address, text.toUtf8(), port);
}

void UdpSender::sendBytesTo(const QHostAddress& address, const QByteArray& bytes, qint32 port)
{
    if (!open())
        return;
    // A failed send (no network, broadcast refused, unreachable host, oversized datagram) is
    // deliberately ignored; the return value is the only report and nobody acts on it.
    m_socket->writeDatagram(bytes, address, portFromSetting(port));
}
