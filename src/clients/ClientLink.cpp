#include "clients/ClientLink.h"

#include "antenna/DatagramText.h"
#include "antenna/UdpListener.h"
#include "antenna/UdpSender.h"

#include <QMutexLocker>

#include <utility>

ClientLink::ClientLink(UdpSender& sender, qint32 ToClientsPort, QString sFromClient)
    : m_sender(sender), m_ToClientsPort(ToClientsPort), m_sFromClient(std::move(sFromClient))
{
}

void ClientLink::IdUDPServerClUDPRead(const QByteArray& data, const QHostAddress& sender)
{
    const QHostAddress address = UdpListener::plainIPv4(sender);
    const QString ip = address.toString();
    {
        QMutexLocker locker(&m_lock);
        if (m_listed.contains(ip))
            return; // a listed client's datagrams are not even decoded
    }
    if (datagramText(data) != m_sFromClient)
        return;
    // Only this thread appends, but the test is repeated with the append so that the two form one
    // indivisible step against duplicates.
    QMutexLocker locker(&m_lock);
    if (m_listed.contains(ip) || m_ipsClients.size() >= kMaxClients)
        return;
    m_ipsClients.append(ip);
    m_listed.insert(ip);
    m_addresses.append(address);
}

void ClientLink::SendToClientsUDP(const QString& text)
{
    QList<QHostAddress> addresses;
    {
        QMutexLocker locker(&m_lock);
        addresses = m_addresses;
    }
    if (addresses.isEmpty())
        return;
    const QByteArray bytes = text.toUtf8();
    for (const QHostAddress& address : addresses)
        m_sender.sendBytesTo(address, bytes, m_ToClientsPort);
}

void ClientLink::SendEventToClients(const QString& code, const QString& f, const QString& staff,
                                    const QString& place)
{
    SendToClientsUDP(eventNotice(code, f, staff, place));
}

QString ClientLink::eventNotice(const QString& code, const QString& f, const QString& staff,
                                const QString& place)
{
    // Nothing is escaped: the clients split the notice at ";" as it stands.
    return QLatin1Char('#') + code + QLatin1Char(';') + f + QLatin1Char(';') + staff + QLatin1Char(';') +
           place + QLatin1Char(';');
}

QStringList ClientLink::ipsClients() const
{
    QMutexLocker locker(&m_lock);
    return m_ipsClients;
}
