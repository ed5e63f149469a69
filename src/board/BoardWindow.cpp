#include "board/BoardWindow.h"

#include "board/BoardStation.h"
#include "board/TileGrid.h"

#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>

namespace {

const QColor kBackground(0x10, 0x14, 0x18);
const QColor kQuiet(0x78, 0x90, 0x9C);

QFont pixelFont(const QFont& base, int pixels, bool bold)
{
    QFont font(base);
    font.setPixelSize(std::max(pixels, 8));
    font.setBold(bold);
    return font;
}

// A font for text that must be read whole (a place name, the banner): made smaller until the text
// fits the width, down to half its size; only then does the text get shortened.
QFont fittingFont(const QFont& base, int pixels, bool bold, const QString& text, int width)
{
    QFont font = pixelFont(base, pixels, bold);
    const int advance = QFontMetrics(font).horizontalAdvance(text);
    if (advance > width && advance > 0)
        font.setPixelSize(std::max({8, pixels / 2, int(qint64(pixels) * width / advance)}));
    return font;
}

} // namespace

// Every text of the board is written through here, so that what was written (and whether it had to
// be shortened) can be told afterwards.
class BoardWindow::Writer
{
public:
    Writer(QPainter& painter, QList<DrawnText>& drawn) : m_painter(painter), m_drawn(drawn) {}

    QPainter& painter() { return m_painter; }

    // One line inside rect in the painter's font, shortened with "…" only when too long.
    void line(const QRect& rect, const QString& text, int flags, const QString& whole = QString())
    {
        const QString shown = m_painter.fontMetrics().elidedText(text, Qt::ElideRight, rect.width());
        m_painter.drawText(rect, flags | Qt::TextSingleLine, shown);
        m_drawn.append({shown, whole.isNull() ? text : whole, m_painter.font().pixelSize(), shown != text});
    }

    // Text broken at its words into the lines that fit rect's width, when they all fit its height at
    // this font; false (and nothing drawn) otherwise.
    bool wrapped(const QRect& rect, const QString& text, int flags)
    {
        const QFontMetrics metrics(m_painter.font());
        QStringList lines;
        QString current;
        for (const QString& word : text.split(u' ', Qt::SkipEmptyParts)) {
            const QString longer = current.isEmpty() ? word : current + u' ' + word;
            if (metrics.horizontalAdvance(longer) <= rect.width()) {
                current = longer;
                continue;
            }
            if (current.isEmpty() || metrics.horizontalAdvance(word) > rect.width())
                return false; // one word wider than the tile: shrinking must help first
            lines << current;
            current = word;
        }
        if (!current.isEmpty())
            lines << current;
        const int lineHeight = metrics.height();
        if (lines.isEmpty() || lineHeight * lines.size() > rect.height())
            return false;
        int top = rect.top() + (rect.height() - lineHeight * int(lines.size())) / 2;
        for (const QString& l : std::as_const(lines)) {
            m_painter.drawText(QRect(rect.left(), top, rect.width(), lineHeight),
                               flags | Qt::AlignVCenter | Qt::TextSingleLine, l);
            m_drawn.append({l, text, m_painter.font().pixelSize(), false});
            top += lineHeight;
        }
        return true;
    }

private:
    QPainter& m_painter;
    QList<DrawnText>& m_drawn;
};

namespace {

// Draws a name that must be read whole (a place, the stale mark): on one line when it fits at up to a quarter
// less than its size; otherwise wrapped at its words onto two lines, made smaller until they fit, down to a
// third of its size; only then shortened.
void wholeName(BoardWindow::Writer& out, const QFont& base, int pixels, bool bold, const QRect& rect,
               const QString& text)
{
    QPainter& painter = out.painter();
    QFont font = pixelFont(base, pixels, bold);
    const int advance = QFontMetrics(font).horizontalAdvance(text);
    if (advance <= rect.width() ||
        int(qint64(pixels) * rect.width() / std::max(advance, 1)) >= pixels * 3 / 4) {
        painter.setFont(fittingFont(base, pixels, bold, text, rect.width()));
        out.line(rect, text, Qt::AlignLeft | Qt::AlignVCenter);
        return;
    }
    for (int px = rect.height() * 45 / 100; px >= std::max(8, pixels / 3); px -= std::max(1, px / 12)) {
        font.setPixelSize(px);
        painter.setFont(font);
        if (out.wrapped(rect, text, Qt::AlignLeft))
            return;
    }
    font.setPixelSize(std::max(8, pixels / 3));
    painter.setFont(font);
    const QFontMetrics metrics(font);
    // Two lines, the second shortened.
    const int lineHeight = rect.height() / 2;
    int cut = int(text.size());
    while (cut > 1 && metrics.horizontalAdvance(text.left(cut)) > rect.width())
        --cut;
    const int space = int(text.left(cut).lastIndexOf(u' '));
    if (space > 0 && cut < text.size())
        cut = space + 1;
    out.line(QRect(rect.left(), rect.top(), rect.width(), lineHeight), text.left(cut).trimmed(),
             Qt::AlignLeft | Qt::AlignVCenter, text);
    out.line(QRect(rect.left(), rect.top() + lineHeight, rect.width(), rect.height() - lineHeight),
             text.mid(cut).trimmed(), Qt::AlignLeft | Qt::AlignVCenter, text);
}

} // namespace

