// HalvaneServer --statistics FIRST LAST FILE.xlsx end to end: the exit status, the sheets and their
// cells on a small journal, the settings file left alone, every kind of bad argument, and the files
// a report may never replace.

#include "StatsTestSupport.h"

#include "core/journal/RemovedCalls.h"
#include "core/settings/IniFile.h"
#include "core/stats/StatsCommand.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>
#include <QtTest>

#include <sqlite3.h>

using statstest::Journal;

namespace {

struct Run
{
    int status = -1;
    QString err;
};

Run runCommand(const Journal& journal, const QStringList& args)
{
    Run run;
    QTextStream err(&run.err);
    run.status = Stats::runStatisticsCommand(args, err, journal.dir() + QStringLiteral("/HalvaneServer"));
    return run;
}

// A row with the time values of the given columns turned back into whole seconds.
QStringList inSeconds(QStringList row, const QList<int>& columns)
{
    for (int c : columns)
        if (c < row.size() && !row[c].isEmpty())
            row[c] = QString::number(qRound64(row[c].toDouble() * 86400));
    return row;
}

} // namespace

class TestStatsCommand : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void writesTheReport();
    void badArguments_data();
    void badArguments();
    void refusedReportFiles_data();
    void refusedReportFiles();
    void failures();
};

void TestStatsCommand::writesTheReport()
{
    Journal journal;
    journal.add("2024.03.01 08:00:00", "8", "00:01:00", "Палата 1", "Койка № 1", "Тестова Анна");
    journal.add("2024.03.01 08:30:00", "8", "00:03:00", "Палата 1", "Койка № 2", "Тестова Анна");
    journal.add("2024.03.02 21:00:00", "8", "01:30:00", "Палата 2", "Койка № 3", "Петрова Мария");
    journal.add("2024.03.02 21:05:00", "4", "", "Палата 2", "Койка № 3", "Петрова Мария");
    journal.add("2024.04.01 00:00:00", "8", "", "Палата 2", "Койка № 3", "Петрова Мария"); // after the period
    // A call the operator took off the open list: counted apart, not as open.
    journal.add("2024.03.01 09:00:00", "8", "", "Палата 1", "Койка № 1", "Тестова Анна");
    RemovedCalls::ensureTable(journal.db());
    RemovedCalls::mark(journal.db(),
                       journal.db().query(QStringLiteral("SELECT max(id) FROM logs")).fieldAsInteger(0),
                       QStringLiteral("2024.03.01 09:20:00"));
    // The bound is the journal's, from the settings file; the command must not touch that file.
    const QString ini = journal.dir() + QStringLiteral("/HalvaneServer.ini");
    {
        IniFile settings(ini);
        settings.writeString(QStringLiteral("logConst"), QStringLiteral("s_maxreactiontime"),
                             QStringLiteral("02:00:00"));
    }
    const QByteArray iniBefore = [&] {
        QFile f(ini);
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }();
    const QString file = journal.dir() + QStringLiteral("/март.xlsx");

    const Run run = runCommand(journal, {"2024-03-01", "2024-03-31", file});
    QVERIFY2(run.status == 0, qPrintable(run.err));
    QVERIFY(run.err.isEmpty());
    const QByteArray iniAfter = [&] {
        QFile f(ini);
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }();
    QCOMPARE(iniAfter, iniBefore);

    const statstest::Workbook book = statstest::readWorkbook(file);
    QCOMPARE(book.names, (QStringList{"Палаты", "Ответственные", "Места", "Часы", "Дни недели", "Превышения",
                                      "По дням", "Сводка"}));
    const QStringList headings{"",       "Вызовов", "Отвечено",        "Пропущено",    "Открыто",
                               "Убрано", "Медиана", "90-й процентиль", "Самое долгое", "Приёмов (4)"};
    // The first column says what the rows of its sheet are.
    const QStringList groups{"Палата", "Ответственный", "Место", "Час", "День недели"};
    for (int s = 0; s < 5; ++s) {
        QStringList expected = headings;
        expected[0] = groups.at(s);
        QCOMPARE(book.sheets.at(s).rows.value(1), expected);
    }

    const statstest::Sheet& wards = book.sheets.at(0);
    QCOMPARE(wards.rows.keys(), (QList<int>{1, 2, 3}));
    QCOMPARE(inSeconds(wards.rows.value(2), {6, 7, 8}),
             (QStringList{"Палата 1", "3", "2", "0", "0", "1", "60", "180", "180", "0"}));
    // With the bound at two hours, an hour and a half is answered.
    QCOMPARE(inSeconds(wards.rows.value(3), {6, 7, 8}),
             (QStringList{"Палата 2", "1", "1", "0", "0", "0", "5400", "5400", "5400", "1"}));
    // Reaction times are time values shown as [h]:mm:ss.
    QVERIFY(book.styles.contains("formatCode=\"[h]:mm:ss\""));
    QVERIFY(wards.styles.contains(QStringLiteral("G2")));

    const statstest::Sheet& hours = book.sheets.at(3);
    QCOMPARE(hours.rows.size(), 25);
    QCOMPARE(hours.rows.value(10).mid(0, 3), (QStringList{"08:00–08:59", "2", "2"}));
    QCOMPARE(hours.rows.value(11).mid(0, 6), (QStringList{"09:00–09:59", "1", "0", "0", "0", "1"}));
    QCOMPARE(book.sheets.at(4).rows.size(), 8);

    // Exceptions over the default five minutes: the hour and a half, with its moment, then the removed
    // call, without a reaction time.
    const statstest::Sheet& exceptions = book.sheets.at(5);
    QCOMPARE(exceptions.rows.value(1),
             (QStringList{"Дата и время", "Палата", "Место", "Ответственный", "Тип", "Реакция", "Причина"}));
    QCOMPARE(exceptions.rows.size(), 3);
    QCOMPARE(exceptions.rows.value(3).mid(1),
             (QStringList{"Палата 1", "Койка № 1", "Тестова Анна", "вызов", "", "убран из активных"}));
    const QStringList slow = exceptions.rows.value(2);
    QCOMPARE(inSeconds(slow, {5}).mid(1),
             (QStringList{"Палата 2", "Койка № 3", "Петрова Мария", "вызов", "5400", "дольше порога"}));
    // A date-time value: days since the spreadsheet's epoch, the time of day as the fraction.
    QCOMPARE(slow.at(0).toDouble(), QDate(1899, 12, 30).daysTo(QDate(2024, 3, 2)) + 21.0 / 24);

    const statstest::Sheet& days = book.sheets.at(6);
    QCOMPARE(days.rows.size(), 32);
    QCOMPARE(days.rows.value(2).at(1), QStringLiteral("3"));
    QCOMPARE(days.rows.value(3).at(1), QStringLiteral("1"));

    // The bound and the threshold are time values like the reaction times they are compared with.
    const statstest::Sheet& summary = book.sheets.at(7);
    QCOMPARE(inSeconds(summary.rows.value(4), {1}), (QStringList{"Граница пропуска", "7200"}));
    QCOMPARE(inSeconds(summary.rows.value(5), {1}), (QStringList{"Порог превышения", "300"}));

    // No temporary file is left beside the report.
    QCOMPARE(QDir(journal.dir()).entryList({QStringLiteral("*.tmp")}, QDir::Files), QStringList());
}

