// The spreadsheet export: the file name, the save dialog and the remembered path, the file's content
// (the grid's texts on the workbook's one worksheet, columns fitted), the empty journal, saves that
// fail, and the question before a file is replaced.

#include "AppFixture.h"

#include "app/Forms.h"
#include "core/base/AppError.h"
#include "core/db/Database.h"
#include "core/journal/JournalExport.h"
#include "gui/journal/TMF.h"
#include "gui/kit/StringGrid.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QStandardPaths>
#include <QXmlStreamReader>
#include <QtTest>

namespace {

void addEntry(TMF* mf, const QString& timest, const QString& ward, const QString& place,
              const QString& timestr = {}, const QString& reaction = {})
{
    mf->server().db().executeStatement(
        QStringLiteral(
            "INSERT INTO logs (timest, timestr, abcde, f, butsname, groupsname, workersname, reactiontime) "
            "VALUES (?, ?, 'f6186', '8', ?, ?, 'Тестова Анна', ?)"),
        {timest, timestr, place, ward, reaction});
}

QByteArray unzipEntry(const QString& file, const QString& entry)
{
    QProcess unzip;
    unzip.start(QStringLiteral("unzip"), {QStringLiteral("-p"), file, entry});
    if (!unzip.waitForFinished(10000) || unzip.exitCode() != 0)
        return {};
    return unzip.readAllStandardOutput();
}

int columnOf(QStringView reference)
{
    int column = 0;
    for (QChar ch : reference) {
        if (!ch.isLetter())
            break;
        column = column * 26 + (ch.unicode() - 'A' + 1);
    }
    return column - 1;
}

struct Sheet
{
    QMap<int, QStringList> rows; // sheet row number (from 1) -> cell texts by column
    QMap<int, double> widths;    // column (from 0) -> width
    int cells = 0;
};

// Reads the cells of a worksheet written with inline strings, and its column widths.
Sheet readSheet(const QByteArray& xml)
{
    Sheet sheet;
    QXmlStreamReader reader(xml);
    int row = 0;
    int column = 0;
    while (!reader.atEnd()) {
        if (!reader.readNextStartElement())
            continue;
        const auto name = reader.name();
        if (name == u"col") {
            const int min = reader.attributes().value(QLatin1String("min")).toInt();
            const int max = reader.attributes().value(QLatin1String("max")).toInt();
            for (int c = min; c <= max; ++c)
                sheet.widths[c - 1] = reader.attributes().value(QLatin1String("width")).toDouble();
        } else if (name == u"row") {
            row = reader.attributes().value(QLatin1String("r")).toInt();
            sheet.rows[row];
        } else if (name == u"c") {
            column = columnOf(reader.attributes().value(QLatin1String("r")));
            ++sheet.cells;
            QStringList& cells = sheet.rows[row];
            while (cells.size() <= column)
                cells << QString();
        } else if (name == u"t") {
            sheet.rows[row][column] = reader.readElementText();
        }
    }
    return sheet;
}

QStringList gridRow(TMF* mf, int row)
{
    QStringList texts;
    for (int c = 0; c < 8; ++c)
        texts << mf->StringGrid1->Cells(c, row);
    return texts;
}

} // namespace

class TestExport : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void fileName_data();
    void fileName();
    void exportsTheFilteredGrid();
    void emptyJournalGivesHeaderAndOneEmptyRow();
    void cancelWritesNothing();
    void unwritableFolderIsReported();
    void failedSaveKeepsTheOldFile();
    void chosenPathIsProposedAfterRestart();
    void rememberedOlderNameIsProposedAsXlsx();
    void withoutADesktopProgramTheOperatorIsToldWhere();
    void anExistingFileIsReplacedOnlyOnOk();

private:
    std::unique_ptr<AppFixture> m_app;
    TMF* mf = nullptr;
};

void TestExport::initTestCase()
{
    QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("unzip")).isEmpty(),
             "these tests read the written file back with unzip");
}

void TestExport::init()
{
    m_app = std::make_unique<AppFixture>();
    m_app->create();
    mf = m_app->mf();
}

void TestExport::cleanup()
{
    m_app.reset();
}

