// What a run needs of the window it is for: its options, its controls off
// and on, its log pane. Declared here, where the run sees it; the window
// (the application shell) implements it.
#pragma once

struct CleanupDialog;

struct RunOptions {
    bool clearCache;
    bool restart;
    bool skipTunnel;
    bool skipDesktop;
    bool isAdministrator;
};

RunOptions ReadRunOptions(const CleanupDialog& dialog);
// Enables the options and buttons, or disables them all for a run.
void EnableControls(CleanupDialog& dialog, bool enable);
int RestoreControls(CleanupDialog& dialog);
void ClearLog(CleanupDialog& dialog);
void AppendLog(CleanupDialog& dialog, const wchar_t* text);
