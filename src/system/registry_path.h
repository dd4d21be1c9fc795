// Opens keys below a root that a standard user can write (their hive, the
// default user's, their classes) without following a registry link on the
// way: the user can make any key there a link to one they cannot touch,
// for an administrator's run to delete in or read from.
#pragma once

#include <windows.h>

#include "system/handles.h"

// Whether a key opened with REG_OPTION_OPEN_LINK is a link itself.
bool IsRegistryLink(HKEY key);

// Opens parent\path one component at a time, each with
// REG_OPTION_OPEN_LINK and the view of access, the last one with access:
// a component that is a link ends the search with ERROR_FILE_NOT_FOUND,
// as a missing key. A null or empty path opens parent itself again.
// Returns the registry error code.
LONG OpenKeyWithoutLinks(HKEY parent, const wchar_t* path, REGSAM access, RegKey& key);
