// The headless server started while another program holds the database exclusively from before the
// start, so that not even the places can be read: the copy of the places beside the database names
// the presses it knows, which are announced and spooled at once and survive the process killed
// outright; a press the copy does not know waits in the spool as it came and is journaled as what it
// is once the file is free. A damaged or missing copy costs no press and no crash.

#include "HeadlessServer.h"

#include "core/db/Database.h"
#include "core/db/Schema.h"
#include "core/journal/PlaceCopy.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sqlite3.h>

#include <csignal>
#include <optional>

namespace {

// Another program's connection that holds the whole file from the moment it is made.
class ExclusiveHolder
{
public:
    explicit ExclusiveHolder(const QString& path)
    {
        sqlite3_open(QFile::encodeName(path).constData(), &m_connection);
        m_rc = sqlite3_exec(m_connection, "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE;", nullptr, nullptr,
                            nullptr);
    }
    ~ExclusiveHolder() { sqlite3_close(m_connection); }
    int rc() const { return m_rc; }

private:
    sqlite3* m_connection = nullptr;
    int m_rc = SQLITE_ERROR;
};

// Whether a third program could read the places now.
int readPlaces(const QString& path)
{
    sqlite3* connection = nullptr;
    sqlite3_open(QFile::encodeName(path).constData(), &connection);
    const int rc = sqlite3_exec(connection, "SELECT count(*) FROM buts", nullptr, nullptr, nullptr);
    sqlite3_close(connection);
    return rc;
}

// Every row of the journal: time, closed at, code, function, place, reaction.
QStringList journalOf(const QString& path)
{
    auto db = db::Database::openDatabase(path);
    db->setBusyTimeout(2000);
    db::ResultTable rows =
        db->query(QStringLiteral("SELECT abcde, f, butsname, reactiontime FROM logs ORDER BY id"));
    QStringList out;
    while (!rows.endOfRows()) {
        out << QStringLiteral("%1|%2|%3|%4")
                   .arg(rows.fieldByName(QStringLiteral("abcde")), rows.fieldByName(QStringLiteral("f")),
                        rows.fieldByName(QStringLiteral("butsname")),
                        rows.fieldByName(QStringLiteral("reactiontime")));
        rows.nextRow();
    }
    db->closeDatabase();
    return out;
}

QByteArray readRaw(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList codesIn(const QString& copyPath)
{
    QList<CachedPlace> places;
    if (PlaceCopy(copyPath).load(places) != PlaceCopy::Loaded::Places)
        return {QStringLiteral("<no copy>")};
    QStringList codes;
    for (const CachedPlace& place : places)
        codes << place.abcde;
    return codes;
}

// A display station on 5567: what it has heard.
struct Station
{
    QUdpSocket socket;
    QStringList heard;

    bool has(const QString& text)
    {
        while (socket.hasPendingDatagrams())
            heard << QString::fromUtf8(socket.receiveDatagram().data());
        return heard.contains(text);
    }

    // Asks for the open calls (the server answers a station at most every 2 s) and whether an answer
    // heard so far lists a call of the code.
    bool listsCall(const QString& code)
    {
        socket.writeDatagram(QByteArrayLiteral("#HalvaneOpenCalls?"), QHostAddress::LocalHost, 5566);
        has(QString());
        for (const QString& text : std::as_const(heard)) {
            if (text.startsWith(QLatin1String("#HalvaneOpenCalls;")) &&
                text.contains(u'\n' + code + QStringLiteral("\t8\t")))
                return true;
        }
        return false;
    }
};

void sendPress(const char* message)
{
    QUdpSocket antenna;
    antenna.writeDatagram(QByteArray(message), QHostAddress::LocalHost, 5556);
}

} // namespace

class TestLockedStart : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void pressUnderALockFromTheStartIsAnnouncedSpooledAndSurvivesAKill();
    void damagedOrMissingCopyLosesNoPress_data();
    void damagedOrMissingCopyLosesNoPress();
    void boardIsAnsweredOnlyWithTheJournalsCalls();

private:
    // Runs the server once with the file free, so that it leaves the copy of the places.
    void runOnceUnlocked();
    void stop(QProcess& server);

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_exe;
    QString m_db;
    QString m_copy;
    Station m_station;
};

