#include "DbTestSupport.h"

#include "core/base/AppError.h"
#include "core/db/Database.h"
#include "core/db/ErrorReport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <thread>

using db::Database;
using db::ResultTable;
using db::Statement;
using dbtest::errorOf;
using dbtest::noOpenStatements;
using dbtest::rowsOf;

class TestDatabase : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void openCreatesFileWithUtf8Name();
    void openFailure_data();
    void openFailure();
    void closedDatabase();

    void emptyResult();
    void fieldIndex_data();
    void fieldIndex();
    void valuesByKind_data();
    void valuesByKind();
    void expressionColumns();
    void endOfFile();

    void errorReports_data();
    void errorReports();
    void errorReportsShowTheValuesInPlace_data();
    void errorReportsShowTheValuesInPlace();
    void errorCodeTable_data();
    void errorCodeTable();
    void onlyFirstStatementRuns();

    void windows1251_data();
    void windows1251();
    void boundValuesStayValues();
    void bindKinds_data();
    void bindKinds();
    void bindingErrors_data();
    void bindingErrors();

    void setSynchronousOnlyOnChange();
    void tableExists_data();
    void tableExists();

    void busyLock_data();
    void busyLock();

    void statementStepsRows();
    void statementErrors();

private:
    QString m_path;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Database> m_db;
};

void TestDatabase::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_path = m_dir->filePath(QStringLiteral("test.db"));
    m_db = Database::openDatabase(m_path);
    // Tests need no durable writes; the connection's own flag stays "off" as after opening.
    m_db->executeStatement(QStringLiteral("PRAGMA synchronous = 0"));
}

void TestDatabase::cleanup()
{
    if (m_db)
        QVERIFY(noOpenStatements(*m_db));
    m_db.reset();
    m_dir.reset();
}

// ---- opening and closing ----

void TestDatabase::openCreatesFileWithUtf8Name()
{
    const QString path = m_dir->filePath(QStringLiteral("база №1.db"));
    auto database = Database::openDatabase(path);
    database->executeStatement(QStringLiteral("CREATE TABLE t (x TEXT)"));
    QVERIFY(QFile::exists(path));
}

void TestDatabase::openFailure_data()
{
    QTest::addColumn<QString>("relativePath");
    QTest::newRow("directory") << QString();
    QTest::newRow("missing folder") << QStringLiteral("no such folder/x.db");
}

void TestDatabase::openFailure()
{
    QFETCH(QString, relativePath);
    const QString path = relativePath.isEmpty() ? m_dir->path() : m_dir->filePath(relativePath);
    QCOMPARE(errorOf([&] { Database::openDatabase(path); }),
             QStringLiteral("Failed to open database \"%1\" : unable to open database file").arg(path));
}

void TestDatabase::closedDatabase()
{
    QVERIFY(m_db->isOpen());
    m_db->closeDatabase();
    QVERIFY(!m_db->isOpen());
    m_db->closeDatabase(); // a second close is harmless
    QCOMPARE(errorOf([&] { m_db->executeStatement(QStringLiteral("SELECT 1")); }),
             QStringLiteral("Database is not open"));
    QCOMPARE(errorOf([&] { m_db->query(QStringLiteral("SELECT 1")); }),
             QStringLiteral("Database is not open"));

    // A statement still alive when the connection closes finalizes cleanly afterwards.
    auto other = Database::openDatabase(m_path);
    {
        Statement statement(*other, QStringLiteral("SELECT 1"));
        QVERIFY(statement.step());
        other->closeDatabase();
        QCOMPARE(statement.int64(0), 1);
    }
    m_db.reset();
}

// ---- result tables ----

void TestDatabase::emptyResult()
{
    m_db->executeStatement(
        QStringLiteral("CREATE TABLE groups (id INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT)"));
    ResultTable table = m_db->query(QStringLiteral("SELECT id, name FROM groups"));
    QCOMPARE(table.rowCount(), 0);
    QVERIFY(table.endOfRows());
    QCOMPARE(table.columnCount(), 0);
    QVERIFY(!table.nextRow());
    QCOMPARE(errorOf([&] { table.fieldByName(QStringLiteral("id")); }),
             QStringLiteral("Field id Not found. Empty dataset"));
    QCOMPARE(errorOf([&] { table.fieldAsText(0); }), QStringLiteral("Table is at End of File"));
}

