#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "app/cleanup_dialog.h"
#include "app/resource_ids.h"
#include "maintenance/system_restart.h"
#include "support/test_support.h"
#include "system/cleanup_state.h"

namespace {

// -1 when the token does not hold the shutdown privilege at all.
int ShutdownPrivilegeEnabled()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return -1;
    LUID shutdown;
    LookupPrivilegeValueW(nullptr, L"SeShutdownPrivilege", &shutdown);
    std::vector<BYTE> buffer(4096);
    DWORD needed = 0;
    int state = -1;
    if (GetTokenInformation(token, TokenPrivileges, buffer.data(), static_cast<DWORD>(buffer.size()),
                            &needed)) {
        const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
        for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
            const LUID_AND_ATTRIBUTES& entry = privileges->Privileges[i];
            if (entry.Luid.LowPart == shutdown.LowPart && entry.Luid.HighPart == shutdown.HighPart)
                state = (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0 ? 1 : 0;
        }
    }
    CloseHandle(token);
    return state;
}

bool SetShutdownPrivilege(bool enabled)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token))
        return false;
    TOKEN_PRIVILEGES privileges;
    privileges.PrivilegeCount = 1;
    LookupPrivilegeValueW(nullptr, L"SeShutdownPrivilege", &privileges.Privileges[0].Luid);
    privileges.Privileges[0].Attributes = enabled ? SE_PRIVILEGE_ENABLED : 0;
    BOOL ok = AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
              GetLastError() == ERROR_SUCCESS;
    CloseHandle(token);
    return ok != 0;
}

// Stands in for ExitWindowsEx (the real restart is run end to end) and
// accepts or, as Wine never does, refuses: records each request and the
// privilege as it was at that moment.
class ExitWindowsStandIn {
public:
    explicit ExitWindowsStandIn(BOOL accept = FALSE)
    {
        accept_ = accept;
        calls_ = 0;
        flags_ = 0;
        reason_ = 0;
        privilegeAtCall_ = -1;
        original_ = gExitWindowsEx;
        gExitWindowsEx = Answer;
    }
    ~ExitWindowsStandIn() { gExitWindowsEx = original_; }
    int Calls() const { return calls_; }
    UINT Flags() const { return flags_; }
    DWORD Reason() const { return reason_; }
    int PrivilegeAtCall() const { return privilegeAtCall_; }

private:
    static BOOL WINAPI Answer(UINT flags, DWORD reason)
    {
        ++calls_;
        flags_ = flags;
        reason_ = reason;
        privilegeAtCall_ = ShutdownPrivilegeEnabled();
        if (!accept_)
            SetLastError(ERROR_ACCESS_DENIED);
        return accept_;
    }
    static BOOL accept_;
    static int calls_;
    static UINT flags_;
    static DWORD reason_;
    static int privilegeAtCall_;
    BOOL(WINAPI* original_)(UINT, DWORD);
};

BOOL ExitWindowsStandIn::accept_;
int ExitWindowsStandIn::calls_;
UINT ExitWindowsStandIn::flags_;
DWORD ExitWindowsStandIn::reason_;
int ExitWindowsStandIn::privilegeAtCall_;

// Clicks a control of the in-process window as a user would; a click on
// Start Cleanup returns when the run is over.
void Click(const TestWindow& window, int id)
{
    SendMessageW(GetDlgItem(window.Window(), id), BM_CLICK, 0, 0);
    window.Pump();
}

std::wstring RestartInWindow()
{
    TestWindow window;
    CleanupState state{};
    state.dialog = gCleanupDialog;
    RestartSystem(state);
    return window.LogText();
}

}  // namespace

// The request is a forced planned reboot, made with the privilege
// enabled; the answer is logged exactly as the program writes it: the
// acceptance with a trailing blank and line feed, the refusal without.
TEST(SystemRestart, AnswerIsLoggedExactly)
{
    const struct {
        BOOL accept;
        const wchar_t* log;
    } rows[] = {
        {TRUE, L" \r\nRestarting the system \n"},
        {FALSE, L" \r\nFailed to Restart the System"},
    };
    const int before = ShutdownPrivilegeEnabled();
    if (before < 0)
        GTEST_SKIP() << "this token does not hold the shutdown privilege";
    for (const auto& row : rows) {
        SCOPED_TRACE(row.accept);
        ASSERT_TRUE(SetShutdownPrivilege(false));
        ASSERT_EQ(0, ShutdownPrivilegeEnabled());

        ExitWindowsStandIn standIn(row.accept);
        std::wstring log = RestartInWindow();

        EXPECT_EQ(1, standIn.Calls());
        EXPECT_EQ(6u, standIn.Flags());
        EXPECT_EQ(0x80020003u, standIn.Reason());
        EXPECT_EQ(1, standIn.PrivilegeAtCall());
        EXPECT_EQ(1, ShutdownPrivilegeEnabled());
        EXPECT_EQ(row.log, log);
    }
    SetShutdownPrivilege(before == 1);
}

TEST(SystemRestart, RunRequestsRestartLastOnlyWhenTicked)
{
    ExitWindowsStandIn refusal;
    TestWindow window;

    Click(window, IDC_START_CLEANUP);
    EXPECT_EQ(0, refusal.Calls());
    std::vector<std::wstring> lines = window.LogLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(L"The Browsers Cache is Cleared", lines.back());

    Click(window, IDC_RESTART);
    ASSERT_EQ(BST_CHECKED, IsDlgButtonChecked(window.Window(), IDC_RESTART));
    Click(window, IDC_START_CLEANUP);
    EXPECT_EQ(1, refusal.Calls());
    std::wstring log = window.LogText();
    const std::wstring ending = L"The Browsers Cache is Cleared \r\nFailed to Restart the System";
    ASSERT_GE(log.size(), ending.size());
    EXPECT_EQ(ending, log.substr(log.size() - ending.size()));
    // The controls come back after the request.
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(window.Window(), IDC_START_CLEANUP)));
    EXPECT_EQ(BST_CHECKED, IsDlgButtonChecked(window.Window(), IDC_RESTART));
}
