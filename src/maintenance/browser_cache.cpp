#include "maintenance/browser_cache.h"

#include <windows.h>
#include <shlobj.h>

#include <cstdlib>

#include "maintenance/url_cache_api.h"
#include "system/bounded_string.h"
#include "system/cleanup_state.h"
#include "system/file_removal.h"
#include "system/folder_listing.h"
#include "system/handles.h"
#include "system/held_folder.h"
#include "system/phase_log.h"
#include "system/responsiveness.h"
#include "system/user_folders.h"

namespace {

const DWORD kFirstEntryBytes = 4096;

class UrlCacheFind {
public:
    explicit UrlCacheFind(HANDLE handle) : handle_(handle) {}
    ~UrlCacheFind()
    {
        if (handle_ != nullptr)
            UrlCache().findClose(handle_);
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
        if (UrlCache().findNextEntry(find, buffer.Entry(), &size))
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
        HANDLE find = UrlCache().findFirstEntry(nullptr, buffer.Entry(), &size);
        if (find != nullptr)
            return find;
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size <= buffer.Size())
            return nullptr;
        if (!buffer.Resize(size))
            return nullptr;
    }
}

bool IsFolderEntry(const HeldEntry& entry)
{
    return (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           !IsLinkEntry(entry.attributes, entry.reparseTag);
}

bool IsFileEntry(const HeldEntry& entry)
{
    return (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
           !IsLinkEntry(entry.attributes, entry.reparseTag);
}

bool EndsWith(const wchar_t* name, const wchar_t* ending)
{
    int length = lstrlenW(name);
    int endingLength = lstrlenW(ending);
    return length >= endingLength && lstrcmpiW(name + length - endingLength, ending) == 0;
}

// "cookies.*" as FindFirstFileW reads it: the name "cookies" with any
// extension, or none.
bool IsFirefoxCookieFile(const wchar_t* name)
{
    wchar_t base[8];  // "cookies" and its end
    lstrcpynW(base, name, ARRAYSIZE(base));
    return lstrcmpiW(base, L"cookies") == 0 && (name[7] == L'\0' || name[7] == L'.');
}

// "*.cache": any name whose last extension is "cache".
bool IsFirefoxCacheFile(const wchar_t* name)
{
    return EndsWith(name, L".cache");
}

// Holds the subfolder name of parent, whose path is parentPath; path gets
// the subfolder's own.
bool HoldSubfolder(const HeldFolder& parent, const wchar_t* parentPath, const wchar_t* name,
                   HeldFolder& child, wchar_t* path)
{
    return BoundedFormat(path, kPathUnits, L"%s\\", parentPath) == kStringOk &&
           BoundedAppend(path, kPathUnits, name) == kStringOk && child.HoldChild(parent, name);
}

// Deletes, as they are listed, the files directly in folder whose names
// match accepts; a read-only file stays, as with DeleteFileW. Nothing is
// looked up again per file: the listing is the only search.
template <typename Match>
void DeleteListedFiles(HeldFolder& folder, Match matches)
{
    HeldEntry entry;
    size_t taken = 0;  // a folder someone keeps filling is left
    while (NextWithinBound(folder, &taken, &entry)) {
        KeepResponsive();
        if (IsFileEntry(entry) && matches(entry.name))
            folder.DeleteFile(entry.name, entry.attributes, false);
    }
}

// Calls visit(held, path) for every real folder directly in folder.
template <typename Visit>
void ForEachSubfolder(HeldFolder& folder, const wchar_t* path, Visit visit)
{
    HeldEntry entry;
    size_t taken = 0;  // a folder someone keeps filling is left
    while (NextWithinBound(folder, &taken, &entry)) {
        KeepResponsive();
        HeldFolder child;
        wchar_t childPath[kPathUnits];
        if (IsFolderEntry(entry) && HoldSubfolder(folder, path, entry.name, child, childPath))
            visit(child, childPath);
    }
}

// A browser's disk cache: every file directly in it goes, and every file
// directly in those of its subfolders that subfolders names (a null-ended
// list); all in the one listing of each folder.
void ClearCacheFolder(HeldFolder& cache, const wchar_t* path, const wchar_t* const* subfolders)
{
    HeldEntry entry;
    size_t taken = 0;  // a folder someone keeps filling is left
    while (NextWithinBound(cache, &taken, &entry)) {
        KeepResponsive();
        if (IsFileEntry(entry)) {
            cache.DeleteFile(entry.name, entry.attributes, false);
            continue;
        }
        if (!IsFolderEntry(entry))
            continue;
        for (const wchar_t* const* name = subfolders; *name != nullptr; ++name) {
            HeldFolder inner;
            wchar_t innerPath[kPathUnits];
            if (lstrcmpiW(entry.name, *name) == 0 &&
                HoldSubfolder(cache, path, entry.name, inner, innerPath))
                DeleteListedFiles(inner, [](const wchar_t*) { return true; });
        }
    }
}

// Below both the roaming and the local application data folder.
const wchar_t kFirefoxProfiles[] = L"\\Mozilla\\FireFox\\Profiles";

const wchar_t* const kNoSubfolders[] = {nullptr};
// Chrome's cache files, once directly in Cache, now in Cache\Cache_Data.
const wchar_t* const kChromeCacheSubfolders[] = {L"Cache_Data", nullptr};
const wchar_t* const kFirefoxCacheSubfolders[] = {L"entries", L"doomed", nullptr};

// The roaming profiles keep cookies and, in old versions, the cache.
void ClearFirefoxRoaming()
{
    HeldFolder profiles;
    wchar_t path[kPathUnits];
    if (!HoldInteractiveUserFolder(CSIDL_APPDATA, kFirefoxProfiles, false, profiles, path))
        return;
    // The short names Windows makes never match these patterns where the
    // long name does not: "*.cache" needs a five-letter extension, and a
    // made-up short name never has the base "cookies" unless it is the long
    // name itself. So the long names alone decide.
    ForEachSubfolder(profiles, path, [](HeldFolder& profile, const wchar_t*) {
        DeleteListedFiles(profile, [](const wchar_t* name) {
            return IsFirefoxCookieFile(name) || IsFirefoxCacheFile(name);
        });
    });
}

// The local profiles keep the disk cache in cache2.
void ClearFirefoxLocal()
{
    HeldFolder profiles;
    wchar_t path[kPathUnits];
    if (!HoldInteractiveUserFolder(CSIDL_LOCAL_APPDATA, kFirefoxProfiles, false, profiles, path))
        return;
    // Held by its name: the hold refuses a link, a file or nothing there.
    ForEachSubfolder(profiles, path, [](HeldFolder& profile, const wchar_t* profilePath) {
        HeldFolder cache;
        wchar_t cachePath[kPathUnits];
        if (HoldSubfolder(profile, profilePath, L"cache2", cache, cachePath))
            ClearCacheFolder(cache, cachePath, kFirefoxCacheSubfolders);
    });
}

// Chrome and the browsers built like it keep their profiles in the local,
// not the roaming, folder, which Windows XP keeps apart ("Local
// Settings\Application Data"). Every folder is treated as a profile,
// whatever its name.
void ClearChromeLike(const wchar_t* userDataSuffix)
{
    HeldFolder userData;
    wchar_t path[kPathUnits];
    if (!HoldInteractiveUserFolder(CSIDL_LOCAL_APPDATA, userDataSuffix, false, userData, path))
        return;
    ForEachSubfolder(userData, path, ClearChromeProfile);
}

}  // namespace

void DeleteUrlCacheGroups()
{
    GROUPID group = 0;
    SetLastError(0);
    UrlCacheFind find(UrlCache().findFirstGroup(0, CACHEGROUP_SEARCH_ALL, nullptr, 0, &group, nullptr));
    if (find.Get() == nullptr) {
        OutputDebugStringW(L"No More item");
        return;
    }
    while (GetLastError() != ERROR_NO_MORE_ITEMS) {
        KeepResponsive();
        SetLastError(0);
        if (!UrlCache().deleteGroup(group, CACHEGROUP_FLAG_FLUSHURL_ONDELETE, nullptr) &&
            GetLastError() != ERROR_FILE_NOT_FOUND)
            break;
        SetLastError(0);
        if (!UrlCache().findNextGroup(find.Get(), &group, nullptr))
            break;
    }
}

void DeleteUrlCacheEntries()
{
    // Ask for the size first, then fetch the first entry into a buffer of
    // that size.
    DWORD size = 0;
    SetLastError(0);
    HANDLE probe = UrlCache().findFirstEntry(nullptr, nullptr, &size);
    if (probe != nullptr) {
        UrlCache().findClose(probe);  // an empty entry cannot be deleted by name
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
        UrlCache().deleteEntry(buffer.Entry()->lpszSourceUrlName);
    } while (AdvanceEntry(find.Get(), buffer));
}

void ClearBrowserCaches(const CleanupState& state)
{
    LogLine(state, L"Clearing the Browser(IE/FireFox/Chrome) Cache ....");
    DeleteUrlCacheGroups();
    DeleteUrlCacheEntries();
    ClearFirefoxRoaming();
    ClearFirefoxLocal();
    ClearChromeLike(L"\\Google\\Chrome\\User Data");
    ClearChromeLike(L"\\Microsoft\\Edge\\User Data");
    LogLine(state, L"The Browsers Cache is Cleared");
}

void ClearChromeProfile(HeldFolder& profile, const wchar_t* path)
{
    HeldEntry entry;
    size_t taken = 0;  // a folder someone keeps filling is left
    while (NextWithinBound(profile, &taken, &entry)) {
        KeepResponsive();
        HeldFolder inner;
        wchar_t innerPath[kPathUnits];
        if (IsFileEntry(entry)) {
            if (lstrcmpiW(entry.name, L"Cookies") == 0)
                profile.DeleteFile(entry.name, entry.attributes, false);
        } else if (!IsFolderEntry(entry)) {
            continue;
        } else if (lstrcmpiW(entry.name, L"Cache") == 0) {
            if (HoldSubfolder(profile, path, entry.name, inner, innerPath))
                ClearCacheFolder(inner, innerPath, kChromeCacheSubfolders);
        } else if (lstrcmpiW(entry.name, L"Network") == 0) {
            // Where the cookies moved; the old file stays only where the
            // move failed.
            if (HoldSubfolder(profile, path, entry.name, inner, innerPath))
                DeleteListedFiles(inner,
                                  [](const wchar_t* name) { return lstrcmpiW(name, L"Cookies") == 0; });
        }
    }
}
