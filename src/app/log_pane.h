// The log pane and its export to an 8-bit text file: one byte per unit,
// a unit above 0xFF, which has no 8-bit form, written as '?'.
#pragma once

#include <windows.h>

#include "run/run_window.h"

void ChooseLogFile(HWND owner, CleanupDialog& dialog);
void SaveLogToFile(const wchar_t* path, CleanupDialog& dialog);
