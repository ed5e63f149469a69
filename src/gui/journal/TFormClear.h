#pragma once

#include "gui/kit/FormBase.h"

#include <QDate>

class ButtonGroup;
class QDateEdit;
class QFrame;
class QLabel;
class WardServer;

namespace db {
class Database;
}

// Deleting old journal entries: a modal dialog that is itself the confirmation. It ends with 1 to
// delete (the main window then calls ClearLog and reloads the journal) or 2 to leave everything.
class TFormClear : public FormBase
{
    Q_OBJECT
public:
    explicit TFormClear(WardServer& server, QWidget* parent = nullptr);

    void InitForm() override;
    void InitSave() override;
    void FormShow() override;

    // Deletes every entry of the day shown in the date picker and of all earlier days.
    void ClearLog();

    // The first timestamp that stays: midnight starting the day after the chosen one.
    static QString clearBound(const QDate& lastDay);
    static void deleteUpTo(db::Database& database, const QDate& lastDay);

    void ButtonGroup1Items0Click(); // cancel: result 2
    void ButtonGroup1Items1Click(); // delete: result 1

    // Every way the dialog ends passes here, so its position is saved once.
    void done(int result) override;
    // Anything that would reject the dialog cancels it.
    void reject() override;

    QFrame* gbTime = nullptr;
    QLabel* Label1 = nullptr;
    QDateEdit* dtp11 = nullptr;
    ButtonGroup* ButtonGroup1 = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    WardServer& m_server;
    bool m_ending = false;
};
