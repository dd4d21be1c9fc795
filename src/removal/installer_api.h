// The Windows Installer calls the program makes, looked up once in the
// system folder's msi.dll and reached through one table, so that a test
// can stand in for installer outcomes Wine cannot produce (a restart
// request, say).
#pragma once

#include <windows.h>
#include <msi.h>

struct InstallerApi {
    INSTALLSTATE(WINAPI* queryProductState)(LPCWSTR productCode);
    INSTALLUILEVEL(WINAPI* setInternalUI)(INSTALLUILEVEL level, HWND* window);
    INSTALLUI_HANDLERW(WINAPI* setExternalUI)(INSTALLUI_HANDLERW handler, DWORD messageFilter,
                                              LPVOID context);
    UINT(WINAPI* configureProduct)(LPCWSTR productCode, int installLevel, INSTALLSTATE state,
                                   LPCWSTR commandLine);
    // MsiGetProductInfoExW, which came with Windows Installer 3.0 (XP SP2):
    // looked up at run time, ERROR_CALL_NOT_IMPLEMENTED where msi.dll lacks
    // it. context is an MSIINSTALLCONTEXT, which msi.h offers only to
    // programs for Windows Installer 3.0 and later.
    UINT(WINAPI* productInfoEx)(LPCWSTR productCode, LPCWSTR userSid, DWORD context,
                                LPCWSTR property, LPWSTR value, LPDWORD units);
};

// The table in use; the real msi.dll functions unless a test replaced them.
InstallerApi& Installer();
