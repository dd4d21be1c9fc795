#include "removal/installer_api.h"

#include "system/system_library.h"

namespace {

// Without msi.dll nothing can be asked or removed: every product counts
// as installed, so that its removal is tried and fails as it does when the
// installer's service cannot be reached, and the phase reports a failure.
INSTALLSTATE WINAPI NoQuery(LPCWSTR)
{
    return INSTALLSTATE_DEFAULT;
}

INSTALLUILEVEL WINAPI NoInternalUI(INSTALLUILEVEL, HWND*)
{
    return INSTALLUILEVEL_NOCHANGE;
}

INSTALLUI_HANDLERW WINAPI NoExternalUI(INSTALLUI_HANDLERW, DWORD, LPVOID)
{
    return nullptr;
}

UINT WINAPI NoConfigure(LPCWSTR, int, INSTALLSTATE, LPCWSTR)
{
    return ERROR_INSTALL_SERVICE_FAILURE;
}

// An installer older than 3.0 cannot be asked about a context.
UINT WINAPI NoProductInfoEx(LPCWSTR, LPCWSTR, DWORD, LPCWSTR, LPWSTR, LPDWORD)
{
    return ERROR_CALL_NOT_IMPLEMENTED;
}

InstallerApi LoadInstaller()
{
    InstallerApi missing = {NoQuery, NoInternalUI, NoExternalUI, NoConfigure, NoProductInfoEx};
    HMODULE msi = LoadSystemLibrary(L"msi.dll");
    InstallerApi api = {};
    if (msi == nullptr || !LookUpFunction(msi, "MsiQueryProductStateW", &api.queryProductState) ||
        !LookUpFunction(msi, "MsiSetInternalUI", &api.setInternalUI) ||
        !LookUpFunction(msi, "MsiSetExternalUIW", &api.setExternalUI) ||
        !LookUpFunction(msi, "MsiConfigureProductExW", &api.configureProduct))
        return missing;
    if (!LookUpFunction(msi, "MsiGetProductInfoExW", &api.productInfoEx))
        api.productInfoEx = NoProductInfoEx;
    return api;
}

}  // namespace

InstallerApi& Installer()
{
    static InstallerApi api;
    static bool loaded = false;
    if (!loaded) {
        api = LoadInstaller();
        loaded = true;
    }
    return api;
}
