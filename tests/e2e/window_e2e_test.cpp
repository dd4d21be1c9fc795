#include <gtest/gtest.h>

#include <algorithm>

#include "app/resource_ids.h"
#include "support/test_support.h"
#include "support/window_driver.h"

namespace {

const wchar_t kFirstRunLine[] = L"Starting Tessaline Manager Uninstallation Please wait .... ";
const wchar_t kCacheLine[] = L"Clearing the Browser(IE/FireFox/Chrome) Cache ....";
const wchar_t kDesktopLine[] = L"HLD not installed";
const wchar_t kCreateFailed[] = L"File to save log is not able to create";
const int kBoxes[] = {IDC_CLEAR_CACHE, IDC_RESTART, IDC_SKIP_TUNNEL, IDC_SKIP_DESKTOP};
const int kButtons[] = {IDC_START_CLEANUP, IDC_EXIT, IDC_SAVE_LOGS};

bool HasLine(const std::vector<std::wstring>& lines, const wchar_t* line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// Waits for the end of a run started by a key. The caller puts digits in
// the pane first, so a log that starts with the run's first line and a
// Start Cleanup that is enabled again mean the run is over.
bool WaitForRunToEnd(const ProgramUnderTest& program, DWORD timeoutMs = 120000)
{
    for (DWORD waited = 0; waited < timeoutMs; waited += 100) {
        std::vector<std::wstring> lines = program.LogLines();
        if (lines.size() >= 2 && lines[0].empty() && lines[1] == kFirstRunLine &&
            program.IsEnabled(IDC_START_CLEANUP))
            return true;
        Sleep(100);
    }
    return false;
}

// Polls a file until it holds the expected bytes; returns what it holds.
std::string WaitForContent(const std::wstring& path, const std::string& expected,
                           DWORD timeoutMs = 20000)
{
    std::string content;
    for (DWORD waited = 0; waited < timeoutMs; waited += 100) {
        content = ReadWholeFile(path);
        if (content == expected)
            break;
        Sleep(100);
    }
    return content;
}

bool WaitForLastLine(const ProgramUnderTest& program, const wchar_t* line, DWORD timeoutMs = 20000)
{
    for (DWORD waited = 0; waited < timeoutMs; waited += 100) {
        std::vector<std::wstring> lines = program.LogLines();
        if (lines.back() == line)
            return true;
        Sleep(100);
    }
    return false;
}

void ExpectEnded(const ProgramUnderTest& program)
{
    DWORD code = 1234;
    ASSERT_TRUE(program.WaitForExit(20000, &code));
    EXPECT_EQ(0u, code);
}

}  // namespace

TEST(ProgramWindow, StartsWithDefaultsAndExitsThroughExit)
{
    ProgramUnderTest program;
    ASSERT_TRUE(program.Start());
    EXPECT_TRUE(program.IsChecked(IDC_CLEAR_CACHE));
    EXPECT_FALSE(program.IsChecked(IDC_RESTART));
    EXPECT_FALSE(program.IsChecked(IDC_SKIP_TUNNEL));
    EXPECT_FALSE(program.IsChecked(IDC_SKIP_DESKTOP));
    for (int id : kBoxes)
        EXPECT_TRUE(program.IsEnabled(id)) << id;
    for (int id : kButtons)
        EXPECT_TRUE(program.IsEnabled(id)) << id;
    EXPECT_EQ(L"", program.LogText());
    EXPECT_EQ(L"Start Cleanup", program.Text(IDC_START_CLEANUP));

    program.Click(IDC_EXIT);
    ExpectEnded(program);
}

// Started without Administrators, Skip HLD/PW is disabled at start and
// after a run; the run then leaves the desktop components alone. Enter on
// a check box starts the run, Escape ends the program.
TEST(ProgramWindow, RestrictedLaunchRunsFromACheckBox)
{
    ProgramUnderTest program;
    ASSERT_TRUE(program.Start(true));
    EXPECT_FALSE(program.IsEnabled(IDC_SKIP_DESKTOP));
    EXPECT_FALSE(program.IsChecked(IDC_SKIP_DESKTOP));
    EXPECT_TRUE(program.IsChecked(IDC_CLEAR_CACHE));
    EXPECT_TRUE(program.IsEnabled(IDC_SKIP_TUNNEL));
    EXPECT_TRUE(program.IsEnabled(IDC_START_CLEANUP));

    program.SetLogText(L"12345");
    program.Focus(IDC_SKIP_TUNNEL);
    program.PressKey(VK_RETURN);
    ASSERT_TRUE(WaitForRunToEnd(program)) << Narrow(program.LogText());

    std::vector<std::wstring> lines = program.LogLines();
    EXPECT_FALSE(HasLine(lines, L"12345"));
    EXPECT_TRUE(HasLine(lines, kCacheLine));
    EXPECT_FALSE(HasLine(lines, kDesktopLine));
    EXPECT_FALSE(program.IsEnabled(IDC_SKIP_DESKTOP));
    EXPECT_FALSE(program.IsChecked(IDC_SKIP_DESKTOP));
    EXPECT_FALSE(program.IsChecked(IDC_SKIP_TUNNEL));  // Enter did not toggle it
    for (int id : kButtons)
        EXPECT_TRUE(program.IsEnabled(id)) << id;

    program.PressKey(VK_ESCAPE);
    ExpectEnded(program);
}

// Options set by clicks hold for two runs in a row: the first started with
// Enter in the log pane, the second with the button. The close box ends it.
TEST(ProgramWindow, OptionsHoldAcrossRuns)
{
    ProgramUnderTest program;
    ASSERT_TRUE(program.Start());
    program.Click(IDC_CLEAR_CACHE);
    program.Click(IDC_SKIP_DESKTOP);
    ASSERT_FALSE(program.IsChecked(IDC_CLEAR_CACHE));
    ASSERT_TRUE(program.IsChecked(IDC_SKIP_DESKTOP));

    program.SetLogText(L"12345");
    program.Focus(IDC_LOG_PANE);
    program.PressKey(VK_RETURN);
    ASSERT_TRUE(WaitForRunToEnd(program)) << Narrow(program.LogText());

    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        std::vector<std::wstring> lines = program.LogLines();
        EXPECT_FALSE(HasLine(lines, L"12345"));
        EXPECT_FALSE(HasLine(lines, kCacheLine));
        EXPECT_FALSE(HasLine(lines, kDesktopLine));
        EXPECT_TRUE(HasLine(lines, L"Registry Cleanup Successful"));
        EXPECT_FALSE(program.IsChecked(IDC_CLEAR_CACHE));
        EXPECT_FALSE(program.IsChecked(IDC_RESTART));
        EXPECT_FALSE(program.IsChecked(IDC_SKIP_TUNNEL));
        EXPECT_TRUE(program.IsChecked(IDC_SKIP_DESKTOP));
        EXPECT_TRUE(program.IsEnabled(IDC_SKIP_DESKTOP));
        if (run == 1) {
            program.SetLogText(L"67");
            program.Click(IDC_START_CLEANUP);
            ASSERT_TRUE(WaitForRunToEnd(program)) << Narrow(program.LogText());
        }
    }

