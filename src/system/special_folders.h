// Special folders, and the folders of the user whose desktop is running.
#pragma once

#include <windows.h>

#include "system/interactive_user.h"

// Fills buffer (260 units) with the folder, ending in one backslash.
// Returns 0, or an error when the shell has no such folder or the
// backslash does not fit.
DWORD GetSpecialFolderPath(wchar_t* buffer, int csidl);

// Fill buffer (260 units) with a folder of the user owning the desktop's
// explorer.exe, no trailing backslash; empty when there is none. The
// roaming application data, and the local one that stays on this PC.
DWORD GetInteractiveUserAppData(wchar_t* buffer);
DWORD GetInteractiveUserLocalAppData(wchar_t* buffer);

// The folder csidl of user, through their token, with suffix ("\Kestrix",
// say) appended; false when there is no token, the shell has no such
// folder, or the whole path does not fit: a cut path would name another.
bool UserFolderPath(const InteractiveUser& user, int csidl, const wchar_t* suffix, wchar_t* folder);
