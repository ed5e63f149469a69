#include "core/net/StationNotice.h"

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

} // namespace

QString Stations::eventNotice(const QString& code, const QString& f, const QString& staff,
                              const QString& place)
{
    return u'#' + code + u';' + f + u';' + staff + u';' + place + u';';
}

QString Stations::placeNotice(const QString& abcde, const QString& btnclr, const QString& name,
                              const QString& ward)
{
    return u'#' + abcde + QStringLiteral(";0;") + ward + u';' + name + u';' + btnclr + u';';
}

bool isPlainNoticeCode(const QString& code)
{
    if (code.isEmpty() || code.size() > NoticeLimits::kMaxCodeLength)
        return false;
    for (const QChar c : code) {
        if (c.isSpace() || !c.isPrint())
            return false;
    }
    return true;
}

QString printableName(QString name)
{
    for (QChar& c : name) {
        if (!c.isPrint())
            c = QLatin1Char(' ');
    }
    return name.trimmed();
}

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
    if (fields.size() < 4 || !isPlainNoticeCode(fields.at(0)))
        return notice;

    const QString& f = fields.at(1);
    if (isCallFunction(f) || isCancelFunction(f)) {
        notice.kind = isCallFunction(f) ? Notice::Kind::Call : Notice::Kind::Cancel;
        notice.staff = printableName(fields.at(2));
        notice.place = printableName(fields.mid(3).join(QLatin1Char(';')));
    } else if (f == QLatin1String("0") && fields.size() >= 5) {
        notice.kind = Notice::Kind::Place;
        notice.ward = printableName(fields.at(2));
        notice.place = printableName(fields.mid(3, fields.size() - 4).join(QLatin1Char(';')));
    } else {
        return notice;
    }
    notice.code = fields.at(0);
    notice.function = f;
    return notice;
}
