#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <cstdio>

class QTextStream;

namespace Pg {
class Connection;
}

// The people who may open the dashboard: a name and an Argon2id hash of the password, in the table
// users. The password itself is never stored nor written anywhere.
namespace UserAccounts {

// Empty when the name can be an account's; otherwise why not. A name is 1 to 64 characters, no
// control characters, no blanks at either end.
QString nameProblem(const QString& name);

// The shortest password --add-user takes, in characters.
constexpr int kMinPasswordLength = 10;
// Empty when the password can be an account's; otherwise why not (in Russian, for the terminal).
QString passwordProblem(const QByteArray& password);

// The password's hash in the self-describing form of libsodium (algorithm, its costs, the salt).
// Throws AppError when libsodium cannot hash (out of memory).
QByteArray hashPassword(const QByteArray& password);
bool verifyPassword(const QByteArray& hash, const QByteArray& password);

// Adds the account, or gives an existing one the new hash. Returns true when it is new. Throws
// Pg::Error.
bool store(Pg::Connection& connection, const QString& name, const QByteArray& hash);
// Returns false when there was no such account. Throws Pg::Error.
bool remove(Pg::Connection& connection, const QString& name);
// The hash of the account; empty when there is none. Throws Pg::Error.
QByteArray hashOf(Pg::Connection& connection, const QString& name);
// Whether the hash is one a password can match. An account is disabled by spoiling its hash, e.g.
// UPDATE users SET password_hash = '!' || password_hash WHERE name = '…' (and enabled again by taking
// the "!" away).
bool usableHash(const QByteArray& hash);
// The accounts that can log in now, each with its hash: a session opened with another hash (the
// password has changed since) or of an account not here (removed or disabled) has ended. Throws
// Pg::Error.
QHash<QString, QByteArray> activeAccounts(Pg::Connection& connection);

// HalvaneCentral --add-user NAME and --remove-user NAME. args: the option and what follows it.
// The password is asked twice on the terminal without echo, or read as two lines of input when
// that is not a terminal. Returns the exit status: 0 done, 2 bad arguments, 1 otherwise.
int runCommand(const QStringList& args, QTextStream& err, const QString& exePath, std::FILE* input);

} // namespace UserAccounts
