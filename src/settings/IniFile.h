#pragma once

#include <QString>
#include <QtGlobal>

// The settings file: a profile file of "[section]" headers and "key=value" lines, meant to be
// edited by hand. Every operation opens the file, does its work and leaves it closed; nothing is
// cached, so a hand edit made between two calls is seen by the second.
//
// The file holds Windows-1251 bytes, unless it begins with a UTF-8 byte order mark: an editor saved
// it as UTF-8 then, and it is read and written as UTF-8 with the mark kept. Lines may end in CR LF or
// LF alone; lines this class adds end in CR LF, and every line it does not change keeps its bytes and
// its ending. A new file gets the mode of any new file (umask); an existing one keeps its mode.
//
// How a line is understood:
// - Blanks are spaces, tabs and stray carriage returns; they are ignored around names and values.
// - A section header is a line that, without its blanks, starts with "[" and holds a "]" further on.
//   The name is the text between the "[" and the last "]", without its blanks; anything after that
//   "]" is ignored, so "[DB] ; database" opens section DB.
// - Any other line holding "=" is a key line: the key is the text before the first "=", the value
//   the text after it, both without their blanks. A key may begin with ";": the comment keys that
//   describe the other keys are ordinary keys to this class.
// - Lines of neither kind (blank lines, notes without "=") are kept but never read.
// - Section and key names match without regard to letter case. Only the first section of a given
//   name counts, and within it the first line of a given key.
class IniFile
{
public:
    explicit IniFile(QString path);

    const QString& path() const;

    // The settings file of an executable: its path with the extension replaced by ".ini"
    // (HalvaneServer.exe -> HalvaneServer.ini; a name without extension gets ".ini" added).
    static QString pathBesideExecutable(const QString& exePath);

    // The stored value without leading and trailing blanks, and without the pair of double or
    // single quotes that wholly encloses it. A missing file, section or key yields the default with
    // its trailing blanks removed. At most 2047 characters are returned. Never throws.
    QString readString(const QString& section, const QString& key, const QString& def) const;

    // The text read as readString does (empty when missing): "0x"/"0X" followed by hexadecimal
    // digits, or "$" followed by them, is hexadecimal; otherwise an optional sign and decimal
    // digits. Anything else, or a number outside the 32-bit signed range, yields the default.
    // Never throws.
    qint32 readInteger(const QString& section, const QString& key, qint32 def) const;

    // Creates the file if missing; appends the section at the end of the file if missing; puts a
    // missing key after the last key line of its section; otherwise replaces the value in the key's
    // line. The new file replaces the old one whole, so a failed write leaves the old file as it
    // was. Throws AppError("Unable to write to <path>") when the file cannot be written.
    void writeString(const QString& section, const QString& key, const QString& value);
    void writeInteger(const QString& section, const QString& key, qint32 value);

    bool exists() const;

    // Removes what writes cut short by the end of the process left beside the file: their
    // temporary files, named after the file with a dot and six random letters and digits
    // ("HalvaneServer.ini.a1B2c3"). Called once at start, before the file is first used. Returns
    // how many were removed.
    int removeStrayTemporaries() const;

private:
    QString m_path;
};