void TestDatabase::fieldIndex_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("error");
    QTest::newRow("id") << "id" << 0 << "";
    QTest::newRow("ID") << "ID" << 0 << "";
    QTest::newRow("Id") << "Id" << 0 << "";
    QTest::newRow("second column") << "name" << 1 << "";
    QTest::newRow("same name twice: first wins") << "comm" << 2 << "";
    QTest::newRow("Cyrillic alias") << "Палата" << 4 << "";
    QTest::newRow("unknown") << "nope" << -1 << "Field not found in dataset: nope";
}

void TestDatabase::fieldIndex()
{
    QFETCH(QString, name);
    QFETCH(int, index);
    QFETCH(QString, error);
    m_db->executeStatement(QStringLiteral("CREATE TABLE a (id INTEGER, name TEXT, comm TEXT)"));
    m_db->executeStatement(QStringLiteral("CREATE TABLE b (comm TEXT)"));
    m_db->executeStatement(QStringLiteral("INSERT INTO a VALUES (7, 'x', 'from a')"));
    m_db->executeStatement(QStringLiteral("INSERT INTO b VALUES ('from b')"));
    ResultTable table = m_db->query(QStringLiteral("SELECT a.*, b.comm, 1 AS \"палата\" FROM a, b"));
    QCOMPARE(table.columnName(4), QStringLiteral("ПАЛАТА"));
    if (!error.isEmpty()) {
        QCOMPARE(errorOf([&] { table.fieldIndex(name); }), error);
        QCOMPARE(errorOf([&] { table.fieldByName(name); }), error);
        return;
    }
    QCOMPARE(table.fieldIndex(name), index);
    QCOMPARE(table.fieldByName(name), table.fieldAsText(index));
    if (index == 2)
        QCOMPARE(table.fieldByName(name), QStringLiteral("from a"));
}

void TestDatabase::valuesByKind_data()
{
    QTest::addColumn<QString>("declaredType");
    QTest::addColumn<QString>("literal");
    QTest::addColumn<QString>("byName");
    QTest::addColumn<QString>("asText");
    QTest::addColumn<bool>("isNull");
    QTest::addColumn<QString>("asInteger"); // the number, or the error message

    const QString notInteger = QStringLiteral("Not an integer or numeric field");
    QTest::newRow("INTEGER null") << "INTEGER"
                                  << "NULL"
                                  << "0"
                                  << "" << true << "0";
    QTest::newRow("INTEGER negative") << "INTEGER"
                                      << "-42"
                                      << "-42"
                                      << "-42" << false << "-42";
    QTest::newRow("INTEGER 64-bit") << "INTEGER"
                                    << "9223372036854775807"
                                    << "9223372036854775807"
                                    << "9223372036854775807" << false << "9223372036854775807";
    QTest::newRow("BOOLEAN") << "BOOLEAN"
                             << "1"
                             << "1"
                             << "1" << false << "1";
    QTest::newRow("REAL null") << "REAL"
                               << "NULL"
                               << "0"
                               << "" << true << "0";
    QTest::newRow("REAL") << "REAL"
                          << "2.5"
                          << "2.5"
                          << "2.5" << false << "2";
    QTest::newRow("NUMERIC negative") << "NUMERIC"
                                      << "-7.75"
                                      << "-7.75"
                                      << "-7.75" << false << "-7";
    QTest::newRow("TEXT null") << "TEXT"
                               << "NULL"
                               << ""
                               << "" << true << "0";
    QTest::newRow("TEXT") << "TEXT"
                          << "'abc'"
                          << "abc"
                          << "abc" << false << notInteger;
    QTest::newRow("TEXT holding digits") << "TEXT"
                                         << "'12'"
                                         << "12"
                                         << "12" << false << notInteger;
    QTest::newRow("TEXT empty") << "TEXT"
                                << "''"
                                << ""
                                << "" << false << notInteger;
    QTest::newRow("other declared type") << "VARCHAR(20)"
                                         << "'x'"
                                         << "x"
                                         << "x" << false << notInteger;
    QTest::newRow("BLOB null") << "BLOB"
                               << "NULL"
                               << ""
                               << "" << true << "0";
    QTest::newRow("BLOB Windows-1251") << "BLOB"
                                       << "x'C0E1'"
                                       << "Аб"
                                       << "Аб" << false << notInteger;
    QTest::newRow("BLOB without bytes") << "BLOB"
                                        << "x''"
                                        << ""
                                        << "" << true << "0";
}

