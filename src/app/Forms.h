#pragma once

class WardServer;
class TMF;
class TFormGroup;
class TFormButs;
class TFormAddButs;
class TFormGroupEdit;
class TFormButsEdit;
class TFormClear;
class TFormFilter;
class TFormWorkers;
class TFormWorkersEdit;
class TFormCalls;

// The engine and the single instance of each window, for the start-up, the menus and the tests. The
// windows themselves are owned by createWindows (Windows.h); these pointers are all null when there
// are none. No window reaches another through here: the application wires them when it creates them.
struct Forms
{
    WardServer* server = nullptr;
    TMF* MF = nullptr;
    TFormGroup* FormGroup = nullptr;
    TFormButs* FormButs = nullptr;
    TFormAddButs* FormAddButs = nullptr;
    TFormGroupEdit* FormGroupEdit = nullptr;
    TFormButsEdit* FormButsEdit = nullptr;
    TFormClear* FormClear = nullptr;
    TFormFilter* FormFilter = nullptr;
    TFormWorkers* FormWorkers = nullptr;
    TFormWorkersEdit* FormWorkersEdit = nullptr;
    // Made once the engine has started.
    TFormCalls* FormCalls = nullptr;
};

Forms& forms();
