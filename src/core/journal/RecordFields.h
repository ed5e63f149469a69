#pragma once

#include <QByteArray>
#include <QString>

// The fields of the journal's own files (the spool, the copy of the places): UTF-8 text in which a
// backslash, tab, carriage return and line feed are written as \\, \t, \r and \n, so that a field
// never holds the tab that separates fields nor the line end that ends a record.
namespace RecordFields {

QByteArray escaped(const QString& text);
// False when the field holds a backslash that is no escape of the four above.
bool unescaped(const QByteArray& field, QString& text);

} // namespace RecordFields
