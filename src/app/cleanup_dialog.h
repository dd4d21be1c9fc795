// The main window's controller: its controls, options and commands.
#pragma once

#include <windows.h>

struct CleanupDialog {
    explicit CleanupDialog(HWND window);

    HWND skipDesktopCheck;
    bool isAdministrator;
    HWND clearCacheCheck;
    HWND restartCheck;
    HWND skipTunnelCheck;
    HWND logPane;
    HWND startButton;
    HWND exitButton;
    HWND saveButton;
    bool clearCacheOption;
    bool restartOption;
    bool skipTunnelOption;
    bool skipDesktopOption;
};

extern int gIsAdministrator;
extern CleanupDialog* gCleanupDialog;

INT_PTR CALLBACK MainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void HandleCommand(int controlId, HWND window, int notificationCode);
int RestoreControls(CleanupDialog& dialog);
// Enables the options and buttons, or disables them all for a run.
void EnableControls(CleanupDialog& dialog, bool enable);

// Whether the calling thread's token holds Administrators enabled.
bool CheckAdministrator();
