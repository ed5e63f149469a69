#include "gui/directory/PlacesGrid.h"

#include "gui/kit/StringGrid.h"

namespace PlacesGrid {

int findCallCode(const StringGrid& grid, const QString& abcde)
{
    // No code is ever empty; the empty row of an empty list must not pass for a place.
    if (abcde.isEmpty())
        return 0;
    const int rows = grid.RowCount();
    for (int row = 1; row < rows; ++row) {
        if (grid.Cells(0, row) == abcde)
            return row;
    }
    return 0;
}

} // namespace PlacesGrid