void TestDatabase::valuesByKind()
{
    QFETCH(QString, declaredType);
    QFETCH(QString, literal);
    QFETCH(QString, byName);
    QFETCH(QString, asText);
    QFETCH(bool, isNull);
    QFETCH(QString, asInteger);

    m_db->executeStatement(QStringLiteral("CREATE TABLE t (v %1)").arg(declaredType));
    m_db->executeStatement(QStringLiteral("INSERT INTO t VALUES (%1)").arg(literal));
    const ResultTable table = m_db->query(QStringLiteral("SELECT v FROM t"));
    QCOMPARE(table.rowCount(), 1);
    QCOMPARE(table.fieldByName(QStringLiteral("v")), byName);
    QCOMPARE(table.fieldAsText(0), asText);
    QCOMPARE(table.fieldIsNull(0), isNull);
    qint64 number = 0;
    const QString error = errorOf([&] { number = table.fieldAsInteger(0); });
    QCOMPARE(error == QStringLiteral("<no error>") ? QString::number(number) : error, asInteger);
}

void TestDatabase::expressionColumns()
{
    m_db->executeStatement(
        QStringLiteral("CREATE TABLE groups (id INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT)"));
    // max(id) of an empty table: one row holding NULL.
    ResultTable empty = m_db->query(QStringLiteral("SELECT max(id) FROM groups "));
    QCOMPARE(empty.rowCount(), 1);
    QVERIFY(empty.fieldIsNull(0));
    QCOMPARE(empty.fieldAsInteger(0), 0);
    QCOMPARE(empty.fieldAsText(0), QString());
    QCOMPARE(empty.columnKind(0), ResultTable::Kind::Null);

    m_db->executeStatement(QStringLiteral("INSERT INTO groups (name) VALUES ('a')"));
    m_db->executeStatement(QStringLiteral("INSERT INTO groups (name) VALUES ('b')"));
    const ResultTable counted =
        m_db->query(QStringLiteral("SELECT max(id), count(*), 'x' || name FROM groups"));
    QCOMPARE(counted.columnKind(0), ResultTable::Kind::Integer);
    QCOMPARE(counted.fieldAsInteger(0), 2);
    QCOMPARE(counted.fieldAsInteger(1), 2);
    QCOMPARE(counted.columnKind(2), ResultTable::Kind::Text);

    // A column that starts with NULL keeps the values of its later rows.
    ResultTable later =
        m_db->query(QStringLiteral("SELECT CASE WHEN id = 1 THEN NULL ELSE id END FROM groups ORDER BY id"));
    QCOMPARE(later.columnKind(0), ResultTable::Kind::Null);
    QVERIFY(later.nextRow());
    QCOMPARE(later.fieldAsText(0), QStringLiteral("2"));
    QCOMPARE(later.fieldAsInteger(0), 2);
}

void TestDatabase::endOfFile()
{
    m_db->executeStatement(QStringLiteral("CREATE TABLE t (id INTEGER, name TEXT)"));
    m_db->executeStatement(QStringLiteral("INSERT INTO t VALUES (1, 'a')"));
    ResultTable table = m_db->query(QStringLiteral("SELECT id, name FROM t"));
    QVERIFY(!table.endOfRows());
    QCOMPARE(table.fieldByName(QStringLiteral("name")), QStringLiteral("a"));
    QVERIFY(table.nextRow());
    QVERIFY(table.endOfRows());
    QVERIFY(!table.nextRow());
    const QString eof = QStringLiteral("Table is at End of File");
    QCOMPARE(errorOf([&] { table.fieldByName(QStringLiteral("id")); }), eof);
    QCOMPARE(errorOf([&] { table.fieldAsText(1); }), eof);
    QCOMPARE(errorOf([&] { table.fieldAsInteger(0); }), eof);
    QCOMPARE(errorOf([&] { table.fieldIsNull(0); }), eof);
    // The field look-up comes first: an unknown name is reported as such even at the end.
    QCOMPARE(errorOf([&] { table.fieldByName(QStringLiteral("nope")); }),
             QStringLiteral("Field not found in dataset: nope"));
}

