// The accounts of the dashboard: HalvaneCentral --add-user and --remove-user against a real
// PostgreSQL, the password read from a script's input or typed on a terminal without echo, and only
// its Argon2id hash stored.

#include "CentralTestSupport.h"
#include "PostgresServer.h"

#include "central/CentralSchema.h"
#include "central/PgConnection.h"
#include "central/UserAccounts.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

class TestCentralAccounts : public QObject
{
    Q_OBJECT

private:
    PostgresServer m_pg;
    Pg::Connection m_db;
    QTemporaryDir m_dir;
    QString m_exe;

    struct Run
    {
        int status = -1;
        QString errors;
    };
    Run run(const QStringList& args, const QByteArray& input = {})
    {
        QProcess p;
        p.setWorkingDirectory(m_dir.path());
        p.start(m_exe, args);
        if (!p.waitForStarted(5000))
            return {};
        p.write(input);
        p.closeWriteChannel();
        if (!p.waitForFinished(30000)) {
            p.kill();
            p.waitForFinished(5000);
            return {};
        }
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
                QString::fromLocal8Bit(p.readAllStandardError())};
    }
    int users() { return int(m_db.exec("SELECT count(*) FROM users").integer(0, 0)); }

private slots:
    void initTestCase()
    {
        QVERIFY2(PostgresServer::installed(), "package postgresql is not installed");
        QVERIFY2(m_pg.init(), qPrintable(m_pg.error()));
        m_db.open(m_pg.connInfo());
        QCOMPARE(CentralSchema::migrate(m_db), CentralSchema::latestVersion());
        m_exe = centraltest::installCentral(m_dir.path(), centraltest::freeTcpPort(), m_pg.connInfo());
    }
    void init() { m_db.run("TRUNCATE users"); }

    void hashesAreArgon2idSaltedAndVerified()
    {
        const QByteArray a = UserAccounts::hashPassword("сестра-2024");
        const QByteArray b = UserAccounts::hashPassword("сестра-2024");
        QVERIFY2(a.startsWith("$argon2id$"), a.constData());
        QVERIFY(a != b); // a salt of its own each time
        QVERIFY(!a.contains("сестра"));
        QVERIFY(UserAccounts::verifyPassword(a, "сестра-2024"));
        QVERIFY(UserAccounts::verifyPassword(b, "сестра-2024"));
        QVERIFY(!UserAccounts::verifyPassword(a, "сестра-2025"));
        QVERIFY(!UserAccounts::verifyPassword(a, ""));
        QVERIFY(!UserAccounts::verifyPassword({}, "сестра-2024"));
        QVERIFY(!UserAccounts::verifyPassword("$argon2id$garbage", "сестра-2024"));
        QVERIFY(!UserAccounts::verifyPassword(QByteArray(400, 'x'), "сестра-2024"));
        // libsodium's interactive costs: 64 MiB, two passes, one lane.
        QVERIFY2(a.contains("$v=19$m=65536,t=2,p=1$"), a.constData());
    }

    // Hashes made by another implementation, the reference one's command-line tool (Debian's package
    // argon2), e.g. printf %s 'ночная смена 7' | argon2 halvane-salt-16b -id -t 2 -m 16 -p 1 -l 32 -e:
    // a hash our verification only agreed with itself about would fail here.
    void hashesOfAnotherImplementationVerify_data()
    {
        QTest::addColumn<QByteArray>("hash");
        QTest::newRow("interactive costs")
            << QByteArray("$argon2id$v=19$m=65536,t=2,p=1$aGFsdmFuZS1zYWx0LTE2Yg$"
                          "uadxIxR23d4KdzHQriYpHhFw2LCfQc2LF/4FiBpf7FE");
        QTest::newRow("other costs, cyrillic salt")
            << QByteArray("$argon2id$v=19$m=4096,t=3,p=1$0LTRgNGD0LPQsNGPLdGB0L7Qu9GMLTAx$"
                          "aJEMteEUrit+QI+JrgPElTrv4V9Lk7IG343sEnEysGc");
    }
    void hashesOfAnotherImplementationVerify()
    {
        QFETCH(QByteArray, hash);
        QVERIFY(UserAccounts::verifyPassword(hash, "ночная смена 7"));
        QVERIFY(!UserAccounts::verifyPassword(hash, "ночная смена 8"));
        QVERIFY(!UserAccounts::verifyPassword(hash, "ночная смена 7 "));
        // One character of the hash changed.
        QByteArray changed = hash;
        changed[changed.size() - 2] = changed[changed.size() - 2] == 'A' ? 'B' : 'A';
        QVERIFY(!UserAccounts::verifyPassword(changed, "ночная смена 7"));
    }

    void names_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("latin") << "supervisor" << true;
        QTest::newRow("cyrillic with blank") << "Иванова О.П." << true;
        QTest::newRow("quotes and markup") << "o'neil \"<script>\"" << true;
        QTest::newRow("64 characters") << QString(64, u'я') << true;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("65 characters") << QString(65, u'я') << false;
        QTest::newRow("leading blank") << " anna" << false;
        QTest::newRow("trailing blank") << "anna " << false;
        QTest::newRow("newline") << "anna\nroot" << false;
        QTest::newRow("tab") << "anna\troot" << false;
        QTest::newRow("nul") << QStringLiteral("anna") + QChar(0) << false;
        QTest::newRow("bidi override") << QStringLiteral("anna") + QChar(0x202E) << false;
    }
    void names()
    {
        QFETCH(QString, name);
        QFETCH(bool, accepted);
        QCOMPARE(UserAccounts::nameProblem(name).isEmpty(), accepted);
    }

    // A script makes, renews and removes an account; the name is a parameter, never SQL.
    void addReplaceAndRemoveFromAScript()
    {
        const QString name = QStringLiteral("o'neil \"<script>\"; DROP TABLE users; --");
        Run r = run({QStringLiteral("--add-user"), name}, "first secret\nfirst secret\n");
        QVERIFY2(r.status == 0, qPrintable(r.errors));
        QVERIFY2(r.errors.contains(QStringLiteral("Пользователь %1 добавлен").arg(name)),
                 qPrintable(r.errors));
        QVERIFY(!r.errors.contains(QStringLiteral("first secret")));
        const QByteArray first = UserAccounts::hashOf(m_db, name);
        QVERIFY(first.startsWith("$argon2id$"));
        QVERIFY(UserAccounts::verifyPassword(first, "first secret"));

        // Windows line ends from a script are not part of the password.
        r = run({QStringLiteral("--add-user"), name}, "second secret\r\nsecond secret\r\n");
        QVERIFY2(r.status == 0, qPrintable(r.errors));
        QVERIFY2(r.errors.contains(QStringLiteral("Пароль пользователя %1 заменён").arg(name)),
                 qPrintable(r.errors));
        QCOMPARE(users(), 1);
        const QByteArray second = UserAccounts::hashOf(m_db, name);
        QVERIFY(UserAccounts::verifyPassword(second, "second secret"));
        QVERIFY(!UserAccounts::verifyPassword(second, "first secret"));

        r = run({QStringLiteral("--remove-user"), name});
        QVERIFY2(r.status == 0, qPrintable(r.errors));
        QVERIFY2(r.errors.contains(QStringLiteral("Пользователь %1 удалён").arg(name)), qPrintable(r.errors));
        QCOMPARE(users(), 0);
        r = run({QStringLiteral("--remove-user"), name});
        QCOMPARE(r.status, 1);
        QVERIFY2(r.errors.contains(QStringLiteral("пользователя %1 нет").arg(name)), qPrintable(r.errors));
    }

    // Whatever is refused changes nothing: an existing account keeps its password.
    void refusals_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("why");
        const QString anna = QStringLiteral("anna");
        QTest::newRow("passwords differ")
            << QStringList{"--add-user", anna} << QByteArray("one\ntwo\n") << 1 << "пароли не совпадают";
        QTest::newRow("one line only")
            << QStringList{"--add-user", anna} << QByteArray("one\n") << 1 << "ввод кончился";
        QTest::newRow("no input") << QStringList{"--add-user", anna} << QByteArray() << 1 << "ввод кончился";
        QTest::newRow("empty password")
            << QStringList{"--add-user", anna} << QByteArray("\n\n") << 1 << "пароль пустой";
        // Ten characters at least, counted as characters: nine Cyrillic letters are 18 bytes.
        QTest::newRow("short password")
            << QStringList{"--add-user", anna} << QStringLiteral("коротыш12\nкоротыш12\n").toUtf8() << 1
            << QStringLiteral("короче 10");
        QTest::newRow("endless line")
            << QStringList{"--add-user", anna} << QByteArray(100000, 'p') << 1 << "пароль длиннее";
        QTest::newRow("no name") << QStringList{"--add-user"} << QByteArray("a\na\n") << 2 << "запуск:";
        QTest::newRow("two names") << QStringList{"--add-user", anna, "bob"} << QByteArray("a\na\n") << 2
                                   << "запуск:";
        QTest::newRow("bad name") << QStringList{"--add-user", " anna"} << QByteArray("a\na\n") << 2
                                  << "пробелом";
        QTest::newRow("remove without name")
            << QStringList{"--remove-user"} << QByteArray() << 2 << "запуск:";
    }
    void refusals()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, input);
        QFETCH(int, status);
        QFETCH(QString, why);
        UserAccounts::store(m_db, QStringLiteral("anna"), UserAccounts::hashPassword("kept"));
        const Run r = run(args, input);
        QCOMPARE(r.status, status);
        QVERIFY2(r.errors.contains(why), qPrintable(r.errors));
        QCOMPARE(users(), 1);
        QVERIFY(UserAccounts::verifyPassword(UserAccounts::hashOf(m_db, QStringLiteral("anna")), "kept"));
    }

    void databaseAwayIsAnError()
    {
        QTemporaryDir dir;
        const QString exe = centraltest::installCentral(dir.path(), centraltest::freeTcpPort(),
                                                        QStringLiteral("host=127.0.0.1 port=1 dbname=none "
                                                                       "connect_timeout=2"));
        QProcess p;
        p.start(exe, {QStringLiteral("--add-user"), QStringLiteral("anna")});
        QVERIFY(p.waitForStarted(5000));
        p.write("long enough pw\nlong enough pw\n");
        p.closeWriteChannel();
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitCode(), 1);
        QVERIFY(p.readAllStandardError().contains("PostgreSQL"));
    }

    // On a terminal the password is asked for and never echoed; the terminal gets its echo back.
    void terminalDoesNotEcho()
    {
        const QString python = QStandardPaths::findExecutable(QStringLiteral("python3"));
        QVERIFY2(!python.isEmpty(), "python3 is needed to drive a terminal");
        const char* script = R"py(
import os, pty, sys, termios, time
exe, name = sys.argv[1], sys.argv[2]
pid, fd = pty.fork()
if pid == 0:
    os.execv(exe, [exe, "--add-user", name])
seen = b""
def expect(text):
    global seen
    end = time.time() + 20
    while text not in seen and time.time() < end:
        try:
            seen += os.read(fd, 1024)
        except OSError:
            break
    return text in seen
ok = expect("Пароль для".encode())
echo_off = not (termios.tcgetattr(fd)[3] & termios.ECHO)
os.write(fd, b"typed-secret\n")
ok = ok and expect("Пароль ещё раз".encode())
os.write(fd, b"typed-secret\n")
ok = ok and expect("Пользователь nurse добавлен".encode())
while True:
    try:
        chunk = os.read(fd, 1024)
    except OSError:
        break
    if not chunk:
        break
    seen += chunk
_, status = os.waitpid(pid, 0)
sys.stdout.write(repr(seen) + "\n")
sys.exit(0 if ok and echo_off and b"typed-secret" not in seen and os.WEXITSTATUS(status) == 0 else 1)
)py";
        QProcess p;
        p.setWorkingDirectory(m_dir.path());
        p.start(python, {QStringLiteral("-c"), QString::fromUtf8(script), m_exe, QStringLiteral("nurse")});
        QVERIFY(p.waitForFinished(60000));
        QVERIFY2(p.exitCode() == 0, p.readAllStandardOutput().constData());
        QVERIFY(UserAccounts::verifyPassword(UserAccounts::hashOf(m_db, QStringLiteral("nurse")),
                                             "typed-secret"));
    }
};

QTEST_GUILESS_MAIN(TestCentralAccounts)
#include "tst_centralaccounts.moc"
