// The journal filter's clause: its conditions, their order, the bound values, the threshold text,
// and what each clause lets through from a small journal.

#include "core/base/AppError.h"
#include "core/db/Database.h"
#include "core/db/Schema.h"
#include "core/journal/FilterClause.h"

#include <QTemporaryDir>
#include <QtTest>

#include <memory>

Q_DECLARE_METATYPE(FilterSelection)

namespace {

FilterSelection none()
{
    return FilterSelection{};
}

FilterSelection lower(QDate date, QTime time, FilterSelection s = none())
{
    s.lowerOn = true;
    s.lowerDate = date;
    s.lowerTime = time;
    return s;
}

FilterSelection upper(QDate date, QTime time, FilterSelection s = none())
{
    s.upperOn = true;
    s.upperDate = date;
    s.upperTime = time;
    return s;
}

FilterSelection ward(int index, const QString& text, FilterSelection s = none())
{
    s.wardIndex = index;
    s.wardText = text;
    return s;
}

FilterSelection place(int index, const QString& text, FilterSelection s = none())
{
    s.placeIndex = index;
    s.placeText = text;
    return s;
}

FilterSelection function(int index, const QString& code, FilterSelection s = none())
{
    s.functionIndex = index;
    s.functionCode = code;
    return s;
}

FilterSelection reaction(int index, const QString& minutes, FilterSelection s = none())
{
    s.reactionIndex = index;
    s.thresholdMinutes = minutes;
    return s;
}

const QString kMore = QStringLiteral("(reactiontime >=? AND reactiontime<>\"\")");
const QString kLess = QStringLiteral("(reactiontime <=? AND reactiontime<>\"\")");

} // namespace

class TestFilter : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void threshold_data();
    void threshold();
    void thresholdBeyondRangeFails();
    void clause_data();
    void clause();
    void clauseFilters_data();
    void clauseFilters();
};

void TestFilter::threshold_data()
{
    QTest::addColumn<QString>("minutes");
    QTest::addColumn<QString>("expected");
    QTest::newRow("empty") << QString() << QStringLiteral("00:00:00");
    QTest::newRow("0") << QStringLiteral("0") << QStringLiteral("00:00:00");
    QTest::newRow("1") << QStringLiteral("1") << QStringLiteral("00:01:00");
    QTest::newRow("75") << QStringLiteral("75") << QStringLiteral("01:15:00");
    QTest::newRow("5999") << QStringLiteral("5999") << QStringLiteral("99:59:00");
    QTest::newRow("6000") << QStringLiteral("6000") << QStringLiteral("99:00:00");
    QTest::newRow("6001") << QStringLiteral("6001") << QStringLiteral("99:01:00");
    QTest::newRow("leading zeros") << QStringLiteral("0075") << QStringLiteral("01:15:00");
    QTest::newRow("largest") << QStringLiteral("2147483647") << QStringLiteral("99:07:00");
}

void TestFilter::threshold()
{
    QFETCH(QString, minutes);
    QFETCH(QString, expected);
    QCOMPARE(Filter::thresholdText(minutes), expected);
}

void TestFilter::thresholdBeyondRangeFails()
{
    try {
        Filter::buildClause(reaction(1, QStringLiteral("2147483648")));
        QFAIL("a threshold beyond 32 bits must fail");
    } catch (const AppError& e) {
        QCOMPARE(e.message(), QStringLiteral("'2147483648' is not a valid integer value"));
    }
    // Switched off, the threshold is not looked at.
    QCOMPARE(Filter::buildClause(reaction(0, QStringLiteral("2147483648"))).where, QString());
}

void TestFilter::clause_data()
{
    QTest::addColumn<FilterSelection>("selection");
    QTest::addColumn<QString>("where");
    QTest::addColumn<QVariantList>("params");

    const QDate dec1(2017, 12, 1);
    const QString ward1 = QStringLiteral("Палата 1");

    QTest::newRow("nothing set") << none() << QString() << QVariantList();
    QTest::newRow("no place selected") << place(-1, QString()) << QString() << QVariantList();
    QTest::newRow("all places") << place(0, QStringLiteral("Все")) << QString() << QVariantList();
    QTest::newRow("only the upper bound")
        << upper(QDate(2017, 12, 3), QTime(22, 58, 59)) << QStringLiteral(" WHERE (timest <= ?)")
        << QVariantList{QStringLiteral("2017.12.03 22:58:59")};
    QTest::newRow("lower bound with a ward") << lower(dec1, QTime(8, 0), ward(2, ward1))
                                             << QStringLiteral(" WHERE (timest >= ?) AND (groupsname=?)")
                                             << QVariantList{QStringLiteral("2017.12.01 08:00:00"), ward1};
    QTest::newRow("without ward") << ward(1, QStringLiteral("Только без группы"))
                                  << QStringLiteral(" WHERE (groupsname=\"\")") << QVariantList();
    QTest::newRow("place and function")
        << place(1, QStringLiteral("Койка 1"), function(2, QStringLiteral("4")))
        << QStringLiteral(" WHERE (butsname=?) AND (f=?)")
        << QVariantList{QStringLiteral("Койка 1"), QStringLiteral("4")};
    QTest::newRow("more, 1") << reaction(1, QStringLiteral("1")) << QStringLiteral(" WHERE ") + kMore
                             << QVariantList{QStringLiteral("00:01:00")};
    QTest::newRow("less, 75") << reaction(2, QStringLiteral("75")) << QStringLiteral(" WHERE ") + kLess
                              << QVariantList{QStringLiteral("01:15:00")};
    QTest::newRow("more, 5999") << reaction(1, QStringLiteral("5999")) << QStringLiteral(" WHERE ") + kMore
                                << QVariantList{QStringLiteral("99:59:00")};
    QTest::newRow("less, 6000") << reaction(2, QStringLiteral("6000")) << QStringLiteral(" WHERE ") + kLess
                                << QVariantList{QStringLiteral("99:00:00")};
    QTest::newRow("more, empty") << reaction(1, QString()) << QStringLiteral(" WHERE ") + kMore
                                 << QVariantList{QStringLiteral("00:00:00")};

    // Every condition at once keeps the fixed order; a value with quotes is a value, not clause text.
    FilterSelection all = lower(dec1, QTime(8, 0, 30), upper(QDate(2017, 12, 3), QTime(22, 58, 59)));
    all = ward(2, QStringLiteral("Палата \"1\" OR 1=1 --"), all);
    all = place(3, QStringLiteral("Койка 1"), all);
    all = function(1, QStringLiteral("8"), all);
    all = reaction(2, QStringLiteral("3"), all);
    QTest::newRow("everything, in order")
        << all
        << QStringLiteral(
               " WHERE (timest >= ?) AND (timest <= ?) AND (groupsname=?) AND (butsname=?) AND (f=?) AND ") +
               kLess
        << QVariantList{QStringLiteral("2017.12.01 08:00:30"),
                        QStringLiteral("2017.12.03 22:58:59"),
                        QStringLiteral("Палата \"1\" OR 1=1 --"),
                        QStringLiteral("Койка 1"),
                        QStringLiteral("8"),
                        QStringLiteral("00:03:00")};
}

