// Folders of the user at the desk, held open for an administrator's run to
// work in. Where such a folder lies is that user's own setting, so it is
// input the run must not trust: see HoldInteractiveUserFolder.
#pragma once

#include <windows.h>

#include "system/held_folder.h"

// Holds the interactive user's special folder csidl (CSIDL_APPDATA or
// CSIDL_LOCAL_APPDATA) with suffix ("\Kestrix", say) appended, and fills
// path (260 units) with its whole path. removable asks for the right to
// remove the folder itself. The folder is used only when it lies inside the
// user's profile folder as the machine's profile list names it, on a local
// fixed drive, and is reached from the drive root without a single reparse
// point (see HeldFolder::HoldFromRoot). False, with nothing held, when there
// is no such user, the path does not fit, or the folder is not there or may
// not be used: such a folder is passed over as a missing one.
bool HoldInteractiveUserFolder(int csidl, const wchar_t* suffix, bool removable, HeldFolder& held,
                               wchar_t* path);

// Holds the temporary folder that the interactive user's own environment
// names (in their hive), when they are another account than this process's
// (whose own GetTempPath answers), by the same rules; fills path (260
// units). False, with nothing held, otherwise.
bool HoldOtherInteractiveUserTemp(HeldFolder& held, wchar_t* path);
