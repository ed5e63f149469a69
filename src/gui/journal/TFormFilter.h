#pragma once

#include "core/journal/FilterClause.h"
#include "gui/kit/FormBase.h"

#include <QStringList>

#include <functional>
#include <utility>

class ButtonGroup;
class QCheckBox;
class QComboBox;
class QDateEdit;
class QLabel;
class QLineEdit;
class QTimeEdit;
class WardServer;

// The journal filter: a time range, a ward, a place, a function and a reaction-time bound, turned
// into the main window's clause. Modeless; it stays open beside the main window while the operator
// applies or resets. Its selections last for the run and are not saved.
class TFormFilter : public FormBase
{
    Q_OBJECT
public:
    explicit TFormFilter(WardServer& server, QWidget* parent = nullptr);

    void InitForm() override;
    void FormShow() override;

    // The controls as they stand, for the clause.
    FilterSelection selection() const;
    // Builds the clause from the controls, hands it to the engine and reloads the journal.
    void SetFilter();
    // The filter last applied, as the operator reads it; empty when it lets everything through.
    const QString& appliedDescription() const { return m_appliedDescription; }
    // How the journal is reloaded (the main window's RefreshLog); its errors reach the caller.
    void setRefreshLog(std::function<void()> refreshLog) { m_refreshLog = std::move(refreshLog); }
    // Every control back to its initial state; applies nothing.
    void Init0();
    // The controls' initial state without the ward and place lists, which are read from the journal
    // (InitLists): the window is made without touching the database.
    void initControls();
    // The ward and place lists from the journal, the first ward selected. Raises what the database
    // raises; the lists then hold their fixed items only.
    void InitLists();

    void InitCBG();
    void InitCBP(int wardIndex);
    void InitCBF();
    void InitCBtr();

    void ButtonGroup1Items0Click(); // apply
    void ButtonGroup1Items1Click(); // reset, then apply
    void cbt1Click();
    void cbt2Click();
    void cbgChange();
    void cbtrChange();

    QCheckBox* cbt1 = nullptr;
    QDateEdit* dp1 = nullptr;
    QTimeEdit* tp1 = nullptr;
    QCheckBox* cbt2 = nullptr;
    QDateEdit* dp2 = nullptr;
    QTimeEdit* tp2 = nullptr;
    QComboBox* cbg = nullptr;
    QComboBox* cbp = nullptr;
    QComboBox* cbf = nullptr;
    QComboBox* cbtr = nullptr;
    QLineEdit* etr1 = nullptr;
    QLabel* lt[8] = {}; // lt1 to lt8
    ButtonGroup* ButtonGroup1 = nullptr;

    QStringList cbf_; // the function code each item of cbf stands for

    QString sAllFunction = QStringLiteral("Все функции");
    QString sAllGroup = QStringLiteral("Все");
    QString sWithoutGroup = QStringLiteral("Только без группы");
    QString sOff = QStringLiteral("Отключено");
    QString sMore = QStringLiteral("Больше");
    QString sLess = QStringLiteral("Меньше");

private:
    void buildWindow();

    WardServer& m_server;
    std::function<void()> m_refreshLog;
    QString m_appliedDescription;
};
