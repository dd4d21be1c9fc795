#include "support/test_support.h"

#include <cstdlib>

#include <msi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include "app/cleanup_dialog.h"
#include "app/resource_ids.h"
#include "run/cleanup_run.h"
#include "system/handles.h"
#include "system/platform_probes.h"
#include "system/responsiveness.h"
#include "system/special_folders.h"

std::wstring Widen(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

std::string Narrow(const std::wstring& text)
{
    std::string out;
    for (wchar_t c : text)
        out.push_back(c > 0x7F ? '?' : static_cast<char>(c));
    return out;
}

std::wstring EnvironmentValue(const wchar_t* name)
{
    wchar_t value[2048];
    DWORD length = GetEnvironmentVariableW(name, value, 2048);
    if (length == 0 || length >= 2048)
        return L"";
    return value;
}

std::wstring PrefixKind()
{
    return EnvironmentValue(L"HS_PREFIX");
}

std::wstring ShellFolder(int csidl)
{
    wchar_t path[MAX_PATH] = L"";
    if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path)))
        return L"";
    return path;
}

std::wstring TempPath(const std::wstring& name)
{
    wchar_t temp[MAX_PATH] = L"";
    GetTempPathW(MAX_PATH, temp);
    return temp + name;
}

std::wstring WaitForInteractiveAppData()
{
    wchar_t appData[MAX_PATH] = L"";
    WaitUntil([&] {
        GetInteractiveUserAppData(appData);
        return appData[0] != L'\0';
    });
    return appData;
}

std::wstring UnixToWindowsPath(const std::string& unixPath)
{
    std::wstring path = L"Z:" + Widen(unixPath);
    for (wchar_t& c : path) {
        if (c == L'/')
            c = L'\\';
    }
    return path;
}

std::string WindowsToUnixPath(const std::wstring& path)
{
    typedef char*(CDECL * UnixNameFn)(LPCWSTR);
    UnixNameFn unixName = reinterpret_cast<UnixNameFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
    if (unixName == nullptr)
        return "";
    char* name = unixName(path.c_str());
    if (name == nullptr)
        return "";
    std::string result = name;
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

std::wstring MsiPath(const wchar_t* name)
{
    std::wstring dir = EnvironmentValue(L"HS_MSI_DIR");
    return UnixToWindowsPath(Narrow(dir)) + L"\\" + name;
}

std::wstring ProgramPath()
{
    return UnixToWindowsPath(Narrow(EnvironmentValue(L"HS_BUILD_DIR"))) + L"\\HostSweeper.exe";
}

std::wstring MakeScratchFolder(const wchar_t* name)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring folder = std::wstring(temp) + L"hs-scratch\\" + name;
    RemoveTestTree(folder);
    MakeFolders(folder);
    return folder;
}

bool WriteTextFile(const std::wstring& path, const std::string& content)
{
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid())
        return false;
    DWORD written = 0;
    return WriteFile(file.Get(), content.data(), static_cast<DWORD>(content.size()), &written,
                     nullptr) &&
           written == content.size();
}

