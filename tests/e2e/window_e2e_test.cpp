#include <gtest/gtest.h>

#include <algorithm>

#include "app/resource_ids.h"
#include "support/full_drive.h"
#include "support/packages.h"
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
// Start Cleanup that is enabled again mean the run is over, and that the
// digits went with it.
bool WaitForRunToEnd(const ProgramUnderTest& program)
{
    return WaitUntil([&] {
        std::vector<std::wstring> lines = program.LogLines();
        return lines.size() >= 2 && lines[0].empty() && lines[1] == kFirstRunLine &&
               program.IsEnabled(IDC_START_CLEANUP);
    });
}

// Polls a file until it holds the expected bytes; returns what it holds.
std::string WaitForContent(const std::wstring& path, const std::string& expected)
{
    std::string content;
    WaitUntil([&] { return (content = ReadWholeFile(path)) == expected; });
    return content;
}

bool WaitForLastLine(const ProgramUnderTest& program, const wchar_t* line)
{
    return WaitUntil([&] { return program.LogLines().back() == line; });
}

void ExpectEnded(const ProgramUnderTest& program)
{
    DWORD code = 1234;
    ASSERT_TRUE(program.WaitForExit(EventWaitMs(), &code));
    EXPECT_EQ(0u, code);
}

// The focus comes back just after the controls do.
bool WaitForFocus(const ProgramUnderTest& program, int id)
{
    return WaitUntil([&] { return program.FocusedControl() == id; });
}

size_t CountOf(const std::vector<std::wstring>& lines, const wchar_t* line)
{
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

// Logged just before the endpoint-control product's removal, when the
// suite is absent.
const wchar_t kHeldLine[] = L"Tessaline Manager not installed";
const wchar_t kClassPhaseLine[] = L"Cleaning Registry... ";
const wchar_t kLastRunLine[] = L"The Browsers Cache is Cleared";

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
    EXPECT_TRUE(HasLine(lines, kCacheLine));
    EXPECT_FALSE(HasLine(lines, kDesktopLine));
    EXPECT_FALSE(program.IsEnabled(IDC_SKIP_DESKTOP));
    EXPECT_FALSE(program.IsChecked(IDC_SKIP_DESKTOP));
    EXPECT_FALSE(program.IsChecked(IDC_SKIP_TUNNEL));  // Enter did not toggle it
    EXPECT_TRUE(WaitForFocus(program, IDC_SKIP_TUNNEL)) << program.FocusedControl();
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
        EXPECT_FALSE(HasLine(lines, kCacheLine));
        EXPECT_FALSE(HasLine(lines, kDesktopLine));
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
                        EventWaitMs(), &copied);
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

// The file is made but the disk is full: the write fails, the user is told
// with a message box, and the pane gets no line.
TEST(ProgramWindow, SaveLogsToAFullDisk)
{
    FullDrive drive;  // outlives the program, which may hold the drive open
    ASSERT_FALSE(drive.Root().empty()) << "no full drive (mounting a tmpfs needs root)";
    ProgramUnderTest program;
    ASSERT_TRUE(program.Start());
    const std::wstring log = L" \r\nRegistry Cleanup Successful";
    program.SetLogText(log);

    program.PostClick(IDC_SAVE_LOGS);
    HWND dialog = program.WaitForOwnWindow(L"Save Log files");
    ASSERT_NE(nullptr, dialog);
    std::wstring path = drive.Root() + L"log.txt";
    ASSERT_TRUE(AcceptSaveDialog(dialog, path));
    HWND box = program.WaitForOwnWindow(L"SaveLog");
    ASSERT_NE(nullptr, box);
    wchar_t text[64] = L"";
    GetDlgItemTextW(box, 0xFFFF, text, 64);  // the message box's text
    EXPECT_STREQ(L"Error in writing", text);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(box); }));

    EXPECT_TRUE(Exists(path));
    EXPECT_EQ(std::string(), ReadWholeFile(path));
    EXPECT_EQ(log, program.LogText());
    program.Click(IDC_EXIT);
    ExpectEnded(program);
}

