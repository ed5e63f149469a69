#include "core/settings/SettingsTable.h"

#include "core/settings/IniFile.h"
#include "core/settings/SettingsFallback.h"

#include <algorithm>
#include <utility>

SettingsKey SettingsKey::writtenWhen(When w) const
{
    SettingsKey k = *this;
    k.when = w;
    return k;
}

SettingsKey SettingsKey::within(qint32 lowest, qint32 highest) const
{
    SettingsKey k = *this;
    k.minimum = lowest;
    k.maximum = highest;
    return k;
}

SettingsKey SettingsKey::asLowBitsPort() const
{
    SettingsKey k = *this;
    k.lowBitsPort = true;
    return k;
}

SettingsKey SettingsKey::asCheckedByReader() const
{
    SettingsKey k = *this;
    k.checkedByReader = true;
    return k;
}

SettingsTable::SettingsTable(QString section, QList<SettingsKey> keys)
    : m_section(std::move(section)), m_keys(std::move(keys))
{
}

void SettingsTable::writeKey(IniFile& ini, const SettingsKey& k, const QVariant& value) const
{
    switch (k.kind) {
    case SettingsKey::Kind::Comment:
        ini.writeString(m_section, u';' + k.key, value.toString());
        break;
    case SettingsKey::Kind::Text:
        ini.writeString(m_section, k.key, value.toString());
        break;
    case SettingsKey::Kind::KeptText:
        writeKept(ini, m_section, k.key, value.toString());
        break;
    case SettingsKey::Kind::Integer:
        ini.writeInteger(m_section, k.key, value.toInt());
        break;
    }
}

namespace {
bool lacks(const IniFile& ini, const QString& section, const SettingsKey& k)
{
    const QString name = k.kind == SettingsKey::Kind::Comment ? u';' + k.key : k.key;
    return !ini.value(section, name).has_value();
}
} // namespace

void SettingsTable::writeComments(IniFile& ini) const
{
    // The file did not exist when the start began: a key it holds was written by this start.
    for (const SettingsKey& k : m_keys) {
        if (k.kind == SettingsKey::Kind::Comment && k.when != SettingsKey::When::AddedLater &&
            lacks(ini, m_section, k))
            writeKey(ini, k, k.written);
    }
}

void SettingsTable::writeDefaults(IniFile& ini, const ValueOf& written) const
{
    for (qsizetype i = 0; i < m_keys.size(); ++i) {
        const SettingsKey& k = m_keys.at(i);
        if (k.kind != SettingsKey::Kind::Comment && k.when != SettingsKey::When::AddedLater &&
            lacks(ini, m_section, k))
            writeKey(ini, k, k.written.isValid() || !written ? k.written : written(i));
    }
}

bool SettingsTable::writeAddedLater(IniFile& ini) const
{
    const bool holdsSection = std::any_of(m_keys.cbegin(), m_keys.cend(), [&](const SettingsKey& k) {
        return k.when != SettingsKey::When::AddedLater && !lacks(ini, m_section, k);
    });
    if (!holdsSection)
        return false;
    bool added = false;
    for (const SettingsKey& k : m_keys) {
        if (k.when == SettingsKey::When::AddedLater && lacks(ini, m_section, k)) {
            writeKey(ini, k, k.written);
            added = true;
        }
    }
    return added;
}

bool SettingsTable::writeLaterStart(IniFile& ini, const ValueOf& written) const
{
    bool added = false;
    for (qsizetype i = 0; i < m_keys.size(); ++i) {
        const SettingsKey& k = m_keys.at(i);
        const bool missing = k.when == SettingsKey::When::Missing && lacks(ini, m_section, k);
        if (k.when == SettingsKey::When::EveryStart || missing)
            writeKey(ini, k, k.written.isValid() || !written ? k.written : written(i));
        added = added || missing;
    }
    return added;
}

void SettingsTable::writeKeys(IniFile& ini, const QStringList& names, const ValueOf& written) const
{
    for (const QString& name : names) {
        for (qsizetype i = 0; i < m_keys.size(); ++i) {
            const SettingsKey& k = m_keys.at(i);
            if (k.kind != SettingsKey::Kind::Comment && k.key == name)
                writeKey(ini, k, written(i));
        }
    }
}