std::string ReadWholeFile(const std::wstring& path)
{
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file.IsValid())
        return "<missing>";
    std::string content;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file.Get(), chunk, sizeof(chunk), &got, nullptr) && got > 0)
        content.append(chunk, got);
    return content;
}

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsFolder(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool MakeFolders(const std::wstring& path)
{
    if (IsFolder(path))
        return true;
    size_t slash = path.find_last_of(L'\\');
    if (slash != std::wstring::npos && slash > 2)
        MakeFolders(path.substr(0, slash));
    return CreateDirectoryW(path.c_str(), nullptr) != 0 || IsFolder(path);
}

std::wstring FolderPathOfLength(const std::wstring& base, size_t length, size_t segment)
{
    std::wstring folder = base + L"\\";
    while (folder.size() < length)
        folder += (folder.size() % segment == 0) ? L'\\' : L'd';
    if (folder.back() == L'\\')
        folder.back() = L'e';
    return folder;
}

namespace {

// Runs a Unix program through Wine and waits until check() holds.
bool RunUnix(const std::wstring& program, const std::wstring& commandLine,
             bool (*check)(const std::wstring&), const std::wstring& subject)
{
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    // Wine cannot wait on a Unix process; poll for its effect instead.
    return WaitUntil([&] { return check(subject); });
}

bool IsLinkPresent(const std::wstring& link)
{
    DWORD attributes = GetFileAttributesW(link.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool IsGone(const std::wstring& path)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(path.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return true;
    FindClose(search);
    return false;
}

std::wstring Quoted(const std::string& text)
{
    return L"'" + Widen(text) + L"'";
}

}  // namespace

bool MakeDirectoryLink(const std::wstring& link, const std::wstring& target)
{
    std::string unixLink = WindowsToUnixPath(link);
    std::string unixTarget = WindowsToUnixPath(target);
    if (unixLink.empty() || unixTarget.empty())
        return false;
    return RunUnix(L"Z:\\bin\\sh", L"/bin/sh -c \"ln -s " + Quoted(unixTarget) + L" " +
                                        Quoted(unixLink) + L"\"",
                   IsLinkPresent, link);
}

void RemoveLink(const std::wstring& link)
{
    std::string unixLink = WindowsToUnixPath(link);
    if (unixLink.empty())
        return;
    RunUnix(L"Z:\\bin\\sh", L"/bin/sh -c \"rm -f " + Quoted(unixLink) + L"\"", IsGone, link);
}

bool IsHeldForRemoval(const std::wstring& folder)
{
    HANDLE opened = CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (opened != INVALID_HANDLE_VALUE) {
        CloseHandle(opened);
        return false;
    }
    return GetLastError() == ERROR_SHARING_VIOLATION;
}

void RemoveTestTree(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        RemoveLink(path);
        return;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
        return;
    }
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            // A link whose target is gone has no attributes of its own to
            // ask for; the listing still shows it as a link.
            if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
                RemoveLink(path + L"\\" + name);
            else
                RemoveTestTree(path + L"\\" + name);
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(path.c_str());
}

REGSAM NativeView()
{
    return IsNative64Bit() ? KEY_WOW64_64KEY : 0;
}

bool CreateKey(HKEY root, const std::wstring& path, REGSAM view)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

bool KeyExists(HKEY root, const std::wstring& path, REGSAM view)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

bool SetStringValue(HKEY root, const std::wstring& path, const std::wstring& name,
                    const std::wstring& data, REGSAM view)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return false;
    LONG status = RegSetValueExW(key, name.c_str(), 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(data.c_str()),
                                 static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

bool ReadStringValue(HKEY root, const std::wstring& path, const std::wstring& name,
                     std::wstring* data, REGSAM view, DWORD* type)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return false;
    wchar_t buffer[1024] = L"";
    DWORD bytes = sizeof(buffer) - sizeof(wchar_t);
    DWORD found = REG_NONE;
    LONG status = RegQueryValueExW(key, name.c_str(), nullptr, &found,
                                   reinterpret_cast<BYTE*>(buffer), &bytes);
    RegCloseKey(key);
    *data = buffer;
    if (type != nullptr)
        *type = found;
    return status == ERROR_SUCCESS;
}

namespace {

const wchar_t kUserShellFolders[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
const wchar_t kShellFolders[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

void PutValue(HKEY root, const wchar_t* path, const std::wstring& name, bool present,
              const std::wstring& data, DWORD type)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return;
    if (present)
        RegSetValueExW(key, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.c_str()),
                       static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
    else
        RegDeleteValueW(key, name.c_str());
    RegCloseKey(key);
}

}  // namespace

ShellFolderRedirect::ShellFolderRedirect(const std::wstring& name, const std::wstring& path, HKEY root)
    : root_(root), name_(name)
{
    hadUser_ = ReadStringValue(root_, kUserShellFolders, name, &user_, 0, &userType_);
    hadShell_ = ReadStringValue(root_, kShellFolders, name, &shell_, 0, &shellType_);
    PutValue(root_, kUserShellFolders, name, true, path, REG_EXPAND_SZ);
}

ShellFolderRedirect::~ShellFolderRedirect()
{
    PutValue(root_, kUserShellFolders, name_, hadUser_, user_, userType_);
    PutValue(root_, kShellFolders, name_, hadShell_, shell_, shellType_);
}

bool SetDwordValue(HKEY root, const std::wstring& path, const std::wstring& name, DWORD data,
                   REGSAM view)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return false;
    LONG status = RegSetValueExW(key, name.c_str(), 0, REG_DWORD,
                                 reinterpret_cast<const BYTE*>(&data), sizeof(data));
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

void DeleteKeyForTest(HKEY root, const std::wstring& path, REGSAM view)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_ALL_ACCESS | view, &key) != ERROR_SUCCESS)
        return;
    for (;;) {
        wchar_t name[256];
        DWORD units = 256;
        if (RegEnumKeyExW(key, 0, name, &units, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        size_t before = 0;
        DWORD count = 0;
        RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr);
        before = count;
        DeleteKeyForTest(root, path + L"\\" + name, view);
        RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr);
        if (count >= before)
            break;  // could not delete; avoid looping forever
    }
    RegCloseKey(key);
    size_t slash = path.find_last_of(L'\\');
    HKEY parent = root;
    std::wstring leaf = path;
    if (slash != std::wstring::npos) {
        if (RegOpenKeyExW(root, path.substr(0, slash).c_str(), 0, KEY_ALL_ACCESS | view, &parent) !=
            ERROR_SUCCESS)
            return;
        leaf = path.substr(slash + 1);
    }
    typedef LONG(WINAPI * DeleteKeyExFn)(HKEY, LPCWSTR, REGSAM, DWORD);
    DeleteKeyExFn deleteKeyEx = reinterpret_cast<DeleteKeyExFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"advapi32"), "RegDeleteKeyExW")));
    if (deleteKeyEx != nullptr)
        deleteKeyEx(parent, leaf.c_str(), view, 0);
    else
        RegDeleteKeyW(parent, leaf.c_str());
    if (parent != root)
        RegCloseKey(parent);
}

