#include "system/registry_roots.h"

#include "system/bounded_string.h"
#include "system/interactive_user.h"
#include "system/platform_probes.h"
#include "system/registry_path.h"

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
    return OpenKeyWithoutLinks(HKEY_USERS, path, RootAccess(), key);
}

}  // namespace

LONG OpenMachineClasses(RegKey& key)
{
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Classes", 0, RootAccess(), key.Receive());
}

UserRegistries::UserRegistries()
{
    // No link on the way into a user's hive is followed: the user may have
    // made any key of it a link. Their classes are a hive of their own,
    // HKEY_USERS\<sid>_Classes, which "Software\Classes" of their hive is a
    // link to on Windows; that key is opened itself only where the hive is
    // missing, as under Wine.
    wchar_t own[kSidUnits];
    OpenKeyWithoutLinks(HKEY_CURRENT_USER, L"Software", RootAccess(), users_[0].software);
    if (!OwnUserSid(own) || OpenUserKey(own, L"_Classes", users_[0].classes) != ERROR_SUCCESS)
        OpenKeyWithoutLinks(HKEY_CURRENT_USER, L"Software\\Classes", RootAccess(), users_[0].classes);

    InteractiveUser user;
    if (!OpenInteractiveUser(user) || !IsAnotherAccount(user))
        return;
    const wchar_t* sid = user.sid;
    User& other = users_[1];
    // A hive that is not loaded does not open.
    LONG software = OpenUserKey(sid, L"\\Software", other.software);
    LONG classes = OpenUserKey(sid, L"_Classes", other.classes);
    if (classes != ERROR_SUCCESS)
        classes = OpenUserKey(sid, L"\\Software\\Classes", other.classes);
    if (software == ERROR_SUCCESS || classes == ERROR_SUCCESS) {
        count_ = 2;
        BoundedCopy(otherSid_, kSidUnits, sid);
    }
}
