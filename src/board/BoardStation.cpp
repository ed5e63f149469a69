#include "board/BoardStation.h"

#include "core/base/Clock.h"
#include "core/net/UdpListener.h"

#include <QElapsedTimer>
#include <QUdpSocket>

namespace {

QHostAddress plainIPv4(const QHostAddress& address)
{
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    return isIPv4 ? QHostAddress(ipv4) : address;
}

CallList::Limits limitsFrom(const BoardSettings& s)
{
    CallList::Limits limits;
    limits.warnMs = s.warnMs();
    limits.alarmMs = s.alarmMs();
    limits.maxTiles = s.maxTiles();
    return limits;
}

QHostAddress configuredServer(const BoardSettings& s)
{
    bool ok = false;
    return serverAddressFromText(s.Address, &ok);
}

// QElapsedTimer reads the system's monotonic clock, which no setting of the date moves.
BoardStation::SteadyClock monotonicSinceNow()
{
    auto started = std::make_shared<QElapsedTimer>();
    started->start();
    return [started] { return started->elapsed(); };
}

} // namespace

BoardStation::BoardStation(const BoardSettings& settings, QObject* parent)
    : BoardStation(settings, monotonicSinceNow(), parent)
{
}

BoardStation::BoardStation(const BoardSettings& settings, SteadyClock steady, QObject* parent)
    : QObject(parent), m_settings(settings),
      m_state(configuredServer(settings), settings.ToPing, limitsFrom(settings)), m_steady(std::move(steady))
{
    m_timer.setInterval(kTickMs);
    connect(&m_timer, &QTimer::timeout, this, &BoardStation::tick);
}

BoardStation::~BoardStation() = default;

bool BoardStation::start(QString* errorText)
{
    auto socket = std::make_unique<QUdpSocket>();
    // No address sharing: a second board on the same machine would split the notices with this one.
    if (!socket->bind(QHostAddress::AnyIPv4, m_settings.fromPort(), QAbstractSocket::DontShareAddress)) {
        if (errorText)
            *errorText =
                UdpListener::bindErrorText(socket->error(), m_settings.fromPort(), socket->errorString());
        return false;
    }
    m_socket = std::move(socket);
    connect(m_socket.get(), &QUdpSocket::readyRead, this, &BoardStation::readDatagrams);
    m_timer.start();
    tick(); // the first hello goes out at once
    return true;
}

quint16 BoardStation::localPort() const
{
    return m_socket ? m_socket->localPort() : 0;
}

void BoardStation::sayHello()
{
    // A lost hello is said again on a later tick; a send error has nothing else to tell.
    m_socket->writeDatagram(m_settings.FromPing.toUtf8(), m_state.link().helloAddress(), m_settings.toPort());
    Q_EMIT helloSaid();
}

void BoardStation::askCalls()
{
    m_socket->writeDatagram(QByteArray(Stations::kCallsRequest), m_state.link().server(),
                            m_settings.toPort());
}

void BoardStation::report(const BoardState::Effect& effect)
{
    if (effect.sayHello)
        sayHello();
    if (effect.askCalls)
        askCalls();
    if (effect.alarmsReached > 0)
        Q_EMIT cue(Cue::Alarm);
    else if (effect.newCall)
        Q_EMIT cue(Cue::NewCall);
    if (effect.changed)
        Q_EMIT changed();
}

void BoardStation::readDatagrams()
{
    BoardState::Effect all;
    // A flood is taken in portions, so the timer and the window get their turn between them; the
    // socket reports the rest at once.
    for (int n = 0; n < kDatagramsPerTurn && m_socket->hasPendingDatagrams(); ++n) {
        // Read up to the bound plus one byte: a longer datagram arrives cut at that length, which
        // marks it as junk, and the socket discards its rest.
        QByteArray data(NoticeLimits::kMaxDatagramBytes + 1, Qt::Uninitialized);
        QHostAddress sender;
        quint16 senderPort = 0;
        const qint64 read = m_socket->readDatagram(data.data(), data.size(), &sender, &senderPort);
        if (read < 0)
            break;
        data.truncate(read);
        const BoardState::Effect effect = m_state.receive(data, plainIPv4(sender), senderPort, nowMs());
        if (effect.pinged)
            m_lastPingAt = Clock::now();
        all.changed = all.changed || effect.changed;
        all.newCall = all.newCall || effect.newCall;
        all.alarmsReached += effect.alarmsReached;
    }
    report(all);
}

void BoardStation::tick()
{
    report(m_state.tick(nowMs()));
}
