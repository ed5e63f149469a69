#include "gui/kit/ButtonGroup.h"

#include <QHBoxLayout>
#include <QIcon>
#include <QToolButton>

ButtonGroup::ButtonGroup(QWidget* parent) : QWidget(parent), m_layout(new QHBoxLayout(this))
{
    m_layout->setContentsMargins(2, 2, 2, 2);
    m_layout->setSpacing(4);
    m_layout->addStretch(1);
    setFocusPolicy(Qt::NoFocus);
}

int ButtonGroup::addItem(const QString& themeIcon, QStyle::StandardPixmap fallback, const QString& hint,
                         std::function<void()> onClick)
{
    auto* button = new QToolButton(this);
    const QIcon icon = QIcon::fromTheme(themeIcon, style()->standardIcon(fallback));
    button->setIcon(icon);
    button->setIconSize(QSize(32, 32));
    button->setFixedSize(40, 40);
    button->setToolTip(hint);
    button->setFocusPolicy(Qt::StrongFocus);
    button->setAutoRaise(false);
    const int index = count();
    button->setObjectName(QStringLiteral("item%1").arg(index));
    connect(button, &QToolButton::clicked, this, [onClick = std::move(onClick)] {
        if (onClick)
            onClick();
    });
    m_layout->insertWidget(m_layout->count() - 1, button);
    m_items.append(button);
    return index;
}

QString ButtonGroup::hint(int index) const
{
    return m_items.at(index)->toolTip();
}

void ButtonGroup::setHint(int index, const QString& text)
{
    m_items.at(index)->setToolTip(text);
}

void ButtonGroup::click(int index)
{
    m_items.at(index)->click();
}
