#include <gtest/gtest.h>

#include <shlobj.h>
#include <tlhelp32.h>

#include <algorithm>

#include "support/other_user.h"
#include "support/test_support.h"
#include "system/bounded_string.h"
#include "system/held_folder.h"
#include "system/interactive_user.h"
#include "system/special_folders.h"
#include "system/user_folders.h"

namespace {

bool IsExplorerRunning()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;
    PROCESSENTRY32W entry;
    ZeroMemory(&entry, sizeof(entry));
    entry.dwSize = sizeof(entry);
    bool found = false;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !found;
         more = Process32NextW(snapshot, &entry))
        found = lstrcmpiW(entry.szExeFile, L"explorer.exe") == 0;
    CloseHandle(snapshot);
    return found;
}

// Sessions as Wine cannot have them: this process in one, every other
// process in another, and the console attached to a third.
DWORD gOwnSession, gOthersSession, gConsoleSession;
BOOL WINAPI FakeProcessSession(DWORD processId, DWORD* session)
{
    *session = processId == GetCurrentProcessId() ? gOwnSession : gOthersSession;
    return TRUE;
}
DWORD WINAPI FakeConsoleSession()
{
    return gConsoleSession;
}

bool EndsInOneBackslash(const std::wstring& path)
{
    return path.size() >= 2 && path[path.size() - 1] == L'\\' && path[path.size() - 2] != L'\\';
}

}  // namespace

TEST(SpecialFolders, SystemAndCommonAppDataEndInOneBackslash)
{
    const int folders[] = {CSIDL_SYSTEM, CSIDL_COMMON_APPDATA};
    for (int csidl : folders) {
        SCOPED_TRACE(csidl);
        wchar_t buffer[kPathUnits];
        ASSERT_EQ(0u, GetSpecialFolderPath(buffer, csidl));
        std::wstring path = buffer;
        EXPECT_TRUE(EndsInOneBackslash(path)) << Narrow(path);
        std::wstring shell = ShellFolder(csidl);
        ASSERT_FALSE(shell.empty());
        if (shell[shell.size() - 1] != L'\\')
            shell += L'\\';
        EXPECT_EQ(0, lstrcmpiW(shell.c_str(), path.c_str())) << Narrow(path);
        EXPECT_TRUE(IsFolder(path)) << Narrow(path);
    }

    // The system folder is the one GetSystemDirectory names (System32 also
    // in a 64-bit prefix, which this 32-bit process sees redirected).
    wchar_t system[kPathUnits];
    ASSERT_EQ(0u, GetSpecialFolderPath(system, CSIDL_SYSTEM));
    wchar_t expected[MAX_PATH];
    ASSERT_NE(0u, GetSystemDirectoryW(expected, MAX_PATH));
    EXPECT_EQ(0, lstrcmpiW((std::wstring(expected) + L"\\").c_str(), system)) << Narrow(system);
}

// A folder that already ends in a backslash (a drive root) gets no second
// one; a folder with no room left for its backslash is no folder at all.
TEST(SpecialFolders, TrailingBackslashIsAddedOnlyWhereItFits)
{
    {
        ShellFolderRedirect redirect(L"Templates", L"C:\\");
        wchar_t buffer[kPathUnits];
        ASSERT_EQ(0u, GetSpecialFolderPath(buffer, CSIDL_TEMPLATES));
        EXPECT_STREQ(L"C:\\", buffer);
    }

    const std::wstring base = MakeScratchFolder(L"long-folder") + L"\\";
    for (size_t units : {258u, 259u}) {
        SCOPED_TRACE(units);
        const std::wstring folder = base + std::wstring(units - base.size(), L'f');
        ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + folder).c_str(), nullptr));
        ShellFolderRedirect redirect(L"Templates", folder);
        ASSERT_EQ(folder, ShellFolder(CSIDL_TEMPLATES));  // the shell gives it whole

        wchar_t buffer[kPathUnits];
        DWORD status = GetSpecialFolderPath(buffer, CSIDL_TEMPLATES);
        if (units == 258) {
            EXPECT_EQ(0u, status);
            EXPECT_EQ(folder + L"\\", std::wstring(buffer));
        } else {
            EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), status);
        }
        RemoveDirectoryW((L"\\\\?\\" + folder).c_str());
    }
    RemoveTestTree(base);
}

