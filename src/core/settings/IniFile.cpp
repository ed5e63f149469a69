#include "core/settings/IniFile.h"

#include "core/base/AppError.h"
#include "core/base/Cp1251.h"
#include "core/base/DurableFile.h"
#include "core/settings/SettingsFallback.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

#include <algorithm>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

namespace {

// One line of the file as stored: its bytes and its own ending ("\r\n", "\n", or nothing for a last
// line without one). Lines are kept as bytes so that those a write does not touch go back unchanged,
// bytes without a character in the code page included.
struct Line
{
    QByteArray text;
    QByteArray eol;
};

std::vector<Line> splitLines(const QByteArray& data)
{
    std::vector<Line> lines;
    qsizetype start = 0;
    while (start < data.size()) {
        const qsizetype newline = data.indexOf('\n', start);
        if (newline < 0) {
            lines.push_back({data.mid(start), QByteArray()});
            break;
        }
        qsizetype end = newline;
        if (end > start && data.at(end - 1) == '\r')
            --end;
        lines.push_back({data.mid(start, end - start), data.mid(end, newline + 1 - end)});
        start = newline + 1;
    }
    return lines;
}

QByteArray joinLines(const std::vector<Line>& lines)
{
    QByteArray data;
    for (const Line& line : lines) {
        data += line.text;
        data += line.eol;
    }
    return data;
}

bool isBlank(char16_t c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

QByteArrayView trimBlanks(QByteArrayView bytes)
{
    qsizetype begin = 0;
    qsizetype end = bytes.size();
    while (begin < end && isBlank(static_cast<unsigned char>(bytes[begin])))
        ++begin;
    while (end > begin && isBlank(static_cast<unsigned char>(bytes[end - 1])))
        --end;
    return bytes.sliced(begin, end - begin);
}

// A file that begins with a UTF-8 byte order mark was saved as UTF-8 by an editor: it is read and
// written in UTF-8, with the mark kept in front. Any other file is in the code page.
const QByteArray kUtf8Bom("\xEF\xBB\xBF");

enum class Encoding { Cp1251, Utf8 };

QString decode(QByteArrayView bytes, Encoding encoding)
{
    if (encoding == Encoding::Utf8)
        return QString::fromUtf8(bytes);
    return Cp1251::decode(bytes.data(), bytes.size());
}

QByteArray encode(const QString& text, Encoding encoding)
{
    return encoding == Encoding::Utf8 ? text.toUtf8() : Cp1251::encode(text);
}

// Takes the byte order mark off the front of the file's bytes and tells how the rest is encoded.
Encoding withoutBom(QByteArray& data)
{
    if (!data.startsWith(kUtf8Bom))
        return Encoding::Cp1251;
    data.remove(0, kUtf8Bom.size());
    return Encoding::Utf8;
}

bool sameName(QByteArrayView stored, const QString& wanted, Encoding encoding)
{
    return decode(stored, encoding).compare(wanted, Qt::CaseInsensitive) == 0;
}

// The name of a section header line, or nothing when the line is not a header.
std::optional<QByteArrayView> headerName(QByteArrayView text)
{
    const QByteArrayView line = trimBlanks(text);
    if (line.isEmpty() || line.front() != '[')
        return std::nullopt;
    const qsizetype close = line.lastIndexOf(']');
    if (close < 1)
        return std::nullopt;
    return trimBlanks(line.sliced(1, close - 1));
}

// Where a key stands in the file. `header` is the line of the section's header (-1: no such
// section), `keyLine` the key's line (-1: not in the section) and `lastKeyLine` the section's last
// key line, or its header when it holds no key.
struct Location
{
    qsizetype header = -1;
    qsizetype keyLine = -1;
    qsizetype lastKeyLine = -1;
};

Location locate(const std::vector<Line>& lines, const QString& section, const QString& key, Encoding encoding)
{
    Location at;
    const auto count = static_cast<qsizetype>(lines.size());
    qsizetype i = 0;
    for (; i < count; ++i) {
        const auto name = headerName(lines[std::size_t(i)].text);
        if (name && sameName(*name, section, encoding)) {
            at.header = i;
            at.lastKeyLine = i;
            break;
        }
    }
    if (at.header < 0)
        return at;
    for (++i; i < count; ++i) {
        const QByteArray& text = lines[std::size_t(i)].text;
        if (headerName(text))
            break;
        const qsizetype equals = text.indexOf('=');
        if (equals < 0)
            continue;
        at.lastKeyLine = i;
        if (at.keyLine < 0 && sameName(trimBlanks(QByteArrayView(text).first(equals)), key, encoding))
            at.keyLine = i;
    }
    return at;
}

quint64 readsSoFar = 0;
quint64 writesSoFar = 0;

// The file's bytes as far as they are read: at most IniFile::kMaxFileBytes, ending with the last
// whole line within them when the file is larger (`oversized`), so that no line is cut into a
// different value.
struct FileBytes
{
    QByteArray data;
    bool oversized = false;
};

std::optional<FileBytes> readFile(const QString& path)
{
    ++readsSoFar;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    // One byte past the bound tells a larger file (or one without an end, as a device).
    FileBytes bytes{file.read(IniFile::kMaxFileBytes + 1)};
    if (file.error() != QFileDevice::NoError)
        return std::nullopt;
    if (bytes.data.size() > IniFile::kMaxFileBytes) {
        bytes.oversized = true;
        bytes.data.truncate(bytes.data.lastIndexOf('\n', IniFile::kMaxFileBytes - 1) + 1);
        const qint64 size = file.size();
        SettingsFallbacks::reportLine(
            path,
            QStringLiteral("%1 is %2 bytes long, more than the %3 a settings file may hold: only the lines "
                           "in its first %3 bytes are read (a key past them takes its default), and the "
                           "program never writes the file, so nothing in it is lost")
                .arg(QFileInfo(path).fileName(),
                     size > IniFile::kMaxFileBytes
                         ? QString::number(size)
                         : QStringLiteral("more than %1").arg(IniFile::kMaxFileBytes))
                .arg(IniFile::kMaxFileBytes));
    }
    return bytes;
}

QString withoutTrailingBlanks(const QString& text)
{
    qsizetype end = text.size();
    while (end > 0 && isBlank(text.at(end - 1).unicode()))
        --end;
    return text.first(end);
}

QString withoutEnclosingQuotes(const QString& text)
{
    if (text.size() >= 2 && (text.front() == u'"' || text.front() == u'\'') && text.back() == text.front())
        return text.sliced(1, text.size() - 2);
    return text;
}

QString capped(QString text)
{
    if (text.size() > IniFile::kMaxValueLength) {
        qsizetype length = IniFile::kMaxValueLength;
        // Never keep half of a surrogate pair.
        if (text.at(length - 1).isHighSurrogate())
            --length;
        text.truncate(length);
    }
    return text;
}

// A line break inside a name or value would split its line in two and change the file's structure;
// it is stored as a blank instead.
QString singleLine(QString text)
{
    text.replace(u'\r', u' ');
    text.replace(u'\n', u' ');
    return text;
}

std::optional<qint64> digitsValue(QStringView digits, int base)
{
    if (digits.isEmpty())
        return std::nullopt;
    qint64 value = 0;
    for (const QChar ch : digits) {
        const char16_t c = ch.unicode();
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return std::nullopt;
        value = value * base + digit;
        // Past every 32-bit value: stop before the accumulator itself could overflow.
        if (value > 0x100000000LL)
            return std::nullopt;
    }
    return value;
}

std::optional<qint32> parseInteger(const QString& text)
{
    constexpr qint64 kMin = std::numeric_limits<qint32>::min();
    constexpr qint64 kMax = std::numeric_limits<qint32>::max();

    std::optional<qint64> value;
    if (text.size() > 2 && text.at(0) == u'0' && (text.at(1) == u'x' || text.at(1) == u'X')) {
        value = digitsValue(QStringView(text).sliced(2), 16);
    } else if (text.startsWith(u'$')) {
        value = digitsValue(QStringView(text).sliced(1), 16);
    } else {
        QStringView digits(text);
        bool negative = false;
        if (!digits.isEmpty() && (digits.front() == u'-' || digits.front() == u'+')) {
            negative = digits.front() == u'-';
            digits = digits.sliced(1);
        }
        value = digitsValue(digits, 10);
        if (value && negative)
            value = -*value;
    }
    if (!value || *value < kMin || *value > kMax)
        return std::nullopt;
    return static_cast<qint32>(*value);
}

} // namespace

namespace {

// What a read looks up: the value of each key of each section, by their names in lower case, as
// the rules above read them (the first section of a name, the first line of a key in it).
struct Index
{
    QHash<QString, QHash<QString, QString>> sections;

