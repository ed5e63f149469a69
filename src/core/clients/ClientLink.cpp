#include "core/clients/ClientLink.h"

#include "core/net/DatagramText.h"
#include "core/net/StationNotice.h"
#include "core/net/UdpListener.h"
#include "core/net/UdpSender.h"

#include <QMutexLocker>

#include <utility>

ClientLink::ClientLink(UdpSender& sender, qint32 ToClientsPort, QString sFromClient)
    : m_sender(sender), m_ToClientsPort(ToClientsPort), m_sFromClient(std::move(sFromClient))
{
}

void ClientLink::IdUDPServerClUDPRead(const QByteArray& data, const QHostAddress& sender)
{
    // The hello is a few bytes: anything much longer is not decoded at all.
    if (data.size() > 4 * m_sFromClient.size() + 4 || datagramText(data) != m_sFromClient)
        return;
    const QHostAddress address = UdpListener::plainIPv4(sender);
    const QString ip = address.toString();
    QMutexLocker locker(&m_lock);
    const quint64 now = ++m_hellos;
    const auto heard = m_heard.find(ip);
    if (heard != m_heard.end()) {
        m_byRecency.remove(*heard);
        *heard = now;
        m_byRecency.insert(now, ip);
        return;
    }
    if (m_ipsClients.size() >= kMaxClients && !m_byRecency.isEmpty()) {
        const QString oldest = m_byRecency.first();
        m_byRecency.erase(m_byRecency.begin());
        m_heard.remove(oldest);
        const qsizetype at = m_ipsClients.indexOf(oldest);
        m_ipsClients.removeAt(at);
        m_addresses.removeAt(at);
    }
    m_ipsClients.append(ip);
    m_addresses.append(address);
    m_heard.insert(ip, now);
    m_byRecency.insert(now, ip);
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
    SendToClientsUDP(Stations::eventNotice(code, f, staff, place));
}

QStringList ClientLink::ipsClients() const
{
    QMutexLocker locker(&m_lock);
    return m_ipsClients;
}