void TestExport::fileName_data()
{
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("expected");
    QTest::newRow("no extension") << QStringLiteral("/data/журнал") << QStringLiteral("/data/журнал.xlsx");
    QTest::newRow("xlsx") << QStringLiteral("/data/j.xlsx") << QStringLiteral("/data/j.xlsx");
    QTest::newRow("xlsx in capitals") << QStringLiteral("/data/J.XLSX") << QStringLiteral("/data/J.XLSX");
    QTest::newRow("older extension") << QStringLiteral("/data/j.xls") << QStringLiteral("/data/j.xlsx");
    QTest::newRow("older extension in capitals")
        << QStringLiteral("/data/J.XLS") << QStringLiteral("/data/J.xlsx");
    QTest::newRow("dots within the name")
        << QStringLiteral("/data/журнал_10.12.2026") << QStringLiteral("/data/журнал_10.12.2026.xlsx");
    QTest::newRow("another extension") << QStringLiteral("/data/j.csv") << QStringLiteral("/data/j.csv.xlsx");
    QTest::newRow("dot in the folder only")
        << QStringLiteral("/data.old/j") << QStringLiteral("/data.old/j.xlsx");
    QTest::newRow("cancelled") << QString() << QString();
}

void TestExport::fileName()
{
    QFETCH(QString, chosen);
    QFETCH(QString, expected);
    QCOMPARE(JournalExport::fileNameFor(chosen), expected);
}

void TestExport::exportsTheFilteredGrid()
{
    addEntry(mf, QStringLiteral("2017.12.01 08:00:00"), QStringLiteral("Палата 1"), QStringLiteral("Койка 1"),
             QStringLiteral("2017.12.01 08:03:07"), QStringLiteral("00:03:07"));
    addEntry(mf, QStringLiteral("2017.12.02 09:00:00"), QStringLiteral("Палата 2"),
             QStringLiteral("Койка 2"));
    addEntry(mf, QStringLiteral("2017.12.03 10:00:00"), QStringLiteral("Палата 1"),
             QStringLiteral("Отделение реанимации, место у окна"));
    mf->server().setFilter(QStringLiteral(" WHERE (groupsname=?)"), {QStringLiteral("Палата 1")});
    mf->RefreshLog();
    QCOMPARE(mf->StringGrid1->RowCount(), 3);

    const QString chosen = m_app->dir() + QStringLiteral("/отчёт");
    const QString path = chosen + QStringLiteral(".xlsx");
    m_app->dialogs.setNextSaveFileName(chosen);
    mf->mExcelClick();

    QCOMPARE(m_app->dialogs.saveDialogInitialPaths, QStringList{QStringLiteral("журнал")});
    QCOMPARE(m_app->dialogs.saveDialogSuffixes, QStringList{QStringLiteral("xlsx")});
    QCOMPARE(m_app->dialogs.saveDialogFilters, QStringList{QStringLiteral("*.xlsx")});
    QVERIFY(m_app->dialogs.errors.isEmpty());
    QVERIFY(QFile::exists(path));
    QCOMPARE(mf->server().cfg().excelFileName, path);
    QCOMPARE(m_app->dialogs.opened, QStringList{path});
    // Nothing of the writing is left beside it.
    QCOMPARE(QDir(m_app->dir()).entryList({QStringLiteral("*.tmp")}, QDir::Files), QStringList());

    // One worksheet, named in Russian: no empty sheet before the data.
    const QByteArray workbook = unzipEntry(path, QStringLiteral("xl/workbook.xml"));
    QCOMPARE(workbook.count("<sheet "), 1);
    QVERIFY(workbook.contains(QStringLiteral("name=\"Журнал\"").toUtf8()));
    QVERIFY(unzipEntry(path, QStringLiteral("xl/worksheets/sheet2.xml")).isEmpty());

    const Sheet sheet = readSheet(unzipEntry(path, QStringLiteral("xl/worksheets/sheet1.xml")));
    QCOMPARE(sheet.rows.keys(), (QList<int>{1, 2, 3}));
    QCOMPARE(sheet.rows[1],
             (QStringList{QStringLiteral("Дата"), QStringLiteral("Время"), QStringLiteral("Время подтв."),
                          QStringLiteral("Палата"), QStringLiteral("Место"), QStringLiteral("Ответственный"),
                          QStringLiteral("Тип"), QStringLiteral("Реакция")}));
    QCOMPARE(sheet.rows[2], gridRow(mf, 1));
    QCOMPARE(sheet.rows[3], gridRow(mf, 2));
    QCOMPARE(sheet.rows[2][4], QStringLiteral("Отделение реанимации, место у окна"));
    QCOMPARE(sheet.rows[3][7], QStringLiteral("3 мин 7 сек"));

    // Every column is fitted, the widest text making the widest column.
    QCOMPARE(sheet.widths.size(), 8);
    QVERIFY(sheet.widths[4] > sheet.widths[5]);
    QVERIFY(sheet.widths[5] > sheet.widths[6]);
    QVERIFY(sheet.widths[4] >= QStringLiteral("Отделение реанимации, место у окна").size());
}

