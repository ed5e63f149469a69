#pragma once

#include <QByteArray>
#include <QString>
#include <QStringDecoder>

// The text of one received datagram, decoded as UTF-8. Invalid byte sequences become replacement
// characters and no bytes give the empty text. A leading byte order mark is kept as the character
// U+FEFF, as every other character is: QString::fromUtf8 would drop it, and then a datagram that
// merely begins like a sign-on, a press message or the clients' hello would be taken for one.
inline QString datagramText(const QByteArray& data)
{
    QStringDecoder decoder(QStringConverter::Utf8,
                           QStringConverter::Flag::Stateless | QStringConverter::Flag::ConvertInitialBom);
    return decoder.decode(data);
}
