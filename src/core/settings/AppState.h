#pragma once

#include "core/settings/IniFile.h"

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
// Reads the settings file once for this start; every reader shares what was read. The start's
// writes are held until finishStart(), so a first start's file appears complete or not at all, and
// a later start that changes nothing writes nothing.
void loadSettings();
// The settings file as loaded for this start (loaded now when it was not, or when the executable's
// path has changed since).
IniFile settings();
// Writes what the start changed in the settings file, in one step; later writes go to the file at
// once. Throws AppError when the file cannot be written.
void finishStart();
// The executable's file name without extension: the title of the error box.
QString programTitle();

} // namespace App
