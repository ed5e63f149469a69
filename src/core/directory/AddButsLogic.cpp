#include "core/directory/AddButsLogic.h"

#include "core/db/Database.h"

#include <algorithm>

namespace AddButsNaming {

QString numberText(const QString& startNumber, const QString& width)
{
    // No start number means no number: zeros alone would pass for one.
    if (width.isEmpty() || startNumber.isEmpty())
        return startNumber;
    bool ok = false;
    const qint64 w = width.toLongLong(&ok);
    // The field takes digits only; anything else (or an absurd width) must not make a huge name.
    const int fill = ok ? static_cast<int>(std::clamp<qint64>(w, 0, kMaxWidth)) : 0;
    return startNumber.rightJustified(fill, u'0');
}

QString fillTemplate(const QString& pattern, const QString& number)
{
    QString text = pattern;
    const qsizetype at = text.indexOf(u'_');
    if (at >= 0)
        text.replace(at, 1, number);
    return text;
}

QString nextNumber(const QString& startNumber, const QString& nameTemplate, const QString& commentTemplate)
{
    if (startNumber.isEmpty() || (!nameTemplate.contains(u'_') && !commentTemplate.contains(u'_')))
        return startNumber;
    bool ok = false;
    const qint64 n = startNumber.toLongLong(&ok);
    // At the end of the range the number stays rather than wrapping or overflowing its setting.
    if (!ok || n < 0 || n >= kMaxNumber)
        return startNumber;
    return QString::number(n + 1);
}

QString lowerLatin(const QString& text)
{
    QString lowered = text;
    for (QChar& c : lowered) {
        if (c >= u'A' && c <= u'Z')
            c = QChar(c.unicode() + (u'a' - u'A'));
    }
    return lowered;
}

} // namespace AddButsNaming

namespace AddButsReply {

bool await(std::atomic<qint16>& btnAdd, const std::function<void()>& pause)
{
    int pauses = 0;
    while (btnAdd.load() == 0 && pauses < kMaxPauses) {
        pause();
        ++pauses;
    }
    // Taken and cleared in one step, so a reply arriving just now is not lost between the two.
    return btnAdd.exchange(0) == 1;
}

} // namespace AddButsReply

namespace {

QVariant idByName(db::Database& db, const QString& sql, const std::optional<QString>& name)
{
    if (!name)
        return QVariant();
    const db::ResultTable table = db.query(sql, {*name});
    // An empty result fails here with the empty-dataset message: the record was deleted after the
    // drop-down was filled, or nothing is selected.
    return table.fieldByName(QStringLiteral("id")).toLongLong();
}

QStringList names(db::Database& db, const QString& sql)
{
    QStringList result;
    db::ResultTable table = db.query(sql);
    while (!table.endOfRows()) {
        result.append(table.fieldByName(QStringLiteral("name")));
        table.nextRow();
    }
    return result;
}

} // namespace

namespace AddButsStore {

void insertPlace(db::Database& db, const AddButsPlace& place)
{
    const QVariant ward = idByName(db, QStringLiteral("SELECT * FROM groups WHERE name=?"), place.wardName);
    const QVariant staff =
        idByName(db, QStringLiteral("SELECT * FROM workers WHERE name=?"), place.staffName);
    db.executeStatement(QStringLiteral("INSERT INTO buts ") +
                            QStringLiteral("(abcde, btnclr, name, groupsid, workersid, comm) ") +
                            QStringLiteral("VALUES ( ? , ? , ?, ?, ?, ?)"),
                        {place.abcde, place.btnclr, place.name, ward, staff, place.comm});
}

QStringList groupNames(db::Database& db)
{
    return names(db, QStringLiteral("SELECT * FROM groups ORDER BY name"));
}

QStringList workerNames(db::Database& db)
{
    return names(db, QStringLiteral("SELECT * FROM workers ORDER BY name"));
}

} // namespace AddButsStore

bool AddButsFailures::holds(const QString& code, const QDateTime& now)
{
    const auto it = m_failedAt.constFind(code);
    if (it == m_failedAt.constEnd())
        return false;
    const qint64 age = it.value().msecsTo(now);
    // A clock set back counts as a new moment, not as an endless hold.
    if (age >= 0 && age < kHoldMs)
        return true;
    m_failedAt.erase(it);
    return false;
}
