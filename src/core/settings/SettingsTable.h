#pragma once

#include <QHash>
#include <QList>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <functional>
#include <limits>

class IniFile;

// The frame a window's design client area is measured with before the window system has given it a
// real one: Top, Left, Height and Width in the settings describe the outer frame.
inline QSize designFrame()
{
    return QSize(16, 39);
}

// One line of a settings section.
struct SettingsKey
{
    enum class Kind {
        Comment, // ";key=text", written and never read
        Text,
        KeptText, // a text written so that it reads back as it is, blanks around it and quotes included
        Integer,  // a 32-bit number; within [minimum, maximum] or its default
    };
    // When the key is written.
    enum class When {
        FirstStart, // on a first start only, as every window's keys
        Missing,    // on every start when the section lacks it: a section added by an update
        EveryStart, // on every start, whatever the file holds
        AddedLater, // a key an update added to a window's section: written, its comment and value
                    // together after the section's keys, on any start whose file holds the section
                    // but lacks the key
    };

    QString key;
    Kind kind = Kind::Text;
    QVariant written; // the value a start writes (a comment's text); invalid: the bound member's
    QVariant read;    // the default when reading; invalid: the written value
    When when = When::FirstStart;
    qint32 minimum = std::numeric_limits<qint32>::min();
    qint32 maximum = std::numeric_limits<qint32>::max();
    // A UDP port of the ward's first sections: a 32-bit number of which only the low 16 bits count
    // (70000 is port 4464); a number whose low 16 bits are 0 names no port and reads as the default.
    bool lowBitsPort = false;
    // The section's own reader checks the value and tells what it does with one it cannot use.
    bool checkedByReader = false;

    QVariant readDefault() const { return read.isValid() ? read : written; }

    SettingsKey writtenWhen(When w) const;
    SettingsKey within(qint32 lowest, qint32 highest) const;
    SettingsKey asLowBitsPort() const;
    SettingsKey asCheckedByReader() const;
};

// The values of one section as read, by key; a key not in the table reads as empty or 0.
class SectionValues
{
public:
    QString text(const QString& key) const { return m_values.value(key).toString(); }
    qint32 integer(const QString& key) const { return m_values.value(key).toInt(); }
    void set(const QString& key, const QVariant& value) { m_values.insert(key, value); }

private:
    QHash<QString, QVariant> m_values;
};

// A settings section described once: every key in the order a first start writes it (the comment
// keys first, then the keys), with its kind, its written value, its read default and when it is
// written. This one piece of code writes every section of the settings files and reads it, the
// program's own windows and sections and the board's alike; SettingsSection binds a table to the
// members of a plain struct.
//
// Reading follows the settings file's rules (IniFile): blanks around a value go, a missing key or
// one that is not a number yields its default. A value the file holds but that cannot be used as it
// stands (not a number, out of its key's range, a port outside 1 to 65535, a text longer than a read
// returns) is told in one line (SettingsFallbacks) naming what is used instead.
class SettingsTable
{
public:
    // For one key of the table (by its index): its written value or its read default.
    using ValueOf = std::function<QVariant(qsizetype index)>;
    using Store = std::function<void(qsizetype index, const QVariant& value)>;

    SettingsTable(QString section, QList<SettingsKey> keys);

    const QString& section() const { return m_section; }
    const QList<SettingsKey>& keys() const { return m_keys; }

    // First start: the comment keys, in table order.
    void writeComments(IniFile& ini) const;
    // First start: the other keys with their written values, in table order.
    void writeDefaults(IniFile& ini, const ValueOf& written = {}) const;
    // A later start: the keys written on every start, and the comment keys and keys written when
    // missing that the section lacks. Nothing else in the file changes. True when a key the section
    // lacked was added.
    bool writeLaterStart(IniFile& ini, const ValueOf& written = {}) const;
    // The named keys, in the order named, with the values `written` gives them: what a window
    // remembers when it closes.
    void writeKeys(IniFile& ini, const QStringList& names, const ValueOf& written) const;
    // Every comment key and key the section lacks, the comment keys first, whenever each is written
    // otherwise: a section a start finds missing or incomplete. True when anything was added.
    bool writeMissing(IniFile& ini, const ValueOf& written = {}) const;
    // The keys added to the section later (When::AddedLater) that the file lacks, each comment key
    // with its key, in table order; nothing when the file does not hold the section at all (it is
    // then read with its defaults). True when a key was added.
    bool writeAddedLater(IniFile& ini) const;
    // Whichever of the two a start does.
    void writeStart(IniFile& ini, bool firstStart, const ValueOf& written = {}) const;

    // Every key but the comments, each with its read default.
    SectionValues read(const IniFile& ini) const;
    // Every key but the comments, each with the default `defaults` gives it, handed to `store`.
    void read(const IniFile& ini, const ValueOf& defaults, const Store& store) const;

    // One key's read default (an invalid value when the table lacks it).
    QVariant defaultOf(const QString& key) const;
    // One key's first-start value: what the window shows before its section is read (an invalid
    // value when the table lacks it).
    QVariant designOf(const QString& key) const;
    // The design title and client area that captionAndGeometry() was given.
    QString designCaption() const;
    QSize designClient() const;

    // Writes a text so that it reads back unchanged: quoted when blanks surround it or quotes
    // enclose it.
    static void writeKept(IniFile& ini, const QString& section, const QString& key, const QString& value);

    // Rows for the shared keys.
    static SettingsKey comment(const QString& key, const QString& text);
    static SettingsKey text(const QString& key, const QString& value, const QVariant& readDefault = {});
    static SettingsKey kept(const QString& key, const QString& value, const QVariant& readDefault = {});
    static SettingsKey integer(const QString& key, qint32 value);
    // The row of a key added to the section later (written when missing).
    static SettingsKey addedLater(SettingsKey key);
    // Caption, Top, Left, Height, Width: the design title at 0, 0 with the outer size that belongs
    // to the design client area, also where the window's minimum is larger (the window itself is
    // then held at its minimum when it is shown).
    static QList<SettingsKey> captionAndGeometry(const QString& caption, QSize designClient);

private:
    void writeKey(IniFile& ini, const SettingsKey& k, const QVariant& value) const;
    QVariant readKey(const IniFile& ini, const SettingsKey& k, const QVariant& def) const;

    QString m_section;
    QList<SettingsKey> m_keys;
};
