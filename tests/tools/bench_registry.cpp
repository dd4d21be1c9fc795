// Times the subkey search under parents of several sizes against a bare
// enumeration of the same keys, in this one process, and the search when a
// few of the keys match and are deleted.
//
//   bench_registry REPEATS SIZE...
//
// Each size has its own parent, and every round measures every size, so a
// busy spell on the machine falls on all sizes alike and the cost per key
// can be compared between them.
#include <windows.h>
#include <shlwapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "system/platform_probes.h"
#include "system/registry_removal.h"
#include "tools/bench_common.h"

namespace {

const wchar_t kBenchRoot[] = L"Software\\HostSweeperBench";
// The tunnel client's search text; no filler key contains it.
const wchar_t kSearchText[] = L"Kestrix VPN Client";
const DWORD kNameUnits = 255;  // the search's own buffer size
const DWORD kMatchingKeys = 10;
const int kMatchingRepeats = 5;

struct Parent {
    DWORD size;
    std::wstring path;
    std::vector<double> search;
    std::vector<double> bare;
    std::vector<double> pairRatios;
    std::vector<double> deleting;
};

void FillerName(wchar_t* name, DWORD index)
{
    _snwprintf(name, 64, L"Bench.Component.%06lu", index);
}

// Sorts right after its filler, so the matches are spread over the parent.
void MatchingName(wchar_t* name, DWORD index)
{
    _snwprintf(name, 64, L"Bench.Component.%06lu.%ls", index, kSearchText);
}

bool CreateSubkey(HKEY parent, const wchar_t* name, bool withContent)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(parent, name, 0, nullptr, 0, FullAccessMask(), nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return false;
    bool made = true;
    if (withContent) {
        // A real vendor key has values and a subtree for the deletion to walk.
        HKEY settings = nullptr;
        const wchar_t data[] = L"C:\\Program Files\\Kestrix";
        made = RegCreateKeyExW(key, L"Settings", 0, nullptr, 0, FullAccessMask(), nullptr, &settings,
                               nullptr) == ERROR_SUCCESS &&
               RegSetValueExW(settings, L"InstallDir", 0, REG_SZ, reinterpret_cast<const BYTE*>(data),
                              sizeof(data)) == ERROR_SUCCESS;
        if (settings != nullptr)
            RegCloseKey(settings);
    }
    RegCloseKey(key);
    return made;
}

// Adds the fillers (matching == false) or the matching keys to a parent.
bool AddKeys(const Parent& parent, bool matching)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, parent.path.c_str(), 0, nullptr, 0, FullAccessMask(),
                        nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    bool made = true;
    DWORD count = matching ? kMatchingKeys : parent.size;
    for (DWORD i = 0; i < count && made; ++i) {
        wchar_t name[64];
        if (matching)
            MatchingName(name, i * (parent.size / kMatchingKeys));
        else
            FillerName(name, i);
        made = CreateSubkey(key, name, matching);
    }
    RegCloseKey(key);
    return made;
}

double TimeSearch(const Parent& parent)
{
    double start = NowMs();
    DeleteSubkeysContaining(HKEY_CURRENT_USER, parent.path.c_str(), kSearchText);
    return NowMs() - start;
}

// The least any search has to do: open, count, enumerate every index into
// the same buffer. seen is the number of names read.
double TimeBare(const Parent& parent, DWORD* seen)
{
    double start = NowMs();
    *seen = 0;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, parent.path.c_str(), 0, FullAccessMask(), &key) ==
        ERROR_SUCCESS) {
        DWORD count = 0;
        if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
            for (DWORD i = 0; i < count; ++i) {
                wchar_t name[kNameUnits];
                DWORD nameUnits = kNameUnits;
                if (RegEnumKeyExW(key, i, name, &nameUnits, nullptr, nullptr, nullptr, nullptr) ==
                    ERROR_SUCCESS)
                    ++*seen;
            }
        }
        RegCloseKey(key);
    }
    return NowMs() - start;
}

// From the last index down, so the server never shifts the rest.
void RemoveSubkeys(const wchar_t* path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, FullAccessMask(), &key) != ERROR_SUCCESS)
        return;
    DWORD count = 0;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr,
                     nullptr, nullptr, nullptr);
    for (DWORD i = count; i-- > 0;) {
        wchar_t name[kNameUnits];
        DWORD nameUnits = kNameUnits;
        if (RegEnumKeyExW(key, i, name, &nameUnits, nullptr, nullptr, nullptr, nullptr) ==
            ERROR_SUCCESS)
            SHDeleteKeyW(key, name);
    }
    RegCloseKey(key);
}