UINT InstallPackage(const std::wstring& msiPath, const wchar_t* properties)
{
    MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
    return MsiInstallProductW(msiPath.c_str(), properties);
}

bool IsProductInstalled(const wchar_t* productCode)
{
    return MsiQueryProductStateW(productCode) == INSTALLSTATE_DEFAULT;
}

void ForgetProduct(const wchar_t* productCode)
{
    if (!IsProductInstalled(productCode))
        return;
    MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
    MsiConfigureProductW(productCode, INSTALLLEVEL_DEFAULT, INSTALLSTATE_ABSENT);
}

std::wstring CachedPackage(const wchar_t* productCode)
{
    wchar_t path[MAX_PATH] = L"";
    DWORD units = MAX_PATH;
    if (MsiGetProductInfoW(productCode, INSTALLPROPERTY_LOCALPACKAGE, path, &units) != ERROR_SUCCESS)
        return L"";
    return path;
}

TestWindow::TestWindow(int isAdministrator)
{
    gIsAdministrator = isAdministrator;
    window_ = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_MAIN), nullptr,
                                 MainDialogProc, 0);
    Pump();
}

TestWindow::~TestWindow()
{
    if (IsWindow(window_))
        DestroyWindow(window_);
    Pump();
    // The program builds the controller with placement new in static
    // storage and never ends it; end it the same way, so the next window
    // starts afresh.
    if (gCleanupDialog != nullptr)
        gCleanupDialog->~CleanupDialog();
    gCleanupDialog = nullptr;
    ForgetCleanupState();
}

void TestWindow::Pump() const
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT)
            continue;
        if (!IsDialogMessageW(window_, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
}

std::wstring TestWindow::LogText() const
{
    HWND pane = GetDlgItem(window_, IDC_LOG_PANE);
    int length = GetWindowTextLengthW(pane);
    std::vector<wchar_t> text(static_cast<size_t>(length) + 1, L'\0');
    GetWindowTextW(pane, text.data(), length + 1);
    return text.data();
}

std::vector<std::wstring> TestWindow::LogLines() const
{
    return SplitLog(LogText());
}

std::vector<std::wstring> SplitLog(const std::wstring& log)
{
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (;;) {
        size_t at = log.find(L" \r\n", start);
        if (at == std::wstring::npos) {
            lines.push_back(log.substr(start));
            return lines;
        }
        lines.push_back(log.substr(start, at - start));
        start = at + 3;
    }
}

ProbeProcess::ProbeProcess(const wchar_t* name, const std::wstring& arguments)
{
    static int made = 0;  // probes of one test process may overlap
    std::wstring tag = std::wstring(L"hs-") + name + L"-" + std::to_wstring(GetCurrentProcessId()) +
                       L"-" + std::to_wstring(++made);
    *ready_.Receive() = CreateEventW(nullptr, TRUE, FALSE, (tag + L"-ready").c_str());
    *stop_.Receive() = CreateEventW(nullptr, TRUE, FALSE, (tag + L"-stop").c_str());
    std::wstring program = UnixToWindowsPath(Narrow(EnvironmentValue(L"HS_BUILD_DIR"))) +
                           L"\\tests\\pc\\" + name + L".exe";
    std::wstring line = std::wstring(name) + L" " + tag + L" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started = {};
    if (CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                       &startup, &started)) {
        *process_.Receive() = started.hProcess;
        CloseHandle(started.hThread);
    }
}

bool ProbeProcess::Ready() const
{
    HANDLE waits[] = {ready_.Get(), process_.Get()};
    return process_.IsValid() &&
           WaitForMultipleObjects(2, waits, FALSE, EventWaitMs()) == WAIT_OBJECT_0;
}

bool ProbeProcess::StillRunning() const
{
    return process_.IsValid() && WaitForSingleObject(stop_.Get(), 0) == WAIT_TIMEOUT &&
           WaitForSingleObject(process_.Get(), 0) == WAIT_TIMEOUT;
}

void ProbeProcess::LetGo()
{
    SetEvent(stop_.Get());
    WaitForSingleObject(process_.Get(), EventWaitMs());
}
