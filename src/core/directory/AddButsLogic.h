#pragma once

#include <QDateTime>
#include <QHash>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <optional>

namespace db {
class Database;
}

// Names and comments of new places: a running number put into a template.
namespace AddButsNaming {

// The widest filling and the largest running number the fields accept (a nine-digit number still
// fits the stored 32-bit value after one more increment).
constexpr int kMaxWidth = 99;
constexpr qint64 kMaxNumber = 999999999;

// The number text: the start number unchanged when it or the width is empty, otherwise filled on
// the left with "0" up to the width (a longer number stays whole; width 0 fills nothing).
QString numberText(const QString& startNumber, const QString& width);

// The template with its first "_" replaced by the number text; further underscores stay, and a
// template without one is used unchanged.
QString fillTemplate(const QString& pattern, const QString& number);

// The start number after one place was added: one more when either template numbers its places and
// the start number is not empty; otherwise unchanged.
QString nextNumber(const QString& startNumber, const QString& nameTemplate, const QString& commentTemplate);

// An identifier as the antennas expect it: letters A to Z lowered, everything else as typed.
QString lowerLatin(const QString& text);

} // namespace AddButsNaming

// The antennas' answer to an "@ADD" command, stored in btn_add by the antenna listener thread.
namespace AddButsReply {

constexpr int kPauseMs = 50;
constexpr int kMaxPauses = 10;

// Looks at btn_add and, while nothing has arrived, pauses (at most kMaxPauses times) and looks again.
// True only for "@SUC"; "@ERR" is a refusal however early it arrives, and silence is a failure.
// btn_add is 0 afterwards.
bool await(std::atomic<qint16>& btnAdd, const std::function<void()>& pause);

} // namespace AddButsReply

// Codes whose addition failed a moment ago. An antenna sends one press several times; after a
// failure (its error box is up) the repeats of that press are let pass unanswered for a few seconds,
// so one press gives one box; a press after that tries again.
class AddButsFailures
{
public:
    static constexpr qint64 kHoldMs = 3000;

    void failed(const QString& code, const QDateTime& now) { m_failedAt.insert(code, now); }
    // True while the code's last failure is less than kHoldMs old.
    bool holds(const QString& code, const QDateTime& now);
    void forget(const QString& code) { m_failedAt.remove(code); }
    void clear() { m_failedAt.clear(); }

private:
    QHash<QString, QDateTime> m_failedAt;
};

// One place to be inserted by the button-adding window.
struct AddButsPlace
{
    QString abcde;
    QString btnclr;
    QString name;
    std::optional<QString> wardName; // no value: no ward
    std::optional<QString> staffName;
    QString comm;
};

namespace AddButsStore {

// Inserts the place. The ward and staff member are found by name; a name that no longer names a
// record fails (AppError) before anything is inserted.
void insertPlace(db::Database& db, const AddButsPlace& place);

// Ward and staff names sorted by name, for the drop-downs.
QStringList groupNames(db::Database& db);
QStringList workerNames(db::Database& db);

} // namespace AddButsStore