void RemoveBenchKeys()
{
    HKEY root = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kBenchRoot, 0, FullAccessMask(), &root) == ERROR_SUCCESS) {
        DWORD count = 0;
        RegQueryInfoKeyW(root, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr);
        for (DWORD i = 0; i < count; ++i) {
            wchar_t name[kNameUnits];
            DWORD nameUnits = kNameUnits;
            if (RegEnumKeyExW(root, i, name, &nameUnits, nullptr, nullptr, nullptr, nullptr) ==
                ERROR_SUCCESS)
                RemoveSubkeys((std::wstring(kBenchRoot) + L"\\" + name).c_str());
        }
        RegCloseKey(root);
    }
    SHDeleteKeyW(HKEY_CURRENT_USER, kBenchRoot);
}

int Fail(const char* what, DWORD size)
{
    fprintf(stderr, "bench_registry: %s at %lu subkeys\n", what, size);
    RemoveBenchKeys();
    return 1;
}

void ReportParent(const Parent& parent)
{
    char key[96];
    snprintf(key, sizeof(key), "registry.%lu.search_ms", parent.size);
    ReportSamples(key, parent.search);
    snprintf(key, sizeof(key), "registry.%lu.bare_ms", parent.size);
    ReportSamples(key, parent.bare);
    snprintf(key, sizeof(key), "registry.%lu.delete%lu_ms", parent.size, kMatchingKeys);
    ReportSamples(key, parent.deleting);
    double searchMs = Median(parent.search);
    double bareMs = Median(parent.bare);
    snprintf(key, sizeof(key), "registry.%lu.ratio", parent.size);
    Report(key, bareMs > 0 ? searchMs / bareMs : 0.0);
    snprintf(key, sizeof(key), "registry.%lu.paired_ratio", parent.size);
    Report(key, Median(parent.pairRatios));
    snprintf(key, sizeof(key), "registry.%lu.search_us_per_key", parent.size);
    Report(key, searchMs * 1000.0 / parent.size);
    snprintf(key, sizeof(key), "registry.%lu.bare_us_per_key", parent.size);
    Report(key, bareMs * 1000.0 / parent.size);
    snprintf(key, sizeof(key), "registry.%lu.fastest_search_us_per_key", parent.size);
    Report(key, Smallest(parent.search) * 1000.0 / parent.size);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: bench_registry REPEATS SIZE...\n");
        return 2;
    }
    int repeats = _wtoi(argv[1]);
    RemoveBenchKeys();

    std::vector<Parent> parents;
    for (int a = 2; a < argc; ++a) {
        Parent parent;
        parent.size = static_cast<DWORD>(_wtoi(argv[a]));
        parent.path = std::wstring(kBenchRoot) + L"\\Parent" + argv[a];
        if (parent.size < kMatchingKeys || !AddKeys(parent, false) ||
            SubkeyCount(HKEY_CURRENT_USER, parent.path.c_str()) != parent.size)
            return Fail("could not create the keys", parent.size);
        parents.push_back(parent);
    }

    // One untimed pass of each, so all start from the same warm state.
    DWORD seen = 0;
    for (Parent& parent : parents) {
        TimeSearch(parent);
        TimeBare(parent, &seen);
    }
    for (int r = 0; r < repeats; ++r) {
        for (Parent& parent : parents) {
            // Alternating the order cancels any drift between the two.
            if (r % 2 == 0)
                parent.search.push_back(TimeSearch(parent));
            parent.bare.push_back(TimeBare(parent, &seen));
            if (r % 2 == 1)
                parent.search.push_back(TimeSearch(parent));
            if (seen != parent.size)
                return Fail("the bare loop did not read every name", parent.size);
            parent.pairRatios.push_back(parent.search.back() / parent.bare.back());
            // Kept in the raw output, to see when a neighbour got in the way.
            printf("pair %lu %d %.3f %.3f\n", parent.size, r, parent.search.back(),
                   parent.bare.back());
        }
    }
    for (Parent& parent : parents) {
        if (SubkeyCount(HKEY_CURRENT_USER, parent.path.c_str()) != parent.size)
            return Fail("the search deleted a key it should have kept", parent.size);
    }

    for (int r = 0; r < kMatchingRepeats; ++r) {
        for (Parent& parent : parents) {
            if (!AddKeys(parent, true) ||
                SubkeyCount(HKEY_CURRENT_USER, parent.path.c_str()) != parent.size + kMatchingKeys)
                return Fail("could not create the matching keys", parent.size);
            parent.deleting.push_back(TimeSearch(parent));
            if (SubkeyCount(HKEY_CURRENT_USER, parent.path.c_str()) != parent.size)
                return Fail("the search left a matching key", parent.size);
        }
    }

    for (const Parent& parent : parents)
        ReportParent(parent);
    RemoveBenchKeys();
    if (SubkeyCount(HKEY_CURRENT_USER, kBenchRoot) != 0)
        return Fail("the bench keys were not removed", 0);
    return 0;
}
