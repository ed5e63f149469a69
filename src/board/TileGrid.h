#pragma once

#include <QList>
#include <QRect>

// Where the tiles go: the area is cut into equal cells, as many columns and rows as make the tiles
// largest for their shape (about twice as wide as high), so that one call fills the screen and many
// still read from across the room. When even the smallest readable cells cannot take every tile,
// the grid holds as many cells as fit; the caller shows what does not fit as a count in the last.
namespace TileGrid {

struct Layout
{
    int columns = 0;
    int rows = 0;
    QList<QRect> cells; // row by row, at most count of them; gaps between cells are left out
};

Layout layout(int count, const QRect& area, int minCellHeight, int gap);

} // namespace TileGrid
