#pragma once

#include "gui/kit/FormBase.h"

#include <QColor>
#include <QTimer>

class ButtonGroup;
class QMenu;
class TFormAddButs;
class TFormButsEdit;
class WardServer;
class QHideEvent;
class QPushButton;
class StringGrid;

// The places window: every place with its codes, ward, staff member and comment. From here places
// are registered (the button-adding window), deleted and edited (the place editor), found by the
// press of their button (search mode) and announced to the visualization clients by a double-click.
// Its grid is also the list of known codes the button-adding window looks pressed codes up in.
class TFormButs : public FormBase
{
    Q_OBJECT
public:
    explicit TFormButs(WardServer& server, QWidget* parent = nullptr);

    // The button-adding window and the place editor this window opens, and the menu its grid's right
    // button pops up.
    void setPartners(TFormAddButs* addButs, TFormButsEdit* editor);
    void setPopupMenu(QMenu* menu) { m_popup = menu; }

    void InitForm() override;
    void InitSave() override;
    void FormShow() override;
    // A settings file that cannot be written shows the error box; the window closes all the same.
    void FormClose() override;
    // Search mode off, and the button-adding window hidden with this one.
    void FormHide();

    // Refills the list from the database (raises a database error; the list then stays as it was).
    void RefreshForm();
    // Search mode: one press of a button (a call code, or a KB unit's code).
    void ObrabSearch(const QString& abcde);
    // Search mode off, and the button-adding window shown.
    void ToAddButs();

    void ButtonGroup1Items0Click(); // registration
    void ButtonGroup1Items1Click(); // delete
    void ButtonGroup1Items2Click(); // edit
    void ButtonGroup5Items0Click(); // search mode on
    void bSearchClick();            // search mode off
    void Timer1Timer();             // one blink step of bSearch
    // Search mode ends by itself after this long without a press: a forgotten search would otherwise
    // keep taking the presses for it until the window is closed.
    void SearchIdleTimer();
    // The place notice of data row ARow; the header, an empty row or no row send nothing.
    void StringGrid1DblClickCell(int ARow, int ACol);

    // The colour of bSearch's caption, black or red.
    QColor bSearchFontColor() const { return m_bSearchColor; }

    StringGrid* StringGrid1 = nullptr;
    ButtonGroup* ButtonGroup1 = nullptr;
    ButtonGroup* ButtonGroup5 = nullptr;
    QPushButton* bSearch = nullptr;
    QTimer Timer1;
    // Started when search mode goes on and again at every press while it is on; SearchIdleSec
    // seconds (0: never).
    QTimer SearchIdle;

    QString q1; // a pressed code that is not in the list
    QString q2; // delete

protected:
    void hideEvent(QHideEvent* event) override;

private:
    void setBSearchFontColor(const QColor& color);
    void restartSearchIdle();

    QColor m_bSearchColor = Qt::black;
    WardServer& m_server;
    TFormAddButs* m_addButs = nullptr;
    TFormButsEdit* m_editor = nullptr;
    QMenu* m_popup = nullptr;
};
