#include "core/net/UdpListener.h"

#include <QThread>
#include <QUdpSocket>
#include <QVariant>

#include <atomic>
#include <future>

#ifdef Q_OS_LINUX
#include <sys/socket.h>
#endif

namespace {

struct BindResult
{
    bool ok = false;
    quint16 port = 0;
    int receiveBuffer = 0;
    QString errorText;
};

// Asks for a receive buffer of the given size. The system caps an ordinary request at its own limit
// (net.core.rmem_max on Linux); a process allowed to administer the network may go beyond it, so
// that is tried first. Returns the size the system granted.
int growReceiveBuffer(QUdpSocket& socket, int bytes)
{
    if (bytes > 0) {
#ifdef Q_OS_LINUX
        const int fd = static_cast<int>(socket.socketDescriptor());
        if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
#else
        socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, bytes);
#endif
    }
    return socket.socketOption(QAbstractSocket::ReceiveBufferSizeSocketOption).toInt();
}

class ListenerThread : public QThread
{
public:
    ListenerThread(quint16 port, int receiveBuffer, UdpListener::Handler handler,
                   std::promise<BindResult> bound)
        : m_port(port), m_receiveBuffer(receiveBuffer), m_handler(std::move(handler)),
          m_bound(std::move(bound)), m_buffer(kMaxDatagram, Qt::Uninitialized)
    {
    }

protected:
    void run() override
    {
        QUdpSocket socket;
        // No address sharing: a second copy of the program must fail to bind instead of silently
        // splitting the datagrams with the first one.
        if (!socket.bind(QHostAddress::AnyIPv4, m_port, QAbstractSocket::DontShareAddress)) {
            m_bound.set_value(
                {false, 0, 0, UdpListener::bindErrorText(socket.error(), m_port, socket.errorString())});
            m_done.store(true, std::memory_order_release);
            return;
        }
        // A flood of tens of thousands of datagrams a second must not push a real press out of a
        // full buffer while this thread is busy: the default buffer holds a fraction of a second.
        const int granted = growReceiveBuffer(socket, m_receiveBuffer);
        QObject::connect(&socket, &QUdpSocket::readyRead, &socket, [this, &socket] { drain(socket); });
        m_bound.set_value({true, socket.localPort(), granted, QString()});
        exec();
        m_done.store(true, std::memory_order_release);
    }

public:
    // Called after wait(): orders everything the thread did before its end (its own and Qt's
    // allocations included) before what the stopping thread does next, in terms ThreadSanitizer can
    // see; QThread's own join happens inside Qt, where it cannot.
    bool joined() const { return m_done.load(std::memory_order_acquire); }

private:
    void drain(QUdpSocket& socket)
    {
        while (socket.hasPendingDatagrams()) {
            // Into a buffer that holds the largest datagram there is, so nothing is cut off whatever
            // a sender puts in it, without asking the system for each datagram's size first; an
            // empty datagram is legal and yields empty bytes.
            QHostAddress sender;
            const qint64 read = socket.readDatagram(m_buffer.data(), m_buffer.size(), &sender);
            if (read < 0)
                break; // the socket is notified again when the next datagram arrives
            m_handler(QByteArray(m_buffer.constData(), read), UdpListener::plainIPv4(sender));
        }
    }

    static constexpr qsizetype kMaxDatagram = 65536;

    quint16 m_port;
    int m_receiveBuffer;
    UdpListener::Handler m_handler;
    std::promise<BindResult> m_bound;
    QByteArray m_buffer;
    std::atomic<bool> m_done{false};
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
    auto thread =
        std::make_unique<ListenerThread>(static_cast<quint16>(port & 0xFFFF), m_requestedReceiveBuffer,
                                         std::move(onDatagram), std::move(promise));
    thread->start();
    const BindResult result = future.get();
    if (!result.ok) {
        thread->wait();
        thread->joined();
        if (errorText)
            *errorText = result.errorText;
        return false;
    }
    m_thread = std::move(thread);
    m_port = result.port;
    m_receiveBuffer = result.receiveBuffer;
    return true;
}

void UdpListener::stop()
{
    if (!m_thread)
        return;
    m_thread->quit(); // also ends a thread that has not reached its event loop yet
    m_thread->wait();
    static_cast<ListenerThread*>(m_thread.get())->joined();
    m_thread.reset();
    m_port = 0;
    m_receiveBuffer = 0;
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

QString UdpListener::bindErrorText(QAbstractSocket::SocketError error, quint16 port,
                                   const QString& networkText)
{
    switch (error) {
    case QAbstractSocket::AddressInUseError:
        return QStringLiteral("UDP-порт %1 уже занят: его держит другая программа или вторая копия этой")
            .arg(port);
    case QAbstractSocket::SocketAccessError:
        return QStringLiteral("Нет прав открыть UDP-порт %1").arg(port);
    case QAbstractSocket::SocketResourceError:
        return QStringLiteral("Системе не хватает ресурсов, чтобы открыть UDP-порт %1").arg(port);
    default:
        return QStringLiteral("Не удалось открыть UDP-порт %1: %2").arg(port).arg(networkText);
    }
}
