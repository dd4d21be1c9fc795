#include "maintenance/browser_cache.h"

#include <windows.h>
#include <wininet.h>

#include <cstdlib>

#include "system/bounded_string.h"
#include "system/cleanup_state.h"
#include "system/file_removal.h"
#include "system/folder_listing.h"
#include "system/handles.h"
#include "system/phase_log.h"
#include "system/responsiveness.h"
#include "system/special_folders.h"

namespace {

const DWORD kFirstEntryBytes = 4096;

class UrlCacheFind {
public:
    explicit UrlCacheFind(HANDLE handle) : handle_(handle) {}
    ~UrlCacheFind()
    {
        if (handle_ != nullptr)
            FindCloseUrlCache(handle_);
    }
    UrlCacheFind(const UrlCacheFind&) = delete;
    UrlCacheFind& operator=(const UrlCacheFind&) = delete;
    HANDLE Get() const { return handle_; }

private:
    HANDLE handle_;
};

// A heap block for one cache entry, with its size beside it.
class EntryBuffer {
public:
    ~EntryBuffer() { free(data_); }
    bool Resize(DWORD bytes)
    {
        void* grown = realloc(data_, bytes);
        if (grown == nullptr)
            return false;
        data_ = grown;
        size_ = bytes;
        return true;
    }
    INTERNET_CACHE_ENTRY_INFOW* Entry() { return static_cast<INTERNET_CACHE_ENTRY_INFOW*>(data_); }
    DWORD Size() const { return size_; }

private:
    void* data_ = nullptr;
    DWORD size_ = 0;
};

// Fetches the next entry into buffer, growing it when WinINet asks for more.
bool AdvanceEntry(HANDLE find, EntryBuffer& buffer)
{
    for (;;) {
        DWORD size = buffer.Size();
        SetLastError(0);
        if (FindNextUrlCacheEntryW(find, buffer.Entry(), &size))
            return true;
        if (GetLastError() == ERROR_NO_MORE_ITEMS || size <= buffer.Size())
            return false;
        OutputDebugStringW(L"ERROR_INSUFFICIENT_BUFFER");
        if (!buffer.Resize(size))
            return false;
    }
}

// Fetches the first entry into buffer, growing it as often as WinINet asks
// for more: the entry may have grown since the probe, or the probe gave no
// size. A request that would not grow the buffer ends the attempt.
HANDLE FindFirstEntry(EntryBuffer& buffer)
{
    for (;;) {
        DWORD size = buffer.Size();
        SetLastError(0);
        HANDLE find = FindFirstUrlCacheEntryW(nullptr, buffer.Entry(), &size);
        if (find != nullptr)
            return find;
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size <= buffer.Size())
            return nullptr;
        if (!buffer.Resize(size))
            return nullptr;
    }
}

void ClearFirefox()
{
    wchar_t profiles[kPathUnits];
    if (!InteractiveUserAppDataPath(profiles, L"\\Mozilla\\FireFox\\Profiles"))
        return;
    ForEachEntry(profiles, L"%s\\*.*", [&](const WIN32_FIND_DATAW& found) {
        if (IsLinkEntry(found))
            return true;  // a profile reached through a link belongs elsewhere
        wchar_t profile[kPathUnits];
        if (BoundedFormat(profile, kPathUnits, L"%s\\%s", profiles, found.cFileName) != kStringOk)
            return false;
        DeleteMatchingFiles(profile, L"cookies.*");
        DeleteMatchingFiles(profile, L"*.cache");
        return true;
    });
}

void ClearChrome()
{
    wchar_t userData[kPathUnits];
    // Chrome keeps its profiles in the local, not the roaming, folder,
    // which Windows XP keeps apart ("Local Settings\Application Data").
    if (!InteractiveUserLocalAppDataPath(userData, L"\\Google\\Chrome\\User Data"))
        return;
    // Every folder is treated as a profile, whatever its name.
    ForEachEntry(userData, L"%s\\*", [&](const WIN32_FIND_DATAW& found) {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || IsLinkEntry(found))
            return true;
        wchar_t profile[kPathUnits];
        if (BoundedFormat(profile, kPathUnits, L"%s\\", userData) == kStringOk &&
            BoundedAppend(profile, kPathUnits, found.cFileName) == kStringOk)
            ClearChromeProfile(profile);
        return true;
    });
}

