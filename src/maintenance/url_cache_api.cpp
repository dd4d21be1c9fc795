#include "maintenance/url_cache_api.h"

#include "system/system_library.h"

namespace {

// Without wininet.dll no search of the cache starts, as in an empty cache;
// the calls that need a search's handle or entry are then never reached.
HANDLE WINAPI NoGroupSearch(DWORD, DWORD, LPVOID, DWORD, GROUPID*, LPVOID)
{
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

HANDLE WINAPI NoEntrySearch(LPCWSTR, LPINTERNET_CACHE_ENTRY_INFOW, LPDWORD)
{
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

UrlCacheApi LoadUrlCache()
{
    UrlCacheApi missing = {NoGroupSearch, nullptr, nullptr, NoEntrySearch, nullptr, nullptr, nullptr};
    HMODULE wininet = LoadSystemLibrary(L"wininet.dll");
    UrlCacheApi api = {};
    if (wininet == nullptr || !LookUpFunction(wininet, "FindFirstUrlCacheGroup", &api.findFirstGroup) ||
        !LookUpFunction(wininet, "FindNextUrlCacheGroup", &api.findNextGroup) ||
        !LookUpFunction(wininet, "DeleteUrlCacheGroup", &api.deleteGroup) ||
        !LookUpFunction(wininet, "FindFirstUrlCacheEntryW", &api.findFirstEntry) ||
        !LookUpFunction(wininet, "FindNextUrlCacheEntryW", &api.findNextEntry) ||
        !LookUpFunction(wininet, "DeleteUrlCacheEntryW", &api.deleteEntry) ||
        !LookUpFunction(wininet, "FindCloseUrlCache", &api.findClose))
        return missing;
    return api;
}

}  // namespace

UrlCacheApi& UrlCache()
{
    static UrlCacheApi api;
    static bool loaded = false;
    if (!loaded) {
        api = LoadUrlCache();
        loaded = true;
    }
    return api;
}
