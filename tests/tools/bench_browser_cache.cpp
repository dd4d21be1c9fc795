// Times the browser cache clearing against the plain loop a program would
// write over the same folder (FindFirstFileW/FindNextFileW, DeleteFileW for
// each entry, RemoveDirectoryW), in this process, for each cache folder of
// the interactive user's browsers: Chrome's Cache and Cache\Cache_Data, and
// Firefox's cache2.
//
//   bench_browser_cache REPEATS SIZE...
//
// Each pass fills one cache folder with SIZE empty files and runs the whole
// browser clearing, which then finds only that folder full; every round
// measures every size and every folder next to a plain pass of its own
// (which goes first alternates), so a busy spell falls on both sides.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "maintenance/browser_cache.h"
#include "support/test_support.h"
#include "system/bounded_string.h"
#include "system/cleanup_state.h"
#include "system/special_folders.h"
#include "tools/bench_common.h"
#include "tools/bench_folders.h"

namespace {

struct CacheFolder {
    const char* name;
    const wchar_t* below;  // below the local application data folder
    bool inCache;          // inside Chrome's Cache folder, made with it
};

const CacheFolder kFolders[] = {
    {"chrome_cache", L"\\Google\\Chrome\\User Data\\Default\\Cache", false},
    {"chrome_cache_data", L"\\Google\\Chrome\\User Data\\Default\\Cache\\Cache_Data", true},
    {"firefox_cache2", L"\\Mozilla\\Firefox\\Profiles\\b3nch.default-release\\cache2", false},
};
const int kFolderCount = sizeof(kFolders) / sizeof(kFolders[0]);

typedef PairedSeries Series;

// One timed pass on a freshly filled folder; negative when the folder could
// not be made or the pass left something in it. The clearing leaves the
// emptied folder itself: it is removed after the pass, untimed.
double TimedPass(const CacheFolder& cache, const std::wstring& folder, int files, bool plain,
                 double* cpuMs)
{
    const std::wstring parent = folder.substr(0, folder.find_last_of(L'\\'));
    // Wine names on the Unix side only a path whose last step alone is missing.
    if ((cache.inCache && !CreateDirectoryW(parent.c_str(), nullptr)) || !Fill(folder, files))
        return -1.0;
    double cpuBefore = CpuMs();
    double started = NowMs();
    if (plain) {
        PlainLoop(folder);
    } else {
        CleanupState state = {};
        ClearBrowserCaches(state);
    }
    double elapsed = NowMs() - started;
    double cpuAfter = CpuMs();
    *cpuMs = cpuBefore < 0 || cpuAfter < 0 ? -1.0 : cpuAfter - cpuBefore;
    bool emptied = (!plain && IsFolder(folder) && RemoveDirectoryW(folder.c_str())) || !Exists(folder);
    if (!emptied)
        fprintf(stderr, "%s: %s left %s (%lu)\n", cache.name, plain ? "the plain loop" : "the clearing",
                IsFolder(folder) ? "the folder" : "something", GetLastError());
    // Cache, which the next pass makes anew, holds nothing else.
    if (cache.inCache && !RemoveDirectoryW(parent.c_str())) {
        fprintf(stderr, "%s: Cache stays (%lu)\n", cache.name, GetLastError());
        emptied = false;
    }
    return emptied ? elapsed : -1.0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3)
        return 2;
    int repeats = _wtoi(argv[1]);
    std::vector<int> sizes;
    for (int i = 2; i < argc; ++i)
        sizes.push_back(_wtoi(argv[i]));
    // The clearing finds the browsers through the user at the desk, whose
    // shell the desktop window starts.
    GetDesktopWindow();
    wchar_t local[kPathUnits];
    GetInteractiveUserLocalAppData(local);
    if (local[0] == L'\0') {
        fprintf(stderr, "no interactive user\n");
        return 3;
    }
    std::wstring folders[kFolderCount];
    for (int f = 0; f < kFolderCount; ++f)
        folders[f] = std::wstring(local) + kFolders[f].below;
    // What else a profile holds, which no pass may reach.
    const std::wstring history = std::wstring(local) + L"\\Google\\Chrome\\User Data\\Default\\History";
    const std::wstring places =
        std::wstring(local) + L"\\Mozilla\\Firefox\\Profiles\\b3nch.default-release\\places.sqlite";
    if (!MakeFolders(folders[0]) || !MakeFolders(folders[2]) || !WriteTextFile(history, "history") ||
        !WriteTextFile(places, "places") || !RemoveDirectoryW(folders[0].c_str()) ||
        !RemoveDirectoryW(folders[2].c_str()))
        return 3;

    std::vector<Series> series(sizes.size() * kFolderCount);
    // One untimed pass of each kind first, so that no size pays for a cold start.
    for (int f = 0; f < kFolderCount; ++f) {
        double cpu = 0;
        if (TimedPass(kFolders[f], folders[f], 100, false, &cpu) < 0 || TimedPass(kFolders[f], folders[f], 100, true, &cpu) < 0) {
            fprintf(stderr, "warm-up pass left files behind in %s\n", kFolders[f].name);
            return 4;
        }
    }
    for (int r = 0; r < repeats; ++r) {
        for (size_t s = 0; s < sizes.size(); ++s) {
            for (int k = 0; k < kFolderCount; ++k) {
                int f = (k + r) % kFolderCount;
                Series& row = series[s * kFolderCount + f];
                bool plainFirst = (r + k) % 2 == 0;
                double firstCpu = 0, secondCpu = 0;
                double first = TimedPass(kFolders[f], folders[f], sizes[s], plainFirst, &firstCpu);
                double second = TimedPass(kFolders[f], folders[f], sizes[s], !plainFirst, &secondCpu);
                if (first < 0 || second < 0) {
                    fprintf(stderr, "a %s pass of %d files left files behind\n", kFolders[f].name,
                            sizes[s]);
                    return 5;
                }
                PassPair pair = row.Add(plainFirst, first, firstCpu, second, secondCpu);
                printf("browser_pair %d %s %d %.3f %.3f cpu %.3f %.3f\n", sizes[s], kFolders[f].name,
                       r, pair.own, pair.plain, pair.ownCpu, pair.plainCpu);
            }
        }
    }
    if (ReadWholeFile(history) != "history" || ReadWholeFile(places) != "places") {
        fprintf(stderr, "a file beside the caches was reached\n");
        return 6;
    }
    RemoveTestTree(std::wstring(local) + L"\\Google");
    RemoveTestTree(std::wstring(local) + L"\\Mozilla");

    for (size_t s = 0; s < sizes.size(); ++s) {
        for (int f = 0; f < kFolderCount; ++f)
            ReportPairedSeries("browser", sizes[s], kFolders[f].name, series[s * kFolderCount + f]);
    }
    return 0;
}
