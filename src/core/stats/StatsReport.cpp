#include "core/stats/StatsReport.h"

#include "core/stats/Statistics.h"
#include "core/xlsx/XlsxFile.h"

#include <QDate>
#include <QFile>
#include <QFileInfo>
#include <QTime>

#include <xlsxwriter.h>

namespace Stats {

namespace {

using XlsxFile::unableToWrite;

constexpr double kSecondsPerDay = 86400.0;

class Writer
{
public:
    Writer(const QString& temporary, const QString& target) : m_target(target)
    {
        const QByteArray name = QFile::encodeName(temporary);
        lxw_workbook_options options{};
        // Rows go to disk as they come: a year's exceptions may run to hundreds of thousands.
        options.constant_memory = LXW_TRUE;
        m_book = workbook_new_opt(name.constData(), &options);
        if (!m_book)
            fail(LXW_ERROR_CREATING_XLSX_FILE);
        m_heading = workbook_add_format(m_book);
        m_time = workbook_add_format(m_book);
        m_moment = workbook_add_format(m_book);
        m_day = workbook_add_format(m_book);
        if (!m_heading || !m_time || !m_moment || !m_day)
            fail(LXW_ERROR_MEMORY_MALLOC_FAILED);
        format_set_bold(m_heading);
        format_set_num_format(m_time, "[h]:mm:ss");
        format_set_num_format(m_moment, "dd.mm.yyyy hh:mm:ss");
        format_set_num_format(m_day, "dd.mm.yyyy");
    }
    ~Writer()
    {
        if (m_book)
            lxw_workbook_free(m_book);
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    void sheet(const QString& name, const QStringList& headings, const QList<double>& widths)
    {
        m_sheet = workbook_add_worksheet(m_book, name.toUtf8().constData());
        if (!m_sheet)
            fail(LXW_ERROR_MEMORY_MALLOC_FAILED);
        m_row = 0;
        for (qsizetype c = 0; c < widths.size(); ++c)
            check(worksheet_set_column(m_sheet, col(c), col(c), widths.at(c), nullptr));
        for (qsizetype c = 0; c < headings.size(); ++c)
            check(worksheet_write_string(m_sheet, 0, col(c), headings.at(c).toUtf8().constData(), m_heading));
        m_row = 1;
    }

    void nextRow()
    {
        if (++m_row >= kMaxSheetRows)
            unableToWrite(m_target,
                          QStringLiteral("more rows than a worksheet holds (%1)").arg(kMaxSheetRows));
    }
    // Before a sheet's rows: whether that many rows fit below the heading.
    void reserve(qint64 rows)
    {
        if (rows + 1 > kMaxSheetRows)
            unableToWrite(m_target,
                          QStringLiteral("more rows than a worksheet holds (%1)").arg(kMaxSheetRows));
    }

    void text(int c, const QString& value)
    {
        if (!value.isEmpty())
            check(worksheet_write_string(m_sheet, row(), col(c), value.toUtf8().constData(), nullptr));
    }
    void number(int c, qint64 value)
    {
        check(worksheet_write_number(m_sheet, row(), col(c), static_cast<double>(value), nullptr));
    }
    void duration(int c, std::optional<int> seconds)
    {
        if (seconds)
            check(worksheet_write_number(m_sheet, row(), col(c), *seconds / kSecondsPerDay, m_time));
    }
    void moment(int c, const QString& timest)
    {
        // Read by hand: a conversion through the local time zone for every one of a year's
        // exceptions would cost more than the rest of the report.
        static const QString form = QStringLiteral("0000.00.00 00:00:00");
        bool ok = timest.size() == form.size();
        for (qsizetype i = 0; ok && i < form.size(); ++i)
            ok = form.at(i) == u'0' ? timest.at(i).isDigit() && timest.at(i).unicode() < 128
                                    : timest.at(i) == form.at(i);
        const auto field = [&timest](int from, int length) {
            return QStringView(timest).mid(from, length).toInt();
        };
        const QDate date = ok ? QDate(field(0, 4), field(5, 2), field(8, 2)) : QDate();
        if (!date.isValid() || !QTime::isValid(field(11, 2), field(14, 2), field(17, 2))) {
            text(c, timest); // never from the journal writer; kept as the text it is
            return;
        }
        lxw_datetime value{date.year(),  date.month(), date.day(),
                           field(11, 2), field(14, 2), static_cast<double>(field(17, 2))};
        check(worksheet_write_datetime(m_sheet, row(), col(c), &value, m_moment));
    }
    void day(int c, const QDate& date)
    {
        lxw_datetime value{date.year(), date.month(), date.day(), 0, 0, 0.0};
        check(worksheet_write_datetime(m_sheet, row(), col(c), &value, m_day));
    }

    void close()
    {
        lxw_workbook* book = m_book;
        m_book = nullptr;
        const lxw_error error = workbook_close(book);
        if (error != LXW_NO_ERROR)
            fail(error);
    }

private:
    lxw_row_t row() const { return static_cast<lxw_row_t>(m_row); }
    static lxw_col_t col(qsizetype c) { return static_cast<lxw_col_t>(c); }
    void check(lxw_error error)
    {
        if (error != LXW_NO_ERROR)
            fail(error);
    }
    [[noreturn]] void fail(lxw_error error) { unableToWrite(m_target, XlsxFile::reasonOf(error)); }

    QString m_target;
    lxw_workbook* m_book = nullptr;
    lxw_worksheet* m_sheet = nullptr;
    lxw_format* m_heading = nullptr;
    lxw_format* m_time = nullptr;
    lxw_format* m_moment = nullptr;
    lxw_format* m_day = nullptr;
    qint64 m_row = 0;
};

// first: the column of the group's name; the house's report puts the hospital ward before it.
void groupRow(Writer& w, const GroupRow& g, int first)
{
    if (first > 0)
        w.text(0, g.department);
    w.text(first, g.name);
    w.number(first + 1, g.calls);
    w.number(first + 2, g.answered);
    w.number(first + 3, g.missed);
    w.number(first + 4, g.open);
    w.number(first + 5, g.removed);
    w.duration(first + 6, g.median);
    w.duration(first + 7, g.percentile90);
    w.duration(first + 8, g.longest);
    w.number(first + 9, g.function4);
}

QString departmentCaption()
{
    return QStringLiteral("Отделение");
}

void groupSheet(Writer& w, const QString& title, QStringList headings, const QList<GroupRow>& rows,
                bool withDepartment)
{
    QList<double> widths{34, 10, 10, 10, 10, 10, 10, 16, 14, 12};
    if (withDepartment) {
        widths.prepend(24);
        headings.prepend(departmentCaption());
    }
    w.sheet(title, headings, widths);
    w.reserve(rows.size());
    for (const GroupRow& row : rows) {
        groupRow(w, row, withDepartment ? 1 : 0);
        w.nextRow();
    }
}

void writeWorkbook(Writer& w, const Report& report)
{
    if (report.house) {
        QStringList headings = columnCaptions(ByWard);
        headings[0] = departmentCaption();
        groupSheet(w, QStringLiteral("Отделения"), headings, report.departments, false);
    }
    for (int g = 0; g < GroupingCount; ++g) {
        // Rooms, staff and places are a ward's own: in the house each belongs to one hospital ward.
        const bool perWard = report.house && (g == ByWard || g == ByStaff || g == ByPlace);
        groupSheet(w, groupingTitle(static_cast<Grouping>(g)), columnCaptions(static_cast<Grouping>(g)),
                   report.groups[static_cast<std::size_t>(g)], perWard);
    }

    QStringList exceptionHeadings = exceptionCaptions();
    QList<double> exceptionWidths{20, 20, 30, 24, 12, 10, 16};
    const int c = report.house ? 1 : 0;
    if (report.house) {
        exceptionHeadings.insert(1, departmentCaption());
        exceptionWidths.insert(1, 24);
    }
    w.sheet(QStringLiteral("Превышения"), exceptionHeadings, exceptionWidths);
    w.reserve(report.exceptions.size());
    for (const ExceptionRow& e : report.exceptions) {
        w.moment(0, e.timest);
        if (report.house)
            w.text(1, e.department);
        w.text(c + 1, e.ward);
        w.text(c + 2, e.place);
        w.text(c + 3, e.staff);
        w.text(c + 4, typeText(report.options, e.f));
        w.duration(c + 5, e.reaction);
        w.text(c + 6, exceptionKindText(e.kind));
        w.nextRow();
    }

    w.sheet(QStringLiteral("По дням"), {QStringLiteral("День"), QStringLiteral("Вызовов")}, {12, 10});
    for (qsizetype d = 0; d < report.callsPerDay.size(); ++d) {
        w.day(0, report.options.first.addDays(d));
        w.number(1, report.callsPerDay.at(d));
        w.nextRow();
    }

    const Options& o = report.options;
    w.sheet(QStringLiteral("Сводка"), {QStringLiteral("Показатель"), QStringLiteral("Значение")}, {34, 16});
    const auto line = [&w](const QString& what) { w.text(0, what); };
    line(QStringLiteral("Первый день"));
    w.day(1, o.first);
    w.nextRow();
    line(QStringLiteral("Последний день"));
    w.day(1, o.last);
    w.nextRow();
    line(QStringLiteral("Граница пропуска"));
    // A time value like every other; a bound edited into no time at all stays the text it is.
    const QByteArray bound = o.maxReactionTime.toLatin1();
    const std::optional<int> boundSeconds =
        QString::fromLatin1(bound) == o.maxReactionTime
            ? parseReaction(std::string_view(bound.constData(), static_cast<std::size_t>(bound.size())))
            : std::nullopt;
    if (boundSeconds)
        w.duration(1, boundSeconds);
    else
        w.text(1, o.maxReactionTime);
    w.nextRow();
    line(QStringLiteral("Порог превышения"));
    w.duration(1, o.thresholdSeconds);
    w.nextRow();
    const GroupRow& t = report.total;
    const QStringList captions = columnCaptions(ByWard);
    const qint64 counts[] = {t.calls, t.answered, t.missed, t.open, t.removed};
    for (int i = 0; i < 5; ++i) {
        line(captions.at(i + 1));
        w.number(1, counts[i]);
        w.nextRow();
    }
    const std::optional<int> times[] = {t.median, t.percentile90, t.longest};
    for (int i = 0; i < 3; ++i) {
        line(captions.at(i + 6));
        w.duration(1, times[i]);
        w.nextRow();
    }
    line(captions.at(9));
    w.number(1, t.function4);
    w.nextRow();
    line(QStringLiteral("Нечитаемых записей пропущено"));
    w.number(1, report.unreadable);
    w.nextRow();
}

} // namespace

void writeReport(const QString& path, const Report& report)
{
    const QString target = QFileInfo(path).absoluteFilePath();
    if (path.isEmpty())
        unableToWrite(path, QStringLiteral("no file name given"));
    // A workbook under another name would not open as what its name says.
    if (QFileInfo(target).suffix().compare(QStringLiteral("xlsx"), Qt::CaseInsensitive) != 0)
        unableToWrite(target, QStringLiteral("файл отчёта должен называться *.xlsx"));
    XlsxFile::checkTarget(target);

    XlsxFile::Replacement file(target);

    {
        Writer writer(file.temporaryPath(), target);
        writeWorkbook(writer, report);
        writer.close();
    }
    file.commit();
}

} // namespace Stats
