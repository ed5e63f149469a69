#pragma once

#include "board/CallList.h"
#include "board/ServerLink.h"

#include <QByteArray>
#include <QHostAddress>
#include <QString>

// The board without its socket and its clock: every datagram and every passing moment goes through
// here, so the whole behaviour (which datagrams count, what the board shows, when it says hello and
// when it sounds) can be replayed in a test with made-up senders and times.
class BoardState
{
public:
    BoardState(const QHostAddress& configuredServer, const QString& pingText, CallList::Limits limits,
               ServerLink::Timing timing = {});

    struct Effect
    {
        bool changed = false;  // the board must be drawn again
        bool newCall = false;  // the new-call cue sounds
        bool pinged = false;   // a ping from the server arrived
        bool sayHello = false; // the hello goes out now
        bool askCalls = false; // the request for the open calls goes out now, to the server
        int alarmsReached = 0; // calls that turned to alarm: the alarm cue sounds
    };

    Effect receive(const QByteArray& datagram, const QHostAddress& sender, quint16 senderPort, qint64 nowMs);
    Effect tick(qint64 nowMs);

    const CallList& calls() const { return m_calls; }
    const ServerLink& link() const { return m_link; }
    bool isLost(qint64 nowMs) const { return m_link.isLost(nowMs); }

private:
    Effect receiveAnswer(const QByteArray& datagram, qint64 nowMs);

    QString m_pingText;
    ServerLink m_link;
    CallList m_calls;
    bool m_shownLost = true; // whether the board last showed the connection as lost
    // The parts of the answer being gathered: one list at a time, the latest heard.
    quint32 m_answerList = 0;
    int m_answerParts = 0;
    QList<QList<Stations::ListedCall>> m_parts; // by part, empty until heard
    QList<bool> m_heardParts;
    bool m_appliedAny = false; // whether a whole list was taken yet, and the number of the last one
    quint32 m_appliedList = 0;
};
