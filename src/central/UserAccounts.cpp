#include "central/UserAccounts.h"

#include "central/CentralSchema.h"
#include "central/CentralSettings.h"
#include "central/PgConnection.h"
#include "core/base/AppError.h"
#include "core/settings/IniFile.h"

#include <QTextStream>

#include <csignal>
#include <optional>
#include <sodium.h>
#include <termios.h>
#include <unistd.h>

namespace UserAccounts {

namespace {

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kBadArguments = 2;
constexpr qsizetype kMaxNameLength = 64;
// A line of input longer than this is refused rather than read on without end.
constexpr qsizetype kMaxPasswordBytes = 1024;

void ensureSodium()
{
    if (sodium_init() < 0)
        throw AppError(QStringLiteral("библиотека libsodium не запускается"));
}

// The terminal's settings while the password is typed without echo, put back on any way out,
// Ctrl+C included.
struct termios savedTerminal;
volatile std::sig_atomic_t terminalSaved = 0;
int terminalFd = -1;

extern "C" void restoreTerminalAndExit(int)
{
    if (terminalSaved)
        ::tcsetattr(terminalFd, TCSAFLUSH, &savedTerminal);
    ::_exit(130);
}

class EchoOff
{
public:
    explicit EchoOff(int fd)
    {
        if (::tcgetattr(fd, &savedTerminal) != 0)
            return;
        terminalFd = fd;
        terminalSaved = 1;
        struct sigaction action = {};
        action.sa_handler = restoreTerminalAndExit;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGINT, &action, &m_oldInt);
        ::sigaction(SIGTERM, &action, &m_oldTerm);
        struct termios quiet = savedTerminal;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        quiet.c_lflag |= ECHONL;
        ::tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    ~EchoOff()
    {
        if (!terminalSaved)
            return;
        ::tcsetattr(terminalFd, TCSAFLUSH, &savedTerminal);
        terminalSaved = 0;
        ::sigaction(SIGINT, &m_oldInt, nullptr);
        ::sigaction(SIGTERM, &m_oldTerm, nullptr);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    struct sigaction m_oldInt = {};
    struct sigaction m_oldTerm = {};
};

// One line without its end ("\n" or "\r\n"). Throws AppError at the end of input before a line
// or for a line over the bound.
QByteArray readLine(std::FILE* input)
{
    QByteArray line;
    for (;;) {
        const int c = std::fgetc(input);
        if (c == EOF) {
            if (line.isEmpty())
                throw AppError(QStringLiteral("ввод кончился раньше, чем пароль был дан дважды"));
            break;
        }
        if (c == '\n')
            break;
        if (line.size() >= kMaxPasswordBytes) {
            sodium_memzero(line.data(), size_t(line.size()));
            throw AppError(QStringLiteral("пароль длиннее %1 байт").arg(kMaxPasswordBytes));
        }
        line.append(char(c));
    }
    if (line.endsWith('\r'))
        line.chop(1);
    return line;
}

void wipe(QByteArray& secret)
{
    if (!secret.isEmpty())
        sodium_memzero(secret.data(), size_t(secret.size()));
}

// The password, asked twice; throws AppError when the two differ or it is empty.
QByteArray askPassword(std::FILE* input, QTextStream& err, const QString& name)
{
    const int fd = ::fileno(input);
    const bool terminal = ::isatty(fd) != 0;
    QByteArray first;
    QByteArray second;
    {
        std::optional<EchoOff> quiet;
        if (terminal) {
            quiet.emplace(fd);
            err << QStringLiteral("Пароль для %1: ").arg(name) << Qt::flush;
        }
        first = readLine(input);
        if (terminal)
            err << QStringLiteral("Пароль ещё раз: ") << Qt::flush;
        try {
            second = readLine(input);
        } catch (...) {
            wipe(first);
            throw;
        }
    }
    const bool same = first == second;
    wipe(second);
    if (!same) {
        wipe(first);
        throw AppError(QStringLiteral("пароли не совпадают; ничего не изменено"));
    }
    if (first.isEmpty())
        throw AppError(QStringLiteral("пароль пустой; ничего не изменено"));
    if (const QString why = passwordProblem(first); !why.isEmpty()) {
        wipe(first);
        throw AppError(why);
    }
    return first;
}

Pg::Connection& openDatabase(Pg::Connection& connection, const QString& exePath)
{
    const IniFile ini(CentralSettings::pathBeside(exePath));
    connection.open(CentralSettings::readDatabase(ini).ConnInfo);
    CentralSchema::migrate(connection);
    return connection;
}

} // namespace

QString nameProblem(const QString& name)
{
    if (name.isEmpty())
        return QStringLiteral("имя пользователя пустое");
    if (name.size() > kMaxNameLength)
        return QStringLiteral("имя пользователя длиннее %1 символов").arg(kMaxNameLength);
    if (name.front().isSpace() || name.back().isSpace())
        return QStringLiteral("имя пользователя начинается или кончается пробелом");
    for (const QChar c : name) {
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format || c.isSurrogate() ||
            c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            return QStringLiteral("в имени пользователя есть управляющий символ");
    }
    return {};
}

QString passwordProblem(const QByteArray& password)
{
    // Characters, not bytes: a Cyrillic letter is two bytes of UTF-8.
    if (QString::fromUtf8(password).toUcs4().size() < kMinPasswordLength)
        return QStringLiteral("пароль короче %1 знаков; ничего не изменено").arg(kMinPasswordLength);
    return {};
}

QByteArray hashPassword(const QByteArray& password)
{
    ensureSodium();
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(out, password.constData(), quint64(password.size()),
                          crypto_pwhash_OPSLIMIT_INTERACTIVE, crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
        throw AppError(QStringLiteral("хеш пароля не вычислен: не хватило памяти"));
    return QByteArray(out);
}

bool verifyPassword(const QByteArray& hash, const QByteArray& password)
{
    ensureSodium();
    if (hash.isEmpty() || hash.size() >= crypto_pwhash_STRBYTES)
        return false;
    return crypto_pwhash_str_verify(hash.constData(), password.constData(), quint64(password.size())) == 0;
}

bool store(Pg::Connection& connection, const QString& name, const QByteArray& hash)
{
    // xmax = 0 only for a row this statement inserted.
    const Pg::Result r = connection.exec(
        "INSERT INTO users (name, password_hash) VALUES ($1, $2) "
        "ON CONFLICT (name) DO UPDATE SET password_hash = EXCLUDED.password_hash, changed_at = now() "
        "RETURNING (xmax = 0)",
        {Pg::param(name), hash});
    return r.bytes(0, 0) == "t";
}

bool remove(Pg::Connection& connection, const QString& name)
{
    return connection.exec("DELETE FROM users WHERE name = $1 RETURNING 1", {Pg::param(name)}).rows() == 1;
}

QByteArray hashOf(Pg::Connection& connection, const QString& name)
{
    const Pg::Result r =
        connection.exec("SELECT password_hash FROM users WHERE name = $1", {Pg::param(name)});
    return r.rows() == 1 ? r.bytes(0, 0) : QByteArray();
}

bool usableHash(const QByteArray& hash)
{
    return hash.startsWith("$argon2") && hash.size() < crypto_pwhash_STRBYTES;
}

QHash<QString, QByteArray> activeAccounts(Pg::Connection& connection)
{
    const Pg::Result r = connection.exec("SELECT name, password_hash FROM users");
    QHash<QString, QByteArray> accounts;
    for (int i = 0; i < r.rows(); ++i) {
        const QByteArray hash = r.bytes(i, 1);
        if (usableHash(hash))
            accounts.insert(r.text(i, 0), hash);
    }
    return accounts;
}

int runCommand(const QStringList& args, QTextStream& err, const QString& exePath, std::FILE* input)
{
    auto fail = [&err](const QString& why, int status) {
        err << "HalvaneCentral: " << why << '\n' << Qt::flush;
        return status;
    };
    const bool adding = !args.isEmpty() && args.first() == QLatin1String("--add-user");
    if (args.size() != 2)
        return fail(QStringLiteral("запуск: HalvaneCentral --add-user ИМЯ | --remove-user ИМЯ"),
                    kBadArguments);
    const QString name = args[1];
    if (const QString why = nameProblem(name); !why.isEmpty())
        return fail(why, kBadArguments);
    try {
        if (adding) {
            QByteArray password = askPassword(input, err, name);
            QByteArray hash;
            try {
                hash = hashPassword(password);
            } catch (...) {
                wipe(password);
                throw;
            }
            wipe(password);
            Pg::Connection connection;
            const bool created = store(openDatabase(connection, exePath), name, hash);
            err << (created ? QStringLiteral("Пользователь %1 добавлен").arg(name)
                            : QStringLiteral("Пароль пользователя %1 заменён").arg(name))
                << '\n'
                << Qt::flush;
            return kDone;
        }
        Pg::Connection connection;
        if (!remove(openDatabase(connection, exePath), name))
            return fail(QStringLiteral("пользователя %1 нет").arg(name), kFailed);
        err << QStringLiteral("Пользователь %1 удалён").arg(name) << '\n' << Qt::flush;
        return kDone;
    } catch (const Pg::Error& e) {
        return fail(QStringLiteral("PostgreSQL: %1").arg(e.message()), kFailed);
    } catch (const AppError& e) {
        return fail(e.message(), kFailed);
    }
}

} // namespace UserAccounts
