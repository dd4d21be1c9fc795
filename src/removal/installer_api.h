// The four Windows Installer calls the program makes, reached through one
// table so that a test can stand in for installer outcomes Wine cannot
// produce (a restart request, say).
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
};

// The table in use; the real msi.dll functions unless a test replaced them.
InstallerApi& Installer();