// ---- error reports ----

void TestDatabase::errorReports_data()
{
    QTest::addColumn<bool>("asQuery");
    QTest::addColumn<QString>("sql");
    QTest::addColumn<QString>("message");

    const QString unterminated = QStringLiteral("INSERT INTO groups (name, comm) VALUES (\"x\", \"Палата)");
    const QString unterminatedReport =
        QStringLiteral("Error executing SQL.\rError [1]: SQL error or missing database.\r\"") + unterminated +
        QStringLiteral("\": unrecognized token: \"\"Палата)\"");
    QTest::newRow("unterminated quote, execute") << false << unterminated << unterminatedReport;
    QTest::newRow("unterminated quote, query") << true << unterminated << unterminatedReport;
    QTest::newRow("empty text") << false << ""
                                << "Could not prepare SQL statement";
    QTest::newRow("blanks only") << true << "   "
                                 << "Could not prepare SQL statement";
    QTest::newRow("comment only") << false << "-- nothing here"
                                  << "Could not prepare SQL statement";
    QTest::newRow("constraint")
        << false << "INSERT INTO groups (id, name) VALUES (1, 'again')"
        << "Error executing SQL statement.\rError [19]: Abort due to contraint violation.\r"
           "\"INSERT INTO groups (id, name) VALUES (1, 'again')\": UNIQUE constraint failed: groups.id";
    QTest::newRow("step failure in a query")
        << true << "SELECT abs(-9223372036854775808)"
        << "Could not retrieve data.\rError [1]: SQL error or missing database.\r"
           "\"SELECT abs(-9223372036854775808)\": integer overflow";
    QTest::newRow("unknown table, query")
        << true << "SELECT * FROM nowhere"
        << "Error executing SQL.\rError [1]: SQL error or missing database.\r"
           "\"SELECT * FROM nowhere\": no such table: nowhere";
}

void TestDatabase::errorReportsShowTheValuesInPlace_data()
{
    QTest::addColumn<int>("kind"); // 0 execute, 1 query (a stepped statement: statementErrors)
    QTest::addColumn<QString>("sql");
    QTest::addColumn<QVariantList>("params");
    QTest::addColumn<QString>("message");
    QTest::newRow("execute")
        << 0 << "INSERT INTO groups (id, name, comm) VALUES (?, ?, ?)"
        << QVariantList{1, QStringLiteral("Палата 'Ю'"), QVariant()}
        << "Error executing SQL statement.\rError [19]: Abort due to contraint violation.\r"
           "\"INSERT INTO groups (id, name, comm) VALUES (1, 'Палата ''Ю''', NULL)\": "
           "UNIQUE constraint failed: groups.id";
    QTest::newRow("query") << 1 << "SELECT abs(?), ?" << QVariantList{std::numeric_limits<qint64>::min(), 2.5}
                           << "Could not retrieve data.\rError [1]: SQL error or missing database.\r"
                              "\"SELECT abs(-9223372036854775808), 2.5\": integer overflow";
}

void TestDatabase::errorReportsShowTheValuesInPlace()
{
    QFETCH(int, kind);
    QFETCH(QString, sql);
    QFETCH(QVariantList, params);
    QFETCH(QString, message);
    m_db->executeStatement(
        QStringLiteral("CREATE TABLE groups (id INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT, comm TEXT)"));
    m_db->executeStatement(QStringLiteral("INSERT INTO groups (name) VALUES ('first')"));
    const QString report = errorOf([&] {
        if (kind == 0)
            m_db->executeStatement(sql, params);
        else
            m_db->query(sql, params);
    });
    QCOMPARE(report, message);
    QVERIFY(noOpenStatements(*m_db));
}

void TestDatabase::errorReports()
{
    QFETCH(bool, asQuery);
    QFETCH(QString, sql);
    QFETCH(QString, message);
    m_db->executeStatement(
        QStringLiteral("CREATE TABLE groups (id INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT, comm TEXT)"));
    m_db->executeStatement(QStringLiteral("INSERT INTO groups (name) VALUES ('first')"));
    if (asQuery)
        QCOMPARE(errorOf([&] { m_db->query(sql); }), message);
    else
        QCOMPARE(errorOf([&] { m_db->executeStatement(sql); }), message);
    QVERIFY(noOpenStatements(*m_db));
    // The connection is still usable and nothing was changed.
    QCOMPARE(rowsOf(*m_db, QStringLiteral("SELECT id, name FROM groups")),
             QStringList{QStringLiteral("1|first")});
}

