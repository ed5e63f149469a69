#pragma once

// A hospital alert manager for the tests, on 127.0.0.1: it accepts MLLP connections, keeps every
// message it receives, and answers each with what the test told it: an acknowledgement with a given
// code and text, nothing at all, a closed connection, or raw bytes. Header-only, so that the core
// tests, the application tests and the benchmarks share it.

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QPointer>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>

#include <functional>
#include <memory>

class TestAlertManager : public QObject
{
public:
    struct Reply
    {
        enum class Kind { Ack, Silent, Close, Raw };
        Kind kind = Kind::Ack;
        QByteArray code = "AA";
        QByteArray text;
        QByteArray bytes;

        static Reply ack(const QByteArray& code, const QByteArray& text = {})
        {
            return {Kind::Ack, code, text, {}};
        }
        static Reply silent() { return {Kind::Silent, {}, {}, {}}; }
        static Reply close() { return {Kind::Close, {}, {}, {}}; }
        static Reply raw(const QByteArray& b) { return {Kind::Raw, {}, {}, b}; }
    };

    struct Received
    {
        QByteArray message; // without the frame
        qint64 atNs = 0;    // on the manager's clock (elapsedNs())
    };

    TestAlertManager()
    {
        m_clock.start();
        QObject::connect(&m_server, &QTcpServer::newConnection, this, [this] { accept(); });
    }

    // Listens on 127.0.0.1 at the given port (0: a free one).
    bool start(quint16 port = 0) { return m_server.listen(QHostAddress::LocalHost, port); }
    // Stops listening and drops every connection: the manager is away.
    void stop()
    {
        m_server.close();
        for (const QPointer<QTcpSocket>& s : std::as_const(m_clients)) {
            if (s)
                s->abort();
        }
        m_clients.clear();
    }
    quint16 port() const { return m_server.serverPort(); }

    // The answers for the next messages, in order; then the default.
    void queue(const Reply& reply) { m_queue.append(reply); }
    void setDefault(const Reply& reply) { m_default = reply; }

    const QList<Received>& received() const { return m_received; }
    QList<QByteArray> messages() const
    {
        QList<QByteArray> out;
        for (const Received& r : m_received)
            out << r.message;
        return out;
    }
    // The messages that are no keep-alive.
    QList<QByteArray> alerts() const
    {
        QList<QByteArray> out;
        for (const Received& r : m_received) {
            if (!r.message.contains("HLV_WATCHDOG"))
                out << r.message;
        }
        return out;
    }
    void clear() { m_received.clear(); }
    int connections() const { return m_connections; }
    qint64 elapsedNs() const { return m_clock.nsecsElapsed(); }
    std::function<void(const QByteArray&)> onMessage;

    // Field n of the first segment named seg ("MSH-10" is field(m, "MSH", 10)); "" when absent.
    static QByteArray field(const QByteArray& message, const QByteArray& seg, int n, int nth = 0)
    {
        int seen = 0;
        for (const QByteArray& segment : message.split('\r')) {
            if (!segment.startsWith(seg + '|'))
                continue;
            if (seen++ < nth)
                continue;
            const QList<QByteArray> fields = segment.split('|');
            // MSH-1 is the separator itself: MSH-n stands at index n - 1.
            const int index = seg == "MSH" ? n - 1 : n;
            return index < fields.size() ? fields[index] : QByteArray();
        }
        return {};
    }
    // The OBX segment whose OBX-4 ends in ".<facet>".
    static QByteArray facet(const QByteArray& message, int facet, int n)
    {
        for (const QByteArray& segment : message.split('\r')) {
            const QList<QByteArray> fields = segment.split('|');
            if (fields.size() > 5 && fields[0] == "OBX" &&
                fields[4].endsWith('.' + QByteArray::number(facet)))
                return n < fields.size() ? fields[n] : QByteArray();
        }
        return {};
    }

    static QByteArray ackFor(const QByteArray& controlId, const QByteArray& code, const QByteArray& text)
    {
        QByteArray ack = "MSH|^~\\&|AM|HOSP|HALVANE||20240301120000||ACK^R40^ACK|A" + controlId +
                         "|P|2.6\rMSA|" + code + '|' + controlId;
        if (!text.isEmpty())
            ack += '|' + text;
        return ack + '\r';
    }

private:
    void accept()
    {
        while (QTcpSocket* s = m_server.nextPendingConnection()) {
            ++m_connections;
            m_clients << s;
            auto buffer = std::make_shared<QByteArray>();
            QObject::connect(s, &QTcpSocket::readyRead, s, [this, s, buffer] {
                *buffer += s->readAll();
                for (;;) {
                    const qsizetype start = buffer->indexOf('\x0b');
                    const qsizetype end = buffer->indexOf("\x1c\x0d", start + 1);
                    if (start < 0 || end < 0)
                        return;
                    const QByteArray message = buffer->mid(start + 1, end - start - 1);
                    buffer->remove(0, end + 2);
                    m_received.append({message, m_clock.nsecsElapsed()});
                    if (onMessage)
                        onMessage(message);
                    if (!answer(s, message))
                        return;
                }
            });
            QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
        }
    }

    // False when the connection was closed.
    bool answer(QTcpSocket* s, const QByteArray& message)
    {
        const Reply reply = m_queue.isEmpty() ? m_default : m_queue.takeFirst();
        switch (reply.kind) {
        case Reply::Kind::Ack:
            s->write('\x0b' + ackFor(field(message, "MSH", 10), reply.code, reply.text) + "\x1c\x0d");
            return true;
        case Reply::Kind::Silent:
            return true;
        case Reply::Kind::Close:
            s->abort();
            return false;
        case Reply::Kind::Raw:
            s->write(reply.bytes);
            return true;
        }
        return true;
    }

    QTcpServer m_server;
    QList<QPointer<QTcpSocket>> m_clients;
    QList<Reply> m_queue;
    Reply m_default;
    QList<Received> m_received;
    int m_connections = 0;
    QElapsedTimer m_clock;
};