void TestFilter::clause()
{
    QFETCH(FilterSelection, selection);
    QFETCH(QString, where);
    QFETCH(QVariantList, params);
    const FilterClause clause = Filter::buildClause(selection);
    QCOMPARE(clause.where, where);
    QCOMPARE(clause.params, params);
}

void TestFilter::clauseFilters_data()
{
    QTest::addColumn<FilterSelection>("selection");
    QTest::addColumn<QList<qint64>>("ids"); // newest first

    const QDate dec1(2017, 12, 1);
    QTest::newRow("nothing set") << none() << QList<qint64>{5, 4, 3, 2, 1};
    QTest::newRow("only the upper bound, inclusive") << upper(dec1, QTime(8, 0)) << QList<qint64>{2, 1};
    QTest::newRow("lower bound with a ward")
        << lower(dec1, QTime(8, 0), ward(2, QStringLiteral("Палата 1"))) << QList<qint64>{5, 2};
    QTest::newRow("without ward") << ward(1, QString()) << QList<qint64>{3};
    QTest::newRow("a place in any ward") << place(1, QStringLiteral("Койка 1")) << QList<qint64>{5, 4, 1};
    QTest::newRow("a function") << function(2, QStringLiteral("4")) << QList<qint64>{4};
    QTest::newRow("more than 1 minute") << reaction(1, QStringLiteral("1")) << QList<qint64>{4, 2};
    QTest::newRow("less than 75 minutes") << reaction(2, QStringLiteral("75")) << QList<qint64>{2, 1};
    QTest::newRow("more, empty threshold: every closed entry")
        << reaction(1, QString()) << QList<qint64>{4, 2, 1};
    QTest::newRow("more than 6000 minutes") << reaction(1, QStringLiteral("6000")) << QList<qint64>{};
    QTest::newRow("lower bound after the upper")
        << lower(QDate(2017, 12, 3), QTime(0, 0), upper(dec1, QTime(0, 0))) << QList<qint64>{};
    QTest::newRow("a quote in a ward name") << ward(2, QStringLiteral("Палата \"1\"")) << QList<qint64>{};
}

void TestFilter::clauseFilters()
{
    QFETCH(FilterSelection, selection);
    QFETCH(QList<qint64>, ids);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    std::unique_ptr<db::Database> database = db::Database::openDatabase(dir.filePath(QStringLiteral("j.db")));
    db::runSchema(*database);
    struct Entry
    {
        const char* timest;
        const char* ward;
        const char* place;
        const char* f;
        const char* reaction;
    };
    const Entry journal[] = {
        {"2017.11.30 23:59:59", "Палата 1", "Койка 1", "8", "00:00:30"},
        {"2017.12.01 08:00:00", "Палата 1", "Койка 2", "8", "00:02:00"},
        {"2017.12.01 09:00:00", "", "KB 01", "b", ""},
        {"2017.12.02 10:00:00", "Палата 2", "Койка 1", "4", "01:20:00"},
        {"2017.12.03 14:05:09", "Палата 1", "Койка 1", "8", ""},
    };
    for (const Entry& e : journal)
        database->executeStatement(
            QStringLiteral("INSERT INTO logs (timest, timestr, abcde, f, butsname, groupsname, workersname, "
                           "reactiontime) VALUES (?, '', 'f6186', ?, ?, ?, '', ?)"),
            {QString::fromUtf8(e.timest), QString::fromUtf8(e.f), QString::fromUtf8(e.place),
             QString::fromUtf8(e.ward), QString::fromUtf8(e.reaction)});

    const FilterClause clause = Filter::buildClause(selection);
    db::ResultTable rows = database->query(QStringLiteral("SELECT * FROM logs ") + clause.where +
                                               QStringLiteral(" ORDER BY timest DESC"),
                                           clause.params);
    QList<qint64> found;
    while (!rows.endOfRows()) {
        found << rows.fieldByName(QStringLiteral("id")).toLongLong();
        rows.nextRow();
    }
    QCOMPARE(found, ids);
}

QTEST_GUILESS_MAIN(TestFilter)
#include "tst_filter.moc"
