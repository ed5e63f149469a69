#include "core/clients/ClientLink.h"

#include "core/base/Unshared.h"
#include "core/net/DatagramText.h"
#include "core/net/StationNotice.h"
#include "core/net/UdpListener.h"
#include "core/net/UdpSender.h"

#include <QMutexLocker>

#include <algorithm>
#include <utility>

ClientLink::ClientLink(UdpSender& sender, qint32 ToClientsPort, QString sFromClient)
    : m_sender(sender), m_ToClientsPort(ToClientsPort), m_sFromClient(std::move(sFromClient))
{
    m_clock.start();
}

qint64 ClientLink::nowMs() const
{
    return m_clock.elapsed();
}

void ClientLink::IdUDPServerClUDPRead(const QByteArray& data, const QHostAddress& sender)
{
    receive(data, sender, nowMs());
}

namespace {

// A bucket that fills at perSecond up to perSecond and is taken from one unit at a time.
void refill(double& bucket, qint64& atMs, qint64 nowMs, double perSecond)
{
    if (nowMs > atMs)
        bucket = std::min(perSecond, bucket + double(nowMs - atMs) * perSecond / 1000.0);
    atMs = std::max(atMs, nowMs);
}

} // namespace

bool ClientLink::admitNewcomer(qint64 nowMs)
{
    refill(m_admissions, m_admissionsAtMs, nowMs, kNewPerSecond);
    if (m_admissions < 1)
        return false;
    if (m_ipsClients.size() >= kMaxClients) {
        if (m_byRecency.isEmpty())
            return false;
        // Only a station silent for long makes room; one heard lately stays whoever knocks.
        const QString oldest = m_byRecency.first();
        if (nowMs - m_heardMs.value(oldest) < kForgetAfterMs)
            return false;
        m_byRecency.erase(m_byRecency.begin());
        m_heard.remove(oldest);
        m_heardMs.remove(oldest);
        m_answeredMs.remove(oldest);
        m_asked.removeOne(oldest);
        const qsizetype at = m_ipsClients.indexOf(oldest);
        m_ipsClients.removeAt(at);
        m_addresses.removeAt(at);
    }
    m_admissions -= 1;
    return true;
}

void ClientLink::receive(const QByteArray& data, const QHostAddress& sender, qint64 nowMs)
{
    // The hello and the request are a few bytes: anything much longer is not decoded at all.
    if (data.size() > 4 * m_sFromClient.size() + 4 + qsizetype(sizeof(Stations::kCallsRequest)))
        return;
    const bool request = data == Stations::kCallsRequest;
    if (!request && datagramText(data) != m_sFromClient)
        return;
    const QHostAddress address = UdpListener::plainIPv4(sender);
    const QString ip = address.toString();
    QMutexLocker locker(&m_lock);
    const auto heard = m_heard.find(ip);
    if (heard == m_heard.end()) {
        // A request lists nobody: only a hello does.
        if (request || !admitNewcomer(nowMs))
            return;
        const quint64 now = ++m_hellos;
        m_ipsClients.append(ip);
        m_addresses.append(address);
        m_heard.insert(ip, now);
        m_heardMs.insert(ip, nowMs);
        m_byRecency.insert(now, ip);
        return;
    }
    const quint64 now = ++m_hellos;
    m_byRecency.remove(*heard);
    *heard = now;
    m_byRecency.insert(now, ip);
    m_heardMs.insert(ip, nowMs);
    if (!request || m_asked.contains(ip))
        return;
    const auto answered = m_answeredMs.constFind(ip);
    if (answered != m_answeredMs.cend() && nowMs - *answered < kAnswerEveryMs)
        return;
    m_asked.append(ip);
}

QList<QHostAddress> ClientLink::takeCallsRequests(qint64 nowMs, qsizetype answerDatagrams)
{
    QList<QHostAddress> due;
    QMutexLocker locker(&m_lock);
    refill(m_answerBudget, m_answerBudgetAtMs, nowMs, kAnswerDatagramsPerSecond);
    // An answer larger than the whole budget still goes out, once the budget is full.
    while (!m_asked.isEmpty() && m_answerBudget > 0 &&
           (m_answerBudget >= double(answerDatagrams) || m_answerBudget >= kAnswerDatagramsPerSecond)) {
        const QString ip = m_asked.takeFirst();
        m_answerBudget -= double(answerDatagrams);
        m_answeredMs.insert(ip, nowMs);
        due << QHostAddress(ip);
    }
    return due;
}

bool ClientLink::hasCallsRequests() const
{
    QMutexLocker locker(&m_lock);
    return !m_asked.isEmpty();
}

void ClientLink::sendTo(const QHostAddress& address, const QList<QByteArray>& datagrams)
{
    for (const QByteArray& datagram : datagrams)
        m_sender.sendBytesTo(address, datagram, m_ToClientsPort);
}

void ClientLink::SendToClientsUDP(const QString& text)
{
    QList<QHostAddress> addresses;
    {
        QMutexLocker locker(&m_lock);
        addresses = unsharedCopy(m_addresses);
    }
    if (addresses.isEmpty())
        return;
    const QByteArray bytes = text.toUtf8();
    for (const QHostAddress& address : addresses)
        m_sender.sendBytesTo(address, bytes, m_ToClientsPort);
}

void ClientLink::SendEventToClients(const QString& code, const QString& f, const QString& staff,
                                    const QString& place)
{
    SendToClientsUDP(Stations::eventNotice(code, f, staff, place));
}

QStringList ClientLink::ipsClients() const
{
    QMutexLocker locker(&m_lock);
    return unsharedCopy(m_ipsClients);
}
