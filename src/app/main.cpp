// Entry point: the library search, the administrator check, the window
// and its message loop.
#include <windows.h>

#include "app/cleanup_dialog.h"
#include "app/resource_ids.h"
#include "system/system_library.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    // Before anything loads a library by name.
    RestrictLibrarySearch();
    gIsAdministrator = CheckAdministrator() ? 1 : 0;

    HWND window = CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_MAIN), nullptr, MainDialogProc, 0);
    if (window == nullptr) {
        MessageBoxW(nullptr, L"dialog create faled", L"CreateDialog", MB_OK | MB_ICONWARNING);
        return 1;
    }

    MSG message;
    for (;;) {
        BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got == 0)
            break;
        if (got == -1)
            return -1;
        if (!IsDialogMessageW(window, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return static_cast<int>(message.wParam);
}
