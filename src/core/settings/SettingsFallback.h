#pragma once

#include <QString>
#include <QStringList>

#include <functional>

// A value of a settings file that cannot be used as it stands, and what the program uses in its
// place. Every such value is told in one line, so that a person who mistyped a key learns what the
// program does with it instead of finding out from its behaviour.
struct SettingsFallback
{
    QString file; // the settings file's path
    QString section;
    QString key;
    QString value;   // as the file holds it
    QString problem; // what is wrong with it: "is not a number"
    QString used;    // what is used instead: "180 is used instead"

    // "HalvaneServer.ini [Escalation] WarnSec="abc" is not a number; 180 is used instead". A long
    // value is shown by its beginning and its length.
    QString line() const;
};

namespace SettingsFallbacks {

// Tells a fallback: one line on standard error (or to the sink a test set), kept for take(). The
// same line about the same file is told once per process, however often the value is read.
void report(const SettingsFallback& fallback);
// The same for a line about the file as a whole (its size, an over-long line).
void reportLine(const QString& file, const QString& line);

// The lines told since the last call, in the order told: for the program to show its operator.
QStringList take();

// Where the lines go instead of standard error; an empty sink restores standard error.
void setSink(std::function<void(const QString& line)> sink);
// Forgets the lines told so far: they are told again when they come up again.
void forget();

} // namespace SettingsFallbacks
