#pragma once

#include <QByteArray>
#include <QElapsedTimer>
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
//
// A listed station may also ask for the open calls (HalvaneBoard does, after its start and after a
// loss of the link). The request is noted on the listener thread; the user-interface thread takes
// the requests due and sends each asker alone the answer, at the station port as every other
// datagram. Answers are rationed per station and in total, so that requests with a forged sender
// cost the network less than the pings a full list of forged hellos already costs.
class ClientLink
{
public:
    // Bound on the listed clients. A ward has a handful of display stations; the bound only keeps
    // a flood of hellos from forged addresses from making every ping a storm.
    static constexpr qsizetype kMaxClients = 1000;
    // New addresses are listed at this rate at most (a burst of as many is taken at once), so a
    // flood fills the list slowly. A full list takes a newcomer only in place of a station it has
    // not heard for kForgetAfterMs: a station once listed is never pushed out by strangers while it
    // keeps saying hello or asking for the open calls.
    static constexpr int kNewPerSecond = 20;
    static constexpr qint64 kForgetAfterMs = 10 * 60 * 1000;
    // One answer to a station every kAnswerEveryMs at most (later requests are not kept); at most
    // kAnswerDatagramsPerSecond answer datagrams to all stations together, the rest wait their turn.
    static constexpr qint64 kAnswerEveryMs = 2000;
    static constexpr int kAnswerDatagramsPerSecond = 32;

    // The port and the hello are copied: the listener thread reads the hello while the settings they
    // came from belong to the user-interface thread.
    ClientLink(UdpSender& sender, qint32 ToClientsPort, QString sFromClient);

    // Client listener thread: one received datagram and its sender's address. An unlisted sender
    // whose text equals the hello exactly is listed; a listed sender's hello counts as hearing from
    // it again; anything else is ignored.
    void IdUDPServerClUDPRead(const QByteArray& data, const QHostAddress& sender);
    // The same at a moment of the link's steady clock, in milliseconds (tests replay time).
    void receive(const QByteArray& data, const QHostAddress& sender, qint64 nowMs);
    qint64 nowMs() const;

    // User-interface thread: the stations whose request is due now, each to be sent an answer of
    // answerDatagrams datagrams; taken from the waiting ones as far as the total allows.
    QList<QHostAddress> takeCallsRequests(qint64 nowMs, qsizetype answerDatagrams);
    bool hasCallsRequests() const;
    // The answer's datagrams to one station at ToClientsPort.
    void sendTo(const QHostAddress& address, const QList<QByteArray>& datagrams);

    // User-interface thread: the text as one UTF-8 datagram to every listed client at ToClientsPort,
    // in list order. A send that fails for one client does not stop the others.
    void SendToClientsUDP(const QString& text);

    // The event notice "#{code};{f};{staff};{place};" to every listed client.
    void SendEventToClients(const QString& code, const QString& f, const QString& staff,
                            const QString& place);

    // The listed addresses in dotted IPv4 text, in the order of their first hello.
    QStringList ipsClients() const;

private:
    bool admitNewcomer(qint64 nowMs);

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
    QHash<QString, qint64> m_heardMs; // the same moments on the steady clock
    quint64 m_hellos = 0;
    QElapsedTimer m_clock;
    double m_admissions = kNewPerSecond; // newcomers that may be listed now
    qint64 m_admissionsAtMs = 0;

    QStringList m_asked;                 // stations whose request waits, in order
    QHash<QString, qint64> m_answeredMs; // when each station was last answered
    double m_answerBudget = kAnswerDatagramsPerSecond;
    qint64 m_answerBudgetAtMs = 0;
};
