#include "system/user_folders.h"

#include <shlobj.h>

#include "system/bounded_string.h"
#include "system/handles.h"
#include "system/interactive_user.h"
#include "system/special_folders.h"

namespace {

const wchar_t kProfileList[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\";

// A full path on a drive letter whose every component Windows takes as it
// is: no empty component, no "." or "..", no wildcard, stream or device
// syntax, nothing ending in a dot or a blank. No share, no "\\?\" form:
// nothing the user names may make the run open a network path.
bool IsPlainDrivePath(const wchar_t* path)
{
    const wchar_t letter = path[0] & ~0x20;
    if (letter < L'A' || letter > L'Z' || path[1] != L':' || path[2] != L'\\')
        return false;
    const wchar_t* part = path + 3;
    for (;;) {
        const wchar_t* end = part;
        while (*end != L'\0' && *end != L'\\') {
            if (*end < L' ' || wcschr(L"*?<>\"/:|", *end) != nullptr)
                return false;
            ++end;
        }
        if (end == part || end[-1] == L'.' || end[-1] == L' ')
            return false;
        if (*end == L'\0')
            return true;
        part = end + 1;
    }
}

// Whether path lies below profile, both plain drive paths, compared
// ignoring case one character at a time as the file system does: a
// linguistic comparison would let ignorable characters through.
bool IsBelow(const wchar_t* path, const wchar_t* profile)
{
    size_t length = lstrlenW(profile);
    if (static_cast<size_t>(lstrlenW(path)) <= length || path[length] != L'\\')
        return false;
    for (size_t i = 0; i < length; ++i) {
        wchar_t a[2] = {path[i], L'\0'};
        wchar_t b[2] = {profile[i], L'\0'};
        CharUpperBuffW(a, 1);
        CharUpperBuffW(b, 1);
        if (a[0] != b[0])
            return false;
    }
    return true;
}

// The interactive user's profile folder as the machine's profile list
// names it, which only an administrator can change; no trailing backslash.
bool InteractiveUserProfile(wchar_t* profile)
{
    wchar_t sid[kSidUnits];
    wchar_t keyPath[kPathUnits];
    if (!GetInteractiveUserSid(sid) ||
        BoundedFormat(keyPath, kPathUnits, L"%s%s", kProfileList, sid) != kStringOk)
        return false;
    // The list is the native system's: KEY_WOW64_64KEY, ignored on 32-bit
    // Windows, reads it from a 32-bit process on 64-bit Windows too.
    RegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                      key.Receive()) != ERROR_SUCCESS)
        return false;
    wchar_t stored[kPathUnits + 1] = L"";
    DWORD type = 0;
    DWORD bytes = kPathUnits * sizeof(wchar_t);  // the last unit stays a terminator
    if (RegQueryValueExW(key.Get(), L"ProfileImagePath", nullptr, &type,
                         reinterpret_cast<BYTE*>(stored), &bytes) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    if (type == REG_SZ) {
        if (BoundedCopy(profile, kPathUnits, stored) != kStringOk)
            return false;
    } else {
        DWORD units = ExpandEnvironmentStringsW(stored, profile, kPathUnits);
        if (units == 0 || units > kPathUnits)
            return false;
    }
    size_t length = lstrlenW(profile);
    while (length > 3 && profile[length - 1] == L'\\')
        profile[--length] = L'\0';
    return IsPlainDrivePath(profile);
}

// A local fixed drive: no network drive, no medium the user could swap.
bool IsOnFixedDrive(const wchar_t* path)
{
    const wchar_t root[] = {path[0], L':', L'\\', L'\0'};
    return GetDriveTypeW(root) == DRIVE_FIXED;
}

}  // namespace

bool HoldInteractiveUserFolder(int csidl, const wchar_t* suffix, bool removable, HeldFolder& held,
                               wchar_t* path)
{
    bool found = csidl == CSIDL_LOCAL_APPDATA ? InteractiveUserLocalAppDataPath(path, suffix)
                                               : InteractiveUserAppDataPath(path, suffix);
    wchar_t profile[kPathUnits];
    if (!found || !IsPlainDrivePath(path) || !InteractiveUserProfile(profile) ||
        !IsBelow(path, profile) || !IsOnFixedDrive(path)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    return held.HoldFromRoot(path, removable);
}
