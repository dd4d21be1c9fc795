// Times the subkey search against a bare enumeration of the same keys, in
// this one process.
//
//   bench_registry REPEATS SIZE...
//       the search under parents of several sizes, and the search when a
//       few of the keys match and are deleted. Each size has its own parent,
//       and every round measures every size, so a busy spell on the machine
//       falls on all sizes alike and the cost per key can be compared.
//   bench_registry classes REPEATS ROOT USERCLASSES CLSID CLSID32 USERCLSID
//       the class registration phase against one bare enumeration of each
//       parent it searches: on the prefix as it is, then with those parents
//       filled up to the given numbers of subkeys, as on a PC in use, and
//       the vendor's keys seeded among them before every pass.
#include <windows.h>
#include <shlwapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "removal/class_registrations.h"
#include "support/test_support.h"
#include "system/cleanup_state.h"
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
double TimeBare(HKEY root, const wchar_t* path, DWORD* seen)
{
    double start = NowMs();
    *seen = 0;
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path, 0, FullAccessMask(), &key) == ERROR_SUCCESS) {
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

double TimeBare(const Parent& parent, DWORD* seen)
{
    return TimeBare(HKEY_CURRENT_USER, parent.path.c_str(), seen);
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
    const Figures figures("registry." + std::to_string(parent.size));
    figures.Samples("search_ms", parent.search);
    figures.Samples("bare_ms", parent.bare);
    figures.Samples("delete" + std::to_string(kMatchingKeys) + "_ms", parent.deleting);
    double searchMs = Median(parent.search);
    double bareMs = Median(parent.bare);
    figures.Value("ratio", bareMs > 0 ? searchMs / bareMs : 0.0);
    figures.Value("paired_ratio", Median(parent.pairRatios));
    figures.Value("search_us_per_key", searchMs * 1000.0 / parent.size);
    figures.Value("bare_us_per_key", bareMs * 1000.0 / parent.size);
    figures.Value("fastest_search_us_per_key", Smallest(parent.search) * 1000.0 / parent.size);
}

int BenchSearch(int argc, wchar_t** argv)
{
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

// --- the class registration phase at real size ------------------------------

// A parent the phase searches, in the phase's order.
struct ClassParent {
    const char* label;
    HKEY root;
    const wchar_t* path;  // null: the root itself
    bool classIdNames;    // its fillers are class ids, else ProgIDs
    DWORD texts;          // how many texts the phase looks for in it
    DWORD target;         // subkeys at real size
    DWORD added;          // fillers this bench made
    bool made;            // the bench made the parent itself
    DWORD names;          // names the last bare pass read
};

// A vendor key: top is the parent's subkey, below a subtree under it.
struct VendorKey {
    HKEY root;
    std::wstring top;
    std::wstring below;
};

struct ClassStage {
    const char* name;
    std::vector<double> phase;
    std::vector<double> bare;
    std::vector<double> pairRatios;
    DWORD names[5];
};

// The first letter cycles through the alphabet, so the vendor's ProgIDs
// fall among the fillers.
void ProgIdFillerName(wchar_t* name, DWORD index)
{
    _snwprintf(name, 64, L"%lcBench.Class%06lu", static_cast<wchar_t>(L'A' + index % 26), index);
}

// Spread over the whole range like real class ids (an odd multiplier gives
// each index its own first group); the "-0000-" group is in none of the
// vendor's identifiers, so no filler is ever matched.
void ClassIdFillerName(wchar_t* name, DWORD index)
{
    DWORD spread = index * 2654435761u;
    _snwprintf(name, 64, L"{%08lX-4B3C-0000-8000-%012lu}", spread, index);
}

void FillerName(const ClassParent& parent, wchar_t* name, DWORD index)
{
    if (parent.classIdNames)
        ClassIdFillerName(name, index);
    else
        ProgIdFillerName(name, index);
}

// Opened as the phase opens it; created first when it is below the root.
HKEY OpenClassParent(const ClassParent& parent)
{
    HKEY key = nullptr;
    if (parent.path == nullptr)
        RegOpenKeyExW(parent.root, nullptr, 0, FullAccessMask(), &key);
    else
        RegCreateKeyExW(parent.root, parent.path, 0, nullptr, 0, FullAccessMask(), nullptr, &key,
                        nullptr);
    return key;
}

DWORD ClassParentCount(const ClassParent& parent)
{
    return SubkeyCount(parent.root, parent.path);
}

// Adds fillers until the parent holds its target number of subkeys.
bool FillClassParent(ClassParent* parent)
{
    parent->made = !KeyExists(parent->root, parent->path ? parent->path : L"", NativeView());
    HKEY key = OpenClassParent(*parent);
    if (key == nullptr)
        return false;
    DWORD have = ClassParentCount(*parent);
    DWORD wanted = parent->target > have ? parent->target - have : 0;
    bool made = true;
    for (DWORD i = 0; i < wanted && made; ++i) {
        wchar_t name[64];
        FillerName(*parent, name, i);
        HKEY child = nullptr;
        made = RegCreateKeyExW(key, name, 0, nullptr, 0, FullAccessMask(), nullptr, &child,
                               nullptr) == ERROR_SUCCESS;
        if (made) {
            RegCloseKey(child);
            parent->added = i + 1;
        }
    }
    RegCloseKey(key);
    return made;
}

void EmptyClassParent(ClassParent* parent)
{
    HKEY key = OpenClassParent(*parent);
    if (key == nullptr)
        return;
    for (DWORD i = parent->added; i-- > 0;) {
        wchar_t name[64];
        FillerName(*parent, name, i);
        DeleteKeyTree(key, name, ViewOf(FullAccessMask()));
    }
    parent->added = 0;
    RegCloseKey(key);
    if (parent->made)
        DeleteKeyForTest(parent->root, parent->path, NativeView());
    parent->made = false;
}

// sizes: the real-size subkey counts, in the phase's order.
std::vector<ClassParent> ClassParents(wchar_t** sizes)
{
    std::vector<ClassParent> parents = {
        {"root", HKEY_CLASSES_ROOT, nullptr, false, 1, 0, 0, false, 0},
        {"user_classes", HKEY_CURRENT_USER, L"Software\\Classes", false, 2, 0, 0, false, 0},
        {"clsid", HKEY_CLASSES_ROOT, L"CLSID", true, 6, 0, 0, false, 0},
        {"clsid32", HKEY_CLASSES_ROOT, L"Wow6432Node\\CLSID", true, 6, 0, 0, false, 0},
        {"user_clsid", HKEY_CURRENT_USER, L"Software\\Classes\\CLSID", true, 6, 0, 0, false, 0},
    };
    for (size_t p = 0; p < parents.size(); ++p)
        parents[p].target = static_cast<DWORD>(_wtoi(sizes[p]));
    // Only 64-bit Windows keeps the 32-bit registrations apart.
    if (!IsNative64Bit())
        parents.erase(parents.begin() + 3);
    return parents;
}

// What the phase finds of the vendor's: ProgIDs machine-wide and per
// user, and each class id in every CLSID it searches.
std::vector<VendorKey> VendorClassKeys(const std::vector<ClassParent>& parents)
{
    std::vector<VendorKey> keys = {
        {HKEY_CLASSES_ROOT, L"Kestrix.Widget", L"\\CLSID"},
        {HKEY_CLASSES_ROOT, L"Kestrix.Widget.1", L"\\CLSID"},
        {HKEY_CURRENT_USER, L"Software\\Classes\\Kestrix.Tool", L"\\CLSID"},
        {HKEY_CURRENT_USER, L"Software\\Classes\\Vendor.xpvVersion.2", L"\\CurVer"},
    };
    for (const ClassParent& parent : parents) {
        if (!parent.classIdNames)
            continue;
        for (const wchar_t* id : kVendorClassIds)
            keys.push_back({parent.root, std::wstring(parent.path) + L"\\" + id, L"\\InprocServer32"});
    }
    return keys;
}

// The ActiveX ProgIDs, which every pass must leave.
std::vector<VendorKey> ProtectedClassKeys()
{
    return {{HKEY_CLASSES_ROOT, L"Kestrix.QvWinActiveX", L"\\CurVer"},
            {HKEY_CLASSES_ROOT, L"Kestrix.QvWinActiveX.1", L"\\CLSID"}};
}

bool SeedKeys(const std::vector<VendorKey>& keys)
{
    for (const VendorKey& key : keys) {
        if (!SetStringValue(key.root, key.top + key.below, L"", L"C:\\Program Files\\Kestrix\\x.dll",
                            NativeView()))
            return false;
    }
    return true;
}

bool AllThere(const std::vector<VendorKey>& keys, bool there)
{
    for (const VendorKey& key : keys) {
        if (KeyExists(key.root, key.top, NativeView()) != there)
            return false;
    }
    return true;
}

void RemoveKeys(const std::vector<VendorKey>& keys)
{
    for (const VendorKey& key : keys)
        DeleteKeyForTest(key.root, key.top, NativeView());
}

double TimeClassPhase()
{
    // Both flags clear: the user-folder step after the searches is left
    // out, so what is timed is the searches alone.
    CleanupState state = {};
    double start = NowMs();
    CleanClassRegistrations(state);
    return NowMs() - start;
}

// One bare pass over each parent; names gets the number of names read.
double TimeBareParents(std::vector<ClassParent>* parents, DWORD* names)
{
    double total = 0;
    *names = 0;
    for (ClassParent& parent : *parents) {
        total += TimeBare(parent.root, parent.path, &parent.names);
        *names += parent.names;
    }
    return total;
}

// Whether the phase deleted the vendor's keys and nothing else.
bool LeftExactly(const std::vector<ClassParent>& parents, const std::vector<DWORD>& counts,
                 const std::vector<VendorKey>& vendor, const std::vector<VendorKey>& kept)
{
    if (!AllThere(vendor, false) || !AllThere(kept, true))
        return false;
    for (size_t p = 0; p < parents.size(); ++p) {
        if (ClassParentCount(parents[p]) != counts[p])
            return false;
    }
    return true;
}

// Times the phase and the bare passes over the same keys, the vendor's
// keys (if any) seeded before each.
bool MeasureClassStage(ClassStage* stage, std::vector<ClassParent>* parents, int repeats,
                       const std::vector<VendorKey>& vendor, const std::vector<VendorKey>& kept)
{
    std::vector<DWORD> counts;
    DWORD expectedNames = static_cast<DWORD>(vendor.size());
    for (const ClassParent& parent : *parents) {
        counts.push_back(ClassParentCount(parent));
        expectedNames += counts.back();
    }
    DWORD names = 0;
    // One untimed pass of each, so all start from the same warm state.
    if (!SeedKeys(vendor))
        return false;
    TimeBareParents(parents, &names);
    TimeClassPhase();
    for (int r = 0; r < repeats; ++r) {
        if (!SeedKeys(vendor))
            return false;
        // Alternating the order cancels any drift between the two.
        double bare = r % 2 == 1 ? TimeBareParents(parents, &names) : 0;
        double phase = TimeClassPhase();
        if (!LeftExactly(*parents, counts, vendor, kept)) {
            fprintf(stderr, "bench_registry: the phase did not delete exactly the vendor's keys\n");
            return false;
        }
        if (r % 2 == 0) {
            if (!SeedKeys(vendor))
                return false;
            bare = TimeBareParents(parents, &names);
        }
        if (names != expectedNames) {
            fprintf(stderr, "bench_registry: the bare passes read %lu names, not %lu\n", names,
                    expectedNames);
            return false;
        }
        stage->phase.push_back(phase);
        stage->bare.push_back(bare);
        stage->pairRatios.push_back(phase / bare);
        // Kept in the raw output, to see when a neighbour got in the way.
        printf("classes_pair %s %d %.3f %.3f\n", stage->name, r, phase, bare);
    }
    for (size_t p = 0; p < parents->size(); ++p)
        stage->names[p] = (*parents)[p].names;
    TimeClassPhase();
    return LeftExactly(*parents, counts, vendor, kept);
}

void ReportClassStage(const ClassStage& stage, const std::vector<ClassParent>& parents)
{
    const Figures figures(std::string("classes.") + stage.name);
    figures.Samples("phase_ms", stage.phase);
    figures.Samples("bare_ms", stage.bare);
    double phaseMs = Median(stage.phase);
    double bareMs = Median(stage.bare);
    figures.Value("ratio", bareMs > 0 ? phaseMs / bareMs : 0.0);
    figures.Value("paired_ratio", Median(stage.pairRatios));
    figures.Value("fastest_ratio", Smallest(stage.phase) / Smallest(stage.bare));

    // Names per parent, and those the phase would read with a pass of its
    // own for each text it looks for.
    double names = 0;
    double ownPasses = 0;
    for (size_t p = 0; p < parents.size(); ++p) {
        figures.Value(std::string("names.") + parents[p].label, stage.names[p]);
        names += stage.names[p];
        ownPasses += static_cast<double>(parents[p].texts) * stage.names[p];
    }
    figures.Value("names", names);
    figures.Value("names_one_pass_per_text", ownPasses);
    figures.Value("phase_us_per_name", phaseMs * 1000.0 / names);
    figures.Value("bare_us_per_name", bareMs * 1000.0 / names);
    figures.Value("fastest_phase_us_per_name", Smallest(stage.phase) * 1000.0 / names);
}

void RemoveClassBenchKeys(std::vector<ClassParent>* parents, const std::vector<VendorKey>& vendor,
                          const std::vector<VendorKey>& kept)
{
    RemoveKeys(vendor);
    RemoveKeys(kept);
    // The last first: a parent the bench made may lie below another.
    for (size_t p = parents->size(); p-- > 0;)
        EmptyClassParent(&(*parents)[p]);
}

// args: REPEATS and the five real-size counts.
int BenchClassPhase(wchar_t** args)
{
    int repeats = _wtoi(args[0]);
    std::vector<ClassParent> parents = ClassParents(args + 1);
    std::vector<VendorKey> vendor = VendorClassKeys(parents);
    std::vector<VendorKey> kept = ProtectedClassKeys();
    std::vector<DWORD> before;
    for (const ClassParent& parent : parents)
        before.push_back(ClassParentCount(parent));

    // The prefix as it is: nothing of the vendor's.
    ClassStage clean = {"clean", {}, {}, {}, {}};
    bool measured = MeasureClassStage(&clean, &parents, repeats, {}, {});

    ClassStage real = {"real", {}, {}, {}, {}};
    for (ClassParent& parent : parents)
        measured = measured && FillClassParent(&parent);
    measured = measured && SeedKeys(kept) &&
               MeasureClassStage(&real, &parents, repeats, vendor, kept);
    for (const ClassParent& parent : parents) {
        if (measured && ClassParentCount(parent) < parent.target) {
            fprintf(stderr, "bench_registry: %s holds fewer keys than asked\n", parent.label);
            measured = false;
        }
    }

    RemoveClassBenchKeys(&parents, vendor, kept);
    for (size_t p = 0; p < parents.size(); ++p) {
        if (ClassParentCount(parents[p]) != before[p]) {
            fprintf(stderr, "bench_registry: %s was not left as it was\n", parents[p].label);
            measured = false;
        }
    }
    if (!measured) {
        fprintf(stderr, "bench_registry: the class registration phase was not measured\n");
        return 1;
    }
    ReportClassStage(clean, parents);
    ReportClassStage(real, parents);
    Report("classes.real.vendor_keys", static_cast<double>(vendor.size()));
    Report("classes.real.kept_keys", static_cast<double>(kept.size()));
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc >= 8 && wcscmp(argv[1], L"classes") == 0)
        return BenchClassPhase(argv + 2);
    if (argc < 3 || wcscmp(argv[1], L"classes") == 0) {
        fprintf(stderr, "usage: bench_registry REPEATS SIZE...\n"
                        "       bench_registry classes REPEATS ROOT USERCLASSES CLSID CLSID32 USERCLSID\n");
        return 2;
    }
    return BenchSearch(argc, argv);
}