void TestExport::emptyJournalGivesHeaderAndOneEmptyRow()
{
    mf->RefreshLog();
    const QString path = m_app->dir() + QStringLiteral("/empty.xlsx");
    m_app->dialogs.setNextSaveFileName(path);
    mf->mExcelClick();
    const Sheet sheet = readSheet(unzipEntry(path, QStringLiteral("xl/worksheets/sheet1.xml")));
    QCOMPARE(sheet.rows.keys(), (QList<int>{1, 2}));
    QCOMPARE(sheet.rows[1].size(), 8);
    QCOMPARE(sheet.rows[1][0], QStringLiteral("Дата"));
    QCOMPARE(sheet.rows[2], QStringList(8));
    QCOMPARE(m_app->dialogs.opened, QStringList{path});
}

void TestExport::cancelWritesNothing()
{
    mf->RefreshLog();
    mf->mExcelClick();
    QCOMPARE(m_app->dialogs.saveDialogInitialPaths.size(), 1);
    QCOMPARE(QDir(m_app->dir()).entryList({QStringLiteral("*.xls*"), QStringLiteral("*.tmp")}, QDir::Files),
             QStringList());
    QVERIFY(m_app->dialogs.opened.isEmpty());
    QVERIFY(m_app->dialogs.errors.isEmpty());
    QCOMPARE(mf->server().cfg().excelFileName, QStringLiteral("журнал"));
}

void TestExport::unwritableFolderIsReported()
{
    mf->RefreshLog();
    const QString path = m_app->dir() + QStringLiteral("/missing/j.xlsx");
    m_app->dialogs.setNextSaveFileName(path);
    mf->mExcelClick();
    QCOMPARE(m_app->dialogs.errors.size(), 1);
    QVERIFY2(m_app->dialogs.errors[0].startsWith(QStringLiteral("Unable to write to ") + path),
             qPrintable(m_app->dialogs.errors[0]));
    QVERIFY(m_app->dialogs.errors[0].endsWith(u'.'));
    QVERIFY(!QFile::exists(path));
    QVERIFY(m_app->dialogs.opened.isEmpty());
    // The dialog still proposes what was chosen.
    QCOMPARE(mf->server().cfg().excelFileName, path);
}

void TestExport::failedSaveKeepsTheOldFile()
{
    const QString path = m_app->dir() + QStringLiteral("/old.xlsx");
    {
        QFile old(path);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("the export of last week");
    }
    const QStringList captions(8, QStringLiteral("c"));
    QVERIFY_THROWS_EXCEPTION(AppError, JournalExport::writeXlsx(path, captions, [](const auto& visit) {
                                 visit(QStringList(8, QStringLiteral("x")));
                                 throw AppError(QStringLiteral("Database is locked"));
                             }));
    QFile old(path);
    QVERIFY(old.open(QIODevice::ReadOnly));
    QCOMPARE(old.readAll(), QByteArray("the export of last week"));
    QCOMPARE(QDir(m_app->dir()).entryList({QStringLiteral("*.tmp")}, QDir::Files), QStringList());

    // A successful export replaces it.
    JournalExport::writeXlsx(path, captions, [](const auto&) {});
    QVERIFY(!unzipEntry(path, QStringLiteral("xl/worksheets/sheet1.xml")).isEmpty());
}

void TestExport::chosenPathIsProposedAfterRestart()
{
    mf->RefreshLog();
    const QString path = m_app->dir() + QStringLiteral("/j.xlsx");
    m_app->dialogs.setNextSaveFileName(path);
    mf->mExcelClick();
    mf->mExcelClick(); // cancelled
    QCOMPARE(m_app->dialogs.saveDialogInitialPaths, (QStringList{QStringLiteral("журнал"), path}));

    m_app->dialogs.answerNextQuestion(true);
    QVERIFY(mf->FormClose());
    m_app->destroy();
    m_app->create();
    QCOMPARE(m_app->mf()->server().cfg().excelFileName, path);
}

