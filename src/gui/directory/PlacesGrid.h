#pragma once

#include <QString>

class StringGrid;

namespace PlacesGrid {

// The first data row (from 1) whose column 0 holds exactly this code, letter case included; 0 when
// no row does.
int findCallCode(const StringGrid& grid, const QString& abcde);

} // namespace PlacesGrid
