#pragma once

#include "core/calls/AntennaWatch.h"
#include "core/calls/OpenCalls.h"
#include "core/journal/TimeFormat.h"
#include "gui/kit/FormBase.h"

class OpenCallsModel;
class QAction;
class QMenu;
class StringGrid;

// "Активные вызовы": the calls waiting for their cancel, longest waiting first, coloured by their
// waiting time, with a red line for every antenna that fell silent. The operator can take a stale
// call off the list (pop-up item or Delete key, after a question); its journal entry stays as it is.
// Modeless; it shows what the open-call list and the antenna watch hold and changes nothing but
// through them.
class TFormCalls : public FormBase
{
    Q_OBJECT
public:
    TFormCalls(OpenCalls& calls, AntennaWatch& antennas, const EscalationValues& settings,
               const LogConst& logConst, const JournalTypeTexts& types, QWidget* parent = nullptr);

    StringGrid* StringGrid1 = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QAction* mDismiss = nullptr;
    OpenCallsModel* model() const { return m_model; }

    QString q1;
    // Caption of the main window's menu item that shows this window.
    QString mCalls;

    // Writes the keys its section lacks (the whole section, after the existing ones, on the first
    // start after an update), then reads it. Throws AppError when the write fails.
    void InitSection();

    void InitForm() override;
    void InitSave() override;

    // Pop-up item and Delete key: the call in the current row off the list, after the question.
    void mDismissClick();

Q_SIGNALS:
    // A call was taken off the list by the operator.
    void callDismissed(const QString& key);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void setAntennaSpans();

    OpenCalls& m_calls;
    OpenCallsModel* m_model = nullptr;
};
