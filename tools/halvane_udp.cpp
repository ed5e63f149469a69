// Tries an installation without antennas or display stations.
//
//   build/tools/halvane_udp send 127.0.0.1 5556 f61868      a press of the seed place f6186 (a call)
//   build/tools/halvane_udp send 127.0.0.1 5556 '###A1'     an antenna signing on
//   build/tools/halvane_udp station 127.0.0.1 5566 5567     a display station: says hello, prints what it
//   hears
//
// Each datagram carries one UTF-8 text, as the antennas and stations send it.

#include "core/net/StationNotice.h"

#include <QCoreApplication>
#include <QNetworkDatagram>
#include <QTextStream>
#include <QUdpSocket>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    QTextStream err(stderr);
    if (args.size() == 5 && args.at(1) == QStringLiteral("send")) {
        QUdpSocket socket;
        const qint64 sent =
            socket.writeDatagram(args.at(4).toUtf8(), QHostAddress(args.at(2)), args.at(3).toUShort());
        if (sent < 0) {
            err << socket.errorString() << Qt::endl;
            return 1;
        }
        return 0;
    }
    if (args.size() == 5 && args.at(1) == QStringLiteral("station")) {
        QUdpSocket socket;
        if (!socket.bind(QHostAddress::AnyIPv4, args.at(4).toUShort())) {
            err << socket.errorString() << Qt::endl;
            return 1;
        }
        socket.writeDatagram(QByteArray(Stations::kHello), QHostAddress(args.at(2)), args.at(3).toUShort());
        QObject::connect(&socket, &QUdpSocket::readyRead, [&socket] {
            while (socket.hasPendingDatagrams()) {
                const QNetworkDatagram d = socket.receiveDatagram();
                std::printf("%s\n", QString::fromUtf8(d.data()).toLocal8Bit().constData());
                std::fflush(stdout);
            }
        });
        return app.exec();
    }
    err << "usage: halvane_udp send HOST PORT TEXT | halvane_udp station HOST SERVER_PORT LISTEN_PORT"
        << Qt::endl;
    return 2;
}
