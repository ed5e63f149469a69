#include "DbTestSupport.h"

#include "core/base/AppError.h"
#include "core/db/Database.h"
#include "core/db/Schema.h"

#include <QTemporaryDir>
#include <QTest>

using db::Database;
using dbtest::errorOf;
using dbtest::rowsOf;

namespace {

const QString kButsRows =
    QStringLiteral("SELECT id, abcde, btnclr, name, groupsid, workersid, comm FROM buts ORDER BY id");

QString tableExistsQuery(const char* name)
{
    return QStringLiteral("select [sql] from sqlite_master where [type] = 'table' and lower(name) = '%1' ")
        .arg(QLatin1String(name));
}

// Everything the file holds: the schema and every row of every table.
QStringList dump(Database& database)
{
    QStringList all =
        rowsOf(database, QStringLiteral("SELECT type, name, sql FROM sqlite_master ORDER BY name"));
    for (const QString& table : rowsOf(
             database, QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name")))
        all += rowsOf(database, QStringLiteral("SELECT * FROM \"%1\"").arg(table));
    return all;
}

} // namespace

class TestSchema : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void newFileStatements();
    void newFileRows();
    void declaredTypes_data();
    void declaredTypes();
    void existingTablesUntouched_data();
    void existingTablesUntouched();
    void partialFile_data();
    void partialFile();
    void failureKeepsEarlierTables();
    void indexes_data();
    void indexes();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Database> m_db;
};

void TestSchema::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_db = Database::openDatabase(m_dir->filePath(QStringLiteral("orv_med.db")));
    m_db->executeStatement(QStringLiteral("PRAGMA synchronous = 0")); // speed only
}

void TestSchema::cleanup()
{
    QVERIFY(dbtest::noOpenStatements(*m_db));
    m_db.reset();
    m_dir.reset();
}

void TestSchema::newFileStatements()
{
    dbtest::StatementTrace trace(m_db->handle());
    db::runSchema(*m_db);
    const QStringList expected{
        tableExistsQuery("groups"),
        "CREATE TABLE groups (id INTEGER PRIMARY KEY AUTOINCREMENT,name TEXT,comm TEXT)",
        "INSERT INTO groups(name, comm) VALUES ( \"Палата 1\" , \"тест\")",
        "SELECT id FROM groups",
        tableExistsQuery("workers"),
        "CREATE TABLE workers (id INTEGER PRIMARY KEY AUTOINCREMENT,name TEXT,comm TEXT)",
        "INSERT INTO workers(name, comm) VALUES ( \"Тестова Анна\" , \"Комментарий\")",
        "SELECT id FROM workers",
        tableExistsQuery("buts"),
        "CREATE TABLE buts (id INTEGER PRIMARY KEY AUTOINCREMENT,abcde TEXT,btnclr TEXT,name TEXT,"
        "groupsid INTEGER,workersid INTEGER,comm TEXT)",
        "INSERT INTO buts (abcde, btnclr, name, comm, groupsid, workersid)VALUES ( \"f6186\" , \"f6186\", "
        "\"Койка № 1\", \"Тест. 1\", 1, 1) ",
        "INSERT INTO buts (abcde, btnclr, name, comm, groupsid, workersid)VALUES (\"ba5ac\",\"ba5ac\", "
        "\"Койка № 2\", \"Тест. 2\", 1, 1) ",
        tableExistsQuery("logs"),
        "CREATE TABLE logs (id INTEGER PRIMARY KEY AUTOINCREMENT, timest TEXT, timestr TEXT, abcde TEXT, f "
        "TEXT, "
        "butsname TEXT, groupsname TEXT, workersname TEXT, reactiontime TEXT) ",
    };
    QCOMPARE(trace.take(), expected);
}

void TestSchema::newFileRows()
{
    db::runSchema(*m_db);
    QCOMPARE(rowsOf(*m_db, QStringLiteral("SELECT id, name, comm FROM groups")),
             QStringList{QStringLiteral("1|Палата 1|тест")});
    QCOMPARE(rowsOf(*m_db, QStringLiteral("SELECT id, name, comm FROM workers")),
             QStringList{QStringLiteral("1|Тестова Анна|Комментарий")});
    QCOMPARE(rowsOf(*m_db, kButsRows), (QStringList{QStringLiteral("1|f6186|f6186|Койка № 1|1|1|Тест. 1"),
                                                    QStringLiteral("2|ba5ac|ba5ac|Койка № 2|1|1|Тест. 2")}));
    QCOMPARE(m_db->query(QStringLiteral("SELECT count(*) FROM logs")).fieldAsInteger(0), 0);
    // Stored in Windows-1251 like every text of the file: "Палата 1".
    dbtest::PlainConnection plain(m_dir->filePath(QStringLiteral("orv_med.db")));
    QCOMPARE(plain.scalar("SELECT hex(name) FROM groups"), QStringLiteral("CFE0EBE0F2E02031"));
}

