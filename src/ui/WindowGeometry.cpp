#include "ui/WindowGeometry.h"

#include "settings/SettingsTable.h"

#include <QWidget>

namespace WindowGeometry {

QSize designFrame() { return ::designFrame(); }

QSize frame(const QWidget& window)
{
    return window.isVisible() ? window.frameGeometry().size() - window.size() : designFrame();
}

QRect outer(const QWidget& window) { return QRect(window.frameGeometry().topLeft(), window.size() + frame(window)); }

void setOuter(QWidget& window, const QRect& rect)
{
    window.move(rect.topLeft());
    window.resize((rect.size() - frame(window)).expandedTo(QSize(1, 1)));
}

} // namespace WindowGeometry