    std::optional<QString> value(const QString& section, const QString& key) const
    {
        const auto s = sections.constFind(section.toCaseFolded());
        if (s == sections.cend())
            return std::nullopt;
        const auto k = s->constFind(key.toCaseFolded());
        if (k == s->cend())
            return std::nullopt;
        return *k;
    }
};

// Reads every line once. A line longer than IniFile::kMaxLineBytes is not read: its key reads as
// missing, and a header that long opens a section none of whose keys are read (they would otherwise
// be taken for the keys of the section before it). It is told in one line.
Index indexOf(const QString& path, QByteArrayView data)
{
    Encoding encoding = Encoding::Cp1251;
    if (data.startsWith(kUtf8Bom)) {
        encoding = Encoding::Utf8;
        data = data.sliced(kUtf8Bom.size());
    }
    Index index;
    QHash<QString, QString>* current = nullptr;
    qsizetype start = 0;
    for (qint64 number = 1; start < data.size(); ++number) {
        qsizetype end = data.indexOf('\n', start);
        const qsizetype next = end < 0 ? data.size() : end + 1;
        if (end < 0)
            end = data.size();
        if (end > start && data.at(end - 1) == '\r')
            --end;
        const QByteArrayView text = data.sliced(start, end - start);
        start = next;
        const QByteArrayView line = trimBlanks(text);
        if (text.size() > IniFile::kMaxLineBytes) {
            const bool header = line.startsWith('[');
            const qsizetype equals = line.indexOf('=');
            QString what;
            if (header)
                what = QStringLiteral("a section header: no key of that section is read");
            else if (equals >= 0)
                what = QStringLiteral("key %1 reads as missing and takes its default")
                           .arg(decode(trimBlanks(line.first(std::min<qsizetype>(equals, 200))), encoding));
            else
                what = QStringLiteral("it holds no key");
            SettingsFallbacks::reportLine(
                path,
                QStringLiteral("%1 line %2 is %3 bytes long, more than the %4 a line may hold: it is not "
                               "read (%5)")
                    .arg(QFileInfo(path).fileName())
                    .arg(number)
                    .arg(text.size())
                    .arg(IniFile::kMaxLineBytes)
                    .arg(what));
            if (header)
                current = nullptr;
            continue;
        }
        if (const auto name = headerName(text)) {
            const QString folded = decode(*name, encoding).toCaseFolded();
            current = index.sections.contains(folded) ? nullptr : &index.sections[folded];
            continue;
        }
        const qsizetype equals = text.indexOf('=');
        if (equals < 0 || !current)
            continue;
        const QString key = decode(trimBlanks(text.first(equals)), encoding).toCaseFolded();
        if (!current->contains(key))
            current->insert(key,
                            withoutEnclosingQuotes(decode(trimBlanks(text.sliced(equals + 1)), encoding)));
    }
    return index;
}

} // namespace

struct IniFile::Loaded
{
    // The file's bytes as read, with every write since applied; nothing when it was missing.
    std::optional<QByteArray> data;
    // The file was there but could not be read, or not whole: it must not be replaced.
    bool unreadable = false;
    // What reads look up in `data`; made at the first read after `data` changed.
    std::shared_ptr<const Index> index;
    // The bytes the file holds as far as this process knows: what it read, or last wrote.
    std::optional<QByteArray> onDisk;
    bool holding = false;
    // The file as last read or written (inode, size, modification time), to see a hand edit made
    // since by a look at the directory entry instead of a read.
    QByteArray stamp;
};

namespace {
QByteArray fileStamp(const QString& path)
{
#ifndef Q_OS_WIN
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return QByteArray();
    return QByteArray::number(qulonglong(st.st_ino)) + ' ' + QByteArray::number(qlonglong(st.st_size)) + ' ' +
           QByteArray::number(qlonglong(st.st_mtim.tv_sec)) + ' ' +
           QByteArray::number(qlonglong(st.st_mtim.tv_nsec));
#else
    const QFileInfo info(path);
    if (!info.exists())
        return QByteArray();
    return QByteArray::number(info.size()) + ' ' +
           QByteArray::number(info.lastModified().toMSecsSinceEpoch());
#endif
}
} // namespace

IniFile::IniFile(QString path) : m_path(std::move(path)) {}

const QString& IniFile::path() const
{
    return m_path;
}

QString IniFile::pathBesideExecutable(const QString& exePath)
{
    const QFileInfo info(exePath);
    return QDir(info.path()).filePath(info.completeBaseName() + QStringLiteral(".ini"));
}

std::optional<QString> IniFile::value(const QString& section, const QString& key) const
{
    // A hand edit made since the file was read is seen, unless writes are held.
    if (m_loaded && !m_loaded->holding && fileStamp(m_path) != m_loaded->stamp)
        *m_loaded = *load(m_path).m_loaded;
    if (m_loaded) {
        if (!m_loaded->data)
            return std::nullopt;
        if (!m_loaded->index)
            m_loaded->index = std::make_shared<const Index>(indexOf(m_path, *m_loaded->data));
        return m_loaded->index->value(section, key);
    }
    if (const auto bytes = readFile(m_path))
        return indexOf(m_path, bytes->data).value(section, key);
    return std::nullopt;
}

QString IniFile::readString(const QString& section, const QString& key, const QString& def) const
{
    return capped(value(section, key).value_or(withoutTrailingBlanks(def)));
}

qint32 IniFile::readInteger(const QString& section, const QString& key, qint32 def) const
{
    return parseInteger(readString(section, key, QString())).value_or(def);
}

std::optional<qint32> IniFile::toInteger(const QString& text)
{
    return parseInteger(text);
}

IniFile IniFile::load(const QString& path)
{
    IniFile ini(path);
    ini.m_loaded = std::make_shared<Loaded>();
    if (QFileInfo::exists(path)) {
        const auto bytes = readFile(path);
        if (bytes)
            ini.m_loaded->data = bytes->data;
        ini.m_loaded->unreadable = !bytes || bytes->oversized;
    }
    ini.m_loaded->onDisk = ini.m_loaded->data;
    ini.m_loaded->stamp = fileStamp(path);
    return ini;
}

void IniFile::holdWrites()
{
    if (m_loaded)
        m_loaded->holding = true;
}

quint64 IniFile::fileReads()
{
    return readsSoFar;
}
quint64 IniFile::fileWrites()
{
    return writesSoFar;
}

namespace {

// The file's bytes with one key set to a value, as writeString describes.
QByteArray withValue(QByteArray data, const QString& section, const QString& key, const QString& value)
{
    const Encoding encoding = withoutBom(data);
    std::vector<Line> lines = splitLines(data);
    const QString sectionName = singleLine(section);
    const QString keyName = singleLine(key);
    const QByteArray crlf("\r\n");
    const Location at = locate(lines, sectionName, keyName, encoding);

    if (at.keyLine >= 0) {
        // Keep the key as it is spelled in the file, and the line's own ending.
        Line& line = lines[std::size_t(at.keyLine)];
        line.text = line.text.first(line.text.indexOf('=') + 1) + encode(singleLine(value), encoding);
    } else {
        const Line keyLine{encode(keyName + u'=' + singleLine(value), encoding), crlf};
        if (at.header >= 0) {
            Line& previous = lines[std::size_t(at.lastKeyLine)];
            if (previous.eol.isEmpty())
                previous.eol = crlf;
            lines.insert(lines.begin() + at.lastKeyLine + 1, keyLine);
        } else {
            if (!lines.empty() && lines.back().eol.isEmpty())
                lines.back().eol = crlf;
            lines.push_back({encode(u'[' + sectionName + u']', encoding), crlf});
            lines.push_back(keyLine);
        }
    }
    return (encoding == Encoding::Utf8 ? kUtf8Bom : QByteArray()) + joinLines(lines);
}

// The whole new file goes to a temporary file beside the old one, is flushed to the disk and then
// takes the old one's place in one rename, so the file is never seen half written, and neither a
// failed write nor a power cut leaves anything but the old file or the new one.
bool replaceFile(const QString& path, const QByteArray& result)
{
    const QFileInfo target(path);
    if (target.exists() && !target.isWritable())
        return false;
    if (!Durable::replaceFile(path, result))
        return false;
    ++writesSoFar;
    return true;
}

} // namespace

void IniFile::writeString(const QString& section, const QString& key, const QString& value)
{
    const auto fail = [this] { throw AppError(QStringLiteral("Unable to write to %1").arg(m_path)); };

    // Held writes wait in memory even for a file that cannot be replaced: the start reads them back
    // and runs, and writeHeld() says the file was not written.
    if (m_loaded && m_loaded->holding) {
        m_loaded->data = withValue(m_loaded->data.value_or(QByteArray()), section, key, value);
        m_loaded->index.reset();
        return;
    }
    if (m_loaded && m_loaded->unreadable)
        fail();

    QByteArray data;
    if (QFileInfo::exists(m_path)) {
        // A file that is there but cannot be read, or not whole, must not be replaced by what was read.
        const auto old = readFile(m_path);
        if (!old || old->oversized)
            fail();
        data = old->data;
    }
    const QByteArray result = withValue(data, section, key, value);
    if (!replaceFile(m_path, result))
        fail();
    if (m_loaded) {
        m_loaded->data = m_loaded->onDisk = result;
        m_loaded->index.reset();
        m_loaded->stamp = fileStamp(m_path);
    }
}

void IniFile::writeHeld()
{
    if (!m_loaded)
        return;
    m_loaded->holding = false;
    if (m_loaded->data == m_loaded->onDisk)
        return;
    if (m_loaded->unreadable || !replaceFile(m_path, m_loaded->data.value_or(QByteArray())))
        throw AppError(QStringLiteral("Unable to write to %1").arg(m_path));
    m_loaded->onDisk = m_loaded->data;
    m_loaded->stamp = fileStamp(m_path);
}

void IniFile::checkWritable() const
{
    // A file that can be made beside it: the replacement is made the same way.
    const QFileInfo target(m_path);
    Durable::Replacement probe(m_path);
    if ((target.exists() && !target.isWritable()) || !probe.open())
        throw AppError(QStringLiteral("Unable to write to %1").arg(m_path));
}

void IniFile::writeInteger(const QString& section, const QString& key, qint32 value)
{
    writeString(section, key, QString::number(value));
}

int IniFile::removeStrayTemporaries() const
{
    return Durable::removeStrayTemporaries(m_path);
}

bool IniFile::exists() const
{
    return QFileInfo::exists(m_path);
}
