#include "app/Windows.h"

#include "app/Forms.h"
#include "core/engine/WardServer.h"
#include "core/settings/AppState.h"
#include "gui/calls/TFormCalls.h"
#include "gui/directory/TFormAddButs.h"
#include "gui/directory/TFormButs.h"
#include "gui/directory/TFormButsEdit.h"
#include "gui/directory/TFormGroup.h"
#include "gui/directory/TFormGroupEdit.h"
#include "gui/directory/TFormWorkers.h"
#include "gui/directory/TFormWorkersEdit.h"
#include "gui/journal/TFormClear.h"
#include "gui/journal/TFormFilter.h"
#include "gui/journal/TMF.h"
#include "gui/kit/Dialogs.h"
#include "gui/kit/StartupReads.h"
#include "gui/stats/TFormStats.h"

#include <QLocale>
#include <QTimer>

#include <memory>

namespace {

// The one owner of the engine and the windows. Each is held here from the moment it exists, so a
// start that fails half-way destroys exactly what was made, once, last made first.
struct Owned
{
    std::unique_ptr<WardServer> server;
    std::unique_ptr<TMF> MF;
    std::unique_ptr<TFormGroup> FormGroup;
    std::unique_ptr<TFormButs> FormButs;
    std::unique_ptr<TFormAddButs> FormAddButs;
    std::unique_ptr<TFormGroupEdit> FormGroupEdit;
    std::unique_ptr<TFormButsEdit> FormButsEdit;
    std::unique_ptr<TFormClear> FormClear;
    std::unique_ptr<TFormFilter> FormFilter;
    std::unique_ptr<TFormWorkers> FormWorkers;
    std::unique_ptr<TFormWorkersEdit> FormWorkersEdit;
    // Made when the engine has started: it shows the engine's open calls and antenna watch.
    std::unique_ptr<TFormCalls> FormCalls;
    // The windows' reads the file has not let yet, and their retry at the dispatcher's pace.
    StartupReads reads;
    std::unique_ptr<QTimer> readsRetry;

    void reset()
    {
        forms() = Forms{};
        readsRetry.reset();
        reads = StartupReads{};
        FormCalls.reset();
        FormWorkersEdit.reset();
        FormWorkers.reset();
        FormFilter.reset();
        FormClear.reset();
        FormButsEdit.reset();
        FormGroupEdit.reset();
        FormAddButs.reset();
        FormButs.reset();
        FormGroup.reset();
        MF.reset();
        server.reset();
    }
};

Owned& owned()
{
    static Owned o;
    return o;
}

template <typename Form, typename... Args> Form* createForm(std::unique_ptr<Form>& slot, Args&&... args)
{
    slot = std::make_unique<Form>(std::forward<Args>(args)...);
    slot->FormCreate();
    return slot.get();
}

// The open-calls window, after the engine's start has taken the open calls from the journal; on a
// first start its section follows every other one.
void createCallsWindow(Owned& o)
{
    WardServer& server = *o.server;
    if (o.FormCalls || !server.openCalls() || !server.antennaWatch())
        return;
    const MainSettingsValues& cfg = server.cfg();
    const LogConst logConst = logConstFromSettings(cfg);
    // A window of the main one: kept above it while the operator works in the journal, never above
    // other programs.
    TFormCalls* calls =
        createForm(o.FormCalls, *server.openCalls(), *server.antennaWatch(), server.escalation(), logConst,
                   JournalTypeTexts{cfg.log_r8, cfg.log_r4, cfg.log_rb}, o.MF.get());
    forms().FormCalls = calls;
    QObject::connect(calls, &TFormCalls::callDismissed, &server, [&server] { server.openCallsEdited(); });
    QObject::connect(o.MF.get(), &TMF::callsRequested, calls, [calls] { calls->showOrRaise(); });
    o.MF->setCallsMenu(calls->mCalls);
    calls->setFallbackOpener(o.MF.get());
    if (server.escalation().ShowAtStart)
        calls->show();
}

// The windows' start-up reads still waiting, once more. An error other than a lock is shown (the read
// is given up; the window reads again when shown) and the others go on at the next tick.
void retryStartupReads(Owned& o)
{
    if (!o.server || !o.server->databaseOpen()) {
        if (o.readsRetry)
            o.readsRetry->stop();
        return;
    }
    try {
        o.reads.run(o.server->db(), StartupReads::kWaitMs);
    } catch (const std::exception& e) {
        Dialogs::showException(o.MF.get(), e);
    }
    if (!o.readsRetry)
        return;
    if (o.reads.done())
        o.readsRetry->stop();
    else if (!o.readsRetry->isActive())
        o.readsRetry->start();
}

// What the windows of the two folders do for each other, and what the engine hands them.
void wire(Owned& o)
{
    WardServer& server = *o.server;
    TFormAddButs* add = o.FormAddButs.get();
    TFormButs* places = o.FormButs.get();
    TFormGroup* groups = o.FormGroup.get();
    TFormWorkers* workers = o.FormWorkers.get();

    o.MF->setJournalWindows(o.FormFilter.get(), o.FormClear.get());
    QObject::connect(o.MF.get(), &TMF::groupsRequested, groups, [groups] { groups->showOrRaise(); });
    QObject::connect(o.MF.get(), &TMF::placesRequested, places, [places] { places->showOrRaise(); });
    QObject::connect(o.MF.get(), &TMF::workersRequested, workers, [workers] { workers->showOrRaise(); });
    o.MF->NStats->setText(TFormStats::menuCaption());
    TMF* mf = o.MF.get();
    QObject::connect(mf, &TMF::statsRequested, mf, [mf] { TFormStats::showFor(mf); });

    places->setPartners(add, o.FormButsEdit.get());
    // The places grid's right-button menu is the journal's: it acts on the journal, not on the places.
    places->setPopupMenu(o.MF->PopupMenu1);
    groups->setEditor(o.FormGroupEdit.get());
    workers->setEditor(o.FormWorkersEdit.get());

    server.setAddReceivers(
        [add](const QString& abcde, const QString& btnclr) { add->ProcessAddButs(abcde, btnclr); },
        [add](const QString& ab) { add->ProcessAddKB(ab); });
    server.setSearchReceiver([places](const QString& abcde) { places->ObrabSearch(abcde); });

    Owned* owner = &o;
    QObject::connect(o.MF.get(), &TMF::serverStarted, o.MF.get(), [owner] {
        // The journal's first page, now that the antennas are heard; behind another program's lock
        // it waits with the windows' other reads.
        TMF* mf = owner->MF.get();
        owner->reads.add(QStringLiteral("LogForm"), [mf] { mf->RefreshLog(); });
        if (!owner->readsRetry) {
            owner->readsRetry = std::make_unique<QTimer>();
            owner->readsRetry->setInterval(StartupReads::kRetryEveryMs);
            QObject::connect(owner->readsRetry.get(), &QTimer::timeout, owner->MF.get(),
                             [owner] { retryStartupReads(*owner); });
        }
        retryStartupReads(*owner);
        // Then the open-calls window, over a main window that holds its journal page. A settings file
        // that cannot take the section is reported; the server runs on without the window.
        if (!Dialogs::guard(owner->MF.get(), [owner] { createCallsWindow(*owner); }))
            owner->FormCalls.reset();
    });
}

} // namespace