// A run held before a product's removal while another installation holds
// the installer. Meanwhile the window answers and shows the lines so far;
// Enter, digits typed into the log, clicks on Start Cleanup, Exit and a
// box, and the close box, queued or sent, are all dropped. Once the
// installer is free the product goes; after the run there is one run's
// log, the program is open, the options are unchanged and the focus is
// back on Start Cleanup, where Enter was pressed.
TEST(ProgramWindow, InputDuringAHeldRunIsDropped)
{
    ProductCleanup cleanup{&kEndpointControlPackage};
    ASSERT_EQ(0u, Install(kEndpointControlPackage));
    InstallerMutexHolder holder;
    ASSERT_TRUE(holder.Holding());
    ProgramUnderTest program;
    ASSERT_TRUE(program.Start());
    ASSERT_EQ(IDC_START_CLEANUP, program.FocusedControl());

    program.PressKey(VK_RETURN);
    ASSERT_TRUE(WaitForLastLine(program, kHeldLine)) << Narrow(program.LogText());
    for (int probe = 0; probe < 5; ++probe) {
        SCOPED_TRACE(probe);
        std::wstring text;
        ASSERT_TRUE(program.TextWithin(IDC_LOG_PANE, EventWaitMs(), &text));
        std::vector<std::wstring> lines = SplitLog(text);
        ASSERT_EQ(3u, lines.size());
        EXPECT_EQ(kFirstRunLine, lines[1]);
        EXPECT_EQ(kHeldLine, lines.back());
        Sleep(50);
    }
    EXPECT_FALSE(program.IsEnabled(IDC_START_CLEANUP));

    program.PressKey(VK_RETURN);
    program.TypeInto(IDC_LOG_PANE, L"777");
    program.PostMouseClick(IDC_START_CLEANUP);
    program.PostMouseClick(IDC_CLEAR_CACHE);
    program.Close();
    program.PostSystemClose();
    // A paste stays in the log through the run's next lines, and a second
    // run would empty the pane: it marks this run's log.
    ASSERT_TRUE(program.PasteIntoLog(L" \r\n4242", EventWaitMs()));
    // Clicks that another program sends are answered at once.
    ASSERT_TRUE(program.ClickWithin(IDC_START_CLEANUP, EventWaitMs()));
    ASSERT_TRUE(program.ClickWithin(IDC_EXIT, EventWaitMs()));
    // All of it was handled while the run was still held.
    ASSERT_TRUE(program.WaitForPostedMessages());
    ASSERT_TRUE(holder.StillHolding());
    EXPECT_EQ(L"4242", program.LogLines().back());
    EXPECT_FALSE(program.IsEnabled(IDC_START_CLEANUP));
    EXPECT_TRUE(IsInstalled(kEndpointControlPackage));

    holder.LetGo();
    ASSERT_TRUE(WaitForLastLine(program, kLastRunLine)) << Narrow(program.LogText());
    ASSERT_TRUE(program.WaitForControls());
    ASSERT_TRUE(program.WaitForPostedMessages());

    ASSERT_TRUE(program.IsRunning());
    EXPECT_FALSE(IsInstalled(kEndpointControlPackage));
    std::vector<std::wstring> lines = program.LogLines();
    EXPECT_EQ(1u, CountOf(lines, kFirstRunLine)) << Narrow(program.LogText());
    EXPECT_EQ(1u, CountOf(lines, kClassPhaseLine));
    EXPECT_EQ(std::wstring::npos, program.LogText().find(L'7'));
    std::vector<std::wstring>::iterator held = std::find(lines.begin(), lines.end(), kHeldLine);
    ASSERT_NE(lines.end(), held) << Narrow(program.LogText());
    ASSERT_NE(lines.end(), held + 1);
    EXPECT_EQ(L"4242", *(held + 1)) << Narrow(program.LogText());
    EXPECT_EQ(kLastRunLine, lines.back());

    EXPECT_TRUE(program.IsChecked(IDC_CLEAR_CACHE));
    EXPECT_FALSE(program.IsChecked(IDC_RESTART));
    EXPECT_FALSE(program.IsChecked(IDC_SKIP_TUNNEL));
    EXPECT_FALSE(program.IsChecked(IDC_SKIP_DESKTOP));
    for (int id : kButtons)
        EXPECT_TRUE(program.IsEnabled(id)) << id;
    EXPECT_TRUE(WaitForFocus(program, IDC_START_CLEANUP)) << program.FocusedControl();

    program.Click(IDC_EXIT);
    ExpectEnded(program);
}

// Libraries named like those the program loads while it runs (the
// installer, WinINet and theirs) beside a copy of it, and Wine told to
// prefer a library the search finds over its own, as Windows does: through
// a start, a run and the save dialog, none of them is loaded. Not planted:
// version, uxtheme and msimg32, which Wine's own libraries load beside the
// program whatever it asks (as imports before it starts, and as delayed
// imports that ignore the narrowed search).
TEST(ProgramWindow, LibrariesBesideTheProgramStayUnloaded)
{
    const wchar_t* const kPlanted[] = {L"msi",     L"wininet", L"cabinet",  L"bcrypt",
                                       L"crypt32", L"dbghelp", L"mspatcha", L"odbccp32",
                                       L"sxs",     L"mpr",     L"urlmon",   L"wintrust"};
    // Wine reads the preference from here when the program starts.
    const std::wstring appKey = L"Software\\Wine\\AppDefaults\\HostSweeper.exe";
    struct KeyRemoved {
        const std::wstring& key;
        ~KeyRemoved() { DeleteKeyForTest(HKEY_CURRENT_USER, key); }
    } removed{appKey};
    std::wstring folder = MakeScratchFolder(L"e2e-planted");
    std::wstring built = ProgramPath();
    std::wstring library = built.substr(0, built.rfind(L'\\')) + L"\\planted_library.dll";
    ASSERT_TRUE(CopyFileW(built.c_str(), (folder + L"\\HostSweeper.exe").c_str(), FALSE));
    for (const wchar_t* name : kPlanted) {
        ASSERT_TRUE(CopyFileW(library.c_str(), (folder + L"\\" + name + L".dll").c_str(), FALSE));
        ASSERT_TRUE(SetStringValue(HKEY_CURRENT_USER, appKey + L"\\DllOverrides", name, L"native,builtin"));
    }

    ProgramUnderTest program;
    ASSERT_TRUE(program.Start(false, folder + L"\\HostSweeper.exe"));
    program.Click(IDC_START_CLEANUP);
    ASSERT_TRUE(program.WaitForControls());
    EXPECT_EQ(kLastRunLine, program.LogLines().back());
    program.PostClick(IDC_SAVE_LOGS);
    HWND dialog = program.WaitForOwnWindow(L"Save Log files");
    ASSERT_NE(nullptr, dialog);
    PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(dialog); }));
    program.Click(IDC_EXIT);
    ExpectEnded(program);

    for (const wchar_t* name : kPlanted)
        EXPECT_FALSE(Exists(folder + L"\\" + name + L".dll.loaded")) << Narrow(name);
    RemoveTestTree(folder);
}
