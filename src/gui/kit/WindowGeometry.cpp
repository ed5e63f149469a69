#include "gui/kit/WindowGeometry.h"

#include "core/settings/SettingsTable.h"

#include <QApplication>
#include <QEvent>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <optional>

namespace {

// Far enough out for any desktop, near enough that sums of two such values fit an int.
constexpr qint64 kFar = 1 << 24;
// The biggest side a window gets when no screen tells better.
constexpr qint64 kMaxSide = 1 << 14;
// The strip along the top of the outer frame that the operator drags the window by.
constexpr qint64 kTitleHeight = 30;
// How much of that strip must lie on a screen for the window to count as reachable.
constexpr qint64 kReachableWidth = 40;
constexpr qint64 kReachableHeight = 10;

QSize realFrame(const QWidget& window)
{
    return window.frameGeometry().size() - window.size();
}

QSize clientFor(QSize outer, QSize frame)
{
    return (outer - frame).expandedTo(QSize(1, 1));
}

bool isFramedWindow(const QWidget& w)
{
    const Qt::WindowType type = w.windowType();
    return (type == Qt::Window || type == Qt::Dialog) && !w.windowFlags().testFlag(Qt::FramelessWindowHint);
}

// Once any window has been framed, a window that reads no frame is one the window manager has not
// framed yet (it frames a window only after it is mapped, also when it is shown again).
bool& framedWindowSeen()
{
    static bool seen = false;
    return seen;
}

qint64 clampTo(qint64 value, qint64 low, qint64 high)
{
    return std::clamp(value, low, std::max(low, high));
}

// Where an outer frame of the given size goes to lie centred over the opener's, kept on the opener's
// screen.
QPoint centredOver(QSize outer, const QWidget& opener)
{
    QRect r(QPoint(0, 0), outer);
    r.moveCenter(opener.frameGeometry().center());
    if (const QScreen* screen = opener.screen()) {
        const QRect area = screen->availableGeometry();
        r.moveLeft(int(clampTo(r.left(), area.left(), qint64(area.left()) + area.width() - r.width())));
        r.moveTop(int(clampTo(r.top(), area.top(), qint64(area.top()) + area.height() - r.height())));
    }
    return r.topLeft();
}

// Keeps the outer size and the outer minimum a window was given once the window manager has framed
// it: the frame is known only after the window is shown, and then the client area is put right
// once. The operator resizing the window, or hiding it, ends the keeping of the size; the minimum
// follows the frame for as long as the window lives.
class OuterSizeKeeper final : public QObject
{
public:
    explicit OuterSizeKeeper(QWidget& window) : QObject(&window), m_window(window)
    {
        setObjectName(QStringLiteral("OuterSizeKeeper"));
        window.installEventFilter(this);
        // A window framed where it already stood gets no event for its frame: look again a few
        // times after it is shown.
        m_look.setInterval(50);
        connect(&m_look, &QTimer::timeout, this, [this] {
            settle();
            if (++m_looks >= kLooks)
                m_opener = nullptr; // from now on where the operator leaves it
            if (m_looks >= kLooks || (!m_keeping && !m_opener))
                m_look.stop();
        });
    }

    static OuterSizeKeeper& of(QWidget& window)
    {
        if (auto* keeper = window.findChild<OuterSizeKeeper*>(QStringLiteral("OuterSizeKeeper"),
                                                              Qt::FindDirectChildrenOnly))
            return *keeper;
        return *new OuterSizeKeeper(window);
    }

    void keepSize(QPoint position, QSize outer, QSize frameUsed)
    {
        m_position = position;
        m_outer = outer;
        m_sizeFrame = frameUsed;
        m_client = m_window.size();
        m_keeping = true;
        settle();
    }

    // Centred over its opener on show: the frame goes there, not back to where it was stored, and is
    // centred again as the window's frame and the opener's come, which the window manager may draw
    // only after both are mapped.
    void keepCentredOver(const QWidget& opener)
    {
        m_opener = &opener;
        m_position = centredOver(outerNow(realFrame(m_window)), opener);
        if (!m_look.isActive()) {
            m_looks = 0;
            m_look.start();
        }
    }

