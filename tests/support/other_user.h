// Another account at the desktop, which Wine (one account, one SID) never
// has: a hive of that account's made directly below HKEY_USERS, and the
// program told that the desktop is that account's.
#pragma once

#include <windows.h>

#include <string>

#include "support/test_support.h"
#include "system/handles.h"
#include "system/interactive_user.h"
#include "system/platform_probes.h"

const wchar_t kOtherUserSid[] = L"S-1-5-21-1004336348-1177238915-682003330-1001";
// An account whose hive is not loaded: HKEY_USERS holds nothing of it.
const wchar_t kUnloadedUserSid[] = L"S-1-5-21-1004336348-1177238915-682003330-1002";

// The other account's "Software" key and classes root, with a backslash.
inline std::wstring OtherUserSoftware()
{
    return std::wstring(kOtherUserSid) + L"\\Software\\";
}
// From Vista on the classes are a hive of their own.
inline std::wstring OtherUserClasses()
{
    return std::wstring(kOtherUserSid) +
           (PrefixKind() == L"winxp" ? L"\\Software\\Classes\\" : L"_Classes\\");
}

// While it lives the program takes sid for the desktop's user.
class DesktopUserOverride {
public:
    explicit DesktopUserOverride(const wchar_t* sid = kOtherUserSid) { OverrideInteractiveUserSid(sid); }
    ~DesktopUserOverride() { OverrideInteractiveUserSid(nullptr); }
    DesktopUserOverride(const DesktopUserOverride&) = delete;
    DesktopUserOverride& operator=(const DesktopUserOverride&) = delete;
};

// Removes what a test made of the other account's hive when it ends.
struct OtherUserHive {
    OtherUserHive() = default;
    ~OtherUserHive()
    {
        for (REGSAM view : {NativeView(), REGSAM(0)}) {
            DeleteKeyForTest(HKEY_USERS, kOtherUserSid, view);
            DeleteKeyForTest(HKEY_USERS, std::wstring(kOtherUserSid) + L"_Classes", view);
        }
    }
    OtherUserHive(const OtherUserHive&) = delete;
    OtherUserHive& operator=(const OtherUserHive&) = delete;
};

// Sets a value of type REG_SZ or REG_EXPAND_SZ (as Windows stores profile
// paths; Wine writes REG_SZ) at root\path, in the native view.
inline bool SetPathValue(HKEY root, const std::wstring& path, const wchar_t* name, DWORD type,
                         const std::wstring& data)
{
    RegKey key;
    return RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | NativeView(), nullptr,
                           key.Receive(), nullptr) == ERROR_SUCCESS &&
           RegSetValueExW(key.Get(), name, 0, type, reinterpret_cast<const BYTE*>(data.c_str()),
                          static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

inline std::wstring OtherUserProfileKey()
{
    return std::wstring(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\") + kOtherUserSid;
}

// The other account in the machine's profile list while it lives, its
// profile folder at path stored as type; nothing listed for an empty path.
struct OtherUserProfile {
    OtherUserProfile(const std::wstring& path, DWORD type)
        : listed(path.empty() ||
                 SetPathValue(HKEY_LOCAL_MACHINE, OtherUserProfileKey(), L"ProfileImagePath", type, path))
    {
    }
    ~OtherUserProfile() { DeleteKeyForTest(HKEY_LOCAL_MACHINE, OtherUserProfileKey(), NativeView()); }
    const bool listed;
};
