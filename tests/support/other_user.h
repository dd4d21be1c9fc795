// Another account at the desktop, which Wine (one account, one SID) never
// has: a hive of that account's made directly below HKEY_USERS, and the
// program told that the desktop is that account's.
#pragma once

#include <windows.h>

#include <string>

#include "support/test_support.h"
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
    return PrefixKind() == L"winxp"
               ? L"S-1-5-21-1004336348-1177238915-682003330-1001\\Software\\Classes\\"
               : L"S-1-5-21-1004336348-1177238915-682003330-1001_Classes\\";
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