void TestLockedStart::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_exe = copyServer(*m_dir);
    QVERIFY(!m_exe.isEmpty());
    m_db = m_dir->filePath(QStringLiteral("orv_med.db"));
    m_copy = m_db + QStringLiteral(".places");
    auto db = db::Database::openDatabase(m_db);
    db::runSchema(*db);
    db->closeDatabase();
    m_station.heard.clear();
    if (m_station.socket.state() != QAbstractSocket::BoundState)
        QVERIFY(m_station.socket.bind(QHostAddress::LocalHost, 5567));
}

void TestLockedStart::cleanup()
{
    m_dir.reset();
}

void TestLockedStart::stop(QProcess& server)
{
    ::kill(pid_t(server.processId()), SIGTERM);
    QVERIFY(server.waitForFinished(5000));
    QCOMPARE(server.exitCode(), 0);
}

void TestLockedStart::runOnceUnlocked()
{
    QProcess server;
    startServer(server, m_exe);
    QVERIFY(server.waitForStarted());
    QVERIFY(listening(m_station.socket));
    QTRY_COMPARE_WITH_TIMEOUT(codesIn(m_copy), (QStringList{"f6186", "ba5ac"}), 5000);
    stop(server);
}

void TestLockedStart::pressUnderALockFromTheStartIsAnnouncedSpooledAndSurvivesAKill()
{
    runOnceUnlocked();
    if (QTest::currentTestFailed())
        return;
    // While the server is down, another program registers a place the copy does not know, and then
    // holds the file from before the next start.
    {
        auto db = db::Database::openDatabase(m_db);
        db->executeStatement(QStringLiteral("INSERT INTO buts (abcde, btnclr, name, comm) VALUES "
                                            "('c0de1', 'c0de2', 'Койка № 9', '')"));
        db->closeDatabase();
    }
    auto holder = std::make_optional<ExclusiveHolder>(m_db);
    QCOMPARE(holder->rc(), SQLITE_OK);
    QCOMPARE(readPlaces(m_db), SQLITE_BUSY);

    QProcess server;
    startServer(server, m_exe);
    QVERIFY(server.waitForStarted());
    QVERIFY(listening(m_station.socket));
    sendPress("c0de18");
    sendPress("zzzzz8");
    sendPress("f61868");
    // The place the copy knows is announced within two seconds and waits in the spool.
    QTRY_VERIFY_WITH_TIMEOUT(m_station.has(QStringLiteral("#f6186;8;Тестова Анна;Койка № 1;")), 2000);
    const QString spool = m_db + QStringLiteral(".spool");
    QVERIFY(readRaw(spool).contains("\tf6186\t8\t"));
    // The press the copy does not know waits in it as it came, unannounced.
    QVERIFY(readRaw(spool).contains("\tc0de1\t8\t"));
    QVERIFY(m_station.heard.filter(QStringLiteral("c0de1")).isEmpty());

    // Killed outright while the file is still held; started again once it is free.
    ::kill(pid_t(server.processId()), SIGKILL);
    QVERIFY(server.waitForFinished(5000));
    QCOMPARE(server.exitStatus(), QProcess::CrashExit);
    holder.reset();
    QProcess restarted;
    startServer(restarted, m_exe);
    QVERIFY(restarted.waitForStarted());
    QVERIFY(listening(m_station.socket));
    QTRY_COMPARE_WITH_TIMEOUT(journalOf(m_db).size(), 2, 5000);
    // In the order the presses came.
    QCOMPARE(journalOf(m_db), (QStringList{"c0de1|8|Койка № 9|", "f6186|8|Койка № 1|"}));
    // Both are open calls of the new run; the code no place has left no trace.
    QTRY_VERIFY_WITH_TIMEOUT(m_station.listsCall(QStringLiteral("c0de1")), 5000);
    QVERIFY(m_station.listsCall(QStringLiteral("f6186")));
    QVERIFY(m_station.heard.filter(QStringLiteral("zzzzz")).isEmpty());
    stop(restarted);
    QVERIFY(!QFile::exists(spool));
    QCOMPARE(codesIn(m_copy), (QStringList{"f6186", "ba5ac", "c0de1"}));
}

