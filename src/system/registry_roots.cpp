#include "system/registry_roots.h"

#include "system/bounded_string.h"
#include "system/interactive_user.h"
#include "system/platform_probes.h"

namespace {

// The roots are only parents: every open below them asks for its own
// access and view.
REGSAM RootAccess()
{
    return KEY_READ | (IsNative64Bit() ? KEY_WOW64_64KEY : 0);
}

// HKEY_USERS\<sid><suffix>; fails when that hive is not loaded.
LONG OpenUserKey(const wchar_t* sid, const wchar_t* suffix, RegKey& key)
{
    wchar_t path[kPathUnits];
    if (BoundedCopy(path, kPathUnits, sid) != kStringOk ||
        BoundedAppend(path, kPathUnits, suffix) != kStringOk)
        return ERROR_BUFFER_OVERFLOW;
    return RegOpenKeyExW(HKEY_USERS, path, 0, RootAccess(), key.Receive());
}

}  // namespace

LONG OpenMachineClasses(RegKey& key)
{
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Classes", 0, RootAccess(), key.Receive());
}

UserRegistries::UserRegistries()
{
    RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, RootAccess(), users_[0].software.Receive());
    RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, RootAccess(),
                  users_[0].classes.Receive());

    InteractiveUser user;
    if (!OpenInteractiveUser(user) || !IsAnotherAccount(user))
        return;
    const wchar_t* sid = user.sid;
    User& other = users_[1];
    // From Vista on the user's classes are a hive of their own. A hive that
    // is not loaded does not open.
    LONG software = OpenUserKey(sid, L"\\Software", other.software);
    LONG classes = OpenUserKey(sid, IsWindowsXP() ? L"\\Software\\Classes" : L"_Classes", other.classes);
    if (software == ERROR_SUCCESS || classes == ERROR_SUCCESS) {
        count_ = 2;
        BoundedCopy(otherSid_, kSidUnits, sid);
    }
}
