#include "system/user_folders.h"

#include <shlobj.h>
#include <wchar.h>

#include "system/bounded_string.h"
#include "system/handles.h"
#include "system/interactive_user.h"
#include "system/registry_path.h"
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

// A path value of key: REG_SZ or REG_EXPAND_SZ, into stored (kPathUnits
// + 1 units, always terminated), its type into type; false when it is
// missing, empty, of another type or too long.
bool ReadPathValue(HKEY key, const wchar_t* name, wchar_t* stored, DWORD* type)
{
    ZeroMemory(stored, (kPathUnits + 1) * sizeof(wchar_t));
    DWORD bytes = kPathUnits * sizeof(wchar_t);  // the last unit stays a terminator
    return RegQueryValueExW(key, name, nullptr, type, reinterpret_cast<BYTE*>(stored), &bytes) ==
               ERROR_SUCCESS &&
           (*type == REG_SZ || *type == REG_EXPAND_SZ) && stored[0] != L'\0';
}

// The profile folder of the user sid as the machine's profile list names
// it, which only an administrator can change; no trailing backslash.
bool UserProfile(const wchar_t* sid, wchar_t* profile)
{
    wchar_t keyPath[kPathUnits];
    if (sid[0] == L'\0' || BoundedFormat(keyPath, kPathUnits, L"%s%s", kProfileList, sid) != kStringOk)
        return false;
    // The list is the native system's: KEY_WOW64_64KEY, ignored on 32-bit
    // Windows, reads it from a 32-bit process on 64-bit Windows too.
    RegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                      key.Receive()) != ERROR_SUCCESS)
        return false;
    wchar_t stored[kPathUnits + 1];
    DWORD type = 0;
    if (!ReadPathValue(key.Get(), L"ProfileImagePath", stored, &type))
        return false;
    // Windows stores it with the system's variables (%SystemDrive%).
    if (type == REG_SZ) {
        if (BoundedCopy(profile, kPathUnits, stored) != kStringOk)
            return false;
    } else {
        DWORD units = ExpandEnvironmentStringsW(stored, profile, kPathUnits);
        if (units == 0 || units > kPathUnits)
            return false;
    }
    TrimTrailingBackslashes(profile);
    return IsPlainDrivePath(profile);
}

// The temporary folder the user's own environment names: TMP, else TEMP,
// as GetTempPath takes them, from their hive. Of their variables only
// %USERPROFILE% can be known from here, as their profile; a value that
// names any other is passed over, and so is a key reached through a link.
bool UserTemp(const wchar_t* sid, const wchar_t* profile, wchar_t* temp)
{
    wchar_t keyPath[kPathUnits];
    if (BoundedFormat(keyPath, kPathUnits, L"%s\\Environment", sid) != kStringOk)
        return false;
    RegKey key;
    if (OpenKeyWithoutLinks(HKEY_USERS, keyPath, KEY_QUERY_VALUE, key) != ERROR_SUCCESS)
        return false;
    wchar_t stored[kPathUnits + 1];
    DWORD type = 0;
    if (!ReadPathValue(key.Get(), L"TMP", stored, &type) &&
        !ReadPathValue(key.Get(), L"TEMP", stored, &type))
        return false;
    const wchar_t kProfileVariable[] = L"%USERPROFILE%";
    const int variableUnits = lstrlenW(kProfileVariable);
    const wchar_t* rest = stored;
    temp[0] = L'\0';
    if (type == REG_EXPAND_SZ && _wcsnicmp(stored, kProfileVariable, variableUnits) == 0) {
        BoundedCopy(temp, kPathUnits, profile);
        rest = stored + variableUnits;
    }
    if (type == REG_EXPAND_SZ && wcschr(rest, L'%') != nullptr)
        return false;
    if (BoundedAppend(temp, kPathUnits, rest) != kStringOk)
        return false;
    TrimTrailingBackslashes(temp);
    return true;
}

// A local fixed drive: no network drive, no medium the user could swap.
bool IsOnFixedDrive(const wchar_t* path)
{
    const wchar_t root[] = {path[0], L':', L'\\', L'\0'};
    return GetDriveTypeW(root) == DRIVE_FIXED;
}

// Holds the user's folder path when it may be used: inside profile, on a
// local fixed drive, reached from the root without a reparse point.
bool HoldInsideProfile(const wchar_t* profile, const wchar_t* path, bool removable, HeldFolder& held)
{
    if (!IsPlainDrivePath(path) || !IsBelow(path, profile) || !IsOnFixedDrive(path)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    return held.HoldFromRoot(path, removable);
}

}  // namespace

bool HoldInteractiveUserFolder(int csidl, const wchar_t* suffix, bool removable, HeldFolder& held,
                               wchar_t* path)
{
    // The folder, the SID and so the profile, all from one token.
    InteractiveUser user;
    wchar_t profile[kPathUnits];
    if (!OpenInteractiveUser(user) || !UserFolderPath(user, csidl, suffix, path) ||
        !UserProfile(user.sid, profile)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    return HoldInsideProfile(profile, path, removable, held);
}

bool HoldOtherInteractiveUserTemp(HeldFolder& held, wchar_t* path)
{
    InteractiveUser user;
    wchar_t profile[kPathUnits];
    if (!OpenInteractiveUser(user) || !IsAnotherAccount(user) || !UserProfile(user.sid, profile) ||
        !UserTemp(user.sid, profile, path)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    return HoldInsideProfile(profile, path, false, held);
}
