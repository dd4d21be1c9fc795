// The main window's controller: its controls, options and commands.
#pragma once

#include <windows.h>

#include "run/run_window.h"

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

// Whether the calling thread's token holds Administrators enabled.
bool CheckAdministrator();
