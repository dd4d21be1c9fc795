#include "app/cleanup_dialog.h"

#include <new>

#include "app/log_pane.h"
#include "app/resource_ids.h"
#include "app/window_during_run.h"
#include "run/cleanup_run.h"

int gIsAdministrator = 0;
CleanupDialog* gCleanupDialog = nullptr;

namespace {

alignas(CleanupDialog) unsigned char gDialogStorage[sizeof(CleanupDialog)];

bool IsChecked(HWND box)
{
    return SendMessageW(box, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void Check(HWND box)
{
    SendMessageW(box, BM_SETCHECK, BST_CHECKED, 0);
}

}  // namespace

CleanupDialog::CleanupDialog(HWND window)
    : skipDesktopCheck(nullptr),
      isAdministrator(false),
      clearCacheCheck(nullptr),
      restartCheck(nullptr),
      skipTunnelCheck(nullptr),
      logPane(nullptr),
      startButton(nullptr),
      exitButton(nullptr),
      saveButton(nullptr),
      clearCacheOption(true),
      restartOption(false),
      skipTunnelOption(false),
      skipDesktopOption(false)
{
    HICON icon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_APP));
    SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));

    clearCacheCheck = GetDlgItem(window, IDC_CLEAR_CACHE);
    restartCheck = GetDlgItem(window, IDC_RESTART);
    skipTunnelCheck = GetDlgItem(window, IDC_SKIP_TUNNEL);
    Check(clearCacheCheck);
    logPane = GetDlgItem(window, IDC_LOG_PANE);
    startButton = GetDlgItem(window, IDC_START_CLEANUP);
    saveButton = GetDlgItem(window, IDC_SAVE_LOGS);
    exitButton = GetDlgItem(window, IDC_EXIT);
    skipDesktopCheck = GetDlgItem(window, IDC_SKIP_DESKTOP);

    if (gIsAdministrator == 1) {
        EnableWindow(skipDesktopCheck, TRUE);
        isAdministrator = true;
    } else {
        EnableWindow(skipDesktopCheck, FALSE);
    }
}

INT_PTR CALLBACK MainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        // One window at a time: its controller lives in static storage.
        gCleanupDialog = new (gDialogStorage) CleanupDialog(window);
        return TRUE;
    case WM_COMMAND:
        HandleCommand(LOWORD(wParam), window, HIWORD(wParam));
        return TRUE;
    default:
        return FALSE;
    }
}

void HandleCommand(int controlId, HWND window, int notificationCode)
{
    // Before WM_INITDIALOG there is no controller yet. During a run the
    // controls are disabled: a command then comes from another program or
    // from input that slipped through, and must not start or end anything.
    if (gCleanupDialog == nullptr || RunInProgress())
        return;
    CleanupDialog& dialog = *gCleanupDialog;
    bool click = notificationCode == BN_CLICKED;
    switch (controlId) {
    case IDC_START_CLEANUP: {
        WindowDuringRun duringRun(window);
        RunCleanup(dialog);
        break;
    }
    case IDC_EXIT:
        DestroyWindow(window);
        PostQuitMessage(0);
        break;
    case IDC_CLEAR_CACHE:
        if (click)
            dialog.clearCacheOption = IsChecked(dialog.clearCacheCheck);
        break;
    case IDC_RESTART:
        if (click)
            dialog.restartOption = IsChecked(dialog.restartCheck);
        break;
    case IDC_SKIP_TUNNEL:
        if (click)
            dialog.skipTunnelOption = IsChecked(dialog.skipTunnelCheck);
        break;
    case IDC_SAVE_LOGS:
        // The main window owns the save-as dialog, so no run can start
        // from it while a file is being chosen.
        if (click)
            ChooseLogFile(window, dialog);
        break;
    case IDC_SKIP_DESKTOP:
        if (gIsAdministrator != 1)
            EnableWindow(dialog.skipDesktopCheck, FALSE);
        else if (click)
            dialog.skipDesktopOption = IsChecked(dialog.skipDesktopCheck);
        break;
    default:
        break;
    }
}

RunOptions ReadRunOptions(const CleanupDialog& dialog)
{
    RunOptions options;
    options.clearCache = dialog.clearCacheOption;
    options.restart = dialog.restartOption;
    options.skipTunnel = dialog.skipTunnelOption;
    options.skipDesktop = dialog.skipDesktopOption;
    options.isAdministrator = dialog.isAdministrator;
    return options;
}

void EnableControls(CleanupDialog& dialog, bool enable)
{
    const HWND controls[] = {dialog.clearCacheCheck, dialog.restartCheck, dialog.skipTunnelCheck,
                             dialog.startButton,     dialog.exitButton,   dialog.saveButton};
    for (HWND control : controls)
        EnableWindow(control, enable ? TRUE : FALSE);
    // Skip HLD/PW is offered to an administrator only.
    EnableWindow(dialog.skipDesktopCheck, enable && dialog.isAdministrator ? TRUE : FALSE);
}

int RestoreControls(CleanupDialog& dialog)
{
    EnableControls(dialog, true);

    // Marks are only ever put back, never taken away.
    if (dialog.restartOption)
        Check(dialog.restartCheck);
    if (dialog.clearCacheOption)
        Check(dialog.clearCacheCheck);
    if (dialog.skipTunnelOption)
        Check(dialog.skipTunnelCheck);
    if (dialog.skipDesktopOption)
        Check(dialog.skipDesktopCheck);
    return 0;
}

bool CheckAdministrator()
{
    SID_IDENTIFIER_AUTHORITY ntAuthority = {SECURITY_NT_AUTHORITY};
    PSID administrators = nullptr;
    BOOL member = FALSE;
    if (AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                 DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &administrators)) {
        if (!CheckTokenMembership(nullptr, administrators, &member))
            member = FALSE;
        FreeSid(administrators);
    }
    return member != FALSE;
}
