#include "support/full_drive.h"

#include <windows.h>

#include <vector>

#include "support/test_support.h"

namespace {

const char kMountSize[] = "64k";

// Runs a command of /bin/sh; Wine cannot wait on a Unix process, so the
// caller polls for its effect.
bool StartShell(const std::string& command)
{
    std::wstring line = L"/bin/sh -c \"" + Widen(command) + L"\"";
    std::vector<wchar_t> buffer(line.begin(), line.end());
    buffer.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(L"Z:\\bin\\sh", buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

std::string Quoted(const std::string& text)
{
    return "'" + text + "'";
}

// The drive's size, once it is the small tmpfs (0 while it is not there).
ULONGLONG DriveSize(const std::wstring& root)
{
    ULARGE_INTEGER total = {};
    if (!GetDiskFreeSpaceExW(root.c_str(), nullptr, &total, nullptr))
        return 0;
    return total.QuadPart;
}

// Writes until nothing more fits, by blocks, then by single bytes.
bool Fill(const std::wstring& root)
{
    HANDLE file = CreateFileW((root + L"filler").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    std::vector<char> block(4096, 'f');
    DWORD size = static_cast<DWORD>(block.size());
    DWORD written = 0;
    while (size > 0) {
        if (!WriteFile(file, block.data(), size, &written, nullptr) || written < size)
            size = size > 1 ? 1 : 0;
    }
    bool full = GetLastError() == ERROR_DISK_FULL || GetLastError() == ERROR_HANDLE_DISK_FULL;
    CloseHandle(file);
    return full;
}

}  // namespace

FullDrive::FullDrive()
{
    std::string drive = WindowsToUnixPath(L"C:\\");  // ".../dosdevices/c:/"
    size_t at = drive.rfind("/dosdevices/");
    if (at == std::string::npos)
        return;
    std::string prefix = drive.substr(0, at);
    DWORD used = GetLogicalDrives();
    wchar_t letter = L'Q';
    while (letter <= L'Y' && (used & (1u << (letter - L'A'))) != 0)
        ++letter;
    if (letter > L'Y')
        return;
    mountPoint_ = prefix + "/hs-full-drive";
    link_ = prefix + "/dosdevices/" + static_cast<char>(letter - L'A' + 'a') + ":";
    std::wstring root = std::wstring(1, letter) + L":\\";
    // What a test that died left behind goes first.
    StartShell("umount -l " + Quoted(mountPoint_) + " 2>/dev/null; mkdir -p " + Quoted(mountPoint_) +
               " && mount -t tmpfs -o size=" + kMountSize + " hs-full-drive " + Quoted(mountPoint_) +
               " && ln -sfn " + Quoted(mountPoint_) + " " + Quoted(link_));
    WaitUntil([&] { return DriveSize(root) != 0; });
    ULONGLONG size = DriveSize(root);
    if (size != 0 && size <= 1024 * 1024 && Fill(root))
        root_ = root;
}

FullDrive::~FullDrive()
{
    if (mountPoint_.empty())
        return;
    // A lazy unmount: the drive goes even while Wine still holds a handle.
    std::wstring mountPoint = UnixToWindowsPath(mountPoint_);
    StartShell("rm -f " + Quoted(link_) + "; umount -l " + Quoted(mountPoint_) + "; rmdir " +
               Quoted(mountPoint_));
    WaitUntil([&] { return !Exists(mountPoint); });
}