void TestDatabase::errorCodeTable_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");
    QTest::newRow("0") << 0 << "Successful result";
    QTest::newRow("5") << 5 << "The database file is locked";
    QTest::newRow("12") << 12 << "(Internal Only) Table or record not found";
    QTest::newRow("19") << 19 << "Abort due to contraint violation";
    QTest::newRow("25") << 25 << "2nd parameter to sqlite3_bind out of range";
    QTest::newRow("26") << 26 << "File opened that is not a database file";
    QTest::newRow("100") << 100 << "sqlite3_step() has another row ready";
    QTest::newRow("101") << 101 << "sqlite3_step() has finished executing";
    QTest::newRow("27") << 27 << "Unknown SQLite Error Code \"27\"";
    QTest::newRow("-1") << -1 << "Unknown SQLite Error Code \"-1\"";
}

void TestDatabase::errorCodeTable()
{
    QFETCH(int, code);
    QFETCH(QString, text);
    QCOMPARE(db::errorCodeText(code), text);
}

void TestDatabase::onlyFirstStatementRuns()
{
    m_db->executeStatement(QStringLiteral("CREATE TABLE t (x TEXT); CREATE TABLE u (y TEXT)"));
    m_db->executeStatement(QStringLiteral("INSERT INTO t VALUES ('1'); INSERT INTO t VALUES ('2')"));
    QCOMPARE(rowsOf(*m_db, QStringLiteral("SELECT x FROM t")), QStringList{QStringLiteral("1")});
    QVERIFY(!m_db->tableExists(QStringLiteral("u")));
    // A broken second statement is never looked at.
    m_db->executeStatement(QStringLiteral("DELETE FROM t; this is not SQL"));
    QCOMPARE(m_db->query(QStringLiteral("SELECT x FROM t")).rowCount(), 0);
}

// ---- text encoding and bound values ----

void TestDatabase::windows1251_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("stored");   // what reads back
    QTest::addColumn<QString>("bytesHex"); // the bytes in the file
    QTest::newRow("Cyrillic") << "Палата №5 Ёё"
                              << "Палата №5 Ёё"
                              << "CFE0EBE0F2E020B93520A8B8";
    QTest::newRow("outside the code page") << "Bed 中 😀"
                                           << "Bed ? ?"
                                           << "426564203F203F";
}

void TestDatabase::windows1251()
{
    QFETCH(QString, text);
    QFETCH(QString, stored);
    QFETCH(QString, bytesHex);
    m_db->executeStatement(QStringLiteral("CREATE TABLE t (id INTEGER, name TEXT)"));
    // Once inside the statement text, once as a bound value.
    m_db->executeStatement(QStringLiteral("INSERT INTO t VALUES (1, \"%1\")").arg(text));
    m_db->executeStatement(QStringLiteral("INSERT INTO t VALUES (2, ?)"), {text});
    QCOMPARE(rowsOf(*m_db, QStringLiteral("SELECT name FROM t ORDER BY id")), (QStringList{stored, stored}));
    // Found again by the same text, typed or bound.
    QCOMPARE(m_db->query(QStringLiteral("SELECT id FROM t WHERE name = ?"), {text}).rowCount(), 2);

    dbtest::PlainConnection plain(m_path);
    QCOMPARE(plain.scalar("SELECT group_concat(hex(name), ',') FROM t"),
             bytesHex + QLatin1Char(',') + bytesHex);
}