BoardWindow::BoardWindow(const BoardStation& station, const BoardSettings& settings, QWidget* parent)
    : QWidget(parent), m_station(station), m_settings(settings)
{
    setWindowTitle(settings.Caption);
    setMinimumSize(480, 320);
    setAutoFillBackground(false);
    setAttribute(Qt::WA_OpaquePaintEvent);
    connect(&station, &BoardStation::changed, this, qOverload<>(&QWidget::update));
    m_second.setInterval(500);
    connect(&m_second, &QTimer::timeout, this, qOverload<>(&QWidget::update));
    m_second.start();
}

QString BoardWindow::waitingText(qint64 ms)
{
    const qint64 seconds = std::max<qint64>(ms, 0) / 1000;
    const qint64 h = seconds / 3600;
    const qint64 m = (seconds / 60) % 60;
    const qint64 s = seconds % 60;
    if (h > 0)
        return QStringLiteral("%1:%2:%3")
            .arg(h)
            .arg(m, 2, 10, QLatin1Char('0'))
            .arg(s, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2").arg(m).arg(s, 2, 10, QLatin1Char('0'));
}

QString BoardWindow::bannerText() const
{
    if (!m_station.isLost())
        return QString();
    const QDateTime last = m_station.lastPingAt();
    if (last.isNull())
        return m_settings.lostText + QLatin1Char(' ') + m_settings.noPingText;
    return m_settings.lostText + QLatin1Char(' ') + m_settings.lastPingText + QLatin1Char(' ') +
           last.toString(QStringLiteral("HH:mm:ss"));
}

void BoardWindow::keyPressEvent(QKeyEvent* event)
{
    // F11 switches between the whole screen and a window, for setting the board up.
    if (event->key() == Qt::Key_F11) {
        setWindowState(windowState() ^ Qt::WindowFullScreen);
        return;
    }
    QWidget::keyPressEvent(event);
}

void BoardWindow::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    m_drawn.clear();
    Writer out(painter, m_drawn);
    painter.fillRect(rect(), kBackground);

    const qint64 now = m_station.nowMs();
    const bool blinkOn = (now / 500) % 2 == 0;
    QRect area = rect().adjusted(12, 12, -12, -12);

    const QString banner = bannerText();
    if (!banner.isEmpty()) {
        const int bannerHeight = std::max(56, height() / 10);
        const QRect band(0, 0, width(), bannerHeight);
        painter.fillRect(band, bannerColor());
        painter.setPen(Qt::white);
        const QRect textRect = band.adjusted(16, 0, -16, 0);
        painter.setFont(fittingFont(font(), bannerHeight * 45 / 100, true, banner, textRect.width()));
        out.line(textRect, banner, Qt::AlignCenter);
        area.setTop(bannerHeight + 12);
    }

    const QList<CallList::Tile>& tiles = m_station.calls().tiles();
    if (tiles.isEmpty()) {
        painter.setPen(kQuiet);
        painter.setFont(pixelFont(font(), std::max(24, height() / 12), false));
        out.line(area, m_settings.emptyText, Qt::AlignCenter);
        return;
    }

    const int minTile = std::min(kMinTileHeight, std::max(area.height(), 1));
    const TileGrid::Layout grid = TileGrid::layout(int(tiles.size()), area, minTile, 12);
    const qsizetype cells = grid.cells.size();
    const qsizetype hidden = tiles.size() - cells;
    for (qsizetype i = 0; i < cells; ++i) {
        if (hidden > 0 && i == cells - 1)
            paintMore(out, grid.cells.at(i), hidden + 1);
        else
            paintTile(out, grid.cells.at(i), int(i), now, blinkOn);
    }
}