bool SettingsTable::writeMissing(IniFile& ini, const ValueOf& written) const
{
    bool added = false;
    for (const SettingsKey& k : m_keys)
        added = added || lacks(ini, m_section, k);
    writeComments(ini);
    writeDefaults(ini, written);
    return added;
}

void SettingsTable::writeStart(IniFile& ini, bool firstStart, const ValueOf& written) const
{
    if (firstStart) {
        writeComments(ini);
        writeDefaults(ini, written);
    } else {
        writeLaterStart(ini, written);
    }
}

QVariant SettingsTable::readKey(const IniFile& ini, const SettingsKey& k, const QVariant& def) const
{
    const std::optional<QString> stored = ini.value(m_section, k.key);
    const auto fallback = [&](const QString& problem, const QString& used) {
        if (!k.checkedByReader)
            SettingsFallbacks::report({ini.path(), m_section, k.key, *stored, problem, used});
    };
    if (k.kind != SettingsKey::Kind::Integer) {
        const QString text = ini.readString(m_section, k.key, def.toString());
        if (stored && stored->size() > IniFile::kMaxValueLength)
            fallback(QStringLiteral("is longer than %1 characters").arg(IniFile::kMaxValueLength),
                     QStringLiteral("its first %1 characters are used").arg(text.size()));
        return text;
    }
    if (!stored)
        return def;
    const QString defaultUsed = QStringLiteral("%1 is used instead").arg(def.toInt());
    const std::optional<qint32> number = IniFile::toInteger(ini.readString(m_section, k.key, QString()));
    if (!number) {
        fallback(QStringLiteral("is not a number"), defaultUsed);
        return def;
    }
    if (k.lowBitsPort && (*number < 1 || *number > 65535)) {
        const qint32 low = *number & 0xFFFF;
        if (low == 0) {
            fallback(QStringLiteral("names no port (1 to 65535)"),
                     QStringLiteral("port %1 is used instead").arg(def.toInt()));
            return def;
        }
        fallback(QStringLiteral("is not a port number (1 to 65535)"),
                 QStringLiteral("its low 16 bits, port %1, are used").arg(low));
        return low;
    }
    if (*number < k.minimum || *number > k.maximum) {
        fallback(QStringLiteral("is not within %1 to %2").arg(k.minimum).arg(k.maximum), defaultUsed);
        return def;
    }
    return *number;
}

void SettingsTable::read(const IniFile& ini, const ValueOf& defaults, const Store& store) const
{
    for (qsizetype i = 0; i < m_keys.size(); ++i) {
        const SettingsKey& k = m_keys.at(i);
        if (k.kind != SettingsKey::Kind::Comment)
            store(i, readKey(ini, k, defaults ? defaults(i) : k.readDefault()));
    }
}

SectionValues SettingsTable::read(const IniFile& ini) const
{
    SectionValues values;
    read(ini, {}, [&](qsizetype i, const QVariant& value) { values.set(m_keys.at(i).key, value); });
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
    return {key, SettingsKey::Kind::Comment, text, {}};
}

SettingsKey SettingsTable::text(const QString& key, const QString& value, const QVariant& readDefault)
{
    return {key, SettingsKey::Kind::Text, value, readDefault};
}

SettingsKey SettingsTable::kept(const QString& key, const QString& value, const QVariant& readDefault)
{
    return {key, SettingsKey::Kind::KeptText, value, readDefault};
}

SettingsKey SettingsTable::integer(const QString& key, qint32 value)
{
    return {key, SettingsKey::Kind::Integer, value, {}};
}

SettingsKey SettingsTable::addedLater(SettingsKey key)
{
    return key.writtenWhen(SettingsKey::When::AddedLater);
}

QList<SettingsKey> SettingsTable::captionAndGeometry(const QString& caption, QSize designClient)
{
    const QSize outer = designClient + designFrame();
    return {text(QStringLiteral("Caption"), caption), integer(QStringLiteral("Top"), 0),
            integer(QStringLiteral("Left"), 0), integer(QStringLiteral("Height"), outer.height()),
            integer(QStringLiteral("Width"), outer.width())};
}
