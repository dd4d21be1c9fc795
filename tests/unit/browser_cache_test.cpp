#include <gtest/gtest.h>

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "app/cleanup_dialog.h"
#include "maintenance/browser_cache.h"
#include "maintenance/url_cache_api.h"
#include "support/test_support.h"
#include "system/bounded_string.h"
#include "system/cleanup_state.h"
#include "system/handles.h"
#include "system/special_folders.h"

namespace {

const wchar_t kOpeningLine[] = L"Clearing the Browser(IE/FireFox/Chrome) Cache ....";
const wchar_t kClosingLine[] = L"The Browsers Cache is Cleared";
const wchar_t kSite[] = L"http://hs-cache.test/";

// Every URL the cache enumerates for pattern, the buffer growing whenever
// WinINet asks for more.
std::vector<std::wstring> CacheUrls(const wchar_t* pattern)
{
    std::vector<std::wstring> urls;
    std::vector<BYTE> buffer(1024);
    HANDLE find = nullptr;
    for (;;) {
        auto* entry = reinterpret_cast<INTERNET_CACHE_ENTRY_INFOW*>(buffer.data());
        DWORD size = static_cast<DWORD>(buffer.size());
        bool fetched = find == nullptr ? (find = FindFirstUrlCacheEntryW(pattern, entry, &size)) != nullptr
                                       : FindNextUrlCacheEntryW(find, entry, &size) != 0;
        if (fetched) {
            urls.push_back(entry->lpszSourceUrlName);
        } else if (GetLastError() == ERROR_INSUFFICIENT_BUFFER && size > buffer.size()) {
            buffer.resize(size);
        } else {
            break;
        }
    }
    if (find != nullptr)
        FindCloseUrlCache(find);
    return urls;
}

// The cookie entry WinINet made for kSite ("Cookie:user@hs-cache.test/").
std::wstring CookieEntryUrl()
{
    for (const std::wstring& url : CacheUrls(nullptr)) {
        if (url.compare(0, 7, L"Cookie:") == 0 && url.find(L"@hs-cache.test/") != std::wstring::npos)
            return url;
    }
    return L"";
}

// Bytes the entry's record needs, and its local file.
DWORD EntryInfo(const std::wstring& url, std::wstring* localFile)
{
    std::vector<BYTE> buffer(64 * 1024);
    DWORD size = static_cast<DWORD>(buffer.size());
    auto* entry = reinterpret_cast<INTERNET_CACHE_ENTRY_INFOW*>(buffer.data());
    if (!GetUrlCacheEntryInfoW(url.c_str(), entry, &size))
        return 0;
    if (localFile != nullptr && entry->lpszLocalFileName != nullptr)
        *localFile = entry->lpszLocalFileName;
    return size;
}

// Size of the entry the cache hands out first: what the size probe reports.
DWORD FirstEntrySize()
{
    DWORD size = 0;
    HANDLE find = FindFirstUrlCacheEntryW(nullptr, nullptr, &size);
    if (find != nullptr)
        FindCloseUrlCache(find);
    return size;
}

// A committed cache entry with a real file behind it, as a browser leaves it.
bool AddCacheEntry(const std::wstring& url, const std::string& body, std::wstring headers)
{
    wchar_t file[MAX_PATH] = L"";
    if (!CreateUrlCacheEntryW(url.c_str(), 0, L"html", file, 0))
        return false;
    if (!WriteTextFile(file, body))
        return false;
    FILETIME never = {0, 0};
    return CommitUrlCacheEntryW(url.c_str(), file, never, never, NORMAL_CACHE_ENTRY,
                                headers.empty() ? nullptr : &headers[0],
                                static_cast<DWORD>(headers.size()), L"html", nullptr) != 0;
}

// The cookie probe's answers: codes of their own, so that a probe that
// failed in any other way is neither.
const DWORD kCookieFound = 40;
const DWORD kCookieMissing = 41;

// Whether a process that starts now finds the site's cookie. This process
// keeps its own copy of the cookies it has seen, so only a fresh one tells
// what was left on disk.
bool FreshProcessSeesCookie()
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring line = L"\"" + std::wstring(self) +
                        L"\" --gtest_filter=CookieProbe.DISABLED_SiteCookieIsThere "
                        L"--gtest_also_run_disabled_tests";
    std::vector<wchar_t> commandLine(line.begin(), line.end());
    commandLine.push_back(L'\0');
    // Its report would only clutter ours; the exit code says it all.
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE nul = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = nul;
    startup.hStdError = nul;
    PROCESS_INFORMATION process;
    BOOL started = CreateProcessW(self, commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                  nullptr, nullptr, &startup, &process);
    CloseHandle(nul);
    if (!started) {
        ADD_FAILURE() << "cannot start the cookie probe: " << GetLastError();
        return false;
    }
    DWORD exitCode = 2;
    if (WaitForSingleObject(process.hProcess, EventWaitMs()) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &exitCode);
    else
        TerminateProcess(process.hProcess, 2);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    EXPECT_TRUE(exitCode == kCookieFound || exitCode == kCookieMissing)
        << "the cookie probe gave no answer: " << exitCode;
    return exitCode == kCookieFound;
}