TEST(SpecialFolders, InteractiveUserAppData)
{
    // explorer.exe starts with the first window under the display.
    TestWindow window;
    ASSERT_TRUE(WaitUntil(IsExplorerRunning));

    const struct {
        const char* sessions;
        bool faked;
        DWORD own, others, console;
        bool found;
    } sessions[] = {
        {"as they are", false, 0, 0, 0, true},
        {"the shell in ours, the console elsewhere", true, 2, 2, 7, true},
        {"no shell in ours, a service's: the console's", true, 0, 2, 2, true},
        // Our session's own user is not at the console: one with an
        // alternate shell, or who ended explorer, is nobody's desk.
        {"no shell in ours, a user's: nobody", true, 3, 2, 2, false},
        // The shell of a session neither ours nor the console's is a
        // bystander's.
        {"the shell in another session only", true, 1, 2, 1, false},
        // Before Vista session 0 is also the first user's, who may have
        // switched away: only the console's counts then.
        {"a shell in a shared session 0 away from the console", true, 0, 0, 1,
         PrefixKind() != L"winxp"},
    };
    const struct {
        DWORD (*lookUp)(wchar_t*);
        int csidl;
    } folders[] = {{GetInteractiveUserAppData, CSIDL_APPDATA},
                   {GetInteractiveUserLocalAppData, CSIDL_LOCAL_APPDATA}};
    const SessionCalls real = Sessions();
    for (const auto& session : sessions) {
        for (const auto& folder : folders) {
            SCOPED_TRACE(session.sessions);
            SCOPED_TRACE(folder.csidl);
            if (session.faked)
                Sessions() = {FakeProcessSession, FakeConsoleSession};
            gOwnSession = session.own;
            gOthersSession = session.others;
            gConsoleSession = session.console;
            wchar_t buffer[kPathUnits];
            for (size_t i = 0; i < kPathUnits; ++i)
                buffer[i] = L'x';
            // The status is 0 whether or not a user was found: the path answers.
            folder.lookUp(buffer);
            Sessions() = real;
            ASSERT_NE(buffer + kPathUnits, std::find(buffer, buffer + kPathUnits, L'\0'));
            std::wstring path = buffer;
            ASSERT_EQ(session.found, !path.empty());
            if (!session.found)
                continue;
            EXPECT_NE(L'\\', path[path.size() - 1]) << Narrow(path);
            // Every process here runs as the one user, so the shell's answer for
            // the caller is the answer for the user owning explorer.exe.
            EXPECT_EQ(0, lstrcmpiW(ShellFolder(folder.csidl).c_str(), path.c_str())) << Narrow(path);
            EXPECT_TRUE(IsFolder(path)) << Narrow(path);
        }
    }
}

TEST(SpecialFolders, FolderWithoutAPathIsAFailure)
{
    // Virtual folders have no path; the answer must not read as success.
    wchar_t buffer[MAX_PATH] = L"";
    EXPECT_NE(0u, GetSpecialFolderPath(buffer, CSIDL_DRIVES));
    EXPECT_NE(0u, GetSpecialFolderPath(buffer, 0x7F));
}

// Rows the whole run cannot show: a path form refused before anything is
// opened, and a user the machine's profile list does not know.
TEST(SpecialFolders, InteractiveUserFolderIsHeldOnlyInsideTheListedProfile)
{
    TestWindow window;
    const std::wstring appData = WaitForInteractiveAppData();
    ASSERT_FALSE(appData.empty()) << "no explorer.exe";
    ASSERT_TRUE(MakeFolders(appData + L"\\hs-held"));
    ASSERT_TRUE(WriteTextFile(appData + L"\\hs-held\\mark.txt", "mark"));
    // This user's profile as Windows lists it, with the system's variable.
    const std::wstring profile = L"%SystemDrive%" + EnvironmentValue(L"USERPROFILE").substr(2);
    const struct {
        const char* what;
        std::wstring appData;
        const wchar_t* sid;  // the desktop's user; null: this process's
        std::wstring listed;  // that user's profile in the list, if any
        bool held;
    } cases[] = {
        {"the real folder", appData, nullptr, L"", true},
        {"the real folder in its long form", L"\\\\?\\" + appData, nullptr, L"", false},
        {"a user the profile list lacks", appData, kOtherUserSid, L"", false},
        {"a profile listed as REG_EXPAND_SZ", appData, kOtherUserSid, profile, true},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        ShellFolderRedirect redirect(L"AppData", test.appData);
        DesktopUserOverride desktop(test.sid);
        OtherUserProfile listed(test.listed, REG_EXPAND_SZ);
        ASSERT_TRUE(listed.listed);
        HeldFolder held;
        wchar_t path[kPathUnits];
        bool result = HoldInteractiveUserFolder(CSIDL_APPDATA, L"\\hs-held", false, held, path);
        EXPECT_EQ(test.held, result);
        if (test.held && result) {
            EXPECT_EQ(appData + L"\\hs-held", std::wstring(path));
            HeldEntry entry;
            ASSERT_TRUE(held.Next(&entry));
            EXPECT_STREQ(L"mark.txt", entry.name);
        }
    }
    RemoveTestTree(appData + L"\\hs-held");
}
