#pragma once

#include "core/calls/AntennaWatch.h"
#include "core/calls/OpenCalls.h"
#include "core/journal/TimeFormat.h"

#include <QAbstractTableModel>
#include <QStringList>

// The open-calls grid: a red line for each silent antenna on top, then one row per open call,
// longest waiting first. A call the journal does not have yet is shown in italics, its type marked
// so, until the journal takes it. It follows the list row by row; a tick only repaints the waiting
// times and the rows whose colour changed.
class OpenCallsModel : public QAbstractTableModel, private OpenCallsObserver
{
    Q_OBJECT
public:
    static constexpr int kColumns = 6; // place, ward, staff, type, time of the call, waiting time
    static constexpr int kWaitingColumn = 5;
    // The journal id of a call row (0 while the journal does not have it); none for an antenna row.
    static constexpr int CallIdRole = Qt::UserRole + 1;
    // The key of a call row; none for an antenna row.
    static constexpr int CallKeyRole = Qt::UserRole + 2;
    // What a call not yet in the journal shows after its type.
    static QString notJournaledText();

    OpenCallsModel(OpenCalls& calls, AntennaWatch& antennas, const EscalationValues& settings,
                   const LogConst& logConst, const JournalTypeTexts& types, const Clock::Moment& now,
                   QObject* parent = nullptr);
    ~OpenCallsModel() override;

    int antennaRows() const { return static_cast<int>(m_antennaTexts.size()); }
    // The journal id shown in a row, -1 for an antenna row or no row, 0 for a call the journal does
    // not have yet.
    qint64 callIdAt(int row) const;
    // The key of the call shown in a row, "" for an antenna row or no row.
    QString callKeyAt(int row) const;
    // Takes the silent antennas as they now stand.
    void refreshAntennas();

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    bool setHeaderData(int section, Qt::Orientation orientation, const QVariant& value, int role) override;

Q_SIGNALS:
    // The antenna lines were replaced (the view sets their spans again).
    void antennasChanged();

private:
    void beginInsertCalls(int first, int last) override;
    void endInsertCalls() override;
    void beginRemoveCalls(int first, int last) override;
    void endRemoveCalls() override;
    void beginResetCalls() override;
    void endResetCalls() override;
    void callJournaled(int row) override;
    void callsTicked(const Clock::Moment& now, const QList<int>& levelChangedRows) override;

    QString typeText(const QString& f) const;

    OpenCalls& m_calls;
    AntennaWatch& m_antennas;
    EscalationValues m_settings;
    LogConst m_logConst;
    JournalTypeTexts m_types;
    QDateTime m_now;
    qint64 m_nowMs = 0; // on the steady clock, which the waiting times are counted on
    QStringList m_captions;
    QStringList m_antennaTexts;
};
