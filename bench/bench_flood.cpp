// What a flood of distinct antenna datagrams costs the listener and the dispatcher's batch move.
//
//   build/bench/bench_flood
//
// Feeds batches of distinct press-like texts (and the same number of repeats of them) to the
// listener's handler, moving each batch as the dispatcher's tick does, and prints the cost per
// datagram for growing batch sizes. The repeat filter looks texts up in hash sets, so the cost per
// datagram must stay flat as the batches grow.

#include "core/antenna/AntennaLink.h"

#include <QElapsedTimer>

#include <cstdio>

int main()
{
    for (int batch : {100, 1000, 10000}) {
        AntennaLink link;
        const int rounds = 200000 / batch;
        QElapsedTimer timer;
        timer.start();
        qint64 datagrams = 0;
        for (int r = 0; r < rounds; ++r) {
            for (int i = 0; i < batch; ++i) {
                const QByteArray text = "k" + QByteArray::number(r) + "_" + QByteArray::number(i) + "8";
                link.IdUDPServerAntUDPRead(text);
                link.IdUDPServerAntUDPRead(text.toUpper()); // a repeat, letter case aside
                datagrams += 2;
            }
            link.takeBatch();
        }
        std::printf("batches of %5d distinct texts: %.3f us per datagram\n", batch,
                    timer.nsecsElapsed() / 1e3 / static_cast<double>(datagrams));
    }
    return 0;
}
