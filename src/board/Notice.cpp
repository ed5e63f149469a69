#include "board/Notice.h"

#include <QStringDecoder>
#include <QStringList>

namespace {

bool isCallFunction(const QString& f)
{
    return f == QLatin1String("8") || f == QLatin1String("4") || f == QLatin1String("b");
}

bool isCancelFunction(const QString& f)
{
    return f == QLatin1String("2") || f == QLatin1String("d");
}

bool isPlainCode(const QString& code)
{
    if (code.isEmpty() || code.size() > NoticeLimits::kMaxCodeLength)
        return false;
    for (const QChar c : code) {
        if (c.isSpace() || !c.isPrint())
            return false;
    }
    return true;
}

// Control characters in a name would only garble the tile; they are shown as blanks.
QString printable(QString name)
{
    for (QChar& c : name) {
        if (!c.isPrint())
            c = QLatin1Char(' ');
    }
    return name.trimmed();
}

} // namespace

Notice parseNotice(const QByteArray& datagram, const QString& pingText)
{
    Notice notice;
    if (datagram.size() > NoticeLimits::kMaxDatagramBytes)
        return notice;
    QStringDecoder decoder(QStringConverter::Utf8,
                           QStringConverter::Flag::Stateless | QStringConverter::Flag::ConvertInitialBom);
    const QString text = decoder.decode(datagram);
    if (decoder.hasError())
        return notice;

    if (text == pingText) {
        notice.kind = Notice::Kind::Ping;
        return notice;
    }
    if (text.size() < 2 || !text.startsWith(QLatin1Char('#')) || !text.endsWith(QLatin1Char(';')))
        return notice;

    // "#a;b;c;d;" -> a, b, c, d: every field is followed by ";".
    const QStringList fields = text.mid(1, text.size() - 2).split(QLatin1Char(';'));
    if (fields.size() < 4 || !isPlainCode(fields.at(0)))
        return notice;

    const QString& f = fields.at(1);
    if (isCallFunction(f) || isCancelFunction(f)) {
        notice.kind = isCallFunction(f) ? Notice::Kind::Call : Notice::Kind::Cancel;
        notice.staff = printable(fields.at(2));
        notice.place = printable(fields.mid(3).join(QLatin1Char(';')));
    } else if (f == QLatin1String("0") && fields.size() >= 5) {
        notice.kind = Notice::Kind::Place;
        notice.ward = printable(fields.at(2));
        notice.place = printable(fields.mid(3, fields.size() - 4).join(QLatin1Char(';')));
    } else {
        return notice;
    }
    notice.code = fields.at(0);
    notice.function = f;
    return notice;
}