    program.Close();
    ExpectEnded(program);
}

TEST(ProgramWindow, SaveLogsThroughTheDialog)
{
    ProgramUnderTest program;
    ASSERT_TRUE(program.Start());
    std::wstring folder = MakeScratchFolder(L"e2e-save");
    const std::wstring log = L" \r\nRegistry Cleanup Successful \r\n2024";
    program.SetLogText(log);

    // The dialog proposes "HostSweepLogs"; a bare name gets ".txt".
    program.PostClick(IDC_SAVE_LOGS);
    HWND dialog = program.WaitForOwnWindow(L"Save Log files");
    ASSERT_NE(nullptr, dialog);
    HWND name = GetDlgItem(dialog, 0x47C);
    if (name == nullptr)
        name = GetDlgItem(dialog, 0x480);
    wchar_t proposed[64] = L"";
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(name, WM_GETTEXT, 64, reinterpret_cast<LPARAM>(proposed), SMTO_NORMAL,
                        20000, &copied);
    EXPECT_STREQ(L"HostSweepLogs", proposed);
    ASSERT_TRUE(AcceptSaveDialog(dialog, folder + L"\\exported"));
    std::wstring saved = folder + L"\\exported.txt";
    EXPECT_EQ(Narrow(log), WaitForContent(saved, Narrow(log)));
    EXPECT_FALSE(Exists(folder + L"\\exported"));
    EXPECT_EQ(log, program.LogText());

    // A folder that does not exist: nothing is written, the pane says so.
    program.PostClick(IDC_SAVE_LOGS);
    dialog = program.WaitForOwnWindow(L"Save Log files");
    ASSERT_NE(nullptr, dialog);
    std::wstring missing = folder + L"\\missing\\log.txt";
    ASSERT_TRUE(AcceptSaveDialog(dialog, missing));
    EXPECT_TRUE(WaitForLastLine(program, kCreateFailed));
    EXPECT_EQ(log + L" \r\n" + kCreateFailed, program.LogText());
    EXPECT_FALSE(Exists(missing));

    program.Click(IDC_EXIT);
    ExpectEnded(program);
    RemoveTestTree(folder);
}