void ClearChromeCacheFolder(const wchar_t* profile, const wchar_t* name)
{
    wchar_t cache[kPathUnits];
    if (BoundedFormat(cache, kPathUnits, L"%s\\", profile) != kStringOk ||
        BoundedAppend(cache, kPathUnits, name) != kStringOk)
        return;
    // Only files directly in Cache: a subfolder's name matches no file.
    ForEachEntry(cache, L"%s\\*", [&](const WIN32_FIND_DATAW& found) {
        DeleteMatchingFiles(cache, found.cFileName);
        return true;
    });
}

}  // namespace

void DeleteUrlCacheGroups()
{
    GROUPID group = 0;
    SetLastError(0);
    UrlCacheFind find(FindFirstUrlCacheGroup(0, CACHEGROUP_SEARCH_ALL, nullptr, 0, &group, nullptr));
    if (find.Get() == nullptr) {
        OutputDebugStringW(L"No More item");
        return;
    }
    while (GetLastError() != ERROR_NO_MORE_ITEMS) {
        KeepResponsive();
        SetLastError(0);
        if (!DeleteUrlCacheGroup(group, CACHEGROUP_FLAG_FLUSHURL_ONDELETE, nullptr) &&
            GetLastError() != ERROR_FILE_NOT_FOUND)
            break;
        SetLastError(0);
        if (!FindNextUrlCacheGroup(find.Get(), &group, nullptr))
            break;
    }
}

void DeleteUrlCacheEntries()
{
    // Ask for the size first, then fetch the first entry into a buffer of
    // that size.
    DWORD size = 0;
    SetLastError(0);
    HANDLE probe = FindFirstUrlCacheEntryW(nullptr, nullptr, &size);
    if (probe != nullptr) {
        FindCloseUrlCache(probe);  // an empty entry cannot be deleted by name
        return;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return;  // normally ERROR_NO_MORE_ITEMS: the cache is empty
    DeleteUrlCacheEntriesFrom(size);
}

void DeleteUrlCacheEntriesFrom(DWORD probedBytes)
{
    EntryBuffer buffer;
    if (!buffer.Resize(probedBytes < kFirstEntryBytes ? kFirstEntryBytes : probedBytes))
        return;
    UrlCacheFind find(FindFirstEntry(buffer));
    if (find.Get() == nullptr)
        return;
    do {
        KeepResponsive();
        DeleteUrlCacheEntryW(buffer.Entry()->lpszSourceUrlName);
    } while (AdvanceEntry(find.Get(), buffer));
}

void ClearBrowserCaches(const CleanupState& state)
{
    LogLine(state, L"Clearing the Browser(IE/FireFox/Chrome) Cache ....");
    DeleteUrlCacheGroups();
    DeleteUrlCacheEntries();
    ClearFirefox();
    ClearChrome();
    LogLine(state, L"The Browsers Cache is Cleared");
}

void ClearChromeProfile(const wchar_t* profileFolder)
{
    wchar_t profile[kPathUnits];
    if (BoundedFormat(profile, kPathUnits, L"%s", profileFolder) != kStringOk)
        return;
    ForEachEntry(profile, L"%s\\*", [&](const WIN32_FIND_DATAW& found) {
        if (IsLinkEntry(found))
            return true;
        if (lstrcmpiW(found.cFileName, L"Cache") == 0)
            ClearChromeCacheFolder(profile, found.cFileName);
        else if (lstrcmpiW(found.cFileName, L"Cookies") == 0)
            DeleteMatchingFiles(profile, found.cFileName);
        return true;
    });
}
