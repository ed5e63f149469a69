#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QMutex>
#include <QString>
#include <QStringList>

class UdpSender;

// The visualization clients: display stations that say hello on the client port, are pinged every
// 500 ms and get a notice of every call and cancel. The client listener thread lists the senders of
// the hello; the user-interface thread sends. ipsClients is guarded by its own lock, the client-list
// lock, held only to test-and-append or to copy the list; no datagram is sent while it is held.
class ClientLink
{
public:
    // Bound on the listed clients. A ward has a handful of display stations; the bound only keeps
    // a flood of hellos from forged addresses from making every ping a storm. A new station that
    // says hello to a full list takes the place of the station heard from least recently, so forged
    // hellos can never lock a real station out: it is heard again whenever it says hello again.
    static constexpr qsizetype kMaxClients = 1000;

    // The port and the hello are copied: the listener thread reads the hello while the settings they
    // came from belong to the user-interface thread.
    ClientLink(UdpSender& sender, qint32 ToClientsPort, QString sFromClient);

    // Client listener thread: one received datagram and its sender's address. An unlisted sender
    // whose text equals the hello exactly is listed; a listed sender's hello counts as hearing from
    // it again; anything else is ignored.
    void IdUDPServerClUDPRead(const QByteArray& data, const QHostAddress& sender);

    // User-interface thread: the text as one UTF-8 datagram to every listed client at ToClientsPort,
    // in list order. A send that fails for one client does not stop the others.
    void SendToClientsUDP(const QString& text);

    // The event notice "#{code};{f};{staff};{place};" to every listed client.
    void SendEventToClients(const QString& code, const QString& f, const QString& staff,
                            const QString& place);

    // The listed addresses in dotted IPv4 text, in the order of their first hello.
    QStringList ipsClients() const;

private:
    UdpSender& m_sender;
    const qint32 m_ToClientsPort;
    const QString m_sFromClient;

    mutable QMutex m_lock;
    QStringList m_ipsClients;
    QList<QHostAddress> m_addresses; // the same clients, parsed once for sending
    // When each listed client was last heard from, on a counter of hellos: a flood costs one
    // lookup per datagram, and the least recent one is the first of m_byRecency.
    QHash<QString, quint64> m_heard;
    QMap<quint64, QString> m_byRecency;
    quint64 m_hellos = 0;
};
