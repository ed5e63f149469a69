#pragma once

#include "core/directory/AddButsLogic.h"
#include "gui/kit/FormBase.h"

#include <QStringList>
#include <QTimer>

#include <functional>

class QComboBox;
class QFrame;
class QHideEvent;
class QLabel;
class QLineEdit;
class QPushButton;
class TFormButs;
class WardServer;

// The button-adding window. While it is shown the main window is in adding mode: every pressed
// place button or KB unit that is not in the places list yet becomes a new place, named and
// commented from a running number put into templates. A button can also be registered by typing its
// identifier, which the antennas must first accept ("@ADD").
class TFormAddButs : public FormBase
{
    Q_OBJECT
public:
    // places: the places window, whose list holds the codes already known.
    TFormAddButs(WardServer& server, TFormButs* places, QWidget* parent = nullptr);

    void InitForm() override;
    void InitSave() override;
    void FormShow() override;
    // A settings file that cannot be written shows the error box; the window closes all the same.
    void FormClose() override;
    void FormHide();

    // A pressed call button (and its cancel code; empty: the place cancels with its call code).
    // A known code selects its row in the places list; a code added moments ago is ignored; any
    // other becomes a place. Raises a database error, which ends the addition.
    void ProcessAddButs(const QString& abcde, const QString& btnclr);
    // A pressed KB unit, by its two-character unit code; it becomes a place with that code as both
    // call and cancel code.
    void ProcessAddKB(const QString& ab);
    // Inserts one place named and commented from the window's fields, then moves the number on.
    void AddButs(const QString& abcde, const QString& btnclr);
    // Refills the ward and staff drop-downs and selects their default items.
    void RefreshForm();
    // The typed path: "@ADD" for each identifier, then the place.
    void Button2Click();
    // Forgets the codes added recently once the window has something to say.
    void Timer1Timer();

    QLabel* lt1 = nullptr;
    QLabel* lt2 = nullptr;
    QLabel* lt3 = nullptr;
    QLabel* lt4 = nullptr;
    QLabel* lt5 = nullptr;
    QLabel* lt6 = nullptr;
    QLabel* lt7 = nullptr;
    QLabel* lt8 = nullptr;
    QLineEdit* e1 = nullptr;  // next number (digits only)
    QLineEdit* e2 = nullptr;  // width of the number (digits only)
    QLineEdit* e3 = nullptr;  // name template
    QComboBox* cb4 = nullptr; // ward, item 0 = none
    QComboBox* cb6 = nullptr; // staff member, item 0 = none
    QLineEdit* e5 = nullptr;  // comment template
    QLineEdit* e6 = nullptr;  // call-button identifier
    QLineEdit* e7 = nullptr;  // cancel-button identifier
    QPushButton* Button2 = nullptr;
    QFrame* messageArea = nullptr;
    QLabel* lb1 = nullptr; // outcome of the last attempt
    QLabel* lb2 = nullptr; // count line
    QTimer Timer1;

    // The pause between two looks at the antennas' reply to "@ADD".
    std::function<void()> replyPause;

    QStringList sl;           // codes added since it was last emptied
    AddButsFailures failures; // codes whose addition failed a moment ago
    qint32 curN = 0;          // places added since the window was last shown

    // Settings read at creation.
    qint32 r1 = 5;
    qint32 r2 = 3;
    QString r3;
    qint32 r4 = 1;
    qint32 r6 = 0;
    QString r4_0;
    QString r6_0;
    QString r5;
    QString r7;
    QString r8;
    qint32 abfTimer = 5;
    QString lb1_0;
    QString lb1_1;
    QString lb1_2;
    QString lb1_3;
    QString lb1_4;
    QString lb2_0;
    QString lb3_0;
    QString lb3_1;

protected:
    void hideEvent(QHideEvent* event) override;

private:
    void processAdd(const QString& code, const QString& btnclr, const QString& knownText,
                    const QString& addedText);
    WardServer& m_server;
    TFormButs* m_places;

    static void fillChoices(QComboBox* box, const QString& none, const QStringList& names, qint32 index);
};
