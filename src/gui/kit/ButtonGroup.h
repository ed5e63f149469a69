#pragma once

#include <QStyle>
#include <QWidget>

#include <functional>

class QHBoxLayout;
class QToolButton;

// A row of 32 x 32 icon buttons without captions; item N takes its tooltip from the key "bhint<N>".
class ButtonGroup : public QWidget
{
    Q_OBJECT
public:
    explicit ButtonGroup(QWidget* parent = nullptr);

    // A theme icon with a standard picture as fallback, so a bare system still shows something.
    int addItem(const QString& themeIcon, QStyle::StandardPixmap fallback, const QString& hint,
                std::function<void()> onClick);
    int count() const { return static_cast<int>(m_items.size()); }
    QToolButton* item(int index) const { return m_items.at(index); }
    QString hint(int index) const;
    void setHint(int index, const QString& text);
    void click(int index);

private:
    QHBoxLayout* m_layout;
    QList<QToolButton*> m_items;
};
