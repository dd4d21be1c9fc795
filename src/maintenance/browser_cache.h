// Clears the Internet Explorer URL cache and the Firefox and Chrome caches
// and cookies of the interactive user.
#pragma once

struct CleanupState;

void ClearBrowserCaches(const CleanupState& state);
void ClearChromeProfile(const wchar_t* profileFolder);

// The two WinINet passes, apart from the log lines.
void DeleteUrlCacheGroups();
void DeleteUrlCacheEntries();