// Folders the test makes below an existing base; removes, at the end, the
// outermost one that was not there before.
class MadeFolders {
public:
    MadeFolders(const std::wstring& base, const std::wstring& relative) : path_(base + relative)
    {
        size_t at = 0;
        while (at != std::wstring::npos) {
            at = relative.find(L'\\', at + 1);
            std::wstring step = base + relative.substr(0, at);
            if (!Exists(step)) {
                created_ = step;
                break;
            }
        }
        MakeFolders(path_);
    }
    ~MadeFolders()
    {
        if (!created_.empty())
            RemoveTestTree(created_);
    }
    const std::wstring& Path() const { return path_; }

private:
    std::wstring path_;
    std::wstring created_;
};

std::wstring InteractiveAppData()
{
    wchar_t folder[kPathUnits];
    GetInteractiveUserAppData(folder);
    return folder;
}

std::wstring InteractiveLocalAppData()
{
    wchar_t folder[kPathUnits];
    GetInteractiveUserLocalAppData(folder);
    return folder;
}

bool Make(const std::wstring& path)
{
    size_t slash = path.find_last_of(L'\\');
    return MakeFolders(path.substr(0, slash)) && WriteTextFile(path, "data");
}

// Deletes the entries a test made, should it stop half-way.
struct CacheEntriesMade {
    std::vector<std::wstring> urls;
    ~CacheEntriesMade()
    {
        for (const std::wstring& url : urls)
            DeleteUrlCacheEntryW(url.c_str());
    }
};

// Wine has no URL cache groups (its group calls are stubs): while it lives,
// the program's group calls reach this table instead, which answers them as
// Microsoft documents them.
class CacheGroups {
public:
    CacheGroups() : previous_(UrlCache())
    {
        gGroups = this;
        UrlCache().findFirstGroup = FindFirst;
        UrlCache().findNextGroup = FindNext;
        UrlCache().deleteGroup = Delete;
        UrlCache().findClose = Close;
    }
    ~CacheGroups()
    {
        UrlCache() = previous_;
        gGroups = nullptr;
    }
    GROUPID Create()
    {
        groups.push_back(++lastId_);
        return lastId_;
    }

