#include "gui/stats/TFormStats.h"

#include "core/base/Clock.h"
#include "core/journal/JournalExport.h"
#include "core/settings/AppState.h"
#include "core/stats/StatsReport.h"
#include "core/stats/StatsRunner.h"
#include "gui/kit/Dialogs.h"
#include "gui/kit/StringGrid.h"

#include <QBarCategoryAxis>
#include <QBarSeries>
#include <QBarSet>
#include <QChart>
#include <QChartView>
#include <QDateEdit>
#include <QDateTimeAxis>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineSeries>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSplitter>
#include <QTabWidget>
#include <QTimeEdit>
#include <QVBoxLayout>
#include <QValueAxis>

// The list of exceptions can be long (a year of a busy hospital): the view asks only for the rows it
// shows.
class ExceptionsModel : public QAbstractTableModel
{
public:
    using QAbstractTableModel::QAbstractTableModel;

    void setReport(std::shared_ptr<const Stats::Report> report)
    {
        beginResetModel();
        m_report = std::move(report);
        endResetModel();
    }
    int rowCount(const QModelIndex& parent = {}) const override
    {
        return parent.isValid() || !m_report ? 0 : static_cast<int>(m_report->exceptions.size());
    }
    int columnCount(const QModelIndex& parent = {}) const override
    {
        return parent.isValid() ? 0 : static_cast<int>(Stats::exceptionCaptions().size());
    }
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (orientation == Qt::Horizontal && role == Qt::DisplayRole)
            return Stats::exceptionCaptions().value(section);
        return {};
    }
    QVariant data(const QModelIndex& index, int role) const override
    {
        if (role != Qt::DisplayRole || !m_report || index.row() >= m_report->exceptions.size())
            return {};
        const Stats::ExceptionRow& e = m_report->exceptions.at(index.row());
        switch (index.column()) {
        case 0:
            return e.timest;
        case 1:
            return e.ward;
        case 2:
            return e.place;
        case 3:
            return e.staff;
        case 4:
            return Stats::typeText(m_report->options, e.f);
        case 5:
            return e.reaction ? Stats::durationText(*e.reaction) : QString();
        default:
            return Stats::exceptionKindText(e.kind);
        }
    }

private:
    std::shared_ptr<const Stats::Report> m_report;
};

namespace {

constexpr int kDefaultDays = 30;

QString timeCell(const std::optional<int>& seconds)
{
    return seconds ? Stats::durationText(*seconds) : QString();
}

QStringList rowTexts(const Stats::GroupRow& g)
{
    return {g.name,
            QString::number(g.calls),
            QString::number(g.answered),
            QString::number(g.missed),
            QString::number(g.open),
            QString::number(g.removed),
            timeCell(g.median),
            timeCell(g.percentile90),
            timeCell(g.longest),
            QString::number(g.function4)};
}

QPointer<TFormStats>& instance()
{
    static QPointer<TFormStats> form;
    return form;
}

} // namespace

