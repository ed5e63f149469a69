#pragma once

// A display station and an antenna on this machine, for the tests that talk to a ward server over
// UDP on 127.0.0.1: the station notes every datagram the server sends it and when it came.

#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QStringList>
#include <QUdpSocket>

#include <utility>

// One datagram to a port of this machine, as an antenna or a station's greeting sends it.
inline void sendLocal(const QByteArray& text, quint16 port)
{
    QUdpSocket socket;
    socket.writeDatagram(text, QHostAddress::LocalHost, port);
}

// A display station listening where the server sends to the stations.
struct DisplayStation
{
    QUdpSocket socket;
    // Every datagram in the order it came, with the milliseconds since bind().
    QList<std::pair<QString, qint64>> received;
    QElapsedTimer since;

    bool bind(quint16 port)
    {
        since.start();
        return socket.bind(QHostAddress::LocalHost, port);
    }
    void drain()
    {
        while (socket.hasPendingDatagrams()) {
            QByteArray data(qMax<qint64>(socket.pendingDatagramSize(), 0), Qt::Uninitialized);
            const qint64 n = socket.readDatagram(data.data(), data.size());
            if (n >= 0)
                received.append({QString::fromUtf8(data.left(n)), since.elapsed()});
        }
    }
    // When each datagram of this text came, in milliseconds since bind().
    QList<qint64> times(const QString& text)
    {
        drain();
        QList<qint64> at;
        for (const auto& [t, ms] : std::as_const(received)) {
            if (t == text)
                at << ms;
        }
        return at;
    }
    bool heard(const QString& text) { return !times(text).isEmpty(); }
};