    std::vector<GROUPID> groups;

private:
    static HANDLE WINAPI FindFirst(DWORD, DWORD, LPVOID, DWORD, GROUPID* group, LPVOID)
    {
        gGroups->found_ = gGroups->groups;
        gGroups->next_ = 0;
        HANDLE find = reinterpret_cast<HANDLE>(gGroups);
        if (!FindNext(find, group, nullptr))
            return nullptr;
        return find;
    }
    static BOOL WINAPI FindNext(HANDLE, GROUPID* group, LPVOID)
    {
        if (gGroups->next_ == gGroups->found_.size()) {
            SetLastError(ERROR_NO_MORE_FILES);
            return FALSE;
        }
        *group = gGroups->found_[gGroups->next_++];
        return TRUE;
    }
    static BOOL WINAPI Delete(GROUPID group, DWORD, LPVOID)
    {
        std::vector<GROUPID>& groups = gGroups->groups;
        auto at = std::find(groups.begin(), groups.end(), group);
        if (at == groups.end()) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return FALSE;
        }
        groups.erase(at);
        return TRUE;
    }
    static BOOL WINAPI Close(HANDLE find)
    {
        if (find == reinterpret_cast<HANDLE>(gGroups))
            return TRUE;
        return gGroups->previous_.findClose(find);
    }

    static CacheGroups* gGroups;
    UrlCacheApi previous_;
    std::vector<GROUPID> found_;
    size_t next_ = 0;
    GROUPID lastId_ = 0x1000;
};

CacheGroups* CacheGroups::gGroups = nullptr;

std::vector<std::wstring> ClearInWindow()
{
    TestWindow window;
    CleanupState state{};
    state.dialog = gCleanupDialog;
    ClearBrowserCaches(state);
    return window.LogLines();
}

// A browser's files: those the clearing deletes and those it keeps, and
// those of a scratch folder reached only through links (each a link and
// its target), which stay untouched.
struct BrowserFiles {
    std::vector<std::wstring> going, staying, elsewhere;
    std::vector<std::pair<std::wstring, std::wstring>> links;
};

void MakeBrowserFiles(const BrowserFiles& files)
{
    for (const auto* list : {&files.going, &files.staying, &files.elsewhere})
        for (const std::wstring& path : *list)
            ASSERT_TRUE(Make(path)) << Narrow(path);
    for (const auto& link : files.links) {
        ASSERT_TRUE(MakeFolders(link.first.substr(0, link.first.find_last_of(L'\\'))));
        ASSERT_TRUE(MakeDirectoryLink(link.first, link.second)) << Narrow(link.first);
    }
}

// Clears the caches and checks every file; then removes the links and the
// scratch folder (the links first: Wine deletes through them).
void ExpectClearedAsListed(const BrowserFiles& files, const std::wstring& scratch)
{
    EXPECT_EQ(std::vector<std::wstring>({L"", kOpeningLine, kClosingLine}), ClearInWindow());
    for (const std::wstring& path : files.going)
        EXPECT_FALSE(Exists(path)) << Narrow(path);
    for (const std::wstring& path : files.staying)
        EXPECT_TRUE(Exists(path)) << Narrow(path);
    for (const std::wstring& path : files.elsewhere)
        EXPECT_EQ("data", ReadWholeFile(path)) << Narrow(path);
    for (const auto& link : files.links)
        RemoveTestTree(link.first);
    RemoveTestTree(scratch);
}

}  // namespace

// Run only as the probe of FreshProcessSeesCookie, in a process of its own.
TEST(CookieProbe, DISABLED_SiteCookieIsThere)
{
    wchar_t data[1024];
    DWORD units = 1024;
    BOOL found = InternetGetCookieW(kSite, nullptr, data, &units);
    DWORD error = GetLastError();
    if (found)
        ExitProcess(kCookieFound);
    if (error == ERROR_NO_MORE_ITEMS)
        ExitProcess(kCookieMissing);
    ADD_FAILURE() << "InternetGetCookieW failed: " << error;
}

