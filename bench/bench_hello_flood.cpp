// Whether a flood of hellos from strangers costs a real display station its notices.
//
//   build/bench/bench_hello_flood
//
// The server's side as the program wires it (the client listener on its own thread feeding the
// client link, the sending socket), on 127.0.0.1 at ports the system chooses. Every 500 ms the main
// thread pings the listed stations and sends one notice: 60 notices in 30 s. Meanwhile a second
// thread sends hellos from 1,000 loopback addresses, 500 a second. The real station says hello at
// its start and then in one of two manners: again only after 2 s without a ping (as HalvaneBoard
// does), or every 2 s whatever it hears. Prints how many notices it missed, and how many addresses
// were listed at the end.

#include "core/clients/ClientLink.h"
#include "core/net/StationNotice.h"
#include "core/net/UdpListener.h"
#include "core/net/UdpSender.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSet>
#include <QThread>
#include <QUdpSocket>

#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

namespace {

constexpr int kNotices = 60;
constexpr int kStrangers = 1000;

struct Result
{
    int missed = 0;
    qsizetype listed = 0;
};

Result run(bool helloEveryTwoSeconds)
{
    QUdpSocket station;
    station.bind(QHostAddress::LocalHost, 0);
    const quint16 stationPort = station.localPort();

    UdpSender sender;
    ClientLink link(sender, stationPort, QLatin1String(Stations::kHello));
    UdpListener listener;
    listener.start(0, [&link](const QByteArray& data, const QHostAddress& from) {
        link.IdUDPServerClUDPRead(data, from);
    });
    const quint16 serverPort = listener.localPort();
    const QByteArray hello(Stations::kHello);

    std::atomic<bool> done{false};
    std::thread flood([&] {
        std::vector<std::unique_ptr<QUdpSocket>> sockets;
        for (int i = 0; i < kStrangers; ++i) {
            auto socket = std::make_unique<QUdpSocket>();
            socket->bind(QHostAddress(0x7F010000u + quint32(i / 250) * 256 + quint32(i % 250) + 1), 0);
            sockets.push_back(std::move(socket));
        }
        QElapsedTimer clock;
        clock.start();
        for (qint64 n = 0; !done; ++n) {
            sockets[size_t(n % kStrangers)]->writeDatagram(hello, QHostAddress::LocalHost, serverPort);
            while (!done && clock.elapsed() < n * 2) // 500 a second
                QThread::usleep(200);
        }
    });

    QElapsedTimer clock;
    clock.start();
    station.writeDatagram(hello, QHostAddress::LocalHost, serverPort);
    qint64 lastPingMs = 0;
    qint64 lastHelloMs = 0;
    QSet<QByteArray> heard;
    for (int tick = 1; tick <= kNotices; ++tick) {
        while (clock.elapsed() < tick * 500LL) {
            while (station.hasPendingDatagrams()) {
                QByteArray data(qMax<qint64>(station.pendingDatagramSize(), 0), Qt::Uninitialized);
                data.truncate(qMax<qint64>(station.readDatagram(data.data(), data.size()), 0));
                if (data == Stations::kPing)
                    lastPingMs = clock.elapsed();
                else
                    heard.insert(data);
            }
            const qint64 now = clock.elapsed();
            const bool due = helloEveryTwoSeconds ? now - lastHelloMs >= 2000
                                                  : now - lastPingMs >= 2000 && now - lastHelloMs >= 2000;
            if (due) {
                station.writeDatagram(hello, QHostAddress::LocalHost, serverPort);
                lastHelloMs = now;
            }
            QThread::msleep(5);
        }
        link.SendToClientsUDP(QLatin1String(Stations::kPing));
        link.SendEventToClients(QStringLiteral("n%1").arg(tick), QStringLiteral("8"), QString(),
                                QStringLiteral("Койка"));
    }
    QThread::msleep(200);
    while (station.hasPendingDatagrams()) {
        QByteArray data(qMax<qint64>(station.pendingDatagramSize(), 0), Qt::Uninitialized);
        data.truncate(qMax<qint64>(station.readDatagram(data.data(), data.size()), 0));
        if (data != Stations::kPing)
            heard.insert(data);
    }
    done = true;
    flood.join();
    listener.stop();
    return {kNotices - int(heard.size()), link.ipsClients().size()};
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    for (bool every : {false, true}) {
        const Result r = run(every);
        std::printf("station saying hello %s: missed %d of %d notices; %lld addresses listed at the end\n",
                    every ? "every 2 s" : "after 2 s without pings", r.missed, kNotices, qlonglong(r.listed));
        std::fflush(stdout);
    }
    return 0;
}
