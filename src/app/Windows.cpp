#include "app/Windows.h"

#include "directory/TFormAddButs.h"
#include "directory/TFormButs.h"
#include "directory/TFormButsEdit.h"
#include "directory/TFormGroup.h"
#include "directory/TFormGroupEdit.h"
#include "directory/TFormWorkers.h"
#include "directory/TFormWorkersEdit.h"
#include "journal/Forms.h"
#include "journal/TFormClear.h"
#include "journal/TFormFilter.h"
#include "journal/TMF.h"

#include <QLocale>

#include <memory>

namespace {
template <typename Form>
Form* createForm(Form*& slot)
{
    auto form = std::make_unique<Form>();
    slot = form.get();
    form->FormCreate();
    return form.release();
}
} // namespace

void createWindows()
{
    // The operator reads Russian: date pickers and month names follow it whatever the system's locale.
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    Forms& f = forms();
    try {
        // The order carries the dependencies: the main window decides the first start before anything
        // writes the settings file, and opens the database before the windows that read it.
        createForm(f.MF);
        createForm(f.FormGroup);
        createForm(f.FormButs);
        createForm(f.FormAddButs);
        createForm(f.FormGroupEdit);
        createForm(f.FormButsEdit);
        createForm(f.FormClear);
        createForm(f.FormFilter);
        createForm(f.FormWorkers);
        createForm(f.FormWorkersEdit);
    } catch (...) {
        destroyWindows();
        throw;
    }
}

void destroyWindows()
{
    Forms& f = forms();
    delete f.FormWorkersEdit;
    delete f.FormWorkers;
    delete f.FormFilter;
    delete f.FormClear;
    delete f.FormButsEdit;
    delete f.FormGroupEdit;
    delete f.FormAddButs;
    delete f.FormButs;
    delete f.FormGroup;
    delete f.MF;
    f = Forms{};
}
