#pragma once

#include <QList>
#include <QRect>
#include <QSize>

class QWidget;

// Top, Left, Height and Width in the settings are the window's outer frame; Qt places and sizes the
// client area. Before a window is first shown it has no frame yet, so a frame is guessed (the one a
// window on show has, else a design frame) and the client size is put right once the window
// manager has framed the window: a window comes back with the outer size it was saved with,
// whatever frame the desktop draws.
namespace WindowGeometry {

QSize designFrame();
// The frame around the client area: the real one once shown, a guess before.
QSize frame(const QWidget& window);
QRect outer(const QWidget& window);
// Places the outer frame at rect's position and gives it rect's size, keeping that outer size once
// the real frame is known.
void setOuter(QWidget& window, const QRect& rect);

// The smallest outer size the operator can shrink the window to, kept as the frame becomes known.
void setMinimumOuter(QWidget& window, QSize minimum);

// The area each screen leaves to windows.
QList<QRect> availableScreens();

// A stored outer geometry made fit for the screens: the size held within the screen its title bar
// lies on (at least 1 by 1), and a window whose title bar lies on no screen moved onto the nearest
// one and held within it. Any 32-bit values are safe, however far out.
QRect fitToScreens(qint64 left, qint64 top, qint64 width, qint64 height, const QList<QRect>& screens);

// Applies Top, Left, Height and Width as read from the settings, fitted to the screens.
void applyStored(QWidget& window, qint64 left, qint64 top, qint64 width, qint64 height);

// Centres the window's outer frame over the opener's, kept on the opener's screen.
void centreOver(QWidget& window, const QWidget& opener);

} // namespace WindowGeometry
