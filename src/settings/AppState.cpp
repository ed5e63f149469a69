#include "settings/AppState.h"

#include <QFileInfo>

namespace {
struct State
{
    QString exePath;
    QString exePathOverride;
    bool firstStart = false;
};

State& state()
{
    static State s;
    return s;
}
} // namespace

namespace App {

QString exePath() { return state().exePath; }
void setExePath(const QString& path) { state().exePath = path; }
void setExePathOverride(const QString& path) { state().exePathOverride = path; }
QString exePathOverride() { return state().exePathOverride; }
bool firstStart() { return state().firstStart; }
void setFirstStart(bool value) { state().firstStart = value; }

QString settingsPath() { return IniFile::pathBesideExecutable(exePath()); }

IniFile settings() { return IniFile(settingsPath()); }

QString programTitle() { return QFileInfo(exePath()).completeBaseName(); }

} // namespace App
