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
IniFile settings();
// The executable's file name without extension: the title of the error box.
QString programTitle();

} // namespace App