void TestStatsCommand::badArguments_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");
    const QString usage =
        QStringLiteral("запуск: HalvaneServer --statistics ПЕРВЫЙ_ДЕНЬ ПОСЛЕДНИЙ_ДЕНЬ ФАЙЛ.xlsx");
    QTest::newRow("nothing") << QStringList{} << usage;
    QTest::newRow("no file") << QStringList{"2024-03-01", "2024-03-31"} << usage;
    QTest::newRow("one too many") << QStringList{"2024-03-01", "2024-03-31", "a.xlsx", "b"} << usage;
    QTest::newRow("no such month") << QStringList{"2024-13-01", "2024-03-31", "a.xlsx"}
                                   << "первый день «2024-13-01» — не дата вида ГГГГ-ММ-ДД";
    QTest::newRow("no such day") << QStringList{"2024-03-01", "2023-02-29", "a.xlsx"}
                                 << "последний день «2023-02-29» — не дата вида ГГГГ-ММ-ДД";
    QTest::newRow("journal's own form")
        << QStringList{"2024.03.01", "2024-03-31", "a.xlsx"} << "первый день «2024.03.01» — не дата";
    QTest::newRow("without zeros") << QStringList{"2024-3-1", "2024-03-31", "a.xlsx"}
                                   << "первый день «2024-3-1»";
    QTest::newRow("reversed") << QStringList{"2024-03-31", "2024-03-01", "a.xlsx"}
                              << "Первый день периода (2024-03-31) позже последнего (2024-03-01)";
    QTest::newRow("empty file name") << QStringList{"2024-03-01", "2024-03-31", " "}
                                     << "не указан файл отчёта";
}

void TestStatsCommand::badArguments()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);
    Journal journal;
    for (QString& a : args)
        if (a.endsWith(QStringLiteral(".xlsx")))
            a = journal.dir() + u'/' + a;
    const Run run = runCommand(journal, args);
    QCOMPARE(run.status, 2);
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
    QVERIFY(run.err.contains(QStringLiteral("ГГГГ-ММ-ДД")));
    QVERIFY(!QFile::exists(journal.dir() + QStringLiteral("/a.xlsx")));
    QVERIFY(!QFile::exists(journal.dir() + QStringLiteral("/HalvaneServer.ini")));
}

void TestStatsCommand::refusedReportFiles_data()
{
    // The report file as given (in the journal's folder), the link it is made as when not empty
    // (to a file beside it), and the reason it is refused.
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("linkTo");
    QTest::addColumn<QString>("message");
    QTest::newRow("not a workbook") << "r.txt"
                                    << ""
                                    << "does not end in .xlsx";
    QTest::newRow("the database itself") << "orv_med.db"
                                         << ""
                                         << "does not end in .xlsx";
    QTest::newRow("the database by another name") << "j.xlsx"
                                                  << "orv_med.db"
                                                  << "is the database";
    QTest::newRow("the settings file") << "s.XLSX"
                                       << "HalvaneServer.ini"
                                       << "is the settings file";
    QTest::newRow("the executable") << "e.xlsx"
                                    << "HalvaneServer"
                                    << "is the executable";
    QTest::newRow("an existing workbook") << "old.xlsx"
                                          << "old.bin"
                                          << "exists; add --force to replace it";
}