void createWindows(const std::function<void(WardServer&)>& beforeWindows)
{
    // The operator reads Russian: date pickers and month names follow it whatever the system's locale.
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    Owned& o = owned();
    o.reset();
    try {
        o.server = std::make_unique<WardServer>();
        WardServer& server = *o.server;
        if (beforeWindows)
            beforeWindows(server);
        // The order carries the dependencies: the main window (through the engine) decides the first
        // start before anything writes the settings file, and opens the database before the windows
        // that read it.
        createForm(o.MF, server);
        createForm(o.FormGroup, server);
        createForm(o.FormButs, server);
        createForm(o.FormAddButs, server, o.FormButs.get());
        createForm(o.FormGroupEdit, server);
        createForm(o.FormButsEdit, server);
        createForm(o.FormClear, server);
        createForm(o.FormFilter, server);
        createForm(o.FormWorkers, server);
        createForm(o.FormWorkersEdit, server);
        wire(o);
        // The windows' reads, when the file lets them now. Behind another program's lock they wait
        // for the start (ports, pings) and are tried again from then on; any other error ends the
        // start, before the first start's settings file is written.
        TFormAddButs* add = o.FormAddButs.get();
        TFormFilter* filter = o.FormFilter.get();
        o.reads.add(QStringLiteral("ButsAddForm"), [add] { add->RefreshForm(); });
        o.reads.add(QStringLiteral("FilterForm"), [filter] { filter->InitLists(); });
        o.reads.run(server.db(), StartupReads::kWaitMs);
        // Every window has added its section: the features' sections follow, and what the start changed
        // is written in one step.
        server.finishSettings();
    } catch (...) {
        destroyWindows();
        throw;
    }
    forms() = Forms{o.server.get(),         o.MF.get(),
                    o.FormGroup.get(),      o.FormButs.get(),
                    o.FormAddButs.get(),    o.FormGroupEdit.get(),
                    o.FormButsEdit.get(),   o.FormClear.get(),
                    o.FormFilter.get(),     o.FormWorkers.get(),
                    o.FormWorkersEdit.get()};
}

void destroyWindows()
{
    owned().reset();
}

QStringList waitingStartupReads()
{
    return owned().reads.waiting();
}