TEST(InternetExplorerCache, EntriesCookiesAndTheirFilesAreDeleted)
{
    const std::wstring page = std::wstring(kSite) + L"index.html";
    // Over 4096 bytes of entry record: a long URL and long headers.
    const std::wstring large = std::wstring(kSite) + L"search?q=" + std::wstring(2500, L'q');
    const std::wstring headers =
        L"HTTP/1.1 200 OK\r\nX-Padding: " + std::wstring(3000, L'p') + L"\r\n\r\n";
    CacheEntriesMade made;
    made.urls = {page, large};
    ASSERT_TRUE(AddCacheEntry(page, "<html>page</html>", L""));
    ASSERT_TRUE(AddCacheEntry(large, "<html>large</html>", headers));
    ASSERT_TRUE(InternetSetCookieW(kSite, L"session", L"42; expires=Thu, 31-Dec-2037 23:59:59 GMT"));

    const std::wstring cookie = CookieEntryUrl();
    ASSERT_FALSE(cookie.empty()) << "the persistent cookie is not in the cache";
    made.urls.push_back(cookie);
    std::wstring pageFile, cookieFile;
    ASSERT_NE(0u, EntryInfo(page, &pageFile));
    ASSERT_NE(0u, EntryInfo(cookie, &cookieFile));
    ASSERT_TRUE(Exists(pageFile));
    ASSERT_TRUE(Exists(cookieFile));
    const DWORD largeSize = EntryInfo(large, nullptr);
    ASSERT_GT(largeSize, 4096u);
    // The large entry must not be the first one, or the buffer never grows.
    ASSERT_LT(FirstEntrySize(), largeSize);
    ASSERT_TRUE(FreshProcessSeesCookie());

    // Whether or not the cache has groups, every entry must go.
    std::vector<std::wstring> lines = ClearInWindow();

    EXPECT_EQ(std::vector<std::wstring>({L"", kOpeningLine, kClosingLine}), lines);
    std::vector<std::wstring> left = CacheUrls(nullptr);
    EXPECT_TRUE(left.empty()) << left.size() << " entries left, first " << Narrow(left[0].substr(0, 60));
    // Wine matches this prefix case-sensitively: "cookie:" finds nothing.
    EXPECT_TRUE(CacheUrls(L"Cookie:").empty());
    EXPECT_EQ(0u, EntryInfo(large, nullptr));
    EXPECT_FALSE(Exists(pageFile));
    EXPECT_FALSE(Exists(cookieFile));
    EXPECT_FALSE(FreshProcessSeesCookie());
}

// The probe may give no size, or the first entry may grow after it: the
// first entry is then fetched again into a grown buffer, not skipped.
TEST(InternetExplorerCache, FirstEntryBeyondTheBufferIsFetchedAgain)
{
    DeleteUrlCacheEntries();
    ASSERT_TRUE(CacheUrls(nullptr).empty());
    const std::wstring large = std::wstring(kSite) + L"grown?q=" + std::wstring(2500, L'g');
    const std::wstring headers =
        L"HTTP/1.1 200 OK\r\nX-Padding: " + std::wstring(3000, L'p') + L"\r\n\r\n";
    CacheEntriesMade made;
    made.urls = {large};
    ASSERT_TRUE(AddCacheEntry(large, "<html>grown</html>", headers));
    ASSERT_GT(FirstEntrySize(), 4096u);

    DeleteUrlCacheEntriesFrom(0);
    EXPECT_TRUE(CacheUrls(nullptr).empty());
}

TEST(InternetExplorerCache, EveryCacheGroupIsDeleted)
{
    CacheGroups table;
    for (int i = 0; i < 3; ++i)
        table.Create();
    EXPECT_EQ(std::vector<std::wstring>({L"", kOpeningLine, kClosingLine}), ClearInWindow());
    EXPECT_TRUE(table.groups.empty()) << table.groups.size() << " groups left";
}