    void keepMinimum(QSize outer, QSize frameUsed)
    {
        m_minimumOuter = outer;
        m_minimumFrame = frameUsed;
        m_window.setMinimumSize(minimumClient(frameUsed));
        if (m_keeping)
            m_client = m_window.size();
        settle();
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == &m_window) {
            switch (event->type()) {
            case QEvent::Hide:
                m_keeping = false;
                m_opener = nullptr;
                m_look.stop();
                break;
            case QEvent::Show:
                m_looks = 0;
                if (m_keeping || m_opener)
                    m_look.start();
                settle();
                break;
            case QEvent::Move:
                // Moved by the program (a stored place, say) rather than by the window manager's
                // framing: that place stands.
                if (m_opener && !m_settling && !event->spontaneous() &&
                    m_window.frameGeometry().topLeft() != m_position)
                    m_opener = nullptr;
                settle();
                break;
            case QEvent::Resize:
                settle();
                break;
            default:
                break;
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QSize minimumClient(QSize frame) const { return (m_minimumOuter - frame).expandedTo(QSize(0, 0)); }
    // The outer size the window has once its frame is settled.
    QSize outerNow(QSize frame) const { return m_keeping ? m_outer : m_window.size() + frame; }

    void settle()
    {
        if (m_settling || !m_window.isVisible())
            return;
        const QSize frame = realFrame(m_window);
        if (frame.width() > 0 || frame.height() > 0)
            framedWindowSeen() = true;
        else if (framedWindowSeen())
            return; // not framed yet; the frame comes with a later event
        const bool minimumMoves = m_minimumOuter.isValid() && frame != m_minimumFrame;
        const bool sizeMoves = m_keeping && frame != m_sizeFrame;
        if (m_opener)
            m_position = centredOver(outerNow(frame), *m_opener);
        const bool recentre = m_opener && m_window.frameGeometry().topLeft() != m_position;
        if (!minimumMoves && !sizeMoves && !recentre)
            return;
        // Resized since by the operator or the window manager: that size stands.
        if (sizeMoves && m_window.size() != m_client)
            m_keeping = false;

        m_settling = true;
        if (minimumMoves) {
            m_minimumFrame = frame;
            m_window.setMinimumSize(minimumClient(frame));
        }
        if (m_keeping) {
            const bool firstFrame = m_sizeFrame.isEmpty() && !frame.isEmpty() && m_window.isVisible();
            m_sizeFrame = frame;
            m_window.resize(clientFor(m_outer, frame));
            m_client = m_window.size();
            // Framed where the client stood: the frame goes where it was stored instead.
            if (firstFrame && m_window.frameGeometry().topLeft() != m_position)
                m_window.move(m_position);
        }
        if (m_opener) {
            // The size as it came out, a minimum larger than the kept size included.
            m_position = centredOver(m_window.size() + frame, *m_opener);
            if (m_window.frameGeometry().topLeft() != m_position)
                m_window.move(m_position);
        }
        m_settling = false;
    }

    static constexpr int kLooks = 20;

    QWidget& m_window;
    QTimer m_look;
    int m_looks = 0;
    QPoint m_position;
    QSize m_outer;
    QSize m_sizeFrame;
    QSize m_client;
    bool m_keeping = false;
    QSize m_minimumOuter; // invalid: no minimum of its own
    QSize m_minimumFrame;
    bool m_settling = false;
    QPointer<const QWidget> m_opener; // centred over it until the looks after a show end
};

// The distance between two rectangles along both axes (0 when they touch or overlap).
qint64 distance(const QRect& a, const QRect& b)
{
    const qint64 dx = std::max<qint64>({0, qint64(b.left()) - a.right(), qint64(a.left()) - b.right()});
    const qint64 dy = std::max<qint64>({0, qint64(b.top()) - a.bottom(), qint64(a.top()) - b.bottom()});
    return dx + dy;
}

} // namespace

namespace WindowGeometry {

QSize designFrame()
{
    return ::designFrame();
}

QSize frame(const QWidget& window)
{
    if (window.isVisible())
        return realFrame(window);
    // A window on show tells what frame the desktop draws; a hidden one has none yet.
    std::optional<QSize> unframed;
    for (const QWidget* other : QApplication::topLevelWidgets()) {
        if (other == &window || !other->isVisible() || !isFramedWindow(*other))
            continue;
        const QSize f = realFrame(*other);
        if (f.width() > 0 || f.height() > 0)
            return f;
        unframed = f;
    }
    return unframed.value_or(designFrame());
}

QRect outer(const QWidget& window)
{
    return QRect(window.frameGeometry().topLeft(), window.size() + frame(window));
}

void setOuter(QWidget& window, const QRect& rect)
{
    const QSize f = frame(window);
    window.move(rect.topLeft());
    window.resize(clientFor(rect.size(), f));
    OuterSizeKeeper::of(window).keepSize(rect.topLeft(), rect.size(), f);
}

void setMinimumOuter(QWidget& window, QSize minimum)
{
    OuterSizeKeeper::of(window).keepMinimum(minimum, frame(window));
}

QList<QRect> availableScreens()
{
    QList<QRect> areas;
    for (const QScreen* screen : QGuiApplication::screens())
        if (!screen->availableGeometry().isEmpty())
            areas.append(screen->availableGeometry());
    return areas;
}

QRect fitToScreens(qint64 left, qint64 top, qint64 width, qint64 height, const QList<QRect>& screens)
{
    qint64 maxWidth = kMaxSide;
    qint64 maxHeight = kMaxSide;
    if (!screens.isEmpty()) {
        maxWidth = 1;
        maxHeight = 1;
        for (const QRect& s : screens) {
            maxWidth = std::max<qint64>(maxWidth, s.width());
            maxHeight = std::max<qint64>(maxHeight, s.height());
        }
    }
    qint64 w = clampTo(width, 1, maxWidth);
    qint64 h = clampTo(height, 1, maxHeight);
    qint64 x = clampTo(left, -kFar, kFar);
    qint64 y = clampTo(top, -kFar, kFar);
    if (screens.isEmpty())
        return QRect(int(x), int(y), int(w), int(h));

    // The screen the title bar lies on; the one holding most of it when it spans two.
    const QRect title(int(x), int(y), int(w), int(std::min(h, kTitleHeight)));
    const QRect* home = nullptr;
    qint64 homeShare = 0;
    for (const QRect& s : screens) {
        const QRect shared = s.intersected(title);
        const qint64 share = qint64(shared.width()) * shared.height();
        if (shared.width() >= std::min(w, kReachableWidth) &&
            shared.height() >= std::min(h, kReachableHeight) && share > homeShare) {
            home = &s;
            homeShare = share;
        }
    }
    if (home) {
        w = std::min<qint64>(w, home->width());
        h = std::min<qint64>(h, home->height());
        return QRect(int(x), int(y), int(w), int(h));
    }

    // Off every screen (a monitor was removed, or the file was edited): onto the nearest one.
    const QRect* nearest = &screens.constFirst();
    for (const QRect& s : screens)
        if (distance(title, s) < distance(title, *nearest))
            nearest = &s;
    w = std::min<qint64>(w, nearest->width());
    h = std::min<qint64>(h, nearest->height());
    x = clampTo(x, nearest->left(), qint64(nearest->left()) + nearest->width() - w);
    y = clampTo(y, nearest->top(), qint64(nearest->top()) + nearest->height() - h);
    return QRect(int(x), int(y), int(w), int(h));
}

void applyStored(QWidget& window, qint64 left, qint64 top, qint64 width, qint64 height)
{
    setOuter(window, fitToScreens(left, top, width, height, availableScreens()));
}

void centreOver(QWidget& window, const QWidget& opener)
{
    const QPoint position = centredOver(window.size() + frame(window), opener);
    window.move(position);
    OuterSizeKeeper::of(window).keepCentredOver(opener);
}

} // namespace WindowGeometry