void TestDatabase::boundValuesStayValues()
{
    m_db->executeStatement(
        QStringLiteral("CREATE TABLE buts (id INTEGER PRIMARY KEY AUTOINCREMENT, abcde TEXT, "
                       "btnclr TEXT, name TEXT)"));
    const QString insert = QStringLiteral("INSERT INTO buts (abcde, btnclr, name) VALUES (?, ?, ?)");
    m_db->executeStatement(insert,
                           {QStringLiteral("f6186"), QStringLiteral("f6186"), QStringLiteral("Койка 1")});
    m_db->executeStatement(insert,
                           {QStringLiteral("abcde"), QStringLiteral("abcde"), QStringLiteral("Койка \"7\"")});
    m_db->executeStatement(insert, {QStringLiteral("x\"); DROP TABLE buts; --"), QStringLiteral("btnclr"),
                                    QStringLiteral("name")});

    // A code spelled like a column matches only itself, not every row.
    ResultTable found =
        m_db->query(QStringLiteral("SELECT id, name FROM buts WHERE abcde = ?"), {QStringLiteral("abcde")});
    QCOMPARE(found.rowCount(), 1);
    QCOMPARE(found.fieldByName(QStringLiteral("name")), QStringLiteral("Койка \"7\""));
    QCOMPARE(m_db->query(QStringLiteral("SELECT id FROM buts WHERE btnclr = ?"), {QStringLiteral("btnclr")})
                 .rowCount(),
             1);
    QCOMPARE(rowsOf(*m_db, QStringLiteral("SELECT abcde, name FROM buts ORDER BY id")),
             (QStringList{QStringLiteral("f6186|Койка 1"), QStringLiteral("abcde|Койка \"7\""),
                          QStringLiteral("x\"); DROP TABLE buts; --|name")}));
}

void TestDatabase::bindKinds_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("text");
    QTest::newRow("QString") << QVariant(QStringLiteral("тест")) << "text"
                             << "тест";
    QTest::newRow("empty QString") << QVariant(QString(QLatin1String(""))) << "text"
                                   << "";
    QTest::newRow("null QString is empty text") << QVariant(QString()) << "text"
                                                << "";
    QTest::newRow("int") << QVariant(7) << "integer"
                         << "7";
    QTest::newRow("qint64") << QVariant(qint64(-9223372036854775807LL - 1)) << "integer"
                            << "-9223372036854775808";
    QTest::newRow("uint") << QVariant(4000000000U) << "integer"
                          << "4000000000";
    QTest::newRow("bool") << QVariant(true) << "integer"
                          << "1";
    QTest::newRow("invalid") << QVariant() << "null"
                             << "";
    QTest::newRow("nullptr") << QVariant::fromValue(nullptr) << "null"
                             << "";
    QTest::newRow("double") << QVariant(1.5) << "real"
                            << "1.5";
    QTest::newRow("bytes") << QVariant(QByteArray("\xC0\xE1")) << "blob"
                           << "Аб";
}

void TestDatabase::bindKinds()
{
    QFETCH(QVariant, value);
    QFETCH(QString, type);
    QFETCH(QString, text);
    const ResultTable table = m_db->query(QStringLiteral("SELECT typeof(?1), ?1"), {value});
    QCOMPARE(table.fieldAsText(0), type);
    QCOMPARE(table.fieldAsText(1), text);
}

void TestDatabase::bindingErrors_data()
{
    QTest::addColumn<QString>("sql");
    QTest::addColumn<QVariantList>("params");
    QTest::addColumn<QString>("message");
    const QString range = QStringLiteral("Error executing SQL.\rError [25]: 2nd parameter to sqlite3_bind "
                                         "out of range.\r\"%1\": column index out of range");
    QTest::newRow("spare value") << "INSERT INTO t VALUES (?)" << QVariantList{1, 2}
                                 << range.arg(QStringLiteral("INSERT INTO t VALUES (?)"));
    QTest::newRow("missing value") << "INSERT INTO t VALUES (?)" << QVariantList{}
                                   << range.arg(QStringLiteral("INSERT INTO t VALUES (?)"));
    QTest::newRow("value of no SQL kind")
        << "INSERT INTO t VALUES (?)" << QVariantList{QVariant(QVariantList{1})}
        << QStringLiteral("Error executing SQL.\rError [20]: Data type mismatch.\r\"INSERT INTO t VALUES "
                          "(?)\": datatype mismatch");
}

void TestDatabase::bindingErrors()
{
    QFETCH(QString, sql);
    QFETCH(QVariantList, params);
    QFETCH(QString, message);
    m_db->executeStatement(QStringLiteral("CREATE TABLE t (x)"));
    QCOMPARE(errorOf([&] { m_db->executeStatement(sql, params); }), message);
    QCOMPARE(errorOf([&] { m_db->query(sql, params); }), message);
    QCOMPARE(m_db->query(QStringLiteral("SELECT x FROM t")).rowCount(), 0);
}

