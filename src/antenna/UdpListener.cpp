#include "antenna/UdpListener.h"

#include <QThread>
#include <QUdpSocket>

#include <future>

namespace {

struct BindResult
{
    bool ok = false;
    quint16 port = 0;
    QString errorText;
};

class ListenerThread : public QThread
{
public:
    ListenerThread(quint16 port, UdpListener::Handler handler, std::promise<BindResult> bound)
        : m_port(port), m_handler(std::move(handler)), m_bound(std::move(bound))
    {
    }

protected:
    void run() override
    {
        QUdpSocket socket;
        // No address sharing: a second copy of the program must fail to bind instead of silently
        // splitting the datagrams with the first one.
        if (!socket.bind(QHostAddress::AnyIPv4, m_port, QAbstractSocket::DontShareAddress)) {
            m_bound.set_value({false, 0, socket.errorString()});
            return;
        }
        QObject::connect(&socket, &QUdpSocket::readyRead, &socket, [this, &socket] { drain(socket); });
        m_bound.set_value({true, socket.localPort(), QString()});
        exec();
    }

private:
    void drain(QUdpSocket& socket)
    {
        while (socket.hasPendingDatagrams()) {
            // Sized from the datagram itself, so nothing is cut off whatever a sender puts in it;
            // an empty datagram is legal and yields empty bytes.
            const qint64 size = socket.pendingDatagramSize();
            QByteArray data(size > 0 ? size : 0, Qt::Uninitialized);
            QHostAddress sender;
            const qint64 read = socket.readDatagram(data.data(), data.size(), &sender);
            if (read < 0)
                break; // the socket is notified again when the next datagram arrives
            data.truncate(read);
            m_handler(data, UdpListener::plainIPv4(sender));
        }
    }

    quint16 m_port;
    UdpListener::Handler m_handler;
    std::promise<BindResult> m_bound;
};

} // namespace

UdpListener::UdpListener() = default;

UdpListener::~UdpListener()
{
    stop();
}

bool UdpListener::start(qint32 port, Handler onDatagram, QString* errorText)
{
    stop();
    std::promise<BindResult> promise;
    std::future<BindResult> future = promise.get_future();
    auto thread = std::make_unique<ListenerThread>(static_cast<quint16>(port & 0xFFFF), std::move(onDatagram),
                                                   std::move(promise));
    thread->start();
    const BindResult result = future.get();
    if (!result.ok) {
        thread->wait();
        if (errorText)
            *errorText = result.errorText;
        return false;
    }
    m_thread = std::move(thread);
    m_port = result.port;
    return true;
}

void UdpListener::stop()
{
    if (!m_thread)
        return;
    m_thread->quit(); // also ends a thread that has not reached its event loop yet
    m_thread->wait();
    m_thread.reset();
    m_port = 0;
}

bool UdpListener::isRunning() const
{
    return m_thread != nullptr;
}

quint16 UdpListener::localPort() const
{
    return m_port;
}

QHostAddress UdpListener::plainIPv4(const QHostAddress& address)
{
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    return isIPv4 ? QHostAddress(ipv4) : address;
}
