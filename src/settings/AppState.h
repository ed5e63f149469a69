#pragma once

#include "settings/IniFile.h"

#include <QString>

// The process-wide values every window consults while it is created: the executable's path (its
// settings file and database lie beside it) and whether this is a first start.
namespace App {

QString exePath();
void setExePath(const QString& path);
// Tests run the windows as if the executable lay in a temporary directory.
void setExePathOverride(const QString& path);
QString exePathOverride();

bool firstStart();
void setFirstStart(bool value);

// The executable's path with its extension replaced by ".ini".
QString settingsPath();
// Reads the settings file once for this start; every reader shares what was read. On a first start
// the writes are held until finishFirstStart(), so the file appears complete or not at all.
void loadSettings();
// The settings file as loaded for this start (loaded now when it was not, or when the executable's
// path has changed since).
IniFile settings();
// Writes the settings a first start made, in one step. Throws AppError when the file cannot be
// written. Nothing to do on a later start.
void finishFirstStart();
// The executable's file name without extension: the title of the error box.
QString programTitle();

} // namespace App
