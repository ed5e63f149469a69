#pragma once

#include "central/PgConnection.h"

#include <QByteArray>
#include <QDate>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// What the dashboard reads from the house's tables, as the JSON the page takes. Every statement is
// parameterised; nothing a browser sends becomes SQL text. Times are milliseconds since the epoch.
// Each function throws Pg::Error for the database, and AppError (with the message the page shows)
// for a request that cannot be answered as asked.
namespace DashboardQueries {

// {"now":ms,"wards":[card]} for the given ward ids (empty: all wards), by ward id. card:
// {"ward":id,"name":…,"status":"online"|"offline","since":ms,
//  "calls":[{"call","code","function","place","room","staff","time":ms|null,"level"}] (the ward's
//   open list in its order; "room" is the call's own "ward", the room or group),
//  "silent":[{"antenna":…,"since":ms}] (antennas whose newest event says silent),
//  "gaps":{"ranges":n,"events":n,"recent":[[first,last],… the 5 newest]},
//  "conflicts":n (events that came with a seq stored before and other content, kept apart)}
QByteArray live(Pg::Connection& connection, const QStringList& wards);

// [{"ward":id,"name":…}] by name: the journal's choice of ward.
QByteArray wardList(Pg::Connection& connection);

struct JournalQuery
{
    QString ward;      // a ward id; empty: every ward
    QString place;     // exact; empty: every place
    QDate first, last; // whole days in the centre's time zone; null: open end
    QByteArray after;  // the "next" of the page before; empty: the newest page
    int limit = 100;   // 1 to kMaxJournalLimit
};
constexpr int kMaxJournalLimit = 500;

// {"rows":[{"ward","wardName","seq","type","time":ms,"localTime","code","function","place","room",
//  "staff","level","antenna","silent","call","reaction":seconds|null}],"next":cursor|null}
// Newest first by (time DESC, ward, seq), paged by key: `next` is an opaque cursor of the last row,
// null on the last page. A cursor that is not one, a period that ends before it begins or a limit
// out of range is an AppError.
QByteArray journal(Pg::Connection& connection, const JournalQuery& query);

// The journal's statement and its parameters, for a look at its plan. Throws AppError as journal().
struct Statement
{
    QByteArray sql;
    QList<Pg::Param> params;
};
Statement journalStatement(const JournalQuery& query);

// The cursor of a row's key, and back (nullopt when the text is not a cursor).
struct JournalKey
{
    qint64 timeMicros = 0; // the event's time, microseconds since the epoch
    QString ward;
    qint64 seq = 0;
};
QByteArray encodeCursor(const JournalKey& key);
std::optional<JournalKey> decodeCursor(const QByteArray& cursor);

// {"first","last","columns":[the house report's captions of its wards sheet],
//  "wards":[{"name","calls","answered","missed","open","removed","median","p90","longest","function4"}],
//  "total":{…},"days":["YYYY-MM-DD"…],"perDay":[{"ward":name,"counts":[…]}],
//  "hours":[{"hour":0…23,"calls","median","p90"}]}
// The numbers of HouseStatistics::compute with its default bound (those of the .xlsx); times in
// seconds or null. perDay: the calls of each ward of "wards" on each day of "days", zeros included.
QByteArray statistics(Pg::Connection& connection, QDate first, QDate last);
// The same .xlsx the command line writes for the period.
QByteArray statisticsFile(Pg::Connection& connection, QDate first, QDate last);

// A date of a request, "YYYY-MM-DD"; null for an empty text. AppError for anything else.
QDate parseDate(const QString& text);

// The Argon2id hash of an account; nullopt when there is none.
std::optional<QByteArray> passwordHash(Pg::Connection& connection, const QString& name);
QStringList userNames(Pg::Connection& connection);

} // namespace DashboardQueries
