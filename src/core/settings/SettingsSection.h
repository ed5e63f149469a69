#pragma once

#include "core/settings/IniFile.h"
#include "core/settings/SettingsTable.h"

#include <array>
#include <cstddef>
#include <functional>
#include <type_traits>
#include <utility>

// A settings section bound to the members of a plain struct: the table of its keys (name, kind,
// default, comment text, when it is written) says once how each member is written and read, and
// SettingsTable does the writing and the reading for every section alike.
//
// Adding a section is one struct and one table:
//
//   struct BrokerValues
//   {
//       QString Host;           // the defaults are the members' initialisers
//       qint32 Port = 1883;
//   };
//
//   const SettingsSection<BrokerValues>& brokerSection()
//   {
//       using K = SettingsSection<BrokerValues>;
//       static const K section(QStringLiteral("Broker"),
//           {K::comment(QStringLiteral("Описание секции"), QStringLiteral("Брокер MQTT")),
//            K::comment(QStringLiteral("Host"), QStringLiteral("адрес брокера")),
//            K::comment(QStringLiteral("Port"), QStringLiteral("порт брокера")),
//            K::text(QStringLiteral("Host"), &BrokerValues::Host).when(SettingsKey::When::Missing),
//            K::integer(QStringLiteral("Port"), &BrokerValues::Port).within(1, 65535)
//                .when(SettingsKey::When::Missing)});
//       return section;
//   }
//
// and then, at start, brokerSection().writeStart(ini, firstStart) puts in the file what the start
// owes it (a first start: everything, comment keys first; a later start: what is written on every
// start and what is written when missing and is missing), and brokerSection().read(ini) gives the
// values, each member with its initialiser as default. Comment keys come first in the table, then
// the keys, in the order the file shows them. A row's written value is the member's value in the
// struct given to the write (its initialiser by default) unless the row names its own (.writing()):
// a first start may write what a missing key does not read back as. Members may be QString,
// qint32, quint16, bool, or an element of a std::array of them.
template <typename S> class SettingsSection
{
public:
    // One row of the table: a key, and the member of S it fills (none for a comment key).
    struct Row
    {
        SettingsKey key;
        std::function<QVariant(const S&)> get;
        std::function<void(S&, const QVariant&)> set;

        // What a start writes when it is not the member's value.
        Row writing(const QVariant& value) const
        {
            Row r = *this;
            r.key.written = value;
            return r;
        }
        Row when(SettingsKey::When w) const
        {
            Row r = *this;
            r.key = r.key.writtenWhen(w);
            return r;
        }
        Row within(qint32 lowest, qint32 highest) const
        {
            Row r = *this;
            r.key = r.key.within(lowest, highest);
            return r;
        }
        Row asLowBitsPort() const
        {
            Row r = *this;
            r.key = r.key.asLowBitsPort();
            return r;
        }
        Row checkedByReader() const
        {
            Row r = *this;
            r.key = r.key.asCheckedByReader();
            return r;
        }
    };

    SettingsSection(QString section, QList<Row> rows)
        : m_rows(std::move(rows)), m_table(std::move(section), keysOf(m_rows))
    {
    }

    const SettingsTable& table() const { return m_table; }
    const QString& section() const { return m_table.section(); }

    // The comment keys a first start writes (InitComm).
    void writeComments(IniFile& ini) const { m_table.writeComments(ini); }
    // Every comment key and key the section lacks: see SettingsTable::writeMissing.
    bool writeMissing(IniFile& ini, const S& values = S{}) const
    {
        return m_table.writeMissing(ini, writtenOf(values));
    }
    // The keys a first start writes (InitDef), each with its member's value in `values`.
    void writeDefaults(IniFile& ini, const S& values = S{}) const
    {
        m_table.writeDefaults(ini, writtenOf(values));
    }
    // What a later start writes: see SettingsTable::writeLaterStart.
    bool writeLaterStart(IniFile& ini, const S& values = S{}) const
    {
        return m_table.writeLaterStart(ini, writtenOf(values));
    }
    void writeStart(IniFile& ini, bool firstStart, const S& values = S{}) const
    {
        m_table.writeStart(ini, firstStart, writtenOf(values));
    }

    // The named keys with their members' values: what a window remembers when it closes.
    void save(IniFile& ini, const QStringList& keys, const S& values) const
    {
        m_table.writeKeys(ini, keys, writtenOf(values));
    }

    // Every member bound to a key, read with its value in `values` as default.
    void readInto(const IniFile& ini, S& values) const
    {
        const S defaults = values;
        m_table.read(
            ini, [&](qsizetype i) { return m_rows.at(i).get(defaults); },
            [&](qsizetype i, const QVariant& value) { m_rows.at(i).set(values, value); });
    }
    S read(const IniFile& ini, S values = S{}) const
    {
        readInto(ini, values);
        return values;
    }

    static Row comment(const QString& key, const QString& text)
    {
        return {SettingsTable::comment(key, text), {}, {}};
    }
    template <typename M> static Row text(const QString& key, M S::*member)
    {
        return bound(keyOf(key, SettingsKey::Kind::Text), member);
    }
    template <typename M, std::size_t N>
    static Row text(const QString& key, std::array<M, N> S::*member, std::size_t index)
    {
        return bound(keyOf(key, SettingsKey::Kind::Text), member, index);
    }
    template <typename M> static Row kept(const QString& key, M S::*member)
    {
        return bound(keyOf(key, SettingsKey::Kind::KeptText), member);
    }
    template <typename M> static Row integer(const QString& key, M S::*member)
    {
        return bound(keyOf(key, SettingsKey::Kind::Integer), member);
    }
    template <typename M, std::size_t N>
    static Row integer(const QString& key, std::array<M, N> S::*member, std::size_t index)
    {
        return bound(keyOf(key, SettingsKey::Kind::Integer), member, index);
    }

private:
    static SettingsKey keyOf(const QString& key, SettingsKey::Kind kind)
    {
        SettingsKey k;
        k.key = key;
        k.kind = kind;
        return k;
    }
    template <typename M> static QVariant toVariant(const M& value)
    {
        if constexpr (std::is_same_v<M, bool>)
            return value ? 1 : 0;
        else if constexpr (std::is_same_v<M, QString>)
            return value;
        else
            return qint32(value);
    }
    template <typename M> static M fromVariant(const QVariant& value)
    {
        if constexpr (std::is_same_v<M, bool>)
            return value.toInt() != 0;
        else if constexpr (std::is_same_v<M, QString>)
            return value.toString();
        else
            return static_cast<M>(value.toInt());
    }
    template <typename M> static Row bound(SettingsKey key, M S::*member)
    {
        return {std::move(key), [member](const S& s) { return toVariant(s.*member); },
                [member](S& s, const QVariant& v) { s.*member = fromVariant<M>(v); }};
    }
    template <typename M, std::size_t N>
    static Row bound(SettingsKey key, std::array<M, N> S::*member, std::size_t index)
    {
        return {std::move(key), [member, index](const S& s) { return toVariant((s.*member)[index]); },
                [member, index](S& s, const QVariant& v) { (s.*member)[index] = fromVariant<M>(v); }};
    }

    static QList<SettingsKey> keysOf(const QList<Row>& rows)
    {
        QList<SettingsKey> keys;
        for (const Row& row : rows)
            keys << row.key;
        return keys;
    }

    SettingsTable::ValueOf writtenOf(const S& values) const
    {
        return
            [this, &values](qsizetype i) { return m_rows.at(i).get ? m_rows.at(i).get(values) : QVariant(); };
    }

    QList<Row> m_rows;
    SettingsTable m_table;
};
