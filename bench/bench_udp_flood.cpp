// Whether a flood of datagrams at the antenna port costs real presses.
//
//   build/bench/bench_udp_flood            the listener as the program starts it
//   build/bench/bench_udp_flood default    the system's default receive buffer, for comparison
//
// The antenna listener on a loopback port chosen by the system, feeding the antenna lists; the
// main thread takes a batch every 300 ms as the dispatcher does. A second thread sends 100,000
// distinct datagrams in 5 s (and then the same number as fast as it can), with 16 real presses
// spread among them. Prints the receive buffer the system granted and how many of the real presses
// reached a batch, over six runs of each.

#include "core/antenna/AntennaLink.h"
#include "core/net/UdpListener.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QUdpSocket>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

constexpr int kDatagrams = 100000;
constexpr int kRealPresses = 16;

int run(bool useDefaultBuffer, bool paced, int* granted)
{
    AntennaLink link;
    UdpListener listener;
    if (useDefaultBuffer)
        listener.setRequestedReceiveBuffer(0);
    if (!listener.start(
            0, [&link](const QByteArray& data, const QHostAddress&) { link.IdUDPServerAntUDPRead(data); })) {
        std::fprintf(stderr, "cannot bind\n");
        return -1;
    }
    *granted = listener.receiveBufferBytes();
    const quint16 port = listener.localPort();

    std::atomic<bool> sent{false};
    std::thread sender([&] {
        QUdpSocket socket;
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < kDatagrams; ++i) {
            QByteArray text;
            if (i % (kDatagrams / kRealPresses) == kDatagrams / kRealPresses / 2)
                text =
                    "real" + QByteArray::number(i / (kDatagrams / kRealPresses)).rightJustified(2, '0') + "8";
            else
                text = "j" + QByteArray::number(i) + "x8";
            socket.writeDatagram(text, QHostAddress::LocalHost, port);
            // 100,000 in 5 s: wait for the schedule every 1,000 datagrams.
            if (paced && i % 1000 == 999) {
                const qint64 due = (i + 1) * 5000LL / kDatagrams;
                while (clock.elapsed() < due)
                    QThread::msleep(1);
            }
        }
        sent = true;
    });

    int real = 0;
    QElapsedTimer quiet;
    quiet.start();
    for (;;) {
        QThread::msleep(300);
        for (const QString& text : link.takeBatch()) {
            if (text.startsWith(QLatin1String("real")))
                ++real;
        }
        if (!sent)
            quiet.restart();
        else if (quiet.elapsed() > 1000)
            break;
    }
    sender.join();
    listener.stop();
    return real;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const bool useDefaultBuffer = argc > 1 && std::strcmp(argv[1], "default") == 0;
    for (bool paced : {true, false}) {
        for (int r = 0; r < 6; ++r) {
            int granted = 0;
            const int real = run(useDefaultBuffer, paced, &granted);
            std::printf("%s, receive buffer %d bytes: %d of %d real presses reached a batch\n",
                        paced ? "100,000 in 5 s" : "100,000 at once", granted, real, kRealPresses);
            std::fflush(stdout);
        }
    }
    return 0;
}
