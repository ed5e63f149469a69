#pragma once

#include <QRect>
#include <QSize>

class QWidget;

// Top, Left, Height and Width in the settings are the window's outer frame; Qt places and sizes the
// client area. Before a window is first shown it has no frame yet, so a design frame stands in.
namespace WindowGeometry {

QSize designFrame();
// The frame around the client area: the real one once shown, the design one before.
QSize frame(const QWidget& window);
QRect outer(const QWidget& window);
void setOuter(QWidget& window, const QRect& rect);

} // namespace WindowGeometry
