#include <gtest/gtest.h>

#include <shlobj.h>
#include <tlhelp32.h>

#include "support/test_support.h"
#include "system/bounded_string.h"
#include "system/special_folders.h"

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

bool EndsInOneBackslash(const std::wstring& path)
{
    return path.size() >= 2 && path[path.size() - 1] == L'\\' && path[path.size() - 2] != L'\\';
}

// Reads a string value ("" and false when it is missing).
bool ReadString(HKEY root, const wchar_t* path, const wchar_t* name, std::wstring* data,
                DWORD* type)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    wchar_t buffer[MAX_PATH] = L"";
    DWORD bytes = sizeof(buffer) - sizeof(wchar_t);
    LONG status = RegQueryValueExW(key, name, nullptr, type, reinterpret_cast<BYTE*>(buffer), &bytes);
    RegCloseKey(key);
    *data = buffer;
    return status == ERROR_SUCCESS;
}

void WriteString(HKEY root, const wchar_t* path, const wchar_t* name, const std::wstring& data,
                 DWORD type)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return;
    RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(data.c_str()),
                   static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

void DeleteValue(HKEY root, const wchar_t* path, const wchar_t* name)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return;
    RegDeleteValueW(key, name);
    RegCloseKey(key);
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

// A folder that already ends in a backslash (a drive root) gets no second one.
TEST(SpecialFolders, DriveRootKeepsItsOneBackslash)
{
    const wchar_t userFolders[] =
        L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
    const wchar_t shellFolders[] =
        L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
    std::wstring userOld, shellOld;
    DWORD userType = REG_EXPAND_SZ, shellType = REG_SZ;
    bool hadUser = ReadString(HKEY_CURRENT_USER, userFolders, L"Templates", &userOld, &userType);
    bool hadShell = ReadString(HKEY_CURRENT_USER, shellFolders, L"Templates", &shellOld, &shellType);
    ASSERT_TRUE(hadUser) << "no Templates entry to redirect";

    WriteString(HKEY_CURRENT_USER, userFolders, L"Templates", L"C:\\", REG_EXPAND_SZ);
    wchar_t buffer[kPathUnits];
    DWORD status = GetSpecialFolderPath(buffer, CSIDL_TEMPLATES);

    WriteString(HKEY_CURRENT_USER, userFolders, L"Templates", userOld, userType);
    if (hadShell)
        WriteString(HKEY_CURRENT_USER, shellFolders, L"Templates", shellOld, shellType);
    else
        DeleteValue(HKEY_CURRENT_USER, shellFolders, L"Templates");

    ASSERT_EQ(0u, status);
    EXPECT_STREQ(L"C:\\", buffer);
}

TEST(SpecialFolders, InteractiveUserAppData)
{
    // explorer.exe starts with the first window under the display.
    TestWindow window;
    for (int i = 0; i < 200 && !IsExplorerRunning(); ++i)
        Sleep(50);
    ASSERT_TRUE(IsExplorerRunning());

    wchar_t buffer[kPathUnits];
    for (size_t i = 0; i < kPathUnits; ++i)
        buffer[i] = L'x';
    EXPECT_EQ(0u, GetInteractiveUserAppData(buffer));
    std::wstring path = buffer;
    ASSERT_FALSE(path.empty());
    EXPECT_NE(L'\\', path[path.size() - 1]) << Narrow(path);
    // Every process here runs as the one user, so the shell's answer for
    // the caller is the answer for the user owning explorer.exe.
    EXPECT_EQ(0, lstrcmpiW(ShellFolder(CSIDL_APPDATA).c_str(), path.c_str())) << Narrow(path);
    EXPECT_TRUE(IsFolder(path)) << Narrow(path);
}

TEST(SpecialFolders, FolderWithoutAPathIsAFailure)
{
    // Virtual folders have no path; the answer must not read as success.
    wchar_t buffer[MAX_PATH] = L"";
    EXPECT_NE(0u, GetSpecialFolderPath(buffer, CSIDL_DRIVES));
    EXPECT_NE(0u, GetSpecialFolderPath(buffer, 0x7F));
}
