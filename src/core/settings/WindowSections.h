#pragma once

#include "core/settings/SettingsTable.h"

#include <QList>

// The settings sections of the secondary windows, one table each: every key with its kind, its
// first-start value and its read default. The windows read them when they are created; the headless
// server writes them on a first start without creating any window, so both write the same file.
namespace WindowSections {

SettingsTable groupForm();      // TFormGroup, the ward list
SettingsTable workerForm();     // TFormWorkers, the staff list
SettingsTable groupEditForm();  // TFormGroupEdit
SettingsTable workerEditForm(); // TFormWorkersEdit
SettingsTable butsForm();       // TFormButs, the places window
SettingsTable butsAddForm();    // TFormAddButs, the button-adding window
SettingsTable butsEditForm();   // TFormButsEdit, the place editor
SettingsTable clearForm();      // TFormClear
SettingsTable filterForm();     // TFormFilter
// TFormCalls, the open calls: made once the engine has started; its section follows every other.
SettingsTable callsForm();

// In the order the windows are created, which is the order a first start writes them in.
QList<SettingsTable> inCreationOrder();

// First start: every secondary section's comment keys and then its keys, section after section.
void writeFirstStart(IniFile& ini);
// Every later start: the keys added to the sections later that the file lacks.
void writeAddedLater(IniFile& ini);

} // namespace WindowSections
