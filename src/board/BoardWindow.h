#pragma once

#include "board/BoardSettings.h"

#include <QTimer>
#include <QWidget>

class BoardStation;
class QPainter;

// The board itself, drawn as one picture to be read from across the room: a banner across the top
// while the server is not heard, and one large tile per open call, longest waiting first, its
// colour turning from blue to yellow at the warning time and to blinking red at the alarm time.
class BoardWindow : public QWidget
{
    Q_OBJECT
public:
    BoardWindow(const BoardStation& station, const BoardSettings& settings, QWidget* parent = nullptr);

    // The tile colours, also used by the tests that look at a drawn board.
    static QColor normalColor() { return QColor(0x15, 0x65, 0xC0); }
    static QColor warningColor() { return QColor(0xF9, 0xA8, 0x25); }
    static QColor alarmColor() { return QColor(0xC6, 0x28, 0x28); }
    static QColor placeColor() { return QColor(0x6A, 0x1B, 0x9A); }
    static QColor bannerColor() { return QColor(0xB7, 0x1C, 0x1C); }

    // Waiting time as the board shows it: "m:ss", or "h:mm:ss" from an hour on.
    static QString waitingText(qint64 ms);
    // The banner's text; empty while the server is heard.
    QString bannerText() const;

    static constexpr int kMinTileHeight = 150;

    // A text as the last drawing wrote it: shown is what stands on the screen (one line of it), whole
    // what it was meant to say, cut true when shown had to be shortened.
    struct DrawnText
    {
        QString shown;
        QString whole;
        int pixelSize = 0;
        bool cut = false;
    };
    const QList<DrawnText>& drawnTexts() const { return m_drawn; }

    class Writer;

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void paintTile(Writer& out, const QRect& cell, int index, qint64 nowMs, bool blinkOn) const;
    void paintMore(Writer& out, const QRect& cell, qsizetype hidden) const;

    const BoardStation& m_station;
    BoardSettings m_settings;
    QTimer m_second; // waiting times count up; alarm tiles and highlights blink
    QList<DrawnText> m_drawn;
};
