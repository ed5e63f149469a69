#include "core/settings/SettingsTable.h"

#include "core/settings/IniFile.h"

#include <algorithm>
#include <utility>

SettingsTable::SettingsTable(QString section, QList<SettingsKey> keys)
    : m_section(std::move(section)), m_keys(std::move(keys))
{
}

void SettingsTable::writeComments(IniFile& ini) const
{
    for (const SettingsKey& k : m_keys) {
        if (k.kind == SettingsKey::Kind::Comment && k.firstStart)
            ini.writeString(m_section, u';' + k.key, k.written.toString());
    }
}

void SettingsTable::writeDefaults(IniFile& ini) const
{
    for (const SettingsKey& k : m_keys) {
        if (!k.firstStart)
            continue;
        switch (k.kind) {
        case SettingsKey::Kind::Comment:
            break;
        case SettingsKey::Kind::Text:
            ini.writeString(m_section, k.key, k.written.toString());
            break;
        case SettingsKey::Kind::KeptText:
            writeKept(ini, m_section, k.key, k.written.toString());
            break;
        case SettingsKey::Kind::Integer:
            ini.writeInteger(m_section, k.key, k.written.toInt());
            break;
        }
    }
}

void SettingsTable::writeMissing(IniFile& ini) const
{
    // No value the file can hold reads back as this.
    const QString absent = QStringLiteral("\x01missing\x01");
    const auto stored = [&](const SettingsKey& k) {
        const QString key = k.kind == SettingsKey::Kind::Comment ? u';' + k.key : k.key;
        return ini.readString(m_section, key, absent) != absent;
    };
    // A section the file lacks altogether is read with its defaults and stays unwritten, the keys
    // added later with it.
    if (std::none_of(m_keys.cbegin(), m_keys.cend(),
                     [&](const SettingsKey& k) { return k.firstStart && stored(k); }))
        return;
    for (const SettingsKey& k : m_keys) {
        if (k.firstStart || stored(k))
            continue;
        const QString key = k.kind == SettingsKey::Kind::Comment ? u';' + k.key : k.key;
        switch (k.kind) {
        case SettingsKey::Kind::Comment:
        case SettingsKey::Kind::Text:
            ini.writeString(m_section, key, k.written.toString());
            break;
        case SettingsKey::Kind::KeptText:
            writeKept(ini, m_section, key, k.written.toString());
            break;
        case SettingsKey::Kind::Integer:
            ini.writeInteger(m_section, key, k.written.toInt());
            break;
        }
    }
}

SectionValues SettingsTable::read(const IniFile& ini) const
{
    SectionValues values;
    for (const SettingsKey& k : m_keys) {
        switch (k.kind) {
        case SettingsKey::Kind::Comment:
            break;
        case SettingsKey::Kind::Text:
        case SettingsKey::Kind::KeptText:
            values.set(k.key, ini.readString(m_section, k.key, k.readDefault().toString()));
            break;
        case SettingsKey::Kind::Integer:
            values.set(k.key, ini.readInteger(m_section, k.key, k.readDefault().toInt()));
            break;
        }
    }
    return values;
}

QVariant SettingsTable::defaultOf(const QString& key) const
{
    for (const SettingsKey& k : m_keys) {
        if (k.kind != SettingsKey::Kind::Comment && k.key == key)
            return k.readDefault();
    }
    return {};
}

QVariant SettingsTable::designOf(const QString& key) const
{
    for (const SettingsKey& k : m_keys) {
        if (k.kind != SettingsKey::Kind::Comment && k.key == key)
            return k.written;
    }
    return {};
}

QString SettingsTable::designCaption() const
{
    return designOf(QStringLiteral("Caption")).toString();
}

QSize SettingsTable::designClient() const
{
    return QSize(designOf(QStringLiteral("Width")).toInt(), designOf(QStringLiteral("Height")).toInt()) -
           designFrame();
}

void SettingsTable::writeKept(IniFile& ini, const QString& section, const QString& key, const QString& value)
{
    // The settings file drops the blanks around a value and the quotes that enclose it; quoted, a
    // value keeps both.
    const bool needsQuotes =
        value != value.trimmed() || (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') &&
                                     value.back() == value.front());
    ini.writeString(section, key, needsQuotes ? u'"' + value + u'"' : value);
}

SettingsKey SettingsTable::comment(const QString& key, const QString& text)
{
    return {key, SettingsKey::Kind::Comment, text, {}, true};
}

SettingsKey SettingsTable::text(const QString& key, const QString& value, const QVariant& readDefault)
{
    return {key, SettingsKey::Kind::Text, value, readDefault, true};
}

SettingsKey SettingsTable::kept(const QString& key, const QString& value, const QVariant& readDefault)
{
    return {key, SettingsKey::Kind::KeptText, value, readDefault, true};
}

SettingsKey SettingsTable::integer(const QString& key, qint32 value)
{
    return {key, SettingsKey::Kind::Integer, value, {}, true};
}

SettingsKey SettingsTable::addedLater(SettingsKey key)
{
    key.firstStart = false;
    return key;
}

QList<SettingsKey> SettingsTable::captionAndGeometry(const QString& caption, QSize designClient)
{
    const QSize outer = designClient + designFrame();
    return {text(QStringLiteral("Caption"), caption), integer(QStringLiteral("Top"), 0),
            integer(QStringLiteral("Left"), 0), integer(QStringLiteral("Height"), outer.height()),
            integer(QStringLiteral("Width"), outer.width())};
}
