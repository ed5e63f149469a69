#include "core/net/StationNotice.h"

#include <QStringDecoder>
#include <QStringList>

#include <algorithm>
#include <climits>

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

namespace {

// A name as the answer carries it: printable, no separator of the answer, not too long.
QString answerName(const QString& name)
{
    return printableName(name).left(Stations::kMaxAnswerNameChars);
}

QByteArray answerHead(quint32 list, int part, int parts, qint32 warnSec, qint32 alarmSec)
{
    return QByteArray(Stations::kCallsAnswerHead) + QByteArray::number(list) + ';' +
           QByteArray::number(part) + ';' + QByteArray::number(parts) + ';' +
           QByteArray::number(std::max(warnSec, 0)) + ';' + QByteArray::number(std::max(alarmSec, 0));
}

// A whole decimal number within [low, high]; nothing else is read as one.
bool readNumber(const QString& text, qint64 low, qint64 high, qint64* value)
{
    if (text.isEmpty() || text.size() > 19)
        return false;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return false;
    }
    bool ok = false;
    const qint64 n = text.toLongLong(&ok);
    if (!ok || n < low || n > high)
        return false;
    *value = n;
    return true;
}

} // namespace

QList<QByteArray> Stations::callsAnswer(quint32 list, qint32 warnSec, qint32 alarmSec,
                                        const QList<ListedCall>& calls)
{
    static_assert(kMaxAnswerBytes == NoticeLimits::kMaxDatagramBytes);
    // The records first, then as many parts as they need: every part's head names the count.
    QList<QByteArrayList> parts(1);
    qsizetype used = 0;
    // Room for the longest head any answer can have.
    const qsizetype headRoom =
        answerHead(UINT32_MAX, kMaxAnswerParts, kMaxAnswerParts, INT32_MAX, INT32_MAX).size();
    for (const ListedCall& call : calls) {
        if (!isPlainNoticeCode(call.code) || !isCallFunction(call.function))
            continue;
        const QByteArray record = '\n' + call.code.toUtf8() + '\t' + call.function.toUtf8() + '\t' +
                                  QByteArray::number(std::max<qint64>(call.waitedMs, 0)) + '\t' +
                                  QByteArray::number(std::clamp(call.level, 0, 2)) + '\t' +
                                  answerName(call.ward).toUtf8() + '\t' + answerName(call.staff).toUtf8() +
                                  '\t' + answerName(call.place).toUtf8();
        if (headRoom + used + record.size() > kMaxAnswerBytes) {
            if (parts.size() == kMaxAnswerParts)
                break; // thousands of open calls: the oldest are shown, the board says how many
            parts.append(QByteArrayList());
            used = 0;
        }
        parts.last().append(record);
        used += record.size();
    }
    QList<QByteArray> datagrams;
    for (qsizetype i = 0; i < parts.size(); ++i)
        datagrams << answerHead(list, int(i + 1), int(parts.size()), warnSec, alarmSec) + parts.at(i).join();
    return datagrams;
}

bool Stations::isCallsAnswer(const QByteArray& datagram)
{
    return datagram.startsWith(kCallsAnswerHead);
}

Stations::CallsAnswer Stations::parseCallsAnswer(const QByteArray& datagram)
{
    CallsAnswer answer;
    if (datagram.size() > kMaxAnswerBytes || !isCallsAnswer(datagram))
        return answer;
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    const QString text = decoder.decode(datagram);
    if (decoder.hasError())
        return answer;

    const QStringList lines = text.split(u'\n');
    const QStringList head = lines.first().mid(qsizetype(sizeof(kCallsAnswerHead)) - 1).split(u';');
    qint64 list = 0, part = 0, parts = 0, warn = 0, alarm = 0;
    if (head.size() != 5 || !readNumber(head.at(0), 0, UINT32_MAX, &list) ||
        !readNumber(head.at(1), 1, kMaxAnswerParts, &part) ||
        !readNumber(head.at(2), part, kMaxAnswerParts, &parts) ||
        !readNumber(head.at(3), 0, INT32_MAX, &warn) || !readNumber(head.at(4), 0, INT32_MAX, &alarm))
        return answer;

    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QStringList fields = lines.at(i).split(u'\t');
        ListedCall call;
        qint64 waited = 0, level = 0;
        // Ten years of waiting is already no call; anything beyond is not a number we take.
        if (fields.size() != 7 || !isPlainNoticeCode(fields.at(0)) || !isCallFunction(fields.at(1)) ||
            !readNumber(fields.at(2), 0, 10LL * 366 * 24 * 3600 * 1000, &waited) ||
            !readNumber(fields.at(3), 0, 2, &level))
            return answer;
        call.code = fields.at(0);
        call.function = fields.at(1);
        call.waitedMs = waited;
        call.level = int(level);
        call.ward = printableName(fields.at(4));
        call.staff = printableName(fields.at(5));
        call.place = printableName(fields.at(6));
        answer.calls << call;
    }
    answer.list = quint32(list);
    answer.part = int(part);
    answer.parts = int(parts);
    answer.warnSec = qint32(warn);
    answer.alarmSec = qint32(alarm);
    answer.valid = true;
    return answer;
}
