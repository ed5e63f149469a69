#pragma once

#include "gui/kit/FormBase.h"

#include <QList>

class ButtonGroup;
class QComboBox;
class QLabel;
class QLineEdit;
class WardServer;

// The place editor: name, ward, responsible staff member and comment of one place. The codes are
// not edited here. Used modally by the places window: ForEdit, exec, and on OK AddEdit.
class TFormButsEdit : public FormBase
{
    Q_OBJECT
public:
    explicit TFormButsEdit(WardServer& server, QWidget* parent = nullptr);

    void InitForm() override;
    void FormShow() override;

    // Refills both drop-downs and loads the place with this call code (raises a database error,
    // also when no place has the code any more).
    void ForEdit(const QString& abcde);
    // Stores the fields into the place `id` (raises a database error).
    void AddEdit();
    void InitCBGroup();
    void InitCBWorker();
    // The item of a ward or staff id in its drop-down; 0 (the no-one item) when it is not there.
    qint32 cb4_ind(qint64 id) const;
    qint32 cb6_ind(qint64 id) const;

    void ButtonGroup1Items0Click(); // cancel
    void ButtonGroup1Items1Click(); // confirm, without any test

    QLabel* l1 = nullptr; // name
    QLabel* l2 = nullptr; // ward
    QLabel* l3 = nullptr; // comment
    QLabel* l4 = nullptr; // staff member
    QLineEdit* eName = nullptr;
    QComboBox* cb4 = nullptr;
    QComboBox* cb6 = nullptr;
    QLineEdit* eComm = nullptr;
    ButtonGroup* ButtonGroup1 = nullptr;

    qint64 id = 0;
    // Entry i is the id of item i; entry 0 (-1) belongs to the no-one item.
    QList<qint64> cb4_id;
    QList<qint64> cb6_id;

private:
    void end(int result);

    WardServer& m_server;
    // The no-one items of the drop-downs, as the button-adding window's section names them.
    QString m_noneGroup;
    QString m_noneWorker;
};
