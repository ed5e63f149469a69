#pragma once

#include <QDateTime>
#include <QList>
#include <QString>

#include <functional>
#include <utility>

namespace db {
class Database;
class ResultTable;
} // namespace db

// The names a place carries into the journal: place, ward and responsible staff member, each ""
// when there is none.
struct ButsNames
{
    QString P, G, S;
};

// One entry closed by a cancel: its id and its reaction time in seconds (as stored, at most
// 99:59:59).
struct ClosedEntry
{
    qint64 id = 0;
    qint64 reactionSeconds = 0;
};

// What the writer has just journaled for one place: the time, the code and function and the names as
// the notice to the display stations carries them (for a KB unit, the four-character code and the
// place name without the key number). A cancel lists the entries it closed; a call lists none.
struct JournaledEvent
{
    QDateTime time;
    QString code;
    QString f;
    ButsNames names;
    bool cancel = false;
    QList<ClosedEntry> closed;
};

// Turns the presses handed over by the dispatcher in normal operation into the event journal:
// tells the visualization clients, writes an entry for a call, closes the place's open entries for
// a cancel, then has the journal grid reloaded. Keeps no state between calls. Database and
// conversion errors (AppError) end the call; what was done before them stays done.
class JournalWriter
{
public:
    using SendEvent = std::function<void(const QString& code, const QString& f, const QString& staff,
                                         const QString& place)>;

    using Journaled = std::function<void(const JournaledEvent& event)>;

    JournalWriter(db::Database& db, SendEvent sendEventToClients, std::function<void()> refreshLog);

    // Called after every call written and every cancel applied, before the journal is reloaded.
    void setJournaled(Journaled journaled) { m_journaled = std::move(journaled); }

    // True when some place has the code as its call code or as its cancel code.
    bool IsRegistredButs(const QString& abcde);
    // A place-button press: "2" closes, any other function writes an entry, for every place whose
    // call or cancel code is abcde_.
    void InLogButs(const QDateTime& time_, const QString& abcde_, const QString& f_);
    // A KB-unit press with the four-character code (unit code and key number): "d" closes, any
    // other function writes an entry whose place name carries the key number.
    void InLogKB(const QDateTime& time_, const QString& abcd_, const QString& f_);
    // The names of the first place whose call or cancel code is the code.
    ButsNames GetButsNames(const QString& code);
    // Closes the open entries of the code that are newer than its newest closed entry, each with
    // the cancel's time and its own reaction time. Returns the entries closed.
    QList<ClosedEntry> SetReactionTime(const QString& code, const QDateTime& cancelTime);

    // " (nn)": the key number of a KB-unit code (characters 3 and 4, hexadecimal) in decimal.
    static QString sKBcd(const QString& abcd_);
    // Hexadecimal text to integer; a trailing "H" is allowed, any other non-digit gives 0.
    static int HexToInt(const QString& text);

private:
    ButsNames namesOfPlaceRow(const db::ResultTable& places);
    QString nameById(const QString& sql, qint64 id);
    void insertEntry(const QString& ts, const QString& code, const QString& f, const ButsNames& names);
    // Appends (id, reaction) of the code's open entries newer than its newest closed one.
    bool collectOpenEntries(const QString& code, const QDateTime& cancelTime,
                            QList<std::pair<qint64, QString>>& pairs);
    void refresh();
    void journaled(const QDateTime& time, const QString& code, const QString& f, const ButsNames& names,
                   bool cancel, QList<ClosedEntry> closed = {});

    db::Database& m_db;
    SendEvent m_sendEventToClients;
    std::function<void()> m_refreshLog;
    Journaled m_journaled;
};
