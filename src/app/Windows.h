#pragma once

// Creates the ten windows in their fixed order: the main window first (it decides the first start,
// writes and reads its settings, opens the database), then the secondary windows, hidden, each
// writing (on a first start) and reading its own section. Raises the error that ends the start.
void createWindows();
// Destroys them, last created first.
void destroyWindows();
