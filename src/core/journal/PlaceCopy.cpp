#include "core/journal/PlaceCopy.h"

#include "core/base/DurableFile.h"
#include "core/journal/RecordFields.h"

#include <QByteArrayList>
#include <QFile>
#include <QFileInfo>
#include <QtDebug>

namespace {

const QByteArray kMagic("HALVANE-PLACES 1 ");
// More places than any ward has; a header beyond it is damage, not a reason to allocate.
constexpr qint64 kMaxPlaces = 10'000'000;

// The payload of a record line (without its "\n"), or none when its checksum does not match.
std::optional<QByteArray> payloadOf(const QByteArray& line)
{
    const qsizetype tab = line.lastIndexOf('\t');
    if (tab < 0 || line.sliced(tab + 1) != Durable::recordChecksum(QByteArrayView(line).first(tab + 1)))
        return std::nullopt;
    return line.first(tab);
}

std::optional<qint64> countOf(const QByteArray& text)
{
    if (text.isEmpty() || text.size() > 8)
        return std::nullopt;
    qint64 value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value > kMaxPlaces)
        return std::nullopt;
    return value;
}

} // namespace

PlaceCopy::PlaceCopy(QString path) : m_path(std::move(path))
{
    if (!m_path.isEmpty())
        Durable::removeStrayTemporaries(m_path);
}

QByteArray PlaceCopy::encode(const QList<CachedPlace>& places)
{
    QByteArray bytes = Durable::recordLine(kMagic + QByteArray::number(places.size()));
    for (const CachedPlace& place : places) {
        QByteArray payload;
        payload += place.hasAbcde ? '1' : '0';
        payload += place.hasBtnclr ? '1' : '0';
        for (const QString* field :
             {&place.abcde, &place.btnclr, &place.names.P, &place.names.G, &place.names.S}) {
            payload += '\t';
            payload += RecordFields::escaped(*field);
        }
        bytes += Durable::recordLine(payload);
    }
    return bytes;
}

bool PlaceCopy::decode(const QByteArray& bytes, QList<CachedPlace>& places, QString* why)
{
    const auto refuse = [why](const QString& reason) {
        if (why)
            *why = reason;
        return false;
    };
    if (bytes.isEmpty())
        return refuse(QStringLiteral("файл пуст"));
    if (!bytes.endsWith('\n'))
        return refuse(QStringLiteral("файл обрезан"));
    QByteArrayList lines = bytes.split('\n');
    lines.removeLast(); // after the last line end
    const std::optional<QByteArray> header = payloadOf(lines.constFirst());
    if (!header || !header->startsWith(kMagic))
        return refuse(QStringLiteral("это не копия мест"));
    const std::optional<qint64> count = countOf(header->sliced(kMagic.size()));
    if (!count)
        return refuse(QStringLiteral("неверный заголовок"));
    if (lines.size() - 1 != *count)
        return refuse(QStringLiteral("мест %1 вместо %2").arg(lines.size() - 1).arg(*count));

    QList<CachedPlace> decoded;
    decoded.reserve(lines.size() - 1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QString where = QStringLiteral("строка %1").arg(i + 1);
        if (lines.at(i).size() > Durable::AppendLog::kDefaultMaxRecord)
            return refuse(where + QStringLiteral(" слишком длинная"));
        const std::optional<QByteArray> payload = payloadOf(lines.at(i));
        if (!payload)
            return refuse(where + QStringLiteral(": контрольная сумма не совпадает"));
        const QByteArrayList fields = payload->split('\t');
        if (fields.size() != 6 || fields.at(0).size() != 2)
            return refuse(where + QStringLiteral(": неверный формат"));
        CachedPlace place;
        const QByteArray& set = fields.at(0);
        if ((set.at(0) != '0' && set.at(0) != '1') || (set.at(1) != '0' && set.at(1) != '1'))
            return refuse(where + QStringLiteral(": неверный формат"));
        place.hasAbcde = set.at(0) == '1';
        place.hasBtnclr = set.at(1) == '1';
        QString* targets[] = {&place.abcde, &place.btnclr, &place.names.P, &place.names.G, &place.names.S};
        for (int f = 0; f < 5; ++f) {
            if (!RecordFields::unescaped(fields.at(f + 1), *targets[f]))
                return refuse(where + QStringLiteral(": неверный формат"));
        }
        decoded.append(std::move(place));
    }
    places = std::move(decoded);
    return true;
}

std::optional<QByteArray> PlaceCopy::readFile(qint64 limit, QString* why) const
{
    const QFileInfo info(m_path);
    if (!info.exists())
        return std::nullopt;
    // Anything but a plain file (a directory, a pipe that would never end) is not read.
    if (!info.isFile()) {
        if (why)
            *why = QStringLiteral("это не файл");
        return std::nullopt;
    }
    if (info.size() > limit) {
        if (why)
            *why = QStringLiteral("файл больше %1 байт").arg(limit);
        return std::nullopt;
    }
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (why)
            *why = file.errorString();
        return std::nullopt;
    }
    QByteArray bytes = file.read(limit + 1);
    if (bytes.size() > limit) {
        if (why)
            *why = QStringLiteral("файл больше %1 байт").arg(limit);
        return std::nullopt;
    }
    return bytes;
}

PlaceCopy::Loaded PlaceCopy::load(QList<CachedPlace>& places)
{
    if (m_path.isEmpty() || !QFileInfo::exists(m_path))
        return Loaded::Missing;
    QString why;
    const std::optional<QByteArray> bytes = readFile(kMaxFileBytes, &why);
    if (bytes && decode(*bytes, places, &why)) {
        m_onDisk = *bytes;
        return Loaded::Places;
    }
    qWarning().noquote() << QStringLiteral("Копия мест %1 не используется (%2): пока база данных не "
                                           "читается, нажатия ждут в очереди как пришли")
                                .arg(m_path, why);
    return Loaded::Damaged;
}

bool PlaceCopy::store(const QList<CachedPlace>& places)
{
    if (m_path.isEmpty())
        return true;
    const QByteArray bytes = encode(places);
    if (!m_onDisk) {
        // Read once: a start whose places have not changed writes nothing.
        m_onDisk = readFile(bytes.size(), nullptr).value_or(QByteArray());
    }
    if (*m_onDisk == bytes && QFileInfo::exists(m_path))
        return true;
    QString error;
    if (!Durable::replaceFile(m_path, bytes, &error)) {
        if (error != m_storeError) {
            m_storeError = error;
            qWarning().noquote() << QStringLiteral("Копия мест %1 не записана: %2").arg(m_path, error);
        }
        return false;
    }
    m_storeError.clear();
    m_onDisk = bytes;
    return true;
}
