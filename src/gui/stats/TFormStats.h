#pragma once

#include "core/stats/Statistics.h"
#include "core/stats/StatsSource.h"
#include "gui/kit/FormBase.h"

#include <memory>

class QChartView;
class QDateEdit;
class QLabel;
class QProgressBar;
class QPushButton;
class QTabWidget;
class QTimeEdit;
class StringGrid;
class ExceptionsModel;

namespace Stats {
class Runner;
}

// "Статистика": how fast calls are answered over a period, by ward, staff member, place, hour and
// day of the week, with charts, the list of exceptions and the report file. The work runs on its
// own thread over a read-only connection: the window stays usable and the journal goes on.
class TFormStats : public FormBase
{
    Q_OBJECT
public:
    explicit TFormStats(const Stats::Source& source, QWidget* parent = nullptr);
    ~TFormStats() override;

    // The main window's menu item: creates the one window beside `owner` on first use, reading the
    // database and the bound named in the settings file, and shows it.
    static TFormStats* showFor(QWidget* owner);
    static QString menuCaption() { return QStringLiteral("Статистика"); }

    void FormShow() override;
    void FormClose() override;

    // Starts the computation for the period and threshold in the controls.
    void bComputeClick();
    // Writes what the window shows to a file the operator chooses, and says where.
    void bExportClick();
    // What the operator is told when no desktop program opens the written report.
    static QString savedMessage(const QString& path);

    const Stats::Report* report() const { return m_report.get(); }
    bool computing() const;

    QDateEdit* dtpFirst = nullptr;
    QDateEdit* dtpLast = nullptr;
    QTimeEdit* tThreshold = nullptr;
    QPushButton* bCompute = nullptr;
    QPushButton* bExport = nullptr;
    QProgressBar* Progress = nullptr;
    QLabel* lSummary = nullptr;
    // Where the report was last written.
    QLabel* lSaved = nullptr;
    QTabWidget* Tabs = nullptr;
    StringGrid* Grids[Stats::GroupingCount] = {};
    StringGrid* GridExceptions = nullptr;
    QChartView* ChartDays = nullptr;
    QChartView* ChartHours = nullptr;

protected:
    void hideEvent(QHideEvent* event) override;

private:
    void showReport(std::shared_ptr<const Stats::Report> report);
    void showFailure(const QString& message);
    void fillCharts(const Stats::Report& report);

    Stats::Source m_source;
    Stats::Runner* m_runner = nullptr;
    ExceptionsModel* m_exceptions = nullptr;
    std::shared_ptr<const Stats::Report> m_report;
    QString m_lastFile = QStringLiteral("статистика");
};
