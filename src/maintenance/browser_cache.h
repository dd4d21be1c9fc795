// Clears the Internet Explorer URL cache and the Firefox, Chrome and Edge
// caches and cookies of the interactive user.
#pragma once

#include <windows.h>

#include "system/held_folder.h"

struct CleanupState;

void ClearBrowserCaches(const CleanupState& state);
// Clears the cache and cookie files of one held Chrome or Edge profile
// folder, whose whole path is path; walks only below the held folder.
void ClearChromeProfile(HeldFolder& profile, const wchar_t* path);

// The two WinINet passes, apart from the log lines.
void DeleteUrlCacheGroups();
void DeleteUrlCacheEntries();
// The entry pass once the size probe has answered probedBytes: the first
// entry is fetched into a buffer of at least that size, grown as needed.
void DeleteUrlCacheEntriesFrom(DWORD probedBytes);
