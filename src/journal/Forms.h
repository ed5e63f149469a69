#pragma once

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

// The single instance of each window, created once at start in this order and living until the
// program ends. Windows reach one another, and the main window's shared state, through here.
struct Forms
{
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
};

Forms& forms();
