#pragma once

#include <QColor>
#include <QLabel>
#include <QLayout>
#include <QList>

// The colour of what must catch the operator's eye: calls in alarm, a silent antenna, a mode in which
// the presses also go elsewhere.
inline QColor alarmTextColour()
{
    return QColor(0xc0, 0x00, 0x00);
}

// One panel of a status row: its whole text when there is room, otherwise the text cut with "…",
// the whole of it then in the tooltip. Its text() is always the whole text.
class StatusPanel : public QLabel
{
    Q_OBJECT
public:
    explicit StatusPanel(QWidget* parent = nullptr);

    // The text in the alarm colour, or in the ordinary one.
    void setAlarm(bool on);
    bool alarm() const { return m_alarm; }
    // Whether the panel is narrower than its text.
    bool elided() const;
    // The width the whole text needs.
    int wholeWidth() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool m_alarm = false;
};

// The panels of a status bar in one row, each with a priority. When the row is too narrow for every
// text, the panels of the lowest priority are cut first, so the highest ones (the calls in alarm,
// an outage) stay whole as long as they fit at all. A panel with no text takes no room.
class StatusPanelsLayout : public QLayout
{
public:
    explicit StatusPanelsLayout(QWidget* parent = nullptr);
    ~StatusPanelsLayout() override;

    // In the order they stand, left to right. `width`: the width the panel keeps whatever its text
    // (-1: as wide as its text); `stretch`: the panel that takes the room left over.
    void addPanel(StatusPanel* panel, int priority, int width = -1, bool stretch = false);

    void addItem(QLayoutItem* item) override;
    int count() const override;
    QLayoutItem* itemAt(int index) const override;
    QLayoutItem* takeAt(int index) override;
    QSize sizeHint() const override;
    QSize minimumSize() const override;
    void setGeometry(const QRect& rect) override;

    // The widths the panels get in a row of `available` pixels, in panel order.
    QList<int> widthsFor(int available) const;

private:
    struct Panel
    {
        QLayoutItem* item = nullptr;
        int priority = 0;
        int width = -1;
        bool stretch = false;
    };
    int wanted(const Panel& panel) const;
    int whole(const Panel& panel) const;

    QList<Panel> m_panels;
};
