// Helpers the tests share: real files, real keys, real links, a real
// dialog from template 129, and the paths of the test packages.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "support/test_deadline.h"
#include "system/handles.h"

// --- paths -----------------------------------------------------------------
std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);
// A Unix path as Wine's Z: drive shows it.
std::wstring UnixToWindowsPath(const std::string& unixPath);
// Where Wine keeps a Windows path on the Unix side ("" if unknown).
std::string WindowsToUnixPath(const std::wstring& path);
// Folder of the installer packages built for the tests (HS_MSI_DIR).
std::wstring MsiPath(const wchar_t* name);
// The program under test (HS_BUILD_DIR\HostSweeper.exe).
std::wstring ProgramPath();
std::wstring EnvironmentValue(const wchar_t* name);
// The kind of prefix the suite runs in (HS_PREFIX): win64, win32 or winxp.
std::wstring PrefixKind();
// The shell's own answer for a folder of this process's user, without a
// trailing backslash ("" on failure).
std::wstring ShellFolder(int csidl);
// A name in the temporary folder GetTempPathW gives (the folder itself,
// with its backslash, for an empty name).
std::wstring TempPath(const std::wstring& name);
// The interactive user's roaming application data, waiting for
// explorer.exe to come up with the first window; "" when it never does.
std::wstring WaitForInteractiveAppData();

// --- files -----------------------------------------------------------------
// A fresh, empty scratch folder below the prefix's temporary folder.
std::wstring MakeScratchFolder(const wchar_t* name);
bool WriteTextFile(const std::wstring& path, const std::string& content);
std::string ReadWholeFile(const std::wstring& path);
bool Exists(const std::wstring& path);
bool IsFolder(const std::wstring& path);
bool MakeFolders(const std::wstring& path);  // with every missing parent
// A folder path below base exactly length units long, in segments under
// segment units each (made by nobody: MakeFolders it).
std::wstring FolderPathOfLength(const std::wstring& base, size_t length, size_t segment);
// Removes a tree the test made, never following links (it unlinks them).
void RemoveTestTree(const std::wstring& path);
// Makes link -> target with /bin/ln -s; target must be a scratch folder the
// test itself made. Wine deletes through links.
bool MakeDirectoryLink(const std::wstring& link, const std::wstring& target);
void RemoveLink(const std::wstring& link);
// Whether a deletion holds the folder: with the right to remove it, which an
// open that does not share deletion then meets. A search of it does not.
bool IsHeldForRemoval(const std::wstring& folder);

// --- registry --------------------------------------------------------------
// view is 0, KEY_WOW64_64KEY or KEY_WOW64_32KEY.
bool CreateKey(HKEY root, const std::wstring& path, REGSAM view = 0);
bool KeyExists(HKEY root, const std::wstring& path, REGSAM view = 0);
bool SetStringValue(HKEY root, const std::wstring& path, const std::wstring& name,
                    const std::wstring& data, REGSAM view = 0);
// Reads a string value ("" and false when it is missing).
bool ReadStringValue(HKEY root, const std::wstring& path, const std::wstring& name,
                     std::wstring* data, REGSAM view = 0, DWORD* type = nullptr);
bool SetDwordValue(HKEY root, const std::wstring& path, const std::wstring& name, DWORD data,
                   REGSAM view = 0);
void DeleteKeyForTest(HKEY root, const std::wstring& path, REGSAM view = 0);
// KEY_WOW64_64KEY on 64-bit Windows, else 0.
REGSAM NativeView();

// Points one of this user's shell folders ("Templates", "AppData", "Local
// AppData"), or with HKEY_LOCAL_MACHINE one of the machine's ("Common
// AppData"), at path while it lives; puts back what the shell had after.
class ShellFolderRedirect {
public:
    ShellFolderRedirect(const std::wstring& name, const std::wstring& path,
                        HKEY root = HKEY_CURRENT_USER);
    ~ShellFolderRedirect();
    ShellFolderRedirect(const ShellFolderRedirect&) = delete;
    ShellFolderRedirect& operator=(const ShellFolderRedirect&) = delete;

private:
    HKEY root_;
    std::wstring name_;
    bool hadUser_, hadShell_;
    std::wstring user_, shell_;
    DWORD userType_ = REG_EXPAND_SZ, shellType_ = REG_SZ;
};

// --- installer -------------------------------------------------------------
// Installs a package silently; returns the installer's result.
UINT InstallPackage(const std::wstring& msiPath, const wchar_t* properties = L"");
bool IsProductInstalled(const wchar_t* productCode);
// Removes the product if installed, ignoring the result (test clean-up).
void ForgetProduct(const wchar_t* productCode);
// The cached copy of an installed product's package ("" if none).
std::wstring CachedPackage(const wchar_t* productCode);

// --- the main window -------------------------------------------------------
// The real dialog from template 129 with the real MainDialogProc, in this
// process; gCleanupDialog points at its controller while it lives.
class TestWindow {
public:
    explicit TestWindow(int isAdministrator = 1);
    ~TestWindow();
    HWND Window() const { return window_; }
    std::wstring LogText() const;
    // The log split at its " \r\n" separators (the first line is empty).
    std::vector<std::wstring> LogLines() const;
    void Pump() const;

private:
    HWND window_;
};

// Splits a log at its separators.
std::vector<std::wstring> SplitLog(const std::wstring& log);

// --- second processes -------------------------------------------------------
// A probe of the tests (tests/pc/NAME.exe) run as a second process, as
// another program on the PC: "NAME TAG ARGUMENTS", with the events
// TAG-ready, which it sets once it holds what it was asked to, and
// TAG-stop, at which it lets go and ends.
class ProbeProcess {
public:
    ProbeProcess(const wchar_t* name, const std::wstring& arguments);
    ~ProbeProcess() { LetGo(); }
    ProbeProcess(const ProbeProcess&) = delete;
    ProbeProcess& operator=(const ProbeProcess&) = delete;
    // Waits until it is ready; false when it ended first.
    bool Ready() const;
    // Neither told to let go nor ended.
    bool StillRunning() const;
    // Tells it to let go and waits until it has ended.
    void LetGo();

private:
    UniqueHandle ready_, stop_, process_;
};
