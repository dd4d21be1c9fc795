#include "system/system_library.h"

#include "system/bounded_string.h"
#include "system/system_exports.h"

namespace {

typedef BOOL(WINAPI* SetDefaultDllDirectoriesFn)(DWORD);
typedef BOOL(WINAPI* SetDllDirectoryFn)(LPCWSTR);
// LOAD_LIBRARY_SEARCH_SYSTEM32, which the headers for Windows XP lack.
const DWORD kSearchSystem32 = 0x00000800;

bool gPretendNoSearchFlags = false;

// What Windows' own libraries load by name once the program runs (the
// common controls, the installer, WinINet, the save dialog and theirs).
// Where the search cannot be narrowed to the system folder, each is loaded
// from there first, so that a later load by name finds it loaded already
// instead of one beside the program.
const wchar_t* const kLoadedByName[] = {
    L"uxtheme.dll",  L"dwmapi.dll",  L"version.dll", L"msimg32.dll",  L"userenv.dll",
    L"cryptbase.dll", L"propsys.dll", L"oleacc.dll",  L"apphelp.dll",  L"ntmarta.dll",
    L"profapi.dll",  L"secur32.dll", L"sspicli.dll", L"winsta.dll",   L"wtsapi32.dll",
};

// Windows 8 and later, and Vista and 7 with the update that brought the
// search flags: LoadLibraryExW knows them exactly where this export exists.
SetDefaultDllDirectoriesFn SetDefaultDirectories()
{
    if (gPretendNoSearchFlags)
        return nullptr;
    return LookUpExport<SetDefaultDllDirectoriesFn>(L"kernel32", "SetDefaultDllDirectories");
}

// name in the system folder; false when it does not fit.
bool SystemPath(wchar_t* path, const wchar_t* name)
{
    UINT length = GetSystemDirectoryW(path, kPathUnits);
    return length != 0 && length < kPathUnits && BoundedAppend(path, kPathUnits, L"\\") == kStringOk &&
           BoundedAppend(path, kPathUnits, name) == kStringOk;
}

HMODULE LoadFromSystemFolder(const wchar_t* name)
{
    wchar_t path[kPathUnits];
    if (!SystemPath(path, name))
        return nullptr;
    // The library's own imports are then looked for in the system folder
    // first, and never in the program's.
    return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

void PreloadWhatLoadsByName()
{
    for (const wchar_t* name : kLoadedByName) {
        wchar_t path[kPathUnits];
        // A library this Windows lacks is left out, not looked for elsewhere.
        if (SystemPath(path, name) && GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES)
            LoadFromSystemFolder(name);
    }
}

}  // namespace

void RestrictLibrarySearch()
{
    SetDefaultDllDirectoriesFn setDefault = SetDefaultDirectories();
    if (setDefault != nullptr && setDefault(kSearchSystem32))
        return;
    // Windows XP (SP1 and later) takes only the current folder out; the
    // program's folder stays first for what Windows' libraries load by
    // name, hence the preload. The program's own loads give the full path.
    SetDllDirectoryFn setDirectory = LookUpExport<SetDllDirectoryFn>(L"kernel32", "SetDllDirectoryW");
    if (setDirectory != nullptr)
        setDirectory(L"");
    PreloadWhatLoadsByName();
}

HMODULE LoadSystemLibrary(const wchar_t* name)
{
    if (SetDefaultDirectories() != nullptr)
        return LoadLibraryExW(name, nullptr, kSearchSystem32);
    return LoadFromSystemFolder(name);
}

void PretendNoSearchFlagsForTest(bool pretend)
{
    gPretendNoSearchFlags = pretend;
}
