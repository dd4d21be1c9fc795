// How a phase writes a line of the log: to the log pane of the window the
// run is for. Declared here, where every phase sees it; the window's log
// pane implements it, so the phases need nothing else of the window.
#pragma once

struct CleanupDialog;
struct CleanupState;

// Appends a line to the window's log pane; nothing when window is null.
void LogLine(CleanupDialog* window, const wchar_t* text);
// Appends a line to the log pane of the run's window, if it has one.
void LogLine(const CleanupState& state, const wchar_t* text);
