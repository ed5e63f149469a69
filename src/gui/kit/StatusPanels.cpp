#include "gui/kit/StatusPanels.h"

#include <QPainter>
#include <QStyle>
#include <QWidgetItem>

#include <algorithm>
#include <numeric>

StatusPanel::StatusPanel(QWidget* parent) : QLabel(parent)
{
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
}

void StatusPanel::setAlarm(bool on)
{
    m_alarm = on;
    QPalette p = palette();
    p.setColor(QPalette::WindowText, on ? alarmTextColour() : QPalette().color(QPalette::WindowText));
    setPalette(p);
}

int StatusPanel::wholeWidth() const
{
    if (text().isEmpty())
        return 0;
    const QMargins m = contentsMargins();
    return fontMetrics().horizontalAdvance(text()) + m.left() + m.right() + 2 * margin() + 2;
}

bool StatusPanel::elided() const
{
    return !text().isEmpty() && width() < wholeWidth();
}

QSize StatusPanel::sizeHint() const
{
    return QSize(wholeWidth(), QLabel::sizeHint().height());
}

QSize StatusPanel::minimumSizeHint() const
{
    return QSize(0, QLabel::minimumSizeHint().height());
}

void StatusPanel::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QRect area = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
    const QString shown = fontMetrics().elidedText(text(), Qt::ElideRight, area.width());
    style()->drawItemText(&painter, area, static_cast<int>(alignment()), palette(), isEnabled(), shown,
                          foregroundRole());
}

StatusPanelsLayout::StatusPanelsLayout(QWidget* parent) : QLayout(parent)
{
    setContentsMargins(0, 0, 0, 0);
    setSpacing(6);
}

StatusPanelsLayout::~StatusPanelsLayout()
{
    for (const Panel& panel : std::as_const(m_panels))
        delete panel.item;
}

void StatusPanelsLayout::addPanel(StatusPanel* panel, int priority, int width, bool stretch)
{
    addChildWidget(panel);
    m_panels.append({new QWidgetItem(panel), priority, width, stretch});
    invalidate();
}

void StatusPanelsLayout::addItem(QLayoutItem* item)
{
    m_panels.append({item, 0, -1, false});
}

int StatusPanelsLayout::count() const
{
    return static_cast<int>(m_panels.size());
}

QLayoutItem* StatusPanelsLayout::itemAt(int index) const
{
    return index >= 0 && index < m_panels.size() ? m_panels.at(index).item : nullptr;
}

QLayoutItem* StatusPanelsLayout::takeAt(int index)
{
    if (index < 0 || index >= m_panels.size())
        return nullptr;
    return m_panels.takeAt(index).item;
}

int StatusPanelsLayout::wanted(const Panel& panel) const
{
    return panel.width >= 0 ? panel.width : whole(panel);
}

QSize StatusPanelsLayout::sizeHint() const
{
    int width = 0;
    int height = 0;
    for (const Panel& panel : m_panels) {
        width += wanted(panel) + spacing();
        height = std::max(height, panel.item->sizeHint().height());
    }
    return QSize(width, height);
}

QSize StatusPanelsLayout::minimumSize() const
{
    int height = 0;
    for (const Panel& panel : m_panels)
        height = std::max(height, panel.item->minimumSize().height());
    return QSize(0, height);
}

int StatusPanelsLayout::whole(const Panel& panel) const
{
    auto* label = qobject_cast<StatusPanel*>(panel.item->widget());
    return label ? label->wholeWidth() : panel.item->sizeHint().width();
}

QList<int> StatusPanelsLayout::widthsFor(int available) const
{
    QList<int> widths;
    for (const Panel& panel : m_panels)
        widths << wanted(panel);
    // The gaps between the panels that show something.
    const int shown =
        static_cast<int>(std::count_if(widths.cbegin(), widths.cend(), [](int w) { return w > 0; }));
    available = std::max(0, available - spacing() * std::max(0, shown - 1));

    int over = std::accumulate(widths.cbegin(), widths.cend(), 0) - available;
    if (over <= 0) {
        for (qsizetype i = 0; i < m_panels.size(); ++i) {
            if (m_panels.at(i).stretch) {
                widths[i] -= over;
                break;
            }
        }
        return widths;
    }
    // First the room a panel of fixed width has beyond its text, then whole panels' text: lowest
    // priority first, among equals the rightmost first.
    for (qsizetype i = m_panels.size() - 1; i >= 0 && over > 0; --i) {
        const int cut = std::min(over, std::max(0, widths.at(i) - whole(m_panels.at(i))));
        widths[i] -= cut;
        over -= cut;
    }
    QList<qsizetype> order(m_panels.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [this](qsizetype a, qsizetype b) {
        if (m_panels.at(a).priority != m_panels.at(b).priority)
            return m_panels.at(a).priority < m_panels.at(b).priority;
        return a > b;
    });
    for (const qsizetype i : order) {
        if (over == 0)
            break;
        const int cut = std::min(over, widths.at(i));
        widths[i] -= cut;
        over -= cut;
    }
    return widths;
}

void StatusPanelsLayout::setGeometry(const QRect& rect)
{
    QLayout::setGeometry(rect);
    const QRect area = contentsRect();
    const QList<int> widths = widthsFor(area.width());
    int x = area.left();
    for (qsizetype i = 0; i < m_panels.size(); ++i) {
        const int w = widths.at(i);
        QLayoutItem* item = m_panels.at(i).item;
        item->setGeometry(QRect(x, area.top(), w, area.height()));
        if (auto* label = qobject_cast<StatusPanel*>(item->widget()))
            label->setToolTip(w < label->wholeWidth() ? label->text() : QString());
        if (w > 0)
            x += w + spacing();
    }
}
