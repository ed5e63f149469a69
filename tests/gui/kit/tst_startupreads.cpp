// The windows' start-up reads behind another program's lock on the database file: a read the lock
// refuses waits with those after it, in order, and comes again at the next run without waiting long
// for the lock; an error that is no lock is raised once and does not keep the other reads back.

#include "core/base/AppError.h"
#include "core/db/Database.h"
#include "gui/kit/StartupReads.h"

#include <sqlite3.h>

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Another program's connection to the file, holding the lock it was given.
class OtherProgram
{
public:
    explicit OtherProgram(const QString& path) { sqlite3_open(QFile::encodeName(path).constData(), &m_db); }
    ~OtherProgram() { sqlite3_close(m_db); }
    int exec(const char* sql) { return sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr); }

private:
    sqlite3* m_db = nullptr;
};

} // namespace

class TestStartupReads : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void lockedReadsWaitInOrder_data();
    void lockedReadsWaitInOrder();
    void anotherErrorIsRaisedOnceAndTheRestGoOn();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<db::Database> m_db;
    QStringList m_done;

    QString path() const { return m_dir->filePath(QStringLiteral("orv_med.db")); }
    void addRead(StartupReads& reads, const QString& name, const QString& table)
    {
        reads.add(name, [this, name, table] {
            m_db->query(QStringLiteral("SELECT * FROM ") + table);
            m_done << name;
        });
    }
};

void TestStartupReads::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_db = db::Database::openDatabase(path());
    m_db->executeStatement(QStringLiteral("CREATE TABLE groups (name TEXT)"));
    m_db->executeStatement(QStringLiteral("CREATE TABLE logs (timest TEXT)"));
    // The program's own wait for a lock, longer than a start-up read may take.
    m_db->setBusyTimeout(2000);
    m_done.clear();
}

void TestStartupReads::cleanup()
{
    m_db.reset();
    m_dir.reset();
}

void TestStartupReads::lockedReadsWaitInOrder_data()
{
    QTest::addColumn<QByteArray>("lock");
    QTest::addColumn<bool>("readable");
    // Exclusive: nobody else may read. A write lock lets readers in.
    QTest::newRow("exclusive") << QByteArray("PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE; "
                                             "INSERT INTO groups VALUES ('x');")
                               << false;
    QTest::newRow("write") << QByteArray("BEGIN IMMEDIATE; INSERT INTO groups VALUES ('x');") << true;
}

void TestStartupReads::lockedReadsWaitInOrder()
{
    QFETCH(QByteArray, lock);
    QFETCH(bool, readable);
    OtherProgram other(path());
    QCOMPARE(other.exec(lock.constData()), SQLITE_OK);

    StartupReads reads;
    addRead(reads, QStringLiteral("ButsAddForm"), QStringLiteral("groups"));
    addRead(reads, QStringLiteral("FilterForm"), QStringLiteral("logs"));
    QElapsedTimer timer;
    timer.start();
    for (int run = 0; run < 3; ++run) {
        const bool done = reads.run(*m_db, StartupReads::kWaitMs);
        QCOMPARE(done, readable);
    }
    // Three runs behind the lock cost three short waits, not the connection's own timeout.
    QVERIFY2(timer.elapsed() < 1500, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(m_db->busyTimeout(), 2000);
    if (readable) {
        QCOMPARE(m_done, (QStringList{QStringLiteral("ButsAddForm"), QStringLiteral("FilterForm")}));
        QVERIFY(reads.done());
        return;
    }
    // The first read refused, the second was not even tried.
    QVERIFY(m_done.isEmpty());
    QCOMPARE(reads.waiting(), (QStringList{QStringLiteral("ButsAddForm"), QStringLiteral("FilterForm")}));

    // The lock ends: the next run does every read, once, in order.
    QCOMPARE(other.exec("ROLLBACK"), SQLITE_OK);
    QCOMPARE(other.exec("PRAGMA locking_mode=NORMAL; SELECT * FROM groups;"), SQLITE_OK);
    QVERIFY(reads.run(*m_db, StartupReads::kWaitMs));
    QCOMPARE(m_done, (QStringList{QStringLiteral("ButsAddForm"), QStringLiteral("FilterForm")}));
    QVERIFY(reads.done());
    QVERIFY(reads.run(*m_db, StartupReads::kWaitMs));
    QCOMPARE(m_done.size(), 2);
}

void TestStartupReads::anotherErrorIsRaisedOnceAndTheRestGoOn()
{
    StartupReads reads;
    addRead(reads, QStringLiteral("ButsAddForm"), QStringLiteral("groups"));
    addRead(reads, QStringLiteral("Broken"), QStringLiteral("missing_table"));
    addRead(reads, QStringLiteral("FilterForm"), QStringLiteral("logs"));
    QVERIFY_THROWS_EXCEPTION(AppError, reads.run(*m_db, StartupReads::kWaitMs));
    QCOMPARE(m_done, QStringList{QStringLiteral("ButsAddForm")});
    QCOMPARE(reads.waiting(), QStringList{QStringLiteral("FilterForm")});
    QVERIFY(reads.run(*m_db, StartupReads::kWaitMs));
    QCOMPARE(m_done, (QStringList{QStringLiteral("ButsAddForm"), QStringLiteral("FilterForm")}));
}

QTEST_GUILESS_MAIN(TestStartupReads)
#include "tst_startupreads.moc"