void TestLockedStart::damagedOrMissingCopyLosesNoPress_data()
{
    QTest::addColumn<bool>("damaged"); // otherwise missing
    QTest::newRow("missing") << false;
    QTest::newRow("damaged") << true;
}

void TestLockedStart::damagedOrMissingCopyLosesNoPress()
{
    QFETCH(bool, damaged);
    runOnceUnlocked();
    if (QTest::currentTestFailed())
        return;
    if (damaged) {
        QByteArray bytes = readRaw(m_copy);
        bytes.replace("Койка", "Койко");
        QFile file(m_copy);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(file.write(bytes), bytes.size());
    } else {
        QFile::remove(m_copy);
    }
    auto holder = std::make_optional<ExclusiveHolder>(m_db);
    QCOMPARE(holder->rc(), SQLITE_OK);

    QProcess server;
    startServer(server, m_exe, QProcess::SeparateChannels);
    QVERIFY(server.waitForStarted());
    QVERIFY(listening(m_station.socket));
    sendPress("f61868");
    // Nothing the copy says is believed: the press waits in the spool as it came, and the server runs.
    const QString spool = m_db + QStringLiteral(".spool");
    QTRY_VERIFY_WITH_TIMEOUT(readRaw(spool).contains("\tf6186\t8\t"), 2000);
    QCOMPARE(server.state(), QProcess::Running);
    QVERIFY(m_station.heard.filter(QStringLiteral("f6186")).isEmpty());

    // Once the file is free the press is journaled and announced with its names.
    holder.reset();
    QTRY_VERIFY_WITH_TIMEOUT(m_station.has(QStringLiteral("#f6186;8;Тестова Анна;Койка № 1;")), 3000);
    QTRY_COMPARE_WITH_TIMEOUT(journalOf(m_db), QStringList{"f6186|8|Койка № 1|"}, 3000);
    stop(server);
    // One line on standard error about a damaged copy, none about a missing one; a whole copy again.
    const QStringList lines = QString::fromUtf8(server.readAllStandardError()).split(u'\n');
    QCOMPARE(lines.filter(QStringLiteral(".places")).size(), damaged ? 1 : 0);
    QCOMPARE(codesIn(m_copy), (QStringList{"f6186", "ba5ac"}));
    QVERIFY(!QFile::exists(spool));
}

// A board that asks while the journal's open calls cannot be read yet would be told that they have
// ended, and would drop their tiles: it is answered once they are read, with them.
void TestLockedStart::boardIsAnsweredOnlyWithTheJournalsCalls()
{
    {
        QProcess server;
        startServer(server, m_exe);
        QVERIFY(server.waitForStarted());
        QVERIFY(listening(m_station.socket));
        sendPress("f61868");
        QTRY_COMPARE_WITH_TIMEOUT(journalOf(m_db), QStringList{"f6186|8|Койка № 1|"}, 5000);
        stop(server);
    }
    auto holder = std::make_optional<ExclusiveHolder>(m_db);
    QCOMPARE(holder->rc(), SQLITE_OK);
    QProcess server;
    startServer(server, m_exe);
    QVERIFY(server.waitForStarted());
    QVERIFY(listening(m_station.socket));
    m_station.heard.clear();
    m_station.socket.writeDatagram(QByteArrayLiteral("#HalvaneOpenCalls?"), QHostAddress::LocalHost, 5566);
    const auto heard = [this](const QString& head) {
        m_station.has(QString());
        return m_station.heard.filter(head);
    };
    // Requests are answered on the ping tick: three pings later no answer has come.
    QTRY_VERIFY_WITH_TIMEOUT(heard(QStringLiteral("#FromOrvikLiteServer")).size() >= 3, 5000);
    QVERIFY(heard(QStringLiteral("#HalvaneOpenCalls;")).isEmpty());

    // The file free again: the waiting request is answered, and the answer lists the journal's call.
    holder.reset();
    QTRY_VERIFY_WITH_TIMEOUT(!heard(QStringLiteral("#HalvaneOpenCalls;")).isEmpty(), 5000);
    QVERIFY(
        heard(QStringLiteral("#HalvaneOpenCalls;")).constFirst().contains(QStringLiteral("\nf6186\t8\t")));
    stop(server);
}

QTEST_GUILESS_MAIN(TestLockedStart)
#include "tst_net_lockedstart.moc"
