#include "core/journal/JournalExport.h"

#include "core/xlsx/XlsxFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <xlsxwriter.h>

#include <algorithm>
#include <vector>

namespace {

using XlsxFile::reasonOf;
using XlsxFile::unableToWrite;

// Excel's widest column, in characters.
constexpr double kMaxColumnWidth = 255.0;

// Owns the workbook until it is written; a workbook abandoned half-way is freed without writing.
class Workbook
{
public:
    Workbook(const QString& path, const QString& target)
    {
        lxw_workbook_options options{};
        options.constant_memory = LXW_TRUE; // rows go to disk as they come: the journal may be huge
        const QByteArray name = QFile::encodeName(path);
        m_book = workbook_new_opt(name.constData(), &options);
        if (!m_book)
            unableToWrite(target, reasonOf(LXW_ERROR_MEMORY_MALLOC_FAILED));
    }
    ~Workbook()
    {
        if (m_book)
            lxw_workbook_free(m_book);
    }
    Workbook(const Workbook&) = delete;
    Workbook& operator=(const Workbook&) = delete;

    lxw_workbook* get() const { return m_book; }
    lxw_error close()
    {
        lxw_workbook* book = m_book;
        m_book = nullptr;
        return workbook_close(book);
    }

private:
    lxw_workbook* m_book = nullptr;
};

class SheetWriter
{
public:
    SheetWriter(lxw_worksheet* sheet, lxw_format* blank, int columns, const QString& target)
        : m_sheet(sheet), m_blank(blank), m_widths(static_cast<std::size_t>(columns), 0), m_target(target)
    {
    }

    void addRow(const QStringList& cells)
    {
        if (m_row >= JournalExport::kMaxSheetRows)
            unableToWrite(m_target, QStringLiteral("the journal has more rows than a worksheet holds (%1)")
                                        .arg(JournalExport::kMaxSheetRows));
        const auto row = static_cast<lxw_row_t>(m_row);
        for (std::size_t c = 0; c < m_widths.size(); ++c) {
            const QString text = cells.value(static_cast<qsizetype>(c));
            const auto col = static_cast<lxw_col_t>(c);
            lxw_error error = LXW_NO_ERROR;
            if (text.isEmpty()) {
                // An empty cell still belongs to its row, so an empty row shows as a row.
                error = worksheet_write_blank(m_sheet, row, col, m_blank);
            } else {
                error = worksheet_write_string(m_sheet, row, col, text.toUtf8().constData(), nullptr);
                m_widths[c] = std::max<qsizetype>(m_widths[c], text.size());
            }
            if (error != LXW_NO_ERROR)
                unableToWrite(m_target, reasonOf(error));
        }
        ++m_row;
    }

    qint64 rows() const { return m_row; }

    void fitColumns()
    {
        for (std::size_t c = 0; c < m_widths.size(); ++c) {
            if (m_widths[c] == 0)
                continue;
            // A character of the default font is one unit of width; a little room keeps the widest
            // text from touching the next column.
            const double width = std::min(static_cast<double>(m_widths[c]) * 1.1 + 1.0, kMaxColumnWidth);
            const auto col = static_cast<lxw_col_t>(c);
            const lxw_error error = worksheet_set_column(m_sheet, col, col, width, nullptr);
            if (error != LXW_NO_ERROR)
                unableToWrite(m_target, reasonOf(error));
        }
    }

private:
    lxw_worksheet* m_sheet;
    lxw_format* m_blank;
    std::vector<qsizetype> m_widths;
    QString m_target;
    qint64 m_row = 0;
};

} // namespace

namespace JournalExport {

QString fileNameFor(const QString& chosen)
{
    if (chosen.isEmpty())
        return chosen;
    const QString suffix = QFileInfo(chosen).suffix();
    if (suffix.compare(QStringLiteral("xlsx"), Qt::CaseInsensitive) == 0)
        return chosen;
    // The older spreadsheet extension would name a file of another format, and the spreadsheet
    // program would warn of the mismatch.
    if (suffix.compare(QStringLiteral("xls"), Qt::CaseInsensitive) == 0)
        return chosen.chopped(3) + QStringLiteral("xlsx");
    // Anything else after a dot is part of the name ("журнал_10.12.2026").
    return chosen + QStringLiteral(".xlsx");
}

QString savedMessage(const QString& path)
{
    return QStringLiteral("Журнал сохранён в файл\n%1").arg(QDir::toNativeSeparators(path));
}

QString overwriteQuestion(const QString& path)
{
    return QStringLiteral("Файл %1 уже существует. Заменить его?").arg(QDir::toNativeSeparators(path));
}

QString proposedName(const QString& remembered)
{
    // A name remembered by an older installation that wrote ".xls" files.
    if (QFileInfo(remembered).suffix().compare(QStringLiteral("xls"), Qt::CaseInsensitive) == 0)
        return remembered.chopped(3) + QStringLiteral("xlsx");
    return remembered;
}

void writeXlsx(const QString& path, const QStringList& captions, const EntrySource& entries)
{
    const QString target = QFileInfo(path).absoluteFilePath();
    XlsxFile::checkTarget(target);

    XlsxFile::Replacement file(target);

    {
        Workbook book(file.temporaryPath(), target);
        lxw_worksheet* journal = workbook_add_worksheet(book.get(), kSheetName.toUtf8().constData());
        lxw_format* blank = workbook_add_format(book.get());
        if (!journal || !blank)
            unableToWrite(target, reasonOf(LXW_ERROR_MEMORY_MALLOC_FAILED));

        SheetWriter sheet(journal, blank, static_cast<int>(captions.size()), target);
        sheet.addRow(captions);
        entries([&sheet](const QStringList& cells) { sheet.addRow(cells); });
        if (sheet.rows() == 1)
            sheet.addRow(QStringList());
        sheet.fitColumns();

        const lxw_error error = book.close();
        if (error != LXW_NO_ERROR)
            unableToWrite(target, reasonOf(error));
    }

    file.commit();
}

} // namespace JournalExport
