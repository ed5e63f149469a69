#include "gui/calls/OpenCallsModel.h"

#include "core/calls/StatusTexts.h"

#include <QBrush>
#include <QColor>
#include <QFont>

namespace {
const QColor kWarningBack(255, 236, 150);
const QColor kAlarmBack(255, 150, 150);
const QColor kAntennaBack(200, 0, 0);
} // namespace

OpenCallsModel::OpenCallsModel(OpenCalls& calls, AntennaWatch& antennas, const EscalationValues& settings,
                               const LogConst& logConst, const JournalTypeTexts& types,
                               const Clock::Moment& now, QObject* parent)
    : QAbstractTableModel(parent), m_calls(calls), m_antennas(antennas), m_settings(settings),
      m_logConst(logConst), m_types(types), m_now(now.wall), m_nowMs(now.elapsedMs)
{
    m_captions.resize(kColumns);
    m_calls.setObserver(this);
    m_antennas.setListener([this] { refreshAntennas(); });
    refreshAntennas();
}

OpenCallsModel::~OpenCallsModel()
{
    m_calls.setObserver(nullptr);
    m_antennas.setListener({});
}

qint64 OpenCallsModel::callIdAt(int row) const
{
    const int call = row - antennaRows();
    if (row < 0 || call < 0 || call >= m_calls.count())
        return -1;
    return m_calls.at(call).id;
}

QString OpenCallsModel::callKeyAt(int row) const
{
    const int call = row - antennaRows();
    if (row < 0 || call < 0 || call >= m_calls.count())
        return {};
    return m_calls.at(call).key;
}

QString OpenCallsModel::notJournaledText()
{
    return QStringLiteral("не записан в журнал");
}

void OpenCallsModel::refreshAntennas()
{
    QStringList texts;
    for (const AntennaWatch::Silent& antenna : m_antennas.silent())
        texts << StatusTexts::silentAntenna(antenna, m_settings, m_now, m_logConst);
    if (texts == m_antennaTexts)
        return;
    // Rarely more than one line; replaced whole, the calls below keep their rows and selection.
    if (!m_antennaTexts.isEmpty()) {
        beginRemoveRows(QModelIndex(), 0, antennaRows() - 1);
        m_antennaTexts.clear();
        endRemoveRows();
    }
    if (!texts.isEmpty()) {
        beginInsertRows(QModelIndex(), 0, static_cast<int>(texts.size()) - 1);
        m_antennaTexts = texts;
        endInsertRows();
    }
    Q_EMIT antennasChanged();
}

int OpenCallsModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : antennaRows() + m_calls.count();
}

int OpenCallsModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : kColumns;
}

QString OpenCallsModel::typeText(const QString& f) const
{
    if (f == QLatin1String("8"))
        return m_types.log_r8;
    if (f == QLatin1String("4"))
        return m_types.log_r4;
    if (f == QLatin1String("b"))
        return m_types.log_rb;
    return {};
}

QVariant OpenCallsModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const int row = index.row();
    if (row < antennaRows()) {
        switch (role) {
        case Qt::DisplayRole:
            return index.column() == 0 ? m_antennaTexts.at(row) : QString();
        case Qt::BackgroundRole:
            return QBrush(kAntennaBack);
        case Qt::ForegroundRole:
            return QBrush(Qt::white);
        case Qt::FontRole: {
            QFont bold(QStringLiteral("Tahoma"), 8);
            bold.setBold(true);
            return bold;
        }
        default:
            return {};
        }
    }

    const OpenCall& call = m_calls.at(row - antennaRows());
    switch (role) {
    case Qt::DisplayRole:
        switch (index.column()) {
        case 0:
            return call.place;
        case 1:
            return call.ward;
        case 2:
            return call.staff;
        case 3:
            return call.journaled() ? typeText(call.f)
                                    : typeText(call.f) + QStringLiteral(" (") + notJournaledText() + u')';
        case 4:
            return sTimeFromTS(sTSFromDateTime(call.time));
        case kWaitingColumn:
            return OpenCalls::sWaitingTime(OpenCalls::waitingMs(call, m_nowMs), m_logConst);
        default:
            return {};
        }
    case Qt::BackgroundRole:
        if (call.level == CallLevel::Alarm)
            return QBrush(kAlarmBack);
        if (call.level == CallLevel::Warning)
            return QBrush(kWarningBack);
        return {};
    case Qt::FontRole:
        if (!call.journaled()) {
            QFont italic;
            italic.setItalic(true);
            return italic;
        }
        return {};
    case Qt::ToolTipRole:
        if (!call.journaled())
            return QStringLiteral("Вызов ещё не записан в журнал: база данных сейчас недоступна, "
                                  "запись будет сделана, как только она освободится.");
        return {};
    case CallIdRole:
        return QVariant(qlonglong(call.id));
    case CallKeyRole:
        return call.key;
    default:
        return {};
    }
}

QVariant OpenCallsModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return m_captions.value(section);
    return QAbstractTableModel::headerData(section, orientation, role);
}

bool OpenCallsModel::setHeaderData(int section, Qt::Orientation orientation, const QVariant& value, int role)
{
    if (orientation != Qt::Horizontal || role != Qt::EditRole || section < 0 || section >= kColumns)
        return false;
    m_captions[section] = value.toString();
    Q_EMIT headerDataChanged(orientation, section, section);
    return true;
}

void OpenCallsModel::beginInsertCalls(int first, int last)
{
    beginInsertRows(QModelIndex(), antennaRows() + first, antennaRows() + last);
}

void OpenCallsModel::endInsertCalls()
{
    endInsertRows();
}

void OpenCallsModel::beginRemoveCalls(int first, int last)
{
    beginRemoveRows(QModelIndex(), antennaRows() + first, antennaRows() + last);
}

void OpenCallsModel::endRemoveCalls()
{
    endRemoveRows();
}

void OpenCallsModel::beginResetCalls()
{
    beginResetModel();
}

void OpenCallsModel::endResetCalls()
{
    endResetModel();
    Q_EMIT antennasChanged();
}

void OpenCallsModel::callJournaled(int row)
{
    const int shown = row + antennaRows();
    Q_EMIT dataChanged(index(shown, 0), index(shown, kColumns - 1));
}

void OpenCallsModel::callsTicked(const Clock::Moment& now, const QList<int>& levelChangedRows)
{
    m_now = now.wall;
    m_nowMs = now.elapsedMs;
    const int calls = m_calls.count();
    if (calls == 0)
        return;
    const int top = antennaRows();
    Q_EMIT dataChanged(index(top, kWaitingColumn), index(top + calls - 1, kWaitingColumn), {Qt::DisplayRole});
    for (const int row : levelChangedRows)
        Q_EMIT dataChanged(index(top + row, 0), index(top + row, kColumns - 1), {Qt::BackgroundRole});
}
