#include "core/journal/RecordFields.h"

namespace RecordFields {

QByteArray escaped(const QString& text)
{
    QByteArray out;
    const QByteArray bytes = text.toUtf8();
    out.reserve(bytes.size());
    for (const char c : bytes) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        default:
            out += c;
        }
    }
    return out;
}

bool unescaped(const QByteArray& field, QString& text)
{
    QByteArray out;
    out.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        const char c = field.at(i);
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i == field.size())
            return false;
        switch (field.at(i)) {
        case '\\':
            out += '\\';
            break;
        case 't':
            out += '\t';
            break;
        case 'r':
            out += '\r';
            break;
        case 'n':
            out += '\n';
            break;
        default:
            return false;
        }
    }
    text = QString::fromUtf8(out);
    return true;
}

} // namespace RecordFields
