#include "run/cleanup_run.h"

#include <shlobj.h>

#include <cstdio>
#include <new>

#include "maintenance/browser_cache.h"
#include "maintenance/system_restart.h"
#include "removal/class_registrations.h"
#include "removal/desktop_components.h"
#include "removal/endpoint_agent.h"
#include "removal/product_removal.h"
#include "removal/tunnel_client.h"
#include "run/run_window.h"
#include "system/bounded_string.h"
#include "system/cleanup_state.h"
#include "system/console_output.h"
#include "system/file_removal.h"
#include "system/held_folder.h"
#include "system/responsiveness.h"
#include "system/user_folders.h"
#include "system/what_stays.h"

namespace {

CleanupState gStateStorage;  // all fields zero
CleanupState* gCleanupState = nullptr;
WhatStays* gWhatStays = nullptr;  // made at the first run that keeps it
bool gKeepAccount = true;

// The account, on the heap: it is over a hundred kilobytes, which in the
// program's image would be as many bytes more to load. Null when no memory.
WhatStays* Account()
{
    if (gWhatStays == nullptr) {
        void* memory = HeapAlloc(GetProcessHeap(), 0, sizeof(WhatStays));
        if (memory != nullptr)
            gWhatStays = new (memory) WhatStays();
    }
    return gWhatStays;
}

CleanupState& StateFor(CleanupDialog& dialog)
{
    if (gCleanupState == nullptr)
        gCleanupState = &gStateStorage;
    if (gCleanupState->dialog == nullptr)
        gCleanupState->dialog = &dialog;
    return *gCleanupState;
}

void DeleteUserVendorFolder(WhatStays* account)
{
    wchar_t folder[kPathUnits];
    HeldFolder held;
    StayReason why = StayReason::kNone;
    if (HoldInteractiveUserFolder(CSIDL_APPDATA, L"\\Kestrix", true, held, folder) &&
        DeleteHeldFolderTree(held, &why) != kShellDeleted) {
        PrintOutput("Folder Deletion failed\n");
        if (account != nullptr)
            account->NotePath(folder, why);
    }
}

// The user's vendor folder, left because an earlier removal failed.
void KeepUserVendorFolder(WhatStays* account)
{
    wchar_t folder[kPathUnits];
    HeldFolder held;
    if (account != nullptr &&
        HoldInteractiveUserFolder(CSIDL_APPDATA, L"\\Kestrix", false, held, folder))
        account->NotePath(folder, StayReason::kEarlierFailure);
}

// One line for each noted trace that is still there.
void ReportWhatStays(CleanupDialog& dialog, const WhatStays* account)
{
    if (account == nullptr)
        return;
    for (size_t i = 0; i < account->Count(); ++i) {
        wchar_t line[WhatStays::kLineUnits];
        if (account->LineIfStill(i, line, WhatStays::kLineUnits))
            AppendLog(dialog, line);
    }
}

// Returns the tunnel phase's result; failed is set when the endpoint-control
// product could not be removed.
int RunTunnelPhases(const RunOptions& options, CleanupState& state, bool& failed)
{
    if (options.skipTunnel) {
        state.skipTunnel = true;
        int result = RemoveTunnelClient(state);
        state.skipTunnel = false;
        return result;
    }
    int control = RemoveEndpointControl(state);
    if (control == 0)
        PrintOutput("Quorvane Uninstallation Successful\n");
    else if (control == kNotInstalled)
        PrintOutput("Quorvane not installed\n");
    else
        failed = true;
    return RemoveTunnelClient(state);
}

}  // namespace

CleanupState* CurrentCleanupState()
{
    return gCleanupState;
}

void KeepAccountOfWhatStays(bool keep)
{
    gKeepAccount = keep;
}

void ForgetCleanupState()
{
    gStateStorage = CleanupState();
    gCleanupState = nullptr;
}

void RunCleanup(CleanupDialog& dialog)
{
    // The options as they stand at the press: the run reads them once.
    RunOptions options = ReadRunOptions(dialog);
    EnableControls(dialog, false);
    CleanupState& state = StateFor(dialog);
    state.whatStays = gKeepAccount ? Account() : nullptr;
    if (state.whatStays != nullptr)
        state.whatStays->Clear();
    ClearLog(dialog);
    StartBusyWaitBudget();
    StartPendingWaitBudget();

    AppendLog(dialog, L"Starting Tessaline Manager Uninstallation Please wait .... ");
    // The window has its turn between steps, so that it shows the disabled
    // controls and answers before and after each step, however long.
    KeepResponsiveNow();
    bool failed = false;
    int manager = RemoveEndpointManager(state);
    if (manager == 0) {
        AppendLog(dialog, L"Tessaline Manager Uninstallation Successful");
    } else if (manager == kNotInstalled) {
        AppendLog(dialog, L"Tessaline Manager not installed");
    } else {
        AppendLog(dialog, L"Tessaline Manager Uninstallation Failed");
        failed = true;
    }
    KeepResponsiveNow();

    bool skipTunnel = options.skipTunnel;
    int tunnel = RunTunnelPhases(options, state, failed);
    bool tunnelGone = skipTunnel ? tunnel != kSkipped : (tunnel == 0 || tunnel == kSkipped);
    KeepResponsiveNow();
    if (tunnelGone && !failed)
        DeleteUserVendorFolder(state.whatStays);
    else if (!(skipTunnel && tunnel == kSkipped))  // Skip leaves it on purpose
        KeepUserVendorFolder(state.whatStays);
    KeepResponsiveNow();

    AppendLog(dialog, L"Cleaning Registry... ");
    CleanClassRegistrations(state);
    AppendLog(dialog, L"Registry Cleanup Successful");
    KeepResponsiveNow();

    if (!options.skipDesktop && options.isAdministrator)
        RemoveDesktopComponents(dialog, state);
    KeepResponsiveNow();
    if (options.clearCache)
        ClearBrowserCaches(state);
    KeepResponsiveNow();
    ReportWhatStays(dialog, state.whatStays);
    KeepResponsiveNow();
    if (options.restart)
        RestartSystem(state);
    fflush(stdout);
    RestoreControls(dialog);
}