// ---- connection settings ----

void TestDatabase::setSynchronousOnlyOnChange()
{
    dbtest::StatementTrace trace(m_db->handle());
    m_db->setSynchronous(false); // a new connection already counts as off
    QCOMPARE(trace.take(), QStringList());
    m_db->setSynchronous(true);
    QCOMPARE(trace.take(), QStringList{QStringLiteral("PRAGMA synchronous = ON;")});
    QCOMPARE(m_db->query(QStringLiteral("PRAGMA synchronous")).fieldAsInteger(0), 1);
    trace.take();
    m_db->setSynchronous(true);
    QCOMPARE(trace.take(), QStringList());
    m_db->setSynchronous(false);
    QCOMPARE(trace.take(), QStringList{QStringLiteral("PRAGMA synchronous = OFF;")});
}

void TestDatabase::tableExists_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("exists");
    QTest::newRow("lower case") << "groups" << true;
    QTest::newRow("capitals") << "GROUPS" << true;
    QTest::newRow("mixed") << "Groups" << true;
    QTest::newRow("other") << "workers" << false;
    QTest::newRow("index is no table") << "groups_name" << false;
    QTest::newRow("quote in the name") << "gr'oups" << false;
}

void TestDatabase::tableExists()
{
    QFETCH(QString, name);
    QFETCH(bool, exists);
    m_db->executeStatement(QStringLiteral("CREATE TABLE groups (id INTEGER, name TEXT)"));
    m_db->executeStatement(QStringLiteral("CREATE INDEX groups_name ON groups (name)"));
    dbtest::StatementTrace trace(m_db->handle());
    QCOMPARE(m_db->tableExists(name), exists);
    if (!name.contains(QLatin1Char('\''))) {
        QCOMPARE(
            trace.take(),
            QStringList{
                QStringLiteral("select [sql] from sqlite_master where [type] = 'table' and lower(name) = '") +
                name.toLower() + QStringLiteral("' ")});
    }
}

// Another program holds a lock on the file and lets it go after a short while.
void TestDatabase::busyLock_data()
{
    QTest::addColumn<bool>("asQuery");
    QTest::addColumn<int>("timeout");
    QTest::addColumn<QString>("message");
    const QString insert = QStringLiteral("INSERT INTO t VALUES (1)");
    QTest::newRow("insert, no timeout")
        << false << 0
        << "Error executing SQL statement.\rError [5]: The database file is locked.\r\"" + insert +
               "\": database is locked";
    QTest::newRow("query, no timeout") << true << 0 << "Could not prepare SQL statement";
    QTest::newRow("insert waits") << false << 2000 << "<no error>";
    QTest::newRow("query waits") << true << 2000 << "<no error>";
}

void TestDatabase::busyLock()
{
    QFETCH(bool, asQuery);
    QFETCH(int, timeout);
    QFETCH(QString, message);
    m_db->executeStatement(QStringLiteral("CREATE TABLE t (x INTEGER)"));
    m_db->setBusyTimeout(timeout);

    dbtest::PlainConnection other(m_path);
    // A writer blocks other writers; only an exclusive lock blocks readers as well.
    QCOMPARE(other.exec(asQuery ? "BEGIN EXCLUSIVE" : "BEGIN IMMEDIATE"), SQLITE_OK);
    std::thread release;
    if (timeout > 0) {
        release = std::thread([&other] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            other.exec("COMMIT");
        });
    }
    QElapsedTimer clock;
    clock.start();
    const QString result = errorOf([&] {
        if (asQuery)
            m_db->query(QStringLiteral("SELECT x FROM t"));
        else
            m_db->executeStatement(QStringLiteral("INSERT INTO t VALUES (1)"));
    });
    const qint64 waited = clock.elapsed();
    if (release.joinable())
        release.join();
    else
        other.exec("COMMIT");

    QCOMPARE(result, message);
    QVERIFY(noOpenStatements(*m_db));
    if (timeout > 0) {
        QVERIFY2(waited >= 150, qPrintable(QString::number(waited)));
        QCOMPARE(m_db->query(QStringLiteral("SELECT count(*) FROM t")).fieldAsInteger(0), asQuery ? 0 : 1);
    } else {
        QVERIFY2(waited < 150, qPrintable(QString::number(waited))); // failed at once
    }
}