void TestSchema::declaredTypes_data()
{
    QTest::addColumn<QString>("table");
    QTest::addColumn<QString>("columns");
    QTest::newRow("groups") << "groups"
                            << "id INTEGER,name TEXT,comm TEXT";
    QTest::newRow("workers") << "workers"
                             << "id INTEGER,name TEXT,comm TEXT";
    QTest::newRow("buts")
        << "buts"
        << "id INTEGER,abcde TEXT,btnclr TEXT,name TEXT,groupsid INTEGER,workersid INTEGER,comm TEXT";
    QTest::newRow("logs")
        << "logs"
        << "id INTEGER,timest TEXT,timestr TEXT,abcde TEXT,f TEXT,butsname TEXT,groupsname TEXT,"
           "workersname TEXT,reactiontime TEXT";
}

void TestSchema::declaredTypes()
{
    QFETCH(QString, table);
    QFETCH(QString, columns);
    db::runSchema(*m_db);
    const QStringList info = rowsOf(
        *m_db, QStringLiteral("SELECT name || ' ' || type FROM pragma_table_info(?) ORDER BY cid"), {table});
    QCOMPARE(info.join(QLatin1Char(',')), columns);
}

void TestSchema::existingTablesUntouched_data()
{
    QTest::addColumn<QStringList>("setup"); // empty: a file the step built and the program used since
    QTest::newRow("used file") << QStringList();
    QTest::newRow("other shapes, capital names")
        << QStringList{"CREATE TABLE GROUPS (x TEXT)", "CREATE TABLE Workers (y)", "CREATE TABLE buts (z)",
                       "CREATE TABLE LOGS (w)", "INSERT INTO GROUPS VALUES ('kept')"};
}

void TestSchema::existingTablesUntouched()
{
    QFETCH(QStringList, setup);
    if (setup.isEmpty()) {
        db::runSchema(*m_db);
        m_db->executeStatement(QStringLiteral("DELETE FROM buts WHERE id = 2"));
        m_db->executeStatement(QStringLiteral("UPDATE groups SET name = ? WHERE id = 1"),
                               {QStringLiteral("Палата 7")});
        m_db->executeStatement(
            QStringLiteral("INSERT INTO logs (timest, timestr, abcde, f) VALUES (?, '', ?, '8')"),
            {QStringLiteral("2017.12.03 14:05:09"), QStringLiteral("f6186")});
    }
    for (const QString& sql : setup)
        m_db->executeStatement(sql);

    const QStringList before = dump(*m_db);
    dbtest::StatementTrace trace(m_db->handle());
    db::runSchema(*m_db);
    QCOMPARE(trace.take(), (QStringList{tableExistsQuery("groups"), tableExistsQuery("workers"),
                                        tableExistsQuery("buts"), tableExistsQuery("logs")}));
    QCOMPARE(dump(*m_db), before);
}

void TestSchema::partialFile_data()
{
    QTest::addColumn<QStringList>("setup");
    QTest::addColumn<QStringList>("groups");
    QTest::addColumn<QStringList>("workers");
    QTest::addColumn<QStringList>("buts");

    const QString createGroups =
        "CREATE TABLE groups (id INTEGER PRIMARY KEY AUTOINCREMENT,name TEXT,comm TEXT)";
    const QString createWorkers =
        "CREATE TABLE workers (id INTEGER PRIMARY KEY AUTOINCREMENT,name TEXT,comm TEXT)";
    const QString ward = "INSERT INTO groups (id, name) VALUES (5, 'Хирургия')";
    const QString nurse = "INSERT INTO workers (id, name) VALUES (3, 'Иванова')";

    QTest::newRow("groups and workers, no buts")
        << QStringList{createGroups, ward, createWorkers, nurse} << QStringList{"5|Хирургия|<null>"}
        << QStringList{"3|Иванова|<null>"}
        << QStringList{"1|f6186|f6186|Койка № 1|<null>|<null>|Тест. 1",
                       "2|ba5ac|ba5ac|Койка № 2|<null>|<null>|Тест. 2"};
    QTest::newRow("groups, no workers") << QStringList{createGroups, ward} << QStringList{"5|Хирургия|<null>"}
                                        << QStringList{"1|Тестова Анна|Комментарий"}
                                        << QStringList{"1|f6186|f6186|Койка № 1|<null>|1|Тест. 1",
                                                       "2|ba5ac|ba5ac|Койка № 2|<null>|1|Тест. 2"};
    QTest::newRow("workers, no groups") << QStringList{createWorkers, nurse} << QStringList{"1|Палата 1|тест"}
                                        << QStringList{"3|Иванова|<null>"}
                                        << QStringList{"1|f6186|f6186|Койка № 1|1|<null>|Тест. 1",
                                                       "2|ba5ac|ba5ac|Койка № 2|1|<null>|Тест. 2"};
    QTest::newRow("buts exists, groups and workers new")
        << QStringList{"CREATE TABLE buts (id INTEGER PRIMARY KEY AUTOINCREMENT,abcde TEXT,btnclr TEXT,name "
                       "TEXT,"
                       "groupsid INTEGER,workersid INTEGER,comm TEXT)"}
        << QStringList{"1|Палата 1|тест"} << QStringList{"1|Тестова Анна|Комментарий"} << QStringList{};
}

