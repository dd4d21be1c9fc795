#include "system/system_library.h"

#include "system/bounded_string.h"
#include "system/system_exports.h"

namespace {

typedef BOOL(WINAPI* SetDefaultDllDirectoriesFn)(DWORD);
typedef BOOL(WINAPI* SetDllDirectoryFn)(LPCWSTR);
// LOAD_LIBRARY_SEARCH_SYSTEM32, which the headers for Windows XP lack.
const DWORD kSearchSystem32 = 0x00000800;

// Windows 8 and later, and Vista and 7 with the update that brought the
// search flags: LoadLibraryExW knows them exactly where this export exists.
SetDefaultDllDirectoriesFn SetDefaultDirectories()
{
    return LookUpExport<SetDefaultDllDirectoriesFn>(L"kernel32", "SetDefaultDllDirectories");
}

}  // namespace

void RestrictLibrarySearch()
{
    SetDefaultDllDirectoriesFn setDefault = SetDefaultDirectories();
    if (setDefault != nullptr && setDefault(kSearchSystem32))
        return;
    // Windows XP (SP1 and later) takes only the current folder out; the
    // program's folder stays first for what Windows' libraries load by
    // name. The program's own loads give the full path.
    SetDllDirectoryFn setDirectory = LookUpExport<SetDllDirectoryFn>(L"kernel32", "SetDllDirectoryW");
    if (setDirectory != nullptr)
        setDirectory(L"");
}

HMODULE LoadSystemLibrary(const wchar_t* name)
{
    if (SetDefaultDirectories() != nullptr)
        return LoadLibraryExW(name, nullptr, kSearchSystem32);
    wchar_t path[kPathUnits];
    UINT length = GetSystemDirectoryW(path, kPathUnits);
    if (length == 0 || length >= kPathUnits || BoundedAppend(path, kPathUnits, L"\\") != kStringOk ||
        BoundedAppend(path, kPathUnits, name) != kStringOk)
        return nullptr;
    // The library's own imports are then looked for in the system folder
    // first, and never in the program's.
    return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}