TFormStats::TFormStats(const Stats::Source& source, QWidget* parent)
    : FormBase(QStringLiteral("StatsForm"), QStringLiteral("Статистика"), QSize(900, 600), QSize(640, 420),
               parent),
      m_source(source)
{
    setObjectName(QStringLiteral("TFormStats"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::WindowMinMaxButtonsHint);

    auto* firstLabel = new QLabel(QStringLiteral("Период с"), this);
    dtpFirst = new QDateEdit(this);
    dtpFirst->setObjectName(QStringLiteral("dtpFirst"));
    dtpFirst->setCalendarPopup(true);
    auto* lastLabel = new QLabel(QStringLiteral("по"), this);
    dtpLast = new QDateEdit(this);
    dtpLast->setObjectName(QStringLiteral("dtpLast"));
    dtpLast->setCalendarPopup(true);
    auto* thresholdLabel = new QLabel(QStringLiteral("Порог ответа"), this);
    tThreshold = new QTimeEdit(QTime(0, 5), this);
    tThreshold->setObjectName(QStringLiteral("tThreshold"));
    tThreshold->setDisplayFormat(QStringLiteral("HH:mm:ss"));
    tThreshold->setToolTip(QStringLiteral("Отвеченные медленнее порога попадают в превышения"));
    bCompute = new QPushButton(QStringLiteral("Рассчитать"), this);
    bCompute->setObjectName(QStringLiteral("bCompute"));
    bExport = new QPushButton(QStringLiteral("В Excel"), this);
    bExport->setObjectName(QStringLiteral("bExport"));
    bExport->setEnabled(false);
    Progress = new QProgressBar(this);
    Progress->setObjectName(QStringLiteral("Progress"));
    Progress->setRange(0, 1);
    Progress->setValue(0);
    Progress->setTextVisible(true);
    connect(bCompute, &QPushButton::clicked, this, [this] { bComputeClick(); });
    connect(bExport, &QPushButton::clicked, this, [this] { bExportClick(); });

    auto* controls = new QHBoxLayout;
    controls->addWidget(firstLabel);
    controls->addWidget(dtpFirst);
    controls->addWidget(lastLabel);
    controls->addWidget(dtpLast);
    controls->addSpacing(12);
    controls->addWidget(thresholdLabel);
    controls->addWidget(tThreshold);
    controls->addSpacing(12);
    controls->addWidget(bCompute);
    controls->addWidget(bExport);
    controls->addWidget(Progress, 1);

    lSummary = new QLabel(this);
    lSummary->setObjectName(QStringLiteral("lSummary"));
    lSummary->setWordWrap(true);
    lSaved = new QLabel(this);
    lSaved->setObjectName(QStringLiteral("lSaved"));
    lSaved->setTextInteractionFlags(Qt::TextSelectableByMouse);

    Tabs = new QTabWidget(this);
    Tabs->setObjectName(QStringLiteral("Tabs"));
    auto* charts = new QSplitter(Qt::Vertical, Tabs);
    ChartDays = new QChartView(charts);
    ChartDays->setObjectName(QStringLiteral("ChartDays"));
    ChartDays->setRenderHint(QPainter::Antialiasing);
    ChartHours = new QChartView(charts);
    ChartHours->setObjectName(QStringLiteral("ChartHours"));
    ChartHours->setRenderHint(QPainter::Antialiasing);
    Tabs->addTab(charts, QStringLiteral("Графики"));

    for (int g = 0; g < Stats::GroupingCount; ++g) {
        const QStringList captions = Stats::columnCaptions(static_cast<Stats::Grouping>(g));
        auto* grid = new StringGrid(static_cast<int>(captions.size()), Tabs);
        grid->setObjectName(QStringLiteral("Grid%1").arg(g));
        // The figures as wide as their captions, so that every column, the last one included, is seen
        // whole at the window's size; the names take what is left.
        const QFontMetrics header(grid->horizontalHeader()->font());
        for (int c = 0; c < captions.size(); ++c) {
            grid->setCaption(c, captions.at(c));
            grid->setColumnWidth(c,
                                 c == 0 ? 130 : std::max(52, header.horizontalAdvance(captions.at(c)) + 12));
        }
        Grids[g] = grid;
        Tabs->addTab(grid, Stats::groupingTitle(static_cast<Stats::Grouping>(g)));
    }
    m_exceptions = new ExceptionsModel(this);
    GridExceptions = new StringGrid(static_cast<int>(Stats::exceptionCaptions().size()), Tabs);
    GridExceptions->setObjectName(QStringLiteral("GridExceptions"));
    GridExceptions->setModel(m_exceptions);
    const int exceptionWidths[] = {130, 120, 160, 150, 90, 70, 110};
    for (int c = 0; c < 7; ++c)
        GridExceptions->setColumnWidth(c, exceptionWidths[c]);
    Tabs->addTab(GridExceptions, QStringLiteral("Превышения"));

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->addLayout(controls);
    layout->addWidget(lSummary);
    layout->addWidget(Tabs, 1);
    layout->addWidget(lSaved);

    m_runner = new Stats::Runner(this);
    connect(m_runner, &Stats::Runner::progress, this, [this](int done, int total) {
        Progress->setRange(0, total);
        Progress->setValue(done);
    });
    connect(m_runner, &Stats::Runner::finished, this,
            [this](std::shared_ptr<const Stats::Report> report) { showReport(std::move(report)); });
    connect(m_runner, &Stats::Runner::failed, this, [this](const QString& message) { showFailure(message); });
}

TFormStats::~TFormStats()
{
    if (instance() == this)
        instance() = nullptr;
}

TFormStats* TFormStats::showFor(QWidget* owner)
{
    if (!instance()) {
        auto* form = new TFormStats(Stats::sourceBesideExecutable(App::exePath()), owner);
        instance() = form;
        // The window keeps its own section of the settings file, as every other window does.
        Dialogs::guard(owner, [form] { form->FormCreate(); });
    }
    instance()->showOrRaise();
    return instance();
}

bool TFormStats::computing() const
{
    return m_runner->running();
}

void TFormStats::FormShow()
{
    const QDate today = Clock::now().date();
    dtpLast->setDate(today);
    dtpFirst->setDate(today.addDays(1 - kDefaultDays));
    bComputeClick();
}

void TFormStats::FormClose()
{
    m_runner->cancel();
    FormBase::FormClose();
}

void TFormStats::hideEvent(QHideEvent* event)
{
    // Nobody looks at a hidden window: its work stops.
    m_runner->cancel();
    FormBase::hideEvent(event);
}

void TFormStats::bComputeClick()
{
    Stats::Options options;
    dtpFirst->interpretText();
    dtpLast->interpretText();
    options.first = dtpFirst->date();
    options.last = dtpLast->date();
    options.thresholdSeconds = tThreshold->time().msecsSinceStartOfDay() / 1000;
    options.maxReactionTime = m_source.maxReactionTime;
    options.typeText8 = m_source.typeText8;
    options.typeTextB = m_source.typeTextB;
    if (options.first > options.last) {
        showFailure(QStringLiteral("Первый день периода позже последнего."));
        return;
    }
    Progress->setRange(0, 0); // busy until the first step is known
    lSummary->setText(QStringLiteral("Идёт расчёт за %1 – %2…")
                          .arg(options.first.toString(QStringLiteral("dd.MM.yyyy")),
                               options.last.toString(QStringLiteral("dd.MM.yyyy"))));
    m_runner->start(m_source.databasePath, options);
}

void TFormStats::showFailure(const QString& message)
{
    Progress->setRange(0, 1);
    Progress->setValue(0);
    // What the window showed belongs to another period: neither shown nor exported under this one.
    m_report.reset();
    for (StringGrid* grid : Grids)
        grid->cells()->setRows({});
    m_exceptions->setReport(nullptr);
    for (QChartView* chart : {ChartDays, ChartHours}) {
        QChart* old = chart->chart();
        chart->setChart(new QChart);
        delete old;
    }
    bExport->setEnabled(false);
    lSummary->setText(QStringLiteral("Статистика не рассчитана."));
    Dialogs::error(this, message);
}

void TFormStats::showReport(std::shared_ptr<const Stats::Report> report)
{
    m_report = std::move(report);
    const Stats::Report& r = *m_report;
    Progress->setRange(0, 1);
    Progress->setValue(1);
    for (int g = 0; g < Stats::GroupingCount; ++g) {
        QList<QStringList> rows;
        for (const Stats::GroupRow& row : r.groups[static_cast<std::size_t>(g)])
            rows << rowTexts(row);
        Grids[g]->cells()->setRows(rows);
    }
    m_exceptions->setReport(m_report);
    fillCharts(r);

    const Stats::GroupRow& t = r.total;
    QString summary =
        QStringLiteral("%1 – %2: вызовов %3, отвечено %4, пропущено %5, открыто %6, "
                       "убрано из активных %7; медиана %8, 90-й процентиль %9, самое долгое %10; "
                       "превышений %11.")
            .arg(r.options.first.toString(QStringLiteral("dd.MM.yyyy")),
                 r.options.last.toString(QStringLiteral("dd.MM.yyyy")))
            .arg(t.calls)
            .arg(t.answered)
            .arg(t.missed)
            .arg(t.open)
            .arg(t.removed)
            .arg(t.median ? Stats::durationText(*t.median) : QStringLiteral("—"),
                 t.percentile90 ? Stats::durationText(*t.percentile90) : QStringLiteral("—"),
                 t.longest ? Stats::durationText(*t.longest) : QStringLiteral("—"))
            .arg(r.exceptions.size());
    if (r.unreadable > 0)
        summary += QStringLiteral(" Записей с нечитаемым временем пропущено: %1.").arg(r.unreadable);
    lSummary->setText(summary);
    bExport->setEnabled(true);
}

void TFormStats::fillCharts(const Stats::Report& r)
{
    auto* days = new QChart;
    days->setTitle(QStringLiteral("Вызовов в день"));
    days->legend()->hide();
    auto* perDay = new QLineSeries(days);
    int most = 0;
    for (qsizetype d = 0; d < r.callsPerDay.size(); ++d) {
        const QDateTime at(r.options.first.addDays(d), QTime(12, 0));
        perDay->append(static_cast<qreal>(at.toMSecsSinceEpoch()), static_cast<qreal>(r.callsPerDay.at(d)));
        most = std::max<int>(most, static_cast<int>(r.callsPerDay.at(d)));
    }
    days->addSeries(perDay);
    auto* dayAxis = new QDateTimeAxis(days);
    dayAxis->setFormat(QStringLiteral("dd.MM"));
    dayAxis->setTickCount(std::min<int>(static_cast<int>(r.callsPerDay.size()), 10) + 1);
    dayAxis->setRange(QDateTime(r.options.first, QTime(0, 0)), QDateTime(r.options.last, QTime(23, 59)));
    auto* countAxis = new QValueAxis(days);
    countAxis->setRange(0, std::max(most, 1));
    countAxis->setLabelFormat(QStringLiteral("%d"));
    countAxis->applyNiceNumbers();
    days->addAxis(dayAxis, Qt::AlignBottom);
    days->addAxis(countAxis, Qt::AlignLeft);
    perDay->attachAxis(dayAxis);
    perDay->attachAxis(countAxis);
    QChart* oldDays = ChartDays->chart();
    ChartDays->setChart(days);
    delete oldDays;

    auto* hours = new QChart;
    hours->setTitle(QStringLiteral("Время ответа по часам суток, мин"));
    auto* median = new QBarSet(QStringLiteral("Медиана"));
    auto* p90 = new QBarSet(QStringLiteral("90-й процентиль"));
    QStringList labels;
    qreal slowest = 0;
    for (int h = 0; h < 24; ++h) {
        const Stats::GroupRow& row = r.groups[Stats::ByHour].at(h);
        const qreal m = row.median ? *row.median / 60.0 : 0.0;
        const qreal p = row.percentile90 ? *row.percentile90 / 60.0 : 0.0;
        median->append(m);
        p90->append(p);
        slowest = std::max(slowest, p);
        labels << QStringLiteral("%1").arg(h, 2, 10, QLatin1Char('0'));
    }
    auto* bars = new QBarSeries(hours);
    bars->append(median);
    bars->append(p90);
    hours->addSeries(bars);
    auto* hourAxis = new QBarCategoryAxis(hours);
    hourAxis->append(labels);
    auto* minutesAxis = new QValueAxis(hours);
    minutesAxis->setRange(0, slowest > 0 ? slowest : 1);
    minutesAxis->applyNiceNumbers();
    hours->addAxis(hourAxis, Qt::AlignBottom);
    hours->addAxis(minutesAxis, Qt::AlignLeft);
    bars->attachAxis(hourAxis);
    bars->attachAxis(minutesAxis);
    hours->legend()->setAlignment(Qt::AlignBottom);
    QChart* oldHours = ChartHours->chart();
    ChartHours->setChart(hours);
    delete oldHours;
}

void TFormStats::bExportClick()
{
    if (!m_report)
        return;
    const QString chosen =
        Dialogs::provider().saveFileName(this, m_lastFile, QStringLiteral("*.xlsx"), QStringLiteral("xlsx"));
    if (chosen.isEmpty())
        return;
    // Named as the journal's export names its file: a workbook always ends in ".xlsx".
    const QString path = QFileInfo(JournalExport::fileNameFor(chosen)).absoluteFilePath();
    m_lastFile = path;
    if (QFileInfo::exists(path) && !Dialogs::question(this, JournalExport::overwriteQuestion(path)))
        return;
    const std::shared_ptr<const Stats::Report> report = m_report;
    if (!Dialogs::guard(this, [&] { Stats::writeReport(path, *report); }))
        return;
    lSaved->setText(QStringLiteral("Сохранено в файл %1").arg(QDir::toNativeSeparators(path)));
    // The report is put in front of the operator; without a program for it, the operator is told where
    // it is.
    if (!Dialogs::provider().openWithDesktop(path))
        Dialogs::message(this, savedMessage(path));
}

QString TFormStats::savedMessage(const QString& path)
{
    return QStringLiteral("Статистика сохранена в файл\n%1").arg(QDir::toNativeSeparators(path));
}
