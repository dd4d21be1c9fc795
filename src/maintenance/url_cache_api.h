// The WinINet URL cache calls the program makes, looked up once in the
// system folder's wininet.dll and reached through one table, so that a
// test can stand in for cache groups, which Wine lacks.
#pragma once

#include <windows.h>
#include <wininet.h>

struct UrlCacheApi {
    decltype(&::FindFirstUrlCacheGroup) findFirstGroup;
    decltype(&::FindNextUrlCacheGroup) findNextGroup;
    decltype(&::DeleteUrlCacheGroup) deleteGroup;
    decltype(&::FindFirstUrlCacheEntryW) findFirstEntry;
    decltype(&::FindNextUrlCacheEntryW) findNextEntry;
    decltype(&::DeleteUrlCacheEntryW) deleteEntry;
    decltype(&::FindCloseUrlCache) findClose;
};

// The table in use; the real wininet.dll functions unless a test replaced
// them.
UrlCacheApi& UrlCache();
