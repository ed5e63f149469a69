#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <memory>
#include <optional>

// The settings file: a profile file of "[section]" headers and "key=value" lines, meant to be
// edited by hand. An IniFile made from a path opens the file for every operation and leaves it
// closed; nothing is cached, so a hand edit made between two calls is seen by the second. One made
// by load() reads the file once and answers every read from memory, it and all its copies alike,
// until the file's directory entry shows another hand has changed it (then it is read again);
// its writes go to the file (read afresh first, so a hand edit made since is kept) unless they are
// held, and then they wait in memory until writeHeld() replaces the file with all of them at once.
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

    // Reads the file once (a missing file reads as empty); this object and its copies share what
    // was read and written. Never throws: a file that cannot be read reads as missing, and refuses
    // every write; so does a file larger than kMaxFileBytes, which reads as far as it is read.
    static IniFile load(const QString& path);

    // For a loaded file: from now on writes change only the memory, until writeHeld().
    void holdWrites();
    // Replaces the file with everything held, in one step, and ends the holding. Nothing is written
    // when the held bytes are those the file holds already. Throws AppError as writeString does.
    void writeHeld();
    // Throws AppError as writeString does when the file could not be written now.
    void checkWritable() const;

    // How many times this process has read a settings file whole, and replaced one.
    static quint64 fileReads();
    static quint64 fileWrites();

    const QString& path() const;

    // The settings file of an executable: its path with the extension replaced by ".ini"
    // (HalvaneServer.exe -> HalvaneServer.ini; a name without extension gets ".ini" added).
    static QString pathBesideExecutable(const QString& exePath);

    // The stored value without leading and trailing blanks, and without the pair of double or
    // single quotes that wholly encloses it. A missing file, section or key yields the default with
    // its trailing blanks removed. At most 2047 characters are returned. Never throws.
    QString readString(const QString& section, const QString& key, const QString& def) const;
    // The stored value as readString returns it but not shortened, or nothing when the file, the
    // section or the key is missing. Never throws.
    std::optional<QString> value(const QString& section, const QString& key) const;

    // The text read as readString does (empty when missing): "0x"/"0X" followed by hexadecimal
    // digits, or "$" followed by them, is hexadecimal; otherwise an optional sign and decimal
    // digits. Anything else, or a number outside the 32-bit signed range, yields the default.
    // Never throws.
    qint32 readInteger(const QString& section, const QString& key, qint32 def) const;
    // A text read as readInteger reads it; nothing when it is not such a number.
    static std::optional<qint32> toInteger(const QString& text);

    // The longest text a read returns.
    static constexpr qsizetype kMaxValueLength = 2047;
    // A settings file is a few kilobytes. Of a larger file only the whole lines within its first
    // kMaxFileBytes are read, and it is never written (a write throws as for a file that cannot be
    // read); a line longer than kMaxLineBytes is not read (its key reads as missing). Each is told
    // in one line (SettingsFallbacks), so neither a huge file nor a huge line holds the start up.
    static constexpr qint64 kMaxFileBytes = 1024 * 1024;
    static constexpr qsizetype kMaxLineBytes = 64 * 1024;

    // Creates the file if missing; appends the section at the end of the file if missing; puts a
    // missing key after the last key line of its section; otherwise replaces the value in the key's
    // line. The new file replaces the old one whole, so a failed write leaves the old file as it
    // was. Throws AppError("Unable to write to <path>") when the file cannot be written.
    void writeString(const QString& section, const QString& key, const QString& value);
    void writeInteger(const QString& section, const QString& key, qint32 value);

    bool exists() const;

    // Removes what writes cut short by the end of the process left beside the file: their
    // temporary files, by their exact name ("HalvaneServer.ini.partial-a1B2c3"); a copy a person
    // made beside it ("HalvaneServer.ini.old123") stays. Called once at start, before the file is
    // first used. Returns how many were removed.
    int removeStrayTemporaries() const;

private:
    struct Loaded;
    QString m_path;
    std::shared_ptr<Loaded> m_loaded;
};