void BoardWindow::paintTile(Writer& out, const QRect& cell, int index, qint64 nowMs, bool blinkOn) const
{
    QPainter& painter = out.painter();
    const CallList& calls = m_station.calls();
    const CallList::Tile& tile = calls.tiles().at(index);
    const CallList::Level level = calls.level(tile, nowMs);

    QColor fill = normalColor();
    QColor text = Qt::white;
    if (!tile.isCall) {
        fill = placeColor();
    } else if (level == CallList::Level::Warning) {
        fill = warningColor();
        text = Qt::black;
    } else if (level == CallList::Level::Alarm) {
        fill = blinkOn ? alarmColor() : alarmColor().darker(160);
    }
    if (tile.stale) {
        // Possibly over: the colour stays readable but greyed, so the tile looks unsure of itself.
        fill = QColor::fromHsv(fill.hue(), fill.saturation() / 2, fill.value() * 3 / 4);
        const int luma = (299 * fill.red() + 587 * fill.green() + 114 * fill.blue()) / 1000;
        text = luma > 140 ? Qt::black : Qt::white;
    }

    const int h = cell.height();
    const int radius = std::max(6, h / 12);
    QPainterPath path;
    path.addRoundedRect(cell, radius, radius);
    painter.fillPath(path, fill);
    if (tile.stale) {
        painter.fillPath(path, QBrush(QColor(0, 0, 0, 70), Qt::BDiagPattern));
    }
    if (calls.isHighlighted(tile, nowMs)) {
        const int pen = std::max(4, h / 16);
        painter.setPen(QPen(blinkOn ? QColor(Qt::white) : QColor(0xFF, 0xEB, 0x3B), pen));
        painter.drawRoundedRect(cell.adjusted(pen / 2, pen / 2, -pen / 2, -pen / 2), radius, radius);
    }

    const int pad = std::max(8, h / 14);
    const QRect inner = cell.adjusted(pad, pad / 2, -pad, -pad / 2);
    const int bigPx = h * 30 / 100;
    const int midPx = h * 17 / 100;
    const int timePx = h * 22 / 100;
    painter.setPen(text);

    // First line, the whole width: the place, which is what the nurse must read first.
    const QString place = tile.place.isEmpty() ? tile.code : tile.place;
    const QRect first(inner.left(), inner.top(), inner.width(), bigPx * 13 / 10);
    wholeName(out, font(), bigPx, true, first, place);

    // Second line: the ward (places of the same name exist in several wards) and who answers.
    const QRect second(inner.left(), first.bottom() + 1, inner.width(), midPx * 13 / 10);
    QStringList who;
    if (!tile.ward.isEmpty())
        who << tile.ward;
    if (tile.isCall && !tile.staff.isEmpty())
        who << tile.staff;
    const QString whoText = who.join(QStringLiteral(" · "));
    if (!whoText.isEmpty())
        wholeName(out, font(), midPx, false, second, whoText);

    // Last line: the type of call (or the stale mark), and the waiting time on the right.
    QRect third(inner.left(), inner.bottom() - timePx * 13 / 10, inner.width(), timePx * 13 / 10);
    if (tile.isCall) {
        const QString waited = waitingText(nowMs - tile.sinceMs);
        painter.setFont(pixelFont(font(), timePx, true));
        const int timeWidth = painter.fontMetrics().horizontalAdvance(waited);
        out.line(third, waited, Qt::AlignRight | Qt::AlignVCenter);
        third.setRight(third.right() - timeWidth - pad);
    }
    // While a tile may be over, saying so matters more than the type of call.
    const QString label = tile.stale    ? m_settings.staleText
                          : tile.isCall ? m_settings.typeLabel(tile.function)
                                        : m_settings.placeText;
    wholeName(out, font(), midPx, tile.stale, third, label);
}

void BoardWindow::paintMore(Writer& out, const QRect& cell, qsizetype hidden) const
{
    QPainter& painter = out.painter();
    QPainterPath path;
    const int radius = std::max(6, cell.height() / 12);
    path.addRoundedRect(cell, radius, radius);
    painter.fillPath(path, QColor(0x37, 0x47, 0x4F));
    painter.setPen(Qt::white);
    // The number matters more than the words: it has a line of its own and is never shortened.
    const QRect inner = cell.adjusted(12, 8, -12, -8);
    const QRect words(inner.left(), inner.top(), inner.width(), inner.height() * 45 / 100);
    const QRect number(inner.left(), words.bottom() + 1, inner.width(), inner.bottom() - words.bottom());
    painter.setFont(fittingFont(font(), words.height() * 60 / 100, true, m_settings.moreText, words.width()));
    out.line(words, m_settings.moreText, Qt::AlignCenter);
    const QString count = QString::number(hidden);
    QFont big = pixelFont(font(), number.height() * 80 / 100, true);
    const int advance = QFontMetrics(big).horizontalAdvance(count);
    if (advance > number.width())
        big.setPixelSize(std::max(8, int(qint64(big.pixelSize()) * number.width() / advance)));
    painter.setFont(big);
    out.line(number, count, Qt::AlignCenter);
}