void TestExport::rememberedOlderNameIsProposedAsXlsx()
{
    mf->RefreshLog();
    const QString older = m_app->dir() + QStringLiteral("/журнал.xls");
    const QString path = m_app->dir() + QStringLiteral("/журнал.xlsx");
    mf->server().setExcelFileName(older);
    // The operator accepts what the dialog proposes.
    m_app->dialogs.setNextSaveFileName(path);
    mf->mExcelClick();
    QCOMPARE(m_app->dialogs.saveDialogInitialPaths, QStringList{path});
    QVERIFY(QFile::exists(path));
    QVERIFY(!QFile::exists(older));
    QCOMPARE(mf->server().cfg().excelFileName, path);

    // Typed with the older extension, it is written as ".xlsx" all the same.
    m_app->dialogs.setNextSaveFileName(m_app->dir() + QStringLiteral("/typed.xls"));
    mf->mExcelClick();
    QVERIFY(QFile::exists(m_app->dir() + QStringLiteral("/typed.xlsx")));
    QVERIFY(!QFile::exists(m_app->dir() + QStringLiteral("/typed.xls")));
}

void TestExport::withoutADesktopProgramTheOperatorIsToldWhere()
{
    mf->RefreshLog();
    m_app->dialogs.desktopOpens = false;
    const QString path = m_app->dir() + QStringLiteral("/j.xlsx");
    m_app->dialogs.setNextSaveFileName(path);
    mf->mExcelClick();
    QCOMPARE(m_app->dialogs.opened, QStringList{path});
    QCOMPARE(m_app->dialogs.messages.size(), 1);
    QVERIFY2(m_app->dialogs.messages[0].contains(QDir::toNativeSeparators(path)),
             qPrintable(m_app->dialogs.messages[0]));
    QVERIFY(m_app->dialogs.errors.isEmpty());

    // Opened by a desktop program, nothing more is said.
    m_app->dialogs.desktopOpens = true;
    m_app->dialogs.answerNextQuestion(true); // the file of the first export is replaced
    m_app->dialogs.setNextSaveFileName(path);
    mf->mExcelClick();
    QCOMPARE(m_app->dialogs.messages.size(), 1);
}

// The dialog gives a name; the file it names is replaced only after the operator said so.
void TestExport::anExistingFileIsReplacedOnlyOnOk()
{
    mf->RefreshLog();
    const QString path = m_app->dir() + QStringLiteral("/j.xlsx");
    {
        QFile old(path);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("the export of last week");
    }
    // Chosen without its extension: the name the file gets is the one asked about.
    m_app->dialogs.answerNextQuestion(false);
    m_app->dialogs.setNextSaveFileName(m_app->dir() + QStringLiteral("/j"));
    mf->mExcelClick();
    QCOMPARE(m_app->dialogs.questions.size(), 1);
    QVERIFY2(m_app->dialogs.questions.first().contains(QDir::toNativeSeparators(path)),
             qPrintable(m_app->dialogs.questions.first()));
    QFile old(path);
    QVERIFY(old.open(QIODevice::ReadOnly));
    QCOMPARE(old.readAll(), QByteArray("the export of last week"));
    old.close();
    QVERIFY(m_app->dialogs.opened.isEmpty());

    m_app->dialogs.answerNextQuestion(true);
    m_app->dialogs.setNextSaveFileName(path);
    mf->mExcelClick();
    QCOMPARE(m_app->dialogs.questions.size(), 2);
    QVERIFY(!unzipEntry(path, QStringLiteral("xl/worksheets/sheet1.xml")).isEmpty());
    QCOMPARE(m_app->dialogs.opened, QStringList{path});

    // A new file is written without a question.
    m_app->dialogs.setNextSaveFileName(m_app->dir() + QStringLiteral("/new.xlsx"));
    mf->mExcelClick();
    QCOMPARE(m_app->dialogs.questions.size(), 2);
    QVERIFY(m_app->dialogs.errors.isEmpty());
}

QTEST_MAIN(TestExport)
#include "tst_export.moc"