void TestSchema::partialFile()
{
    QFETCH(QStringList, setup);
    QFETCH(QStringList, groups);
    QFETCH(QStringList, workers);
    QFETCH(QStringList, buts);
    for (const QString& sql : setup)
        m_db->executeStatement(sql);
    db::runSchema(*m_db);
    QCOMPARE(rowsOf(*m_db, QStringLiteral("SELECT id, name, comm FROM groups ORDER BY id")), groups);
    QCOMPARE(rowsOf(*m_db, QStringLiteral("SELECT id, name, comm FROM workers ORDER BY id")), workers);
    QCOMPARE(rowsOf(*m_db, kButsRows), buts);
    QVERIFY(m_db->tableExists(QStringLiteral("logs")));
    QCOMPARE(m_db->query(QStringLiteral("SELECT count(*) FROM logs")).fieldAsInteger(0), 0);
}

// A statement that fails ends the step; what was done before it stays, and the next start neither
// recreates nor reseeds it.
void TestSchema::failureKeepsEarlierTables()
{
    m_db->executeStatement(QStringLiteral("CREATE VIEW buts AS SELECT 1 AS x"));
    QCOMPARE(errorOf([&] { db::runSchema(*m_db); }),
             QStringLiteral(
                 "Error executing SQL.\rError [1]: SQL error or missing database.\r\"CREATE TABLE buts "
                 "(id INTEGER PRIMARY KEY AUTOINCREMENT,abcde TEXT,btnclr TEXT,name TEXT,groupsid INTEGER,"
                 "workersid INTEGER,comm TEXT)\": view buts already exists"));
    QVERIFY(m_db->tableExists(QStringLiteral("groups")));
    QVERIFY(m_db->tableExists(QStringLiteral("workers")));
    QVERIFY(!m_db->tableExists(QStringLiteral("logs")));

    m_db->executeStatement(QStringLiteral("DROP VIEW buts"));
    db::runSchema(*m_db);
    QCOMPARE(m_db->query(QStringLiteral("SELECT count(*) FROM groups")).fieldAsInteger(0), 1);
    QCOMPARE(rowsOf(*m_db, QStringLiteral("SELECT groupsid, workersid FROM buts")),
             (QStringList{QStringLiteral("<null>|<null>"), QStringLiteral("<null>|<null>")}));
    QVERIFY(m_db->tableExists(QStringLiteral("logs")));
}

void TestSchema::indexes_data()
{
    QTest::addColumn<QString>("sql");
    QTest::addColumn<QVariantList>("params");
    QTest::addColumn<QString>("index");
    QTest::newRow("journal newest first")
        << "SELECT * FROM logs ORDER BY timest DESC" << QVariantList{} << "logs_timest";
    QTest::newRow("entries of a code newest first")
        << "SELECT id, timestr FROM logs WHERE abcde = ? ORDER BY timest DESC" << QVariantList{"f6186"}
        << "logs_abcde_timest";
    QTest::newRow("place by call code")
        << "SELECT * FROM buts WHERE abcde = ?" << QVariantList{"f6186"} << "buts_abcde";
    QTest::newRow("place by cancel code")
        << "SELECT * FROM buts WHERE btnclr = ?" << QVariantList{"f6186"} << "buts_btnclr";
}

void TestSchema::indexes()
{
    QFETCH(QString, sql);
    QFETCH(QVariantList, params);
    QFETCH(QString, index);
    db::runSchema(*m_db);
    db::ensureIndexes(*m_db);
    db::ensureIndexes(*m_db); // a second run changes nothing
    QCOMPARE(m_db->query(QStringLiteral(
                             "SELECT count(*) FROM sqlite_master WHERE type = 'index' AND sql IS NOT NULL"))
                 .fieldAsInteger(0),
             4);
    const QStringList plan = rowsOf(*m_db, QStringLiteral("EXPLAIN QUERY PLAN ") + sql, params);
    QVERIFY2(plan.join(QLatin1Char('\n')).contains(QStringLiteral("INDEX ") + index),
             qPrintable(plan.join(QLatin1Char('\n'))));
}

QTEST_GUILESS_MAIN(TestSchema)
#include "tst_schema.moc"
