// With no desktop shell running (a service context, or before anyone logs
// on) there is no interactive user: every step that needs that user's
// folder is skipped, and nothing else is touched in its place. Run in a
// throwaway prefix: it ends the prefix's explorer.exe.
//   no_explorer.exe     exit code 0 when every check held
#include <windows.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/cleanup_dialog.h"
#include "maintenance/browser_cache.h"
#include "removal/class_registrations.h"
#include "removal/desktop_components.h"
#include "support/test_support.h"
#include "system/cleanup_state.h"
#include "system/special_folders.h"

namespace {

int failures = 0;

void Check(bool condition, const char* what)
{
    printf("%s: %s\n", condition ? "ok" : "FAILED", what);
    if (!condition)
        ++failures;
}

int EndExplorers()
{
    int running = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (lstrcmpiW(entry.szExeFile, L"explorer.exe") != 0)
            continue;
        ++running;
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID);
        if (process != nullptr) {
            TerminateProcess(process, 0);
            WaitForSingleObject(process, EventWaitMs());
            CloseHandle(process);
        }
    }
    CloseHandle(snapshot);
    return running;
}

}  // namespace

int wmain()
{
    // The window first: it is where the phases write their lines.
    TestWindow window;
    Check(window.Window() != nullptr, "the main window is made");
    EndExplorers();
    Check(EndExplorers() == 0, "no explorer.exe is left running");

    wchar_t folder[MAX_PATH] = L"stale";
    Check(GetInteractiveUserAppData(folder) == 0 && folder[0] == L'\0',
          "no interactive user: empty folder, status 0");

    // The user's own folders that a cleanup with a user would touch.
    std::wstring appData = ShellFolder(CSIDL_APPDATA);
    std::wstring vendor = appData + L"\\Kestrix";
    std::wstring cookies = appData + L"\\Mozilla\\Firefox\\Profiles\\p.default\\cookies.sqlite";
    MakeFolders(vendor);
    MakeFolders(appData + L"\\Mozilla\\Firefox\\Profiles\\p.default");
    WriteTextFile(vendor + L"\\client.ini", "x");
    WriteTextFile(cookies, "x");

    CleanupState state{};
    state.tunnelAbsent = true;
    state.dialog = gCleanupDialog;
    CleanClassRegistrations(state);
    Check(Exists(vendor + L"\\client.ini"), "class cleanup leaves the user folder alone");

    ClearBrowserCaches(state);
    Check(Exists(cookies), "cache clearing skips Firefox and Chrome");

    // The secure desktop's folder-only removal rests on its data folder.
    const wchar_t* data = L"C:\\ProgramData\\Halcyra";
    MakeFolders(data);
    WriteTextFile(std::wstring(data) + L"\\desktop.dat", "x");
    std::wstring perUser = appData + L"\\Halcyra";
    MakeFolders(perUser);
    WriteTextFile(perUser + L"\\session.dat", "x");
    SetWindowTextW(GetDlgItem(window.Window(), 1003), L"");
    RemoveDesktopComponents(*gCleanupDialog, state);
    std::vector<std::wstring> lines = window.LogLines();
    Check(lines.size() == 4 && lines[1] == L"Uninstalling HLD... " &&
              lines[2] == L"HLD Uninstallation Successful" && lines[3] == L"Pyrewick not installed",
          "the folder-only removal succeeds on its data folder alone");
    Check(!Exists(data), "the data folder is removed");
    Check(Exists(perUser + L"\\session.dat"), "no per-user folder is formed without a user");
    Check(EndExplorers() == 0, "still no explorer.exe after the phases");

    RemoveTestTree(vendor);
    RemoveTestTree(appData + L"\\Mozilla");
    RemoveTestTree(perUser);
    printf("%d failures\n", failures);
    return failures == 0 ? 0 : 1;
}
