#pragma once

// A small journal in a temporary directory, and the reading of a written report file.

#include "core/db/Database.h"
#include "core/db/Schema.h"

#include <QMap>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QXmlStreamReader>

#include <memory>

namespace statstest {

// A database made as the program makes it, with entries put straight into its journal.
class Journal
{
public:
    Journal()
    {
        m_db = db::Database::openDatabase(path());
        db::runSchema(*m_db);
        db::ensureIndexes(*m_db);
        // Nothing here needs to survive a power cut; waiting for the disk would only slow the tests.
        m_db->executeStatement(QStringLiteral("PRAGMA synchronous = OFF"));
    }
    QString dir() const { return m_dir.path(); }
    QString path() const { return m_dir.filePath(QStringLiteral("orv_med.db")); }
    db::Database& db() { return *m_db; }

    void add(const QString& timest, const QString& f, const QString& reaction,
             const QString& ward = QStringLiteral("Палата 1"),
             const QString& place = QStringLiteral("Койка № 1"),
             const QString& staff = QStringLiteral("Тестова Анна"))
    {
        m_db->executeStatement(
            QStringLiteral("INSERT INTO logs (timest, timestr, abcde, f, butsname, groupsname, workersname, "
                           "reactiontime) VALUES (?, ?, 'f6186', ?, ?, ?, ?, ?)"),
            {timest, reaction.isEmpty() ? QString() : timest, f, place, ward, staff, reaction});
    }

private:
    QTemporaryDir m_dir;
    std::unique_ptr<db::Database> m_db;
};

inline QByteArray unzipEntry(const QString& file, const QString& entry)
{
    QProcess unzip;
    unzip.start(QStringLiteral("unzip"), {QStringLiteral("-p"), file, entry});
    if (!unzip.waitForFinished(10000) || unzip.exitCode() != 0)
        return {};
    return unzip.readAllStandardOutput();
}

// A worksheet's cells as texts: shared or inline strings, numbers as written ("0.5").
struct Sheet
{
    QMap<int, QStringList> rows;   // sheet row (from 1) -> cells by column
    QMap<QString, QString> styles; // cell reference -> style index, for cells that have one
};

// The workbook's sheet names in order, each with its cells.
struct Workbook
{
    QStringList names;
    QList<Sheet> sheets;
    QByteArray styles;
};

inline int columnOf(QStringView reference)
{
    int column = 0;
    for (QChar ch : reference) {
        if (!ch.isLetter())
            break;
        column = column * 26 + (ch.unicode() - 'A' + 1);
    }
    return column - 1;
}

inline Workbook readWorkbook(const QString& file)
{
    Workbook book;
    QStringList shared;
    {
        QXmlStreamReader reader(unzipEntry(file, QStringLiteral("xl/sharedStrings.xml")));
        while (!reader.atEnd()) {
            if (reader.readNextStartElement() && reader.name() == u"t")
                shared << reader.readElementText();
        }
    }
    {
        QXmlStreamReader reader(unzipEntry(file, QStringLiteral("xl/workbook.xml")));
        while (!reader.atEnd()) {
            if (reader.readNextStartElement() && reader.name() == u"sheet")
                book.names << reader.attributes().value(QLatin1String("name")).toString();
        }
    }
    book.styles = unzipEntry(file, QStringLiteral("xl/styles.xml"));
    for (qsizetype s = 0; s < book.names.size(); ++s) {
        Sheet sheet;
        QXmlStreamReader reader(unzipEntry(file, QStringLiteral("xl/worksheets/sheet%1.xml").arg(s + 1)));
        int row = 0;
        int column = 0;
        bool sharedString = false;
        while (!reader.atEnd()) {
            if (!reader.readNextStartElement())
                continue;
            if (reader.name() == u"row") {
                row = reader.attributes().value(QLatin1String("r")).toInt();
            } else if (reader.name() == u"c") {
                const QString ref = reader.attributes().value(QLatin1String("r")).toString();
                column = columnOf(ref);
                sharedString = reader.attributes().value(QLatin1String("t")) == u"s";
                if (reader.attributes().hasAttribute(QLatin1String("s")))
                    sheet.styles[ref] = reader.attributes().value(QLatin1String("s")).toString();
                QStringList& cells = sheet.rows[row];
                while (cells.size() <= column)
                    cells << QString();
            } else if (reader.name() == u"v") {
                const QString value = reader.readElementText();
                sheet.rows[row][column] = sharedString ? shared.value(value.toInt()) : value;
            } else if (reader.name() == u"t") { // an inline string
                sheet.rows[row][column] = reader.readElementText();
            }
        }
        book.sheets << sheet;
    }
    return book;
}

} // namespace statstest
