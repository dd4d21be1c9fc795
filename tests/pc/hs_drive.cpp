// Runs one cleanup in the real window, as a technician would, and writes
// what the log pane showed to a file:
//   hs_drive.exe LOGFILE [--restricted] [--skip-tunnel] [--skip-desktop]
//                [--no-cache] [--keep-open] [--hold FILE]
// --hold: another program (hold_probe.exe) holds FILE open, without
// sharing its deletion, throughout the run.
// Exit code 0 when the program answered throughout, the run ended with the
// controls enabled and the program closed through Exit with code 0.
#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>

#include "app/resource_ids.h"
#include "support/test_support.h"
#include "support/window_driver.h"

namespace {

bool HasFlag(int argc, wchar_t** argv, const wchar_t* flag)
{
    for (int i = 2; i < argc; ++i) {
        if (lstrcmpW(argv[i], flag) == 0)
            return true;
    }
    return false;
}

// The argument after flag; empty when there is none.
std::wstring FlagValue(int argc, wchar_t** argv, const wchar_t* flag)
{
    for (int i = 2; i + 1 < argc; ++i) {
        if (lstrcmpW(argv[i], flag) == 0)
            return argv[i + 1];
    }
    return L"";
}

// Puts a box into the wanted state with a real click.
void SetBox(const ProgramUnderTest& program, int id, bool checked)
{
    if (program.IsChecked(id) != checked)
        program.Click(id);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: hs_drive LOGFILE [options]\n");
        return 2;
    }
    const std::wstring held = FlagValue(argc, argv, L"--hold");
    std::unique_ptr<ProbeProcess> holder;
    if (!held.empty()) {
        holder.reset(new ProbeProcess(L"hold_probe", L"keep \"" + held + L"\""));
        if (!holder->Ready()) {
            fprintf(stderr, "the file to hold could not be held\n");
            return 8;
        }
    }
    ProgramUnderTest program;
    if (!program.Start(HasFlag(argc, argv, L"--restricted"))) {
        fprintf(stderr, "the window did not appear\n");
        return 3;
    }
    SetBox(program, IDC_SKIP_TUNNEL, HasFlag(argc, argv, L"--skip-tunnel"));
    if (program.IsEnabled(IDC_SKIP_DESKTOP))
        SetBox(program, IDC_SKIP_DESKTOP, HasFlag(argc, argv, L"--skip-desktop"));
    SetBox(program, IDC_CLEAR_CACHE, !HasFlag(argc, argv, L"--no-cache"));

    program.Click(IDC_START_CLEANUP);
    if (!program.WaitForControls()) {
        fprintf(stderr, "the controls did not come back\n");
        return 4;
    }
    std::wstring log = program.LogText();
    std::string bytes;
    for (wchar_t unit : log)
        bytes.push_back(unit > 0xFF ? '?' : static_cast<char>(unit));
    if (!WriteTextFile(argv[1], bytes)) {
        fprintf(stderr, "cannot write the log file\n");
        return 5;
    }
    if (program.NoAnswers() != 0)
        return 7;  // what it read may be a dead window's
    if (HasFlag(argc, argv, L"--keep-open"))
        return 0;
    program.Click(IDC_EXIT);
    DWORD code = 1;
    if (!program.WaitForExit(EventWaitMs(), &code) || code != 0) {
        fprintf(stderr, "the program did not exit with 0\n");
        return 6;
    }
    return 0;
}
