#include "board/TileGrid.h"

#include <algorithm>

namespace {

struct Choice
{
    int columns = 0;
    int rows = 0;
    double cellWidth = 0;
    double cellHeight = 0;
};

// The best columns and rows for n cells: the largest tile of shape 2:1 that fits a cell.
Choice best(int n, const QRect& area, int gap)
{
    Choice choice;
    double bestScale = -1;
    for (int columns = 1; columns <= n; ++columns) {
        const int rows = (n + columns - 1) / columns;
        const double w = double(area.width() - gap * (columns - 1)) / columns;
        const double h = double(area.height() - gap * (rows - 1)) / rows;
        if (w <= 0 || h <= 0)
            break;
        const double scale = std::min(w / 2.0, h);
        if (scale > bestScale) {
            bestScale = scale;
            choice = {columns, rows, w, h};
        }
    }
    return choice;
}

} // namespace

TileGrid::Layout TileGrid::layout(int count, const QRect& area, int minCellHeight, int gap)
{
    Layout result;
    if (count <= 0 || area.width() <= 0 || area.height() <= 0)
        return result;
    gap = std::max(gap, 0);
    minCellHeight = std::max(minCellHeight, 1);

    // No more cells than the smallest readable ones could give, and at least one.
    const int maxRows = std::max(1, (area.height() + gap) / (minCellHeight + gap));
    const int maxColumns = std::max(1, (area.width() + gap) / (2 * minCellHeight + gap));
    int n = std::min(count, maxRows * maxColumns);
    Choice choice = best(n, area, gap);
    while (n > 1 &&
           (choice.columns == 0 || std::min(choice.cellWidth / 2.0, choice.cellHeight) < minCellHeight)) {
        --n;
        choice = best(n, area, gap);
    }
    if (choice.columns == 0)
        return result;

    result.columns = choice.columns;
    result.rows = choice.rows;
    for (int i = 0; i < n; ++i) {
        const int column = i % choice.columns;
        const int row = i / choice.columns;
        const int left = area.left() + int(column * (choice.cellWidth + gap));
        const int top = area.top() + int(row * (choice.cellHeight + gap));
        const int right = area.left() + int(column * (choice.cellWidth + gap) + choice.cellWidth);
        const int bottom = area.top() + int(row * (choice.cellHeight + gap) + choice.cellHeight);
        result.cells << QRect(QPoint(left, top), QPoint(right - 1, bottom - 1));
    }
    return result;
}