TEST(BrowserProfiles, FirefoxCookieAndCacheFilesGo)
{
    const std::wstring appData = InteractiveAppData();
    const std::wstring localAppData = InteractiveLocalAppData();
    ASSERT_FALSE(appData.empty()) << "no interactive user (is explorer.exe running?)";
    MadeFolders firefox(appData, L"\\Mozilla\\Firefox\\Profiles");
    MadeFolders firefoxLocal(localAppData, L"\\Mozilla\\Firefox\\Profiles");
    const std::wstring profiles = firefox.Path();
    const std::wstring main = profiles + L"\\k3x9q2.default-release";
    const std::wstring second = profiles + L"\\a7b1c0.work";
    // The disk cache lives in the local profile of the same name.
    const std::wstring local = firefoxLocal.Path() + L"\\k3x9q2.default-release";
    // A profile, or a cache folder, reached through a link is somebody
    // else's; its files stay.
    const std::wstring elsewhere = MakeScratchFolder(L"firefox-elsewhere");
    const std::wstring linkedCache = firefoxLocal.Path() + L"\\b2c3d4.linked-cache";
    const std::wstring linkedEntries = firefoxLocal.Path() + L"\\a7b1c0.work";
    // A running browser keeps its open files, sharing no deletion.
    const std::wstring inUse = local + L"\\cache2\\entries\\5F4E3D2C1B0A";
    const BrowserFiles files = {
        {main + L"\\cookies.sqlite", main + L"\\cookies.sqlite-journal", main + L"\\x.cache",
         main + L"\\startupCache.cache", second + L"\\cookies.sqlite", main + L"\\Cookies",
         main + L"\\a.b.CACHE", local + L"\\cache2\\index", local + L"\\cache2\\ce_bG9naW5z",
         local + L"\\cache2\\entries\\0A1B2C3D4E5F", local + L"\\cache2\\entries\\1B2C3D4E5F60",
         local + L"\\cache2\\entries\\F0E1D2C3B4A5", local + L"\\cache2\\doomed\\1234"},
        {main + L"\\places.sqlite", main + L"\\prefs.js", main + L"\\cache2\\old.cache",
         main + L"\\cache2\\entries\\cookies.bin", main + L"\\cookiejar.sqlite",
         second + L"\\key4.db", profiles + L"\\notes.cache", profiles + L"\\cookies.txt",
         main + L"\\x.cache.bak", main + L"\\x.cachex", main + L"\\cookies.d\\a.cache",
         local + L"\\cookies.sqlite", local + L"\\startupCache\\startupCache.8.little",
         local + L"\\cache2\\trash\\1", local + L"\\cache2\\entries\\sub\\1",
         local + L"\\thumbnails\\a.png", firefoxLocal.Path() + L"\\index", inUse},
        {elsewhere + L"\\cookies.sqlite", elsewhere + L"\\y.cache", elsewhere + L"\\cache2\\index",
         elsewhere + L"\\entries\\0A1B"},
        {{profiles + L"\\linked.default", elsewhere},
         {firefoxLocal.Path() + L"\\linked.default", elsewhere},
         {linkedCache + L"\\cache2", elsewhere + L"\\cache2"},
         {linkedEntries + L"\\cache2\\entries", elsewhere + L"\\entries"}}};
    ASSERT_NO_FATAL_FAILURE(MakeBrowserFiles(files));
    UniqueHandle open(CreateFileW(inUse.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(open.IsValid());

    ExpectClearedAsListed(files, elsewhere);
}

namespace {

// The profiles of Chrome, or of a browser built like it, in userData below
// localAppData: every file directly in a profile's Cache and Cache\Cache_Data
// folders and its Cookies and Network\Cookies files go, nothing else,
// nothing through a link.
void ExpectChromeCleared(const std::wstring& localAppData, const wchar_t* userDataSuffix)
{
    MadeFolders chrome(localAppData, userDataSuffix);
    const std::wstring userData = chrome.Path();
    const std::wstring main = userData + L"\\Default";
    const std::wstring second = userData + L"\\Profile 1";
    const std::wstring linkedCache = userData + L"\\Profile 2";
    const std::wstring linkedData = userData + L"\\Profile 4";
    // Neither a linked profile nor a linked Cache, Cache_Data or Network
    // folder is followed.
    const std::wstring elsewhere = MakeScratchFolder(L"chrome-elsewhere");
    const BrowserFiles files = {
        {main + L"\\Cache\\data_0", main + L"\\Cache\\index", main + L"\\Cache\\f_00001a",
         main + L"\\Cookies", second + L"\\Cache\\data_1", second + L"\\Cookies",
         userData + L"\\Crashpad\\Cookies", linkedCache + L"\\Cookies",
         main + L"\\Cache\\Cache_Data\\f_000002", main + L"\\Cache\\Cache_Data\\index",
         main + L"\\Network\\Cookies", second + L"\\Cache\\Cache_Data\\data_3",
         linkedData + L"\\Cache\\f_000004"},
        {main + L"\\Cookies-journal", main + L"\\Preferences", main + L"\\Code Cache\\js\\index",
         second + L"\\History", userData + L"\\Local State", userData + L"\\Cookies",
         userData + L"\\Crashpad\\settings.dat", main + L"\\Network\\Cookies-journal",
         main + L"\\Network\\TransportSecurity", main + L"\\Cache\\Cache_Data\\sub\\f_000003",
         main + L"\\Cache\\index-dir\\the-real-index", main + L"\\Bookmarks",
         main + L"\\Login Data", second + L"\\Network\\Cookies\\inner"},
        {elsewhere + L"\\profile\\Cookies", elsewhere + L"\\profile\\Cache\\data_0",
         elsewhere + L"\\cache\\data_0", elsewhere + L"\\data\\f_000001",
         elsewhere + L"\\network\\Cookies"},
        {{userData + L"\\Profile 3", elsewhere + L"\\profile"},
         {linkedCache + L"\\Cache", elsewhere + L"\\cache"},
         {linkedData + L"\\Cache\\Cache_Data", elsewhere + L"\\data"},
         {linkedCache + L"\\Network", elsewhere + L"\\network"}}};
    ASSERT_NO_FATAL_FAILURE(MakeBrowserFiles(files));
    ExpectClearedAsListed(files, elsewhere);
}

}  // namespace

// Edge keeps its profiles as Chrome does.
TEST(BrowserProfiles, ChromeAndEdgeCacheAndCookiesGoInEveryProfile)
{
    const std::wstring localAppData = InteractiveLocalAppData();
    ASSERT_FALSE(localAppData.empty()) << "no interactive user (is explorer.exe running?)";
    for (const wchar_t* userData : {L"\\Google\\Chrome\\User Data", L"\\Microsoft\\Edge\\User Data"}) {
        SCOPED_TRACE(Narrow(userData));
        ExpectChromeCleared(localAppData, userData);
    }
}

// Windows XP keeps the local folder apart from the roaming one, and neither
// path holds "AppData"; Wine keeps the later layout even when set to XP.
TEST(BrowserProfiles, ChromeIsFoundInWindowsXpsLayout)
{
    const std::wstring profile = MakeScratchFolder(L"xp-profile");
    const std::wstring roaming = profile + L"\\Application Data";
    const std::wstring local = profile + L"\\Local Settings\\Application Data";
    ASSERT_TRUE(MakeFolders(roaming));
    ASSERT_TRUE(MakeFolders(local));
    {
        ShellFolderRedirect roamingRedirect(L"AppData", roaming);
        ShellFolderRedirect localRedirect(L"Local AppData", local);
        ASSERT_EQ(0, lstrcmpiW(roaming.c_str(), InteractiveAppData().c_str()));
        ASSERT_EQ(0, lstrcmpiW(local.c_str(), InteractiveLocalAppData().c_str()));
        ExpectChromeCleared(local, L"\\Google\\Chrome\\User Data");
    }
    RemoveTestTree(profile);
}
