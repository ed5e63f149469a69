#pragma once

#include <QByteArray>
#include <QString>

// Windows-1251, the 8-bit code page of the settings file and of every text in the database.
// A character the code page lacks is written as "?".
namespace Cp1251 {

QByteArray encode(QStringView text);
QString decode(const char* data, qsizetype size);
inline QString decode(const QByteArray& bytes)
{
    return decode(bytes.constData(), bytes.size());
}

} // namespace Cp1251
