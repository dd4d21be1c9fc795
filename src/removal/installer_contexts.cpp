#include "removal/installer_contexts.h"

#include "removal/installer_api.h"

ContextAnswer InstalledIn(const wchar_t* productCode, const wchar_t* userSid, DWORD context)
{
    wchar_t state[8];
    DWORD units = 8;
    UINT status = Installer().productInfoEx(productCode, context == kMachine ? nullptr : userSid,
                                            context, L"State", state, &units);
    if (status == ERROR_UNKNOWN_PRODUCT)
        return ContextAnswer::kNotThere;
    if (status == ERROR_SUCCESS && lstrcmpW(state, L"5") == 0)  // INSTALLSTATE_DEFAULT
        return ContextAnswer::kInstalled;
    return ContextAnswer::kUnsure;
}

bool IsInstalledForUser(const wchar_t* productCode, const wchar_t* userSid)
{
    return InstalledIn(productCode, userSid, kUserUnmanaged) == ContextAnswer::kInstalled ||
           InstalledIn(productCode, userSid, kUserManaged) == ContextAnswer::kInstalled;
}

bool IsSurelyNotForUser(const wchar_t* productCode, const wchar_t* userSid)
{
    return InstalledIn(productCode, userSid, kUserUnmanaged) == ContextAnswer::kNotThere &&
           InstalledIn(productCode, userSid, kUserManaged) == ContextAnswer::kNotThere;
}
