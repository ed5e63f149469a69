#pragma once

#include <QStringList>

#include <functional>

class WardServer;

// Creates the ten windows in their fixed order: the main window first (it decides the first start,
// writes and reads its settings, opens the database), then the secondary windows, hidden, each
// writing (on a first start) and reading its own section. `beforeWindows` is handed the engine before
// any window follows it (the program's standard-error lines come before the windows' boxes). Raises
// the error that ends the start.
//
// The windows' own reads of the database (the adding window's and the filter window's drop-downs,
// then, once the engine has started, the journal's first page) are done at once when the file lets
// them. Another program's lock on the file neither ends nor holds up the start and opens no box: the
// reads it refuses are tried again every dispatcher tick after the start until the file is free.
void createWindows(const std::function<void(WardServer&)>& beforeWindows = {});
// Destroys them, last created first.
void destroyWindows();
// The names of the windows' start-up reads still waiting for the file ("ButsAddForm", "FilterForm",
// "LogForm"), in order; empty once all are done.
QStringList waitingStartupReads();
