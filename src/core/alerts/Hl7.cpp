#include "core/alerts/Hl7.h"

#include <QTimeZone>

namespace Hl7 {

QString escape(const QString& text)
{
    QString out;
    out.reserve(text.size() + 8);
    for (const QChar c : text) {
        switch (c.unicode()) {
        case u'|':
            out += QLatin1String("\\F\\");
            break;
        case u'^':
            out += QLatin1String("\\S\\");
            break;
        case u'~':
            out += QLatin1String("\\R\\");
            break;
        case u'\\':
            out += QLatin1String("\\E\\");
            break;
        case u'&':
            out += QLatin1String("\\T\\");
            break;
        case u'\r':
            out += QLatin1String("\\X0D\\");
            break;
        case u'\n':
            out += QLatin1String("\\X0A\\");
            break;
        default:
            // Other control characters have no business in a place or a name, and the MLLP frame
            // bytes must never appear inside a message.
            if (c.unicode() >= 0x20 && c.unicode() != 0x7F)
                out += c;
        }
    }
    return out;
}

QString unescape(const QString& text)
{
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != u'\\') {
            out += text[i];
            continue;
        }
        const qsizetype end = text.indexOf(u'\\', i + 1);
        if (end < 0) {
            out += text.mid(i);
            break;
        }
        const QString seq = text.mid(i + 1, end - i - 1);
        if (seq == QLatin1String("F"))
            out += u'|';
        else if (seq == QLatin1String("S"))
            out += u'^';
        else if (seq == QLatin1String("R"))
            out += u'~';
        else if (seq == QLatin1String("E"))
            out += u'\\';
        else if (seq == QLatin1String("T"))
            out += u'&';
        else if (seq.startsWith(u'X') && seq.size() > 1 && seq.size() % 2 == 1) {
            const QByteArray bytes = QByteArray::fromHex(seq.mid(1).toLatin1());
            out += QString::fromUtf8(bytes);
        } else {
            out += text.mid(i, end - i + 1); // not ours to read: as it stands
        }
        i = end;
    }
    return out;
}

QString timestamp(const QDateTime& time)
{
    const int offset = time.offsetFromUtc();
    const int minutes = (offset < 0 ? -offset : offset) / 60;
    return time.toString(QStringLiteral("yyyyMMddHHmmss")) + (offset < 0 ? u'-' : u'+') +
           QStringLiteral("%1%2")
               .arg(minutes / 60, 2, 10, QLatin1Char('0'))
               .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QByteArray frame(const QByteArray& message)
{
    QByteArray out;
    out.reserve(message.size() + 3);
    out += kStartBlock;
    out += message;
    out += kEndBlock;
    out += kCarriageReturn;
    return out;
}

bool MllpReader::feed(const QByteArray& bytes)
{
    for (const char c : bytes) {
        if (!m_inFrame) {
            if (c == kStartBlock) {
                m_inFrame = true;
                m_buffer.clear();
            }
            continue; // noise between frames
        }
        if (c == kStartBlock) {
            m_buffer.clear(); // a frame that never ended: the new one counts
            continue;
        }
        m_buffer += c;
        if (m_buffer.size() >= 2 && m_buffer.endsWith(QByteArrayView("\x1c\x0d", 2))) {
            m_buffer.chop(2);
            m_ready.append(m_buffer);
            m_buffer.clear();
            m_inFrame = false;
        } else if (m_buffer.size() > m_maxFrame + 2) {
            clear();
            return false;
        }
    }
    return true;
}

bool MllpReader::next(QByteArray* message)
{
    if (m_ready.isEmpty())
        return false;
    *message = m_ready.takeFirst();
    return true;
}

void MllpReader::clear()
{
    m_buffer.clear();
    m_ready.clear();
    m_inFrame = false;
}

Ack parseAck(const QByteArray& message)
{
    Ack ack;
    const QString text = QString::fromUtf8(message);
    // Segments end in CR; a sender that ends them in LF or CR LF is read all the same.
    QString normalized = text;
    normalized.replace(QLatin1String("\r\n"), QLatin1String("\r")).replace(u'\n', u'\r');
    const QStringList segments = normalized.split(u'\r', Qt::SkipEmptyParts);
    if (segments.isEmpty() || !segments.first().startsWith(QLatin1String("MSH")) ||
        segments.first().size() < 8)
        return ack;
    const QChar field = segments.first().at(3);
    const QString encoding = segments.first().mid(4, 4);
    const QChar component = encoding.at(0);
    QStringList msa;
    QStringList err;
    for (const QString& segment : segments) {
        if (segment.startsWith(QLatin1String("MSA")) && msa.isEmpty())
            msa = segment.split(field);
        else if (segment.startsWith(QLatin1String("ERR")) && err.isEmpty())
            err = segment.split(field);
    }
    if (msa.size() < 3 || msa[0] != QLatin1String("MSA"))
        return ack;
    static const QStringList kCodes = {QStringLiteral("AA"), QStringLiteral("AE"), QStringLiteral("AR"),
                                       QStringLiteral("CA"), QStringLiteral("CE"), QStringLiteral("CR")};
    ack.code = msa[1].trimmed();
    if (!kCodes.contains(ack.code))
        return ack;
    ack.controlId = unescape(msa[2]);
    if (msa.size() > 3)
        ack.text = unescape(msa[3]);
    if (ack.text.isEmpty() && err.size() > 8)
        ack.text = unescape(err[8]);
    if (ack.text.isEmpty() && err.size() > 3) {
        const QStringList code = err[3].split(component);
        ack.text = unescape(code.size() > 1 && !code[1].isEmpty() ? code[1] : code[0]);
    }
    ack.ok = true;
    return ack;
}

} // namespace Hl7