// ---- stepped statements ----

void TestDatabase::statementStepsRows()
{
    m_db->executeStatement(
        QStringLiteral("CREATE TABLE logs (id INTEGER PRIMARY KEY AUTOINCREMENT, abcde TEXT, "
                       "timestr TEXT)"));
    for (const char* code : {"f6186", "ba5ac", "f6186"})
        m_db->executeStatement(QStringLiteral("INSERT INTO logs (abcde, timestr) VALUES (?, NULL)"),
                               {QString::fromLatin1(code)});

    Statement statement(
        *m_db, QStringLiteral("SELECT id, abcde, timestr FROM logs WHERE abcde = ? ORDER BY id DESC"));
    QCOMPARE(statement.columnCount(), 3);
    QCOMPARE(statement.columnName(1), QStringLiteral("ABCDE"));
    QCOMPARE(errorOf([&] { statement.text(0); }), QStringLiteral("Table is at End of File"));

    statement.bindAll({QStringLiteral("f6186")});
    QList<qint64> ids;
    while (statement.step()) {
        ids.append(statement.int64(0));
        QCOMPARE(statement.text(1), QStringLiteral("f6186"));
        QVERIFY(statement.isNull(2));
        QCOMPARE(statement.text(2), QString());
        QCOMPARE(statement.int64(2), 0);
        QCOMPARE(errorOf([&] { statement.int64(1); }), QStringLiteral("Not an integer or numeric field"));
        QCOMPARE(errorOf([&] { statement.text(3); }), QStringLiteral("Field index out of range: 3"));
    }
    QCOMPARE(ids, (QList<qint64>{3, 1}));
    QVERIFY(!statement.step()); // stays at the end instead of starting over
    QCOMPARE(errorOf([&] { statement.text(0); }), QStringLiteral("Table is at End of File"));

    // Re-used with another value; the old one is gone.
    statement.reset();
    QCOMPARE(errorOf([&] { statement.step(); }),
             QStringLiteral("<no error>")); // unbound: NULL matches nothing
    statement.reset();
    statement.bind(1, QStringLiteral("ba5ac"));
    QVERIFY(statement.step());
    QCOMPARE(statement.int64(0), 2);
    QVERIFY(!statement.step());
}

void TestDatabase::statementErrors()
{
    m_db->executeStatement(QStringLiteral("CREATE TABLE t (x INTEGER)"));
    QCOMPARE(errorOf([&] { Statement s(*m_db, QStringLiteral("SELEC x FROM t")); }),
             QStringLiteral("Error executing SQL.\rError [1]: SQL error or missing database.\r"
                            "\"SELEC x FROM t\": near \"SELEC\": syntax error"));
    QCOMPARE(errorOf([&] { Statement s(*m_db, QStringLiteral("  ")); }),
             QStringLiteral("Could not prepare SQL statement"));
    QVERIFY(noOpenStatements(*m_db));

    {
        Statement s(*m_db, QStringLiteral("SELECT abs(?)"));
        QCOMPARE(
            errorOf([&] { s.bind(2, 1); }),
            QStringLiteral("Error executing SQL.\rError [25]: 2nd parameter to sqlite3_bind out of range.\r"
                           "\"SELECT abs(?)\": column index out of range"));
        s.bind(1, std::numeric_limits<qint64>::min());
        QCOMPARE(errorOf([&] { s.step(); }),
                 QStringLiteral("Could not retrieve data.\rError [1]: SQL error or missing database.\r"
                                "\"SELECT abs(-9223372036854775808)\": integer overflow"));
        QVERIFY(!s.step());
        s.reset();
        s.bind(1, -4);
        QVERIFY(s.step());
        QCOMPARE(s.int64(0), 4);
    }

    // Busy while stepping: the bare text, and the statement is still finalized.
    dbtest::PlainConnection other(m_path);
    QCOMPARE(other.exec("BEGIN EXCLUSIVE"), SQLITE_OK);
    {
        Statement s(*m_db, QStringLiteral("SELECT x FROM t"));
        QCOMPARE(errorOf([&] { s.step(); }), QStringLiteral("Could not prepare SQL statement"));
    }
    other.exec("COMMIT");
}

QTEST_GUILESS_MAIN(TestDatabase)
#include "tst_database.moc"