void TestStatsCommand::refusedReportFiles()
{
    QFETCH(QString, name);
    QFETCH(QString, linkTo);
    QFETCH(QString, message);
    Journal journal;
    journal.add("2024.03.01 08:00:00", "8", "00:01:00");
    const QDir dir(journal.dir());
    for (const char* file : {"HalvaneServer.ini", "HalvaneServer", "old.bin"}) {
        QFile f(dir.filePath(QLatin1String(file)));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("kept\n");
    }
    if (!linkTo.isEmpty())
        QVERIFY(QFile::link(dir.filePath(linkTo), dir.filePath(name)));
    const auto contents = [&dir] {
        QStringList texts;
        for (const QString& file : dir.entryList(QDir::Files)) {
            QFile f(dir.filePath(file));
            texts << file + u'=' + QString::number(f.open(QIODevice::ReadOnly) ? qHash(f.readAll()) : 0);
        }
        return texts;
    };
    const QStringList before = contents();

    const QStringList args{"2024-03-01", "2024-03-31", dir.filePath(name)};
    const Run run = runCommand(journal, args);
    QCOMPARE(run.status, 2);
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
    QCOMPARE(contents(), before);

    // Asked to replace: a workbook of its own is replaced; the journal, the settings and the program
    // never are.
    const Run forced = runCommand(journal, args + QStringList{"--force"});
    if (name == QLatin1String("old.xlsx")) {
        QVERIFY2(forced.status == 0, qPrintable(forced.err));
        QVERIFY(contents() != before);
    } else {
        QCOMPARE(forced.status, 2);
        QCOMPARE(contents(), before);
    }
}

void TestStatsCommand::failures()
{
    Journal journal;
    journal.add("2024.03.01 08:00:00", "8", "00:01:00");
    const QString file = journal.dir() + QStringLiteral("/r.xlsx");
    const QStringList period{"2024-03-01", "2024-03-31"};

    // A report that cannot be written: its folder is missing, or its name is a folder.
    Run run = runCommand(journal, period + QStringList{journal.dir() + QStringLiteral("/no/such/r.xlsx")});
    QCOMPARE(run.status, 1);
    QVERIFY2(run.err.contains(QStringLiteral("Unable to write to")) &&
                 run.err.contains(QStringLiteral("folder does not exist")),
             qPrintable(run.err));
    QVERIFY(QDir(journal.dir()).mkdir(QStringLiteral("d.xlsx")));
    run = runCommand(journal, period + QStringList{journal.dir() + QStringLiteral("/d.xlsx"), "--force"});
    QCOMPARE(run.status, 1);
    QVERIFY2(run.err.contains(QStringLiteral("Unable to write to")), qPrintable(run.err));

    // A workbook is not written under another file's name.
    const QString text = journal.dir() + QStringLiteral("/r.txt");
    run = runCommand(journal, period + QStringList{text});
    QCOMPARE(run.status, 2);
    QVERIFY2(run.err.contains(QStringLiteral(".xlsx")), qPrintable(run.err));
    QVERIFY(!QFile::exists(text));
    QCOMPARE(QDir(journal.dir()).entryList({QStringLiteral("r.*")}, QDir::Files), QStringList());

    // The settings file names a database that is not there: an error, and no new empty file.
    {
        IniFile settings(journal.dir() + QStringLiteral("/HalvaneServer.ini"));
        settings.writeString(QStringLiteral("DB"), QStringLiteral("FileName"), QStringLiteral("other.db"));
    }
    run = runCommand(journal, period + QStringList{file});
    QCOMPARE(run.status, 1);
    QVERIFY2(run.err.contains(QStringLiteral("other.db does not exist")), qPrintable(run.err));
    QVERIFY(!QFile::exists(journal.dir() + QStringLiteral("/other.db")));
    QVERIFY(!QFile::exists(file));
    QVERIFY(QFile::remove(journal.dir() + QStringLiteral("/HalvaneServer.ini")));

    // Another program holds the file locked for writing: a clear error once the wait is over.
    sqlite3* holder = nullptr;
    sqlite3_open(journal.path().toUtf8().constData(), &holder);
    QCOMPARE(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    run = runCommand(journal, period + QStringList{file});
    sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(holder);
    QCOMPARE(run.status, 1);
    QVERIFY2(run.err.contains(QStringLiteral("locked")), qPrintable(run.err));
    QVERIFY(!run.err.contains(u'\r'));
    QVERIFY(!QFile::exists(file));

    // Once the lock is gone the same command succeeds.
    run = runCommand(journal, period + QStringList{file});
    QVERIFY2(run.status == 0, qPrintable(run.err));
    QVERIFY(QFile::exists(file));
}

QTEST_GUILESS_MAIN(TestStatsCommand)
#include "tst_statscommand.moc"
