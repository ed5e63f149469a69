#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

// The pieces of HL7 v2 and of its transport MLLP that the alert reporter needs: text escaping, the
// time stamp, the frame around a message on the TCP stream and the acknowledgement that comes back.
namespace Hl7 {

// A text as it may stand in a field: the delimiters | ^ ~ \ & become \F\ \S\ \R\ \E\ \T\, a carriage
// return or line feed (which would end the segment) \X0D\ and \X0A\; other control characters are
// dropped. Everything else stays, UTF-8 encoded by whoever writes the message.
QString escape(const QString& text);
// The reverse, for the texts an alert manager sends back (MSA-3, ERR-8): \F\ \S\ \R\ \E\ \T\ and \Xhh\;
// an unknown escape stays as it is.
QString unescape(const QString& text);

// "20240301140509+0300": local time to the second with its UTC offset (DTM).
QString timestamp(const QDateTime& time);

// MLLP: <VT> message <FS><CR>.
constexpr char kStartBlock = 0x0B;
constexpr char kEndBlock = 0x1C;
constexpr char kCarriageReturn = 0x0D;
QByteArray frame(const QByteArray& message);

// Takes the bytes of a TCP stream as they come and hands out whole frames. Bytes outside a frame are
// dropped. A frame that grows beyond the bound without its end is an error: the stream can no longer
// be trusted, and the caller closes it.
class MllpReader
{
public:
    static constexpr qsizetype kDefaultMaxFrame = 64 * 1024;

    explicit MllpReader(qsizetype maxFrame = kDefaultMaxFrame) : m_maxFrame(maxFrame) {}

    // False when the stream broke the bound; the reader then holds nothing.
    bool feed(const QByteArray& bytes);
    // The next whole message (without the frame bytes), in stream order.
    bool next(QByteArray* message);
    bool holdsPartialFrame() const { return m_inFrame; }
    void clear();

private:
    qsizetype m_maxFrame;
    QByteArray m_buffer; // the frame being read, from after its start byte
    bool m_inFrame = false;
    QList<QByteArray> m_ready;
};

// What an acknowledgement (ACK^R40) says: MSA-1, MSA-2 and the text the alert manager gave (MSA-3, or
// ERR-8, or the text or code of ERR-3), unescaped. ok is false for a message that is no
// acknowledgement (no MSH, no MSA, or an MSA-1 that is no acknowledgement code).
struct Ack
{
    bool ok = false;
    QString code;      // AA, AE, AR, CA, CE, CR
    QString controlId; // of the message acknowledged
    QString text;

    bool accepted() const { return code == QLatin1String("AA") || code == QLatin1String("CA"); }
    bool retry() const { return code == QLatin1String("AE") || code == QLatin1String("CE"); }
    bool rejected() const { return code == QLatin1String("AR") || code == QLatin1String("CR"); }
};
Ack parseAck(const QByteArray& message);

} // namespace Hl7
