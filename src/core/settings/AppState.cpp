#include "core/settings/AppState.h"

#include <QFileInfo>

#include <optional>

namespace {
struct State
{
    QString exePath;
    QString exePathOverride;
    bool firstStart = false;
    std::optional<IniFile> settings;
};

State& state()
{
    static State s;
    return s;
}
} // namespace

namespace App {

QString exePath()
{
    return state().exePath;
}
void setExePath(const QString& path)
{
    state().exePath = path;
}
void setExePathOverride(const QString& path)
{
    state().exePathOverride = path;
}
QString exePathOverride()
{
    return state().exePathOverride;
}
bool firstStart()
{
    return state().firstStart;
}
void setFirstStart(bool value)
{
    state().firstStart = value;
}

QString settingsPath()
{
    return IniFile::pathBesideExecutable(exePath());
}

void loadSettings()
{
    state().settings = IniFile::load(settingsPath());
    state().settings->holdWrites();
}

IniFile settings()
{
    if (!state().settings || state().settings->path() != settingsPath())
        state().settings = IniFile::load(settingsPath());
    return *state().settings;
}

void finishStart()
{
    if (state().settings && state().settings->path() == settingsPath())
        state().settings->writeHeld();
}

QString programTitle()
{
    return QFileInfo(exePath()).completeBaseName();
}

} // namespace App
