#pragma once

#include <QHash>
#include <QList>
#include <QRect>
#include <QSize>
#include <QString>
#include <QVariant>

class IniFile;

// The frame a window's design client area is measured with before the window system has given it a
// real one: Top, Left, Height and Width in the settings describe the outer frame.
inline QSize designFrame()
{
    return QSize(16, 39);
}

// One line of a window's settings section.
struct SettingsKey
{
    enum class Kind {
        Comment, // ";key=text", written on a first start and never read
        Text,
        KeptText, // a text written so that it reads back as it is, blanks around it and quotes included
        Integer,
    };

    QString key;
    Kind kind = Kind::Text;
    QVariant written; // the value a first start writes (a comment's text)
    QVariant read;    // the default when reading; invalid: the written value
    // Written with the section on a first start; otherwise a key added to the section later, written
    // (comment and value alike) on every start whose file lacks it, after the section's existing keys.
    bool firstStart = true;

    QVariant readDefault() const { return read.isValid() ? read : written; }
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

// A window's settings section described once: every key in the order a first start writes it (the
// comment keys first, then the keys), with its kind, its first-start value and its read default.
// The same table writes the first start and reads every start, with or without the window.
class SettingsTable
{
public:
    SettingsTable(QString section, QList<SettingsKey> keys);

    const QString& section() const { return m_section; }
    const QList<SettingsKey>& keys() const { return m_keys; }

    // First start: the comment keys, in table order.
    void writeComments(IniFile& ini) const;
    // First start: the other keys with their first-start values, in table order.
    void writeDefaults(IniFile& ini) const;
    // Every start, after the first start's writing: the keys added to the section later that the
    // file lacks, in table order, when the file holds the section at all.
    void writeMissing(IniFile& ini) const;
    // Every key but the comments, each with its read default.
    SectionValues read(const IniFile& ini) const;

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
    QString m_section;
    QList<SettingsKey> m_keys;
};
