#include <gtest/gtest.h>

#include <algorithm>

#include "app/cleanup_dialog.h"
#include "app/log_pane.h"
#include "app/resource_ids.h"
#include "run/cleanup_run.h"
#include "support/test_support.h"

namespace {

const int kBoxes[] = {IDC_CLEAR_CACHE, IDC_RESTART, IDC_SKIP_TUNNEL, IDC_SKIP_DESKTOP};

HWND Item(const TestWindow& window, int id)
{
    return GetDlgItem(window.Window(), id);
}

bool IsChecked(const TestWindow& window, int id)
{
    return SendMessageW(Item(window, id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void SetCheck(const TestWindow& window, int id, bool checked)
{
    SendMessageW(Item(window, id), BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

// Sends the main window a command as if control id had notified it.
void Command(const TestWindow& window, int id, WORD code)
{
    SendMessageW(window.Window(), WM_COMMAND, MAKEWPARAM(id, code),
                 reinterpret_cast<LPARAM>(Item(window, id)));
}

bool& OptionOf(CleanupDialog& dialog, int id)
{
    switch (id) {
    case IDC_CLEAR_CACHE:
        return dialog.clearCacheOption;
    case IDC_RESTART:
        return dialog.restartOption;
    case IDC_SKIP_TUNNEL:
        return dialog.skipTunnelOption;
    default:
        return dialog.skipDesktopOption;
    }
}

struct Options {
    bool clearCache, restart, skipTunnel, skipDesktop;
};

Options OptionsOf(const CleanupDialog& dialog)
{
    return {dialog.clearCacheOption, dialog.restartOption, dialog.skipTunnelOption,
            dialog.skipDesktopOption};
}

void ExpectSameOptions(const Options& a, const Options& b)
{
    EXPECT_EQ(a.clearCache, b.clearCache);
    EXPECT_EQ(a.restart, b.restart);
    EXPECT_EQ(a.skipTunnel, b.skipTunnel);
    EXPECT_EQ(a.skipDesktop, b.skipDesktop);
}

// Watches this process for the save-as dialog and cancels it when seen;
// stops when the command has returned without one. At the wait's bound it
// cancels whatever window of this process the command shows instead, so
// that a wrong one fails the test rather than hanging it.
struct SaveDialogWatch {
    HWND main;
    volatile LONG commandDone;
    bool seen;
    bool anyCaption;
    HWND found;
};

BOOL CALLBACK FindSaveDialog(HWND window, LPARAM context)
{
    SaveDialogWatch* watch = reinterpret_cast<SaveDialogWatch*>(context);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    // Not GetWindowText: that would wait for the blocked GUI thread.
    wchar_t caption[64] = L"";
    InternalGetWindowText(window, caption, 64);
    bool named = lstrcmpW(caption, L"Save Log files") == 0;
    if (process != GetCurrentProcessId() || window == watch->main || !IsWindowVisible(window) ||
        !(named || watch->anyCaption))
        return TRUE;
    watch->found = window;
    watch->seen = named;
    return FALSE;
}

DWORD WINAPI WatchForSaveDialog(void* context)
{
    SaveDialogWatch* watch = static_cast<SaveDialogWatch*>(context);
    const DWORD bound = EventWaitMs();
    for (DWORD waited = 0; !watch->commandDone; waited += 50) {
        watch->anyCaption = waited >= bound;
        EnumWindows(FindSaveDialog, reinterpret_cast<LPARAM>(watch));
        if (watch->found != nullptr) {
            PostMessageW(watch->found, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
            return 0;
        }
        Sleep(50);
    }
    return 0;
}

// Sends a Save Logs command; tells whether the save-as dialog came up.
bool SaveCommandOpensDialog(const TestWindow& window, WORD code)
{
    SaveDialogWatch watch = {window.Window(), 0, false, false, nullptr};
    HANDLE thread = CreateThread(nullptr, 0, WatchForSaveDialog, &watch, 0, nullptr);
    if (thread == nullptr)
        return false;
    Command(window, IDC_SAVE_LOGS, code);
    InterlockedExchange(&watch.commandDone, 1);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return watch.seen;
}

}  // namespace

TEST(CleanupDialog, StartsWithDefaults)
{
    TestWindow window;
    ASSERT_NE(nullptr, gCleanupDialog);
    CleanupDialog& dialog = *gCleanupDialog;

    ExpectSameOptions(Options{true, false, false, false}, OptionsOf(dialog));
    EXPECT_TRUE(IsChecked(window, IDC_CLEAR_CACHE));
    EXPECT_FALSE(IsChecked(window, IDC_RESTART));
    EXPECT_FALSE(IsChecked(window, IDC_SKIP_TUNNEL));
    EXPECT_FALSE(IsChecked(window, IDC_SKIP_DESKTOP));

    EXPECT_TRUE(IsWindowEnabled(dialog.skipDesktopCheck));
    EXPECT_NE(0, SendMessageW(window.Window(), WM_GETICON, ICON_BIG, 0));
    EXPECT_EQ(L"", window.LogText());
}

TEST(CleanupDialog, NonAdministratorStartsWithSkipDesktopDisabled)
{
    TestWindow window(0);
    ASSERT_NE(nullptr, gCleanupDialog);
    EXPECT_FALSE(gCleanupDialog->isAdministrator);
    EXPECT_FALSE(IsWindowEnabled(gCleanupDialog->skipDesktopCheck));
    EXPECT_TRUE(IsWindowEnabled(gCleanupDialog->skipTunnelCheck));
    ExpectSameOptions(Options{true, false, false, false}, OptionsOf(*gCleanupDialog));
}

TEST(CleanupDialog, ClicksToggleOptions)
{
    TestWindow window;
    CleanupDialog& dialog = *gCleanupDialog;
    for (int id : kBoxes) {
        SCOPED_TRACE(id);
        bool before = OptionOf(dialog, id);
        SendMessageW(Item(window, id), BM_CLICK, 0, 0);
        EXPECT_EQ(!before, IsChecked(window, id));
        EXPECT_EQ(!before, OptionOf(dialog, id));
        SendMessageW(Item(window, id), BM_CLICK, 0, 0);
        EXPECT_EQ(before, IsChecked(window, id));
        EXPECT_EQ(before, OptionOf(dialog, id));
    }
    // Each box drives only its own option: set them all, one by one.
    for (int id : kBoxes) {
        if (!OptionOf(dialog, id))
            SendMessageW(Item(window, id), BM_CLICK, 0, 0);
    }
    ExpectSameOptions(Options{true, true, true, true}, OptionsOf(dialog));
}

TEST(CleanupDialog, BoxesFollowOnlyClickNotifications)
{
    TestWindow window;
    CleanupDialog& dialog = *gCleanupDialog;
    const WORD notClicks[] = {BN_SETFOCUS, BN_KILLFOCUS, BN_DOUBLECLICKED, 0x300};
    for (int id : kBoxes) {
        SCOPED_TRACE(id);
        bool before = OptionOf(dialog, id);
        SetCheck(window, id, !before);
        for (WORD code : notClicks)
            Command(window, id, code);
        EXPECT_EQ(before, OptionOf(dialog, id));
        EXPECT_EQ(!before, IsChecked(window, id));
        Command(window, id, BN_CLICKED);
        EXPECT_EQ(!before, OptionOf(dialog, id));
    }
}

TEST(CleanupDialog, SkipDesktopStaysOffForNonAdministrator)
{
    TestWindow window(0);
    CleanupDialog& dialog = *gCleanupDialog;
    HWND box = dialog.skipDesktopCheck;

    // Someone enables and ticks the box behind the program's back: any
    // command from it disables it again and the option stays off.
    const WORD codes[] = {BN_CLICKED, BN_SETFOCUS, BN_DOUBLECLICKED};
    for (WORD code : codes) {
        SCOPED_TRACE(code);
        EnableWindow(box, TRUE);
        SetCheck(window, IDC_SKIP_DESKTOP, true);
        Command(window, IDC_SKIP_DESKTOP, code);
        EXPECT_FALSE(IsWindowEnabled(box));
        EXPECT_FALSE(dialog.skipDesktopOption);
    }
}

// Controls may notify the dialog while it is being built, before
// WM_INITDIALOG makes the controller: such commands find no controller and
// do nothing.
TEST(CleanupDialog, CommandsBeforeTheControllerDoNothing)
{
    ASSERT_EQ(nullptr, gCleanupDialog);
    ForgetCleanupState();
    HWND window = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                  nullptr, nullptr);
    ASSERT_NE(nullptr, window);
    const int ids[] = {IDC_START_CLEANUP, IDC_EXIT,      IDC_CLEAR_CACHE,  IDC_RESTART,
                       IDC_SKIP_TUNNEL,   IDC_SAVE_LOGS, IDC_SKIP_DESKTOP, IDC_LOG_PANE};
    for (int id : ids)
        HandleCommand(id, window, BN_CLICKED);
    EXPECT_TRUE(IsWindow(window));
    MSG message;
    EXPECT_FALSE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    DestroyWindow(window);
}

TEST(CleanupDialog, RestoreControlsNeverClearsAMark)
{
    for (int admin = 0; admin <= 1; ++admin) {
        SCOPED_TRACE(admin);
        TestWindow window(admin);
        CleanupDialog& dialog = *gCleanupDialog;
        HWND controls[] = {dialog.clearCacheCheck, dialog.restartCheck, dialog.skipTunnelCheck,
                           dialog.startButton,     dialog.exitButton,   dialog.saveButton,
                           dialog.skipDesktopCheck};
        for (HWND control : controls)
            EnableWindow(control, FALSE);

        // Options and marks disagree on purpose.
        dialog.clearCacheOption = false;
        dialog.restartOption = true;
        dialog.skipTunnelOption = false;
        dialog.skipDesktopOption = true;
        SetCheck(window, IDC_CLEAR_CACHE, true);
        SetCheck(window, IDC_RESTART, false);
        SetCheck(window, IDC_SKIP_TUNNEL, true);
        SetCheck(window, IDC_SKIP_DESKTOP, false);

        RestoreControls(dialog);

        for (HWND control : controls) {
            if (control != dialog.skipDesktopCheck) {
                EXPECT_TRUE(IsWindowEnabled(control));
            }
        }
        EXPECT_EQ(admin == 1, IsWindowEnabled(dialog.skipDesktopCheck) != FALSE);
        for (int id : kBoxes)
            EXPECT_TRUE(IsChecked(window, id)) << id;
    }
}

TEST(CleanupDialog, CommandsFromLogPaneAndGroupBoxesDoNothing)
{
    TestWindow window;
    CleanupDialog& dialog = *gCleanupDialog;
    SetWindowTextW(dialog.logPane, L"42");
    SetCheck(window, IDC_RESTART, true);  // mark and option now disagree
    Options before = OptionsOf(dialog);

    const WORD codes[] = {BN_CLICKED, EN_CHANGE, EN_UPDATE, EN_SETFOCUS};
    for (WORD code : codes) {
        Command(window, IDC_LOG_PANE, code);
        SendMessageW(window.Window(), WM_COMMAND, MAKEWPARAM(0xFFFF, code), 0);
    }
    window.Pump();

    EXPECT_TRUE(IsWindow(window.Window()));
    ExpectSameOptions(before, OptionsOf(dialog));
    EXPECT_TRUE(IsChecked(window, IDC_RESTART));
    EXPECT_EQ(L"42", window.LogText());
    EXPECT_TRUE(IsWindowEnabled(dialog.startButton));
}

TEST(CleanupDialog, SaveLogsOpensTheDialogOnlyOnClick)
{
    TestWindow window;
    AppendLog(*gCleanupDialog, L"line");
    EXPECT_FALSE(SaveCommandOpensDialog(window, BN_SETFOCUS));
    EXPECT_FALSE(SaveCommandOpensDialog(window, BN_DOUBLECLICKED));
    // Cancelling the dialog writes nothing and logs nothing.
    EXPECT_TRUE(SaveCommandOpensDialog(window, BN_CLICKED));
    EXPECT_EQ(L" \r\nline", window.LogText());
    EXPECT_TRUE(IsWindow(window.Window()));
}

TEST(CleanupDialog, ExitOnAnyNotification)
{
    TestWindow window;
    Command(window, IDC_EXIT, BN_DOUBLECLICKED);
    EXPECT_FALSE(IsWindow(window.Window()));
    MSG message;
    ASSERT_TRUE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(0u, message.wParam);
}

// Start Cleanup reacts to any command, not only to clicks. This runs the
// whole cleanup once, on this prefix where nothing is installed.
TEST(CleanupDialog, StartOnAnyNotificationRunsCleanup)
{
    TestWindow window;
    SetWindowTextW(gCleanupDialog->logPane, L"99");
    Command(window, IDC_START_CLEANUP, BN_DOUBLECLICKED);
    std::vector<std::wstring> lines = window.LogLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(L"", lines[0]);
    EXPECT_EQ(L"Starting Tessaline Manager Uninstallation Please wait .... ", lines[1]);
    // With the default options an administrator's run clears the caches
    // and looks for the desktop components.
    EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(),
                                     L"Clearing the Browser(IE/FireFox/Chrome) Cache ...."));
    EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), L"HLD not installed"));
    EXPECT_TRUE(IsWindowEnabled(gCleanupDialog->startButton));
    EXPECT_TRUE(IsChecked(window, IDC_CLEAR_CACHE));
}
