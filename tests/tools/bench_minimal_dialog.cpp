// The least a dialog program can be: one modeless dialog from a template
// and its message loop. The start-up measurement sets the real program
// against it to show what the program itself adds.
#include <windows.h>

#ifdef HS_BENCH_SAME_IMPORTS
#include <commdlg.h>
#include <shellapi.h>
#include <shlwapi.h>

#include "system/system_library.h"

// Never called: the references alone make the loader bring in every
// library the program imports. The installer's and WinINet's libraries,
// which the program loads from the system folder, come as in the program:
// through its first step, or later in a run.
void* const volatile kSameImports[] = {
    reinterpret_cast<void*>(&SHFileOperationW), reinterpret_cast<void*>(&PathFileExistsW),
    reinterpret_cast<void*>(&GetSaveFileNameW), reinterpret_cast<void*>(&RegCloseKey),
};
#endif

namespace {

const int kMinimalDialog = 1;

INT_PTR CALLBACK MinimalDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)
            DestroyWindow(window);
        return TRUE;
    case WM_DESTROY:
        PostQuitMessage(0);
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
#ifdef HS_BENCH_SAME_IMPORTS
    // The program's first step, as it takes it.
    RestrictLibrarySearch();
#endif
    HWND window = CreateDialogParamW(instance, MAKEINTRESOURCEW(kMinimalDialog), nullptr,
                                     MinimalDialogProc, 0);
    if (window == nullptr)
        return 1;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (!IsDialogMessageW(window, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return 0;
}
