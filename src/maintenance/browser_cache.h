// Clears the Internet Explorer URL cache and the Firefox and Chrome caches
// and cookies of the interactive user.
#pragma once

#include <windows.h>

struct CleanupState;

void ClearBrowserCaches(const CleanupState& state);
void ClearChromeProfile(const wchar_t* profileFolder);

// The two WinINet passes, apart from the log lines.
void DeleteUrlCacheGroups();
void DeleteUrlCacheEntries();
// The entry pass once the size probe has answered probedBytes: the first
// entry is fetched into a buffer of at least that size, grown as needed.
void DeleteUrlCacheEntriesFrom(DWORD probedBytes);
