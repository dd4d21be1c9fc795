#include "removal/installer_api.h"

#include "system/system_exports.h"

namespace {

UINT WINAPI GetProductInfoEx(LPCWSTR productCode, LPCWSTR userSid, DWORD context, LPCWSTR property,
                             LPWSTR value, LPDWORD units)
{
    auto real = LookUpExport<decltype(InstallerApi::productInfoEx)>(L"msi", "MsiGetProductInfoExW");
    if (real == nullptr)
        return ERROR_CALL_NOT_IMPLEMENTED;
    return real(productCode, userSid, context, property, value, units);
}

}  // namespace

InstallerApi& Installer()
{
    static InstallerApi api = {MsiQueryProductStateW, MsiSetInternalUI, MsiSetExternalUIW,
                               MsiConfigureProductExW, GetProductInfoEx};
    return api;
}
