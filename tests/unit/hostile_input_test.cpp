// Broken and hostile machine states, each run through the phase that meets
// it: the phase must end normally, report what the state calls for, and
// delete nothing but the vendor's own items.
#include <gtest/gtest.h>

#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "app/cleanup_dialog.h"
#include "removal/class_registrations.h"
#include "removal/endpoint_agent.h"
#include "run/cleanup_run.h"
#include "support/packages.h"
#include "support/test_support.h"
#include "system/bounded_string.h"
#include "system/cleanup_state.h"
#include "system/file_removal.h"
#include "system/handles.h"
#include "system/held_folder.h"
#include "system/platform_probes.h"
#include "system/responsiveness.h"

namespace {

struct ListCase {
    const char* what;
    DWORD type;
    std::vector<BYTE> data;
    int expected;  // RemoveEndpointManager's result
};

std::vector<BYTE> Bytes(const std::wstring& text, bool terminated = true)
{
    const BYTE* raw = reinterpret_cast<const BYTE*>(text.c_str());
    size_t size = (text.size() + (terminated ? 1 : 0)) * sizeof(wchar_t);
    return std::vector<BYTE>(raw, raw + size);
}

bool SetListValue(const wchar_t* name, DWORD type, const std::vector<BYTE>& data)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kListKey, 0, nullptr, 0, KEY_ALL_ACCESS | NativeView(),
                        nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    LONG status = RegSetValueExW(key, name, 0, type, data.empty() ? nullptr : data.data(),
                                 static_cast<DWORD>(data.size()));
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

// Points this process's temporary folder elsewhere while it lives.
class TemporaryFolderOverride {
public:
    explicit TemporaryFolderOverride(const std::wstring& folder)
        : tmp_(EnvironmentValue(L"TMP")), temp_(EnvironmentValue(L"TEMP"))
    {
        Set(folder, folder);
    }
    ~TemporaryFolderOverride() { Set(tmp_, temp_); }

private:
    static void Set(const std::wstring& tmp, const std::wstring& temp)
    {
        SetEnvironmentVariableW(L"TMP", tmp.empty() ? nullptr : tmp.c_str());
        SetEnvironmentVariableW(L"TEMP", temp.empty() ? nullptr : temp.c_str());
    }
    std::wstring tmp_, temp_;
};

// The arguments, then each path quoted.
std::wstring Quoted(std::wstring arguments, const std::vector<std::wstring>& paths)
{
    for (const std::wstring& path : paths)
        arguments += L" \"" + path + L"\"";
    return arguments;
}

// A second Windows process that, each time Try is called, tries to rename
// every source folder to its destination (and straight back when it
// worked), as a user racing an administrator's deletion would.
class RenameProbe {
public:
    explicit RenameProbe(const std::vector<std::wstring>& sourcesAndDestinations)
    {
        std::wstring tag = L"hs-rename-probe-" + std::to_wstring(GetCurrentProcessId());
        *ask_.Receive() = CreateEventW(nullptr, FALSE, FALSE, (tag + L"-ask").c_str());
        *done_.Receive() = CreateEventW(nullptr, FALSE, FALSE, (tag + L"-done").c_str());
        *stop_.Receive() = CreateEventW(nullptr, TRUE, FALSE, (tag + L"-stop").c_str());
        *mapping_.Receive() = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                                 4096, (tag + L"-results").c_str());
        if (mapping_.IsValid())
            results_ = static_cast<DWORD*>(MapViewOfFile(mapping_.Get(), FILE_MAP_READ, 0, 0, 0));
        std::wstring program = UnixToWindowsPath(Narrow(EnvironmentValue(L"HS_BUILD_DIR"))) +
                               L"\\tests\\pc\\rename_probe.exe";
        std::wstring line = Quoted(L"rename_probe " + tag, sourcesAndDestinations);
        moves_ = sourcesAndDestinations.size() / 2;
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION started = {};
        if (results_ != nullptr && CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, FALSE, 0,
                                                  nullptr, nullptr, &startup, &started)) {
            *process_.Receive() = started.hProcess;
            CloseHandle(started.hThread);
        }
    }
    ~RenameProbe()
    {
        SetEvent(stop_.Get());
        WaitForSingleObject(process_.Get(), EventWaitMs());
        if (results_ != nullptr)
            UnmapViewOfFile(results_);
    }
    bool Started() const { return process_.IsValid(); }

    // The outcome of each move: 0 when the rename worked, else its error.
    std::vector<DWORD> Try()
    {
        SetEvent(ask_.Get());
        HANDLE waits[] = {done_.Get(), process_.Get()};
        if (WaitForMultipleObjects(2, waits, FALSE, EventWaitMs()) != WAIT_OBJECT_0)
            return std::vector<DWORD>(moves_, ERROR_TIMEOUT);
        return std::vector<DWORD>(results_, results_ + moves_);
    }

private:
    UniqueHandle ask_, done_, stop_, mapping_, process_;
    DWORD* results_ = nullptr;
    size_t moves_ = 0;
};

std::wstring DecoyName(int i)
{
    wchar_t name[64];
    swprintf(name, 64, L"HsDecoy.Class%05d", i);
    return name;
}

std::wstring Parent(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\')); }

// The names of the key's direct subkeys.
std::set<std::wstring> SubkeyNames(HKEY key)
{
    std::set<std::wstring> names;
    wchar_t name[256];
    DWORD units = 256;
    for (DWORD i = 0; RegEnumKeyExW(key, i, name, &units, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
         ++i, units = 256)
        names.insert(name);
    return names;
}

// Names one set has and the other lacks, a few of each.
void ExpectSameNames(const std::set<std::wstring>& expected, const std::set<std::wstring>& actual)
{
    std::vector<std::wstring> missing, extra;
    std::set_difference(expected.begin(), expected.end(), actual.begin(), actual.end(),
                        std::back_inserter(missing));
    std::set_difference(actual.begin(), actual.end(), expected.begin(), expected.end(),
                        std::back_inserter(extra));
    EXPECT_TRUE(missing.empty()) << missing.size() << " gone, first " << Narrow(missing[0]);
    EXPECT_TRUE(extra.empty()) << extra.size() << " new, first " << Narrow(extra[0]);
}

bool AnyGone(const std::vector<std::wstring>& paths)
{
    return std::any_of(paths.begin(), paths.end(), [](const std::wstring& path) { return !Exists(path); });
}

bool AllGone(const std::vector<std::wstring>& paths)
{
    return std::none_of(paths.begin(), paths.end(), [](const std::wstring& path) { return Exists(path); });
}

// What the hold test sees at each step a deletion gives the window.
struct HoldWatch {
    RenameProbe* probe;
    std::wstring vendor, sub;
    std::vector<std::wstring> vendorEntries, subEntries;
    bool everyStep;
    int steps = 0, vendorRenamed = 0, subSteps = 0, subRenamed = 0, emptySteps = 0;
};
HoldWatch* gWatch = nullptr;

void WatchHold()
{
    HoldWatch& watch = *gWatch;
    std::vector<DWORD> outcome = watch.probe->Try();
    ++watch.steps;
    if (outcome[0] == 0)
        ++watch.vendorRenamed;
    // The subfolder is held from before its first entry goes until it goes.
    if (Exists(watch.sub) && AnyGone(watch.subEntries)) {
        ++watch.subSteps;
        if (outcome[1] == 0)
            ++watch.subRenamed;
    }
    // Emptied but not yet removed: still held.
    if (watch.everyStep && IsFolder(watch.vendor) && AllGone(watch.vendorEntries))
        ++watch.emptySteps;
}

enum class Primitive { kTree, kEmptyFolder };

struct HoldCase {
    const char* what;
    Primitive primitive;
    int padding;      // files directly in the vendor folder
    bool subfolders;  // a subfolder with files and a folder of its own
    bool everyStep;   // the probe tries at every step, not only every 50 ms
};

// A second Windows process that holds file open, as a scanner does, delete
// shared or not, until it lets go. Given only files, it holds each, delete
// shared (tests/pc/hold_probe.cpp).
class HoldProbe : public ProbeProcess {
public:
    HoldProbe(const std::wstring& file, bool sharesDelete)
        : ProbeProcess(L"hold_probe", (sharesDelete ? L"delete \"" : L"keep \"") + file + L"\"")
    {
    }
    explicit HoldProbe(const std::vector<std::wstring>& files)
        : ProbeProcess(L"hold_probe", Quoted(L"delete-each", files))
    {
    }
    bool Holding() const { return Ready(); }
};

// The window's turns while only the held file is left. A deletion that
// waits for a file that is going has some; one that gives up at once on a
// file that is staying makes fewer than kManyTurns after the others are
// gone, however slow the machine: it has no more calls that give a turn.
// A probe that shares deletion lets its file go at the letGoAt-th turn
// while the deletion holds the file's folder: wherever that falls, between
// a listing of the name and what is done with it, as a scanner may.
struct HeldWatch {
    std::wstring held, folder;
    std::vector<std::wstring> others;
    HoldProbe* letGoAtTurn;
    int letGoAt;
    int heldTurns = 0;
    int turns = 0;
};
HeldWatch* gHeld = nullptr;
const int kManyTurns = 5;

void CountTurnWhileHeld()
{
    HeldWatch& watch = *gHeld;
    if (watch.letGoAtTurn != nullptr) {
        if (IsHeldForRemoval(watch.folder) && ++watch.heldTurns == watch.letGoAt) {
            watch.letGoAtTurn->LetGo();
            watch.letGoAtTurn = nullptr;
        }
    }
    if (AllGone(watch.others) && Exists(watch.held))
        ++watch.turns;
}

}  // namespace

TEST(HostileInput, NoRenameWhileAFolderIsBeingEmptied)
{
    const HoldCase cases[] = {
        {"a tree of two thousand files", Primitive::kTree, 2000, true, false},
        {"every step of a tree", Primitive::kTree, 3, true, true},
        {"every step of emptying a folder", Primitive::kEmptyFolder, 3, false, true},
    };
    std::wstring base = MakeScratchFolder(L"hold");
    for (const HoldCase& test : cases) {
        SCOPED_TRACE(test.what);
        HoldWatch watch;
        watch.vendor = base + L"\\vendor";
        watch.sub = watch.vendor + L"\\sub";
        watch.everyStep = test.everyStep;
        ASSERT_TRUE(MakeFolders(watch.vendor));
        for (int i = 0; i < test.padding; ++i) {
            std::wstring pad = watch.vendor + L"\\pad" + std::to_wstring(i) + L".txt";
            ASSERT_TRUE(WriteTextFile(pad, "padding"));
            if (test.everyStep)
                watch.vendorEntries.push_back(pad);
        }
        if (test.subfolders) {
            ASSERT_TRUE(MakeFolders(watch.sub + L"\\deeper"));
            ASSERT_TRUE(WriteTextFile(watch.sub + L"\\deeper\\c.txt", "c"));
            watch.subEntries = {watch.sub + L"\\a.txt", watch.sub + L"\\b.txt", watch.sub + L"\\deeper"};
            for (const std::wstring& file : {watch.subEntries[0], watch.subEntries[1]})
                ASSERT_TRUE(WriteTextFile(file, "sub"));
            watch.vendorEntries.push_back(watch.sub);
        }
        RenameProbe probe({watch.vendor, base + L"\\vendor.moved", watch.sub, base + L"\\sub.moved"});
        ASSERT_TRUE(probe.Started());
        watch.probe = &probe;
        gWatch = &watch;

        SetResponsivenessHook(WatchHold, test.everyStep ? 0 : kTurnIntervalMs);
        int result = 0;
        if (test.primitive == Primitive::kTree)
            result = DeleteTreeViaShell(watch.vendor.c_str());
        else
            EmptyAndRemoveFolder(watch.vendor.c_str());
        SetResponsivenessHook(nullptr);
        gWatch = nullptr;

        EXPECT_EQ(0, watch.vendorRenamed);
        EXPECT_EQ(0, watch.subRenamed);
        EXPECT_FALSE(Exists(base + L"\\vendor.moved"));
        EXPECT_FALSE(Exists(base + L"\\sub.moved"));
        // The first step always gives the window its turn.
        EXPECT_GE(watch.steps, test.everyStep ? test.padding : 1);
        // Emptying a folder has no result: the folder's absence is the answer.
        if (test.primitive == Primitive::kTree) {
            EXPECT_EQ(kShellDeleted, result);
        }
        EXPECT_FALSE(Exists(watch.vendor));
        if (test.everyStep) {
            EXPECT_GE(watch.emptySteps, 1) << "no step between the last entry and the folder";
        }
        if (test.subfolders && test.everyStep) {
            EXPECT_GE(watch.subSteps, 1) << "no step inside the subfolder";
        }
        RemoveTestTree(watch.vendor);
    }
    RemoveTestTree(base);
}

TEST(HostileInput, UninstallListOfEveryValueType)
{
    // The product is installed, so a value that were wrongly read as its
    // code would remove it; the last row shows that a proper one does.
    const ListCase cases[] = {
        {"expandable string", REG_EXPAND_SZ, Bytes(kSuiteAgent.productCode), 0},
        {"multi-string", REG_MULTI_SZ, Bytes(std::wstring(kSuiteAgent.productCode) + L'\0'), 0},
        {"binary", REG_BINARY, {1, 2, 3, 4}, 0},
        {"no type, no data", REG_NONE, {}, 0},
        {"64-bit number", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0}, 0},
        {"empty string", REG_SZ, Bytes(L""), 0},
        {"string without terminator", REG_SZ, Bytes(L"{not-a-product}", false), kNotInstalled},
        {"text that is no product code", REG_SZ, Bytes(L"rm -rf C:\\"), kNotInstalled},
        {"odd byte count", REG_SZ, {0x41, 0x00, 0x42}, kNotInstalled},
        {"the product's code as a string", REG_SZ, Bytes(kSuiteAgent.productCode), 0},
    };
    ProductCleanup cleanup{&kSuiteAgent};
    ASSERT_EQ(0u, Install(kSuiteAgent));
    CleanupState state{};
    for (const ListCase& test : cases) {
        SCOPED_TRACE(test.what);
        const bool proper = test.type == REG_SZ && test.data == Bytes(kSuiteAgent.productCode);
        DeleteUninstallLists();
        ASSERT_TRUE(SetListValue(L"Suite Part", test.type, test.data));
        InstallerRecorder recorder;
        EXPECT_EQ(test.expected, RemoveEndpointManager(state));
        EXPECT_EQ(proper ? 1u : 0u, recorder.removals.size());
        EXPECT_EQ(!proper, IsInstalled(kSuiteAgent));
    }
    DeleteUninstallLists();
}

TEST(HostileInput, TemporaryFolderPathsAtTheLimit)
{
    std::wstring base = MakeScratchFolder(L"long-temp");
    // The leftover's path, as the folder GetTempPathW gives it (with its
    // backslash), another backslash and the name, may pass 259 units: the
    // leftover is deleted from the held folder all the same, and nothing
    // at a path cut to fit.
    const wchar_t msiName[] = L"xpv.msi";
    for (size_t joined : {259u, 260u, 261u}) {
        SCOPED_TRACE(joined);
        size_t folderUnits = joined - 1 - wcslen(msiName) - 1;  // less both backslashes
        std::wstring folder = FolderPathOfLength(base, folderUnits, 50);
        ASSERT_EQ(folderUnits, folder.size());
        ASSERT_TRUE(MakeFolders(folder));
        std::wstring leftover = folder + L"\\\\" + msiName;
        ASSERT_EQ(joined, leftover.size());
        ASSERT_TRUE(WriteTextFile(folder + L"\\" + msiName, "leftover"));
        // What a path cut to 259 units would name instead.
        std::wstring cut = leftover.substr(0, 259);
        bool cutIsOther = cut != leftover && cut.back() != L'\\';
        if (cutIsOther) {
            ASSERT_TRUE(WriteTextFile(cut, "someone else's"));
        }

        {
            TemporaryFolderOverride override(folder);
            ASSERT_EQ(folder + L"\\", TempPath(L""));
            CleanupState state{};
            EXPECT_EQ(kNotInstalled, RemoveEndpointManager(state));
        }
        EXPECT_FALSE(Exists(folder + L"\\" + msiName));
        if (cutIsOther) {
            EXPECT_EQ("someone else's", ReadWholeFile(cut));
        }
    }
    RemoveTestTree(base);
}

// A temporary folder that is a link, or that is missing: the leftovers'
// names where a link leads are not the installer's leftovers, and stay,
// and no folder is made.
TEST(HostileInput, TemporaryFolderThatIsALinkOrMissing)
{
    std::wstring base = MakeScratchFolder(L"odd-temp");
    ASSERT_TRUE(MakeFolders(base + L"\\elsewhere"));
    ASSERT_TRUE(WriteTextFile(base + L"\\elsewhere\\xpv.msi", "someone else's"));
    ASSERT_TRUE(MakeDirectoryLink(base + L"\\linked", base + L"\\elsewhere"));
    for (const wchar_t* temp : {L"\\linked", L"\\gone"}) {
        SCOPED_TRACE(Narrow(temp));
        TemporaryFolderOverride override(base + temp);
        CleanupState state{};
        EXPECT_EQ(kNotInstalled, RemoveEndpointManager(state));
    }
    EXPECT_EQ("someone else's", ReadWholeFile(base + L"\\elsewhere\\xpv.msi"));
    EXPECT_FALSE(Exists(base + L"\\gone"));
    RemoveLink(base + L"\\linked");
    RemoveTestTree(base);
}

TEST(HostileInput, ClassesRootWithTwentyThousandExtraKeys)
{
    const int kExtra = 20000;
    HKEY classes = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CLASSES_ROOT, nullptr, 0, KEY_ALL_ACCESS | NativeView(),
                                           &classes));
    // Wine's own class keys, and the decoys and the ActiveX control: all stay.
    std::set<std::wstring> kept = SubkeyNames(classes);
    ASSERT_GT(kept.size(), 100u);
    kept.insert(L"Kestrix.QvWinActiveX");
    for (int i = 0; i < kExtra; ++i) {
        kept.insert(DecoyName(i));
        ASSERT_TRUE(CreateKey(classes, DecoyName(i), NativeView()));
    }
    ASSERT_TRUE(CreateKey(HKEY_CLASSES_ROOT, L"Kestrix.Widget\\CurVer", NativeView()));
    ASSERT_TRUE(CreateKey(HKEY_CLASSES_ROOT, L"Kestrix.QvWinActiveX", NativeView()));

    CleanupState state{};
    CleanClassRegistrations(state);

    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"Kestrix.Widget", NativeView()));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"Kestrix.QvWinActiveX", NativeView()));
    std::set<std::wstring> left = SubkeyNames(classes);
    ExpectSameNames(kept, left);

    for (int i = 0; i < kExtra; ++i)
        RegDeleteKeyW(classes, DecoyName(i).c_str());
    DeleteKeyForTest(HKEY_CLASSES_ROOT, L"Kestrix.QvWinActiveX", NativeView());
    RegCloseKey(classes);
}

// A file that another program holds open for a moment, as a virus scanner
// or the search indexer does. Shared for deletion, the file goes when it is
// let go, and its folder with it, the window answering meanwhile; not
// shared, the deletion fails as it always did, and at once.
TEST(HostileInput, AFileHeldElsewhereForAMoment)
{
    struct HeldCase {
        const char* what;
        Primitive primitive;
        bool sharesDelete;
    };
    const HeldCase cases[] = {
        {"a tree, the file shared for deletion", Primitive::kTree, true},
        {"emptying a folder, the file shared for deletion", Primitive::kEmptyFolder, true},
        {"a tree, the file not shared for deletion", Primitive::kTree, false},
        {"emptying a folder, the file not shared for deletion", Primitive::kEmptyFolder, false},
    };
    std::wstring base = MakeScratchFolder(L"held-file");
    for (const HeldCase& test : cases) {
        // The turns a deletion of three names takes while it holds the folder,
        // and its wait's first: at each, the name may be let go.
        for (int letGoAt = test.sharesDelete ? 1 : 0; letGoAt <= (test.sharesDelete ? 6 : 0); ++letGoAt) {
            SCOPED_TRACE(test.what);
            SCOPED_TRACE(letGoAt);
            StartPendingWaitBudget();
            std::wstring vendor = base + L"\\vendor";
            // In a tree the file is a level down, so that its folder's wait
            // comes before the tree's own removal.
            std::wstring folder = test.primitive == Primitive::kTree ? vendor + L"\\sub" : vendor;
            std::wstring held = folder + L"\\held.dat";
            std::vector<std::wstring> others = {folder + L"\\a.txt", folder + L"\\b.txt"};
            ASSERT_TRUE(MakeFolders(folder));
            ASSERT_TRUE(WriteTextFile(vendor + L"\\top.txt", "top"));
            for (const std::wstring& file : others)
                ASSERT_TRUE(WriteTextFile(file, "other"));
            ASSERT_TRUE(WriteTextFile(held, "held"));
            int result = 0;
            std::string printed;
            HeldWatch watch{held, folder, others, nullptr, letGoAt};
            gHeld = &watch;
            {
                HoldProbe probe(held, test.sharesDelete);
                ASSERT_TRUE(probe.Holding());
                if (test.sharesDelete)
                    watch.letGoAtTurn = &probe;
                SetResponsivenessHook(CountTurnWhileHeld, test.sharesDelete ? 0 : kTurnIntervalMs);
                testing::internal::CaptureStdout();
                if (test.primitive == Primitive::kTree)
                    result = DeleteTreeViaShell(vendor.c_str());
                else
                    EmptyAndRemoveFolder(vendor.c_str());
                printed = testing::internal::GetCapturedStdout();
                SetResponsivenessHook(nullptr);
            }

            gHeld = nullptr;

            EXPECT_TRUE(AllGone(others));
            if (test.primitive == Primitive::kTree) {
                EXPECT_EQ(test.sharesDelete ? kShellDeleted : kShellFailed, result);
            }
            if (test.sharesDelete) {
                EXPECT_EQ(nullptr, watch.letGoAtTurn) << "the deletion never held the folder";
                EXPECT_FALSE(Exists(vendor));
                EXPECT_EQ("", printed);
            } else {
                EXPECT_LT(watch.turns, kManyTurns) << "waited for a file that was never going";
                EXPECT_TRUE(Exists(held));
                EXPECT_EQ(test.primitive == Primitive::kTree
                              ? ""
                              : "Failed to delete " + Narrow(held) + " \nError 32 \n",
                          printed);
            }
            RemoveTestTree(vendor);
        }
    }
    RemoveTestTree(base);
}

// The user at the desk points their folders, or a folder on the way to the
// vendor's and the browsers' data, at someone else's data. A whole run must
// leave that data alone, and still delete the vendor folders it does find
// in the user's real profile.
TEST(HostileInput, UserFoldersSteeredOutOfTheProfile)
{
    struct SteerCase {
        const char* what;
        std::wstring appData, localAppData;  // redirected there; "" leaves them
        std::vector<std::pair<std::wstring, std::wstring>> links;  // link, target
        bool vendorGoes;  // the vendor folders in the real AppData go
    };
    TestWindow window;
    const std::wstring appData = WaitForInteractiveAppData();
    ASSERT_FALSE(appData.empty()) << "no explorer.exe";
    const std::wstring local = ShellFolder(CSIDL_LOCAL_APPDATA);
    const std::wstring profile = ShellFolder(CSIDL_PROFILE);
    ASSERT_EQ(0u, appData.find(profile + L"\\"));
    ASSERT_EQ(0u, local.find(profile + L"\\"));
    // Someone else's data, outside the profile, laid out as AppData and
    // Local AppData are.
    const std::wstring outside = L"C:\\hs-outside";
    const std::wstring roaming = outside + L"\\Roaming", outLocal = outside + L"\\Local";
    const std::wstring firefox = L"\\Mozilla\\FireFox\\Profiles";
    const std::wstring chrome = L"\\Google\\Chrome\\User Data";
    const std::vector<std::wstring> othersData = {
        roaming + L"\\Kestrix\\keep.txt",
        roaming + L"\\Halcyra\\keep.txt",
        roaming + firefox + L"\\x.default\\cookies.sqlite",
        roaming + firefox + L"\\x.default\\startup.cache",
        outLocal + chrome + L"\\Default\\Cookies",
        outLocal + chrome + L"\\Default\\Cache\\data_1",
    };
    const std::wstring hsLink = profile + L"\\hs-link";
    const SteerCase cases[] = {
        {"AppData outside the profile", roaming, L"", {}, false},
        {"Local AppData outside the profile", L"", outLocal, {}, true},
        {"AppData below a link in the profile", hsLink + L"\\Roaming", L"", {{hsLink, outside}}, false},
        {"AppData a link in the profile", hsLink, L"", {{hsLink, roaming}}, false},
        {"Local AppData below a link in the profile", L"", hsLink + L"\\Local", {{hsLink, outside}}, true},
        {"AppData climbing out of the profile", profile + L"\\..\\..\\hs-outside\\Roaming", L"", {},
         false},
        {"the vendor folders links", L"", L"",
         {{appData + L"\\Kestrix", roaming + L"\\Kestrix"}, {appData + L"\\Halcyra", roaming + L"\\Halcyra"}}, false},
        {"Mozilla a link", L"", L"", {{appData + L"\\Mozilla", roaming + L"\\Mozilla"}}, true},
        {"Firefox's profiles a link", L"", L"", {{appData + firefox, roaming + firefox}}, true},
        {"Google a link", L"", L"", {{local + L"\\Google", outLocal + L"\\Google"}}, true},
        {"Chrome's User Data a link", L"", L"", {{local + chrome, outLocal + chrome}}, true},
    };
    // The machine's data folder, where the shell has it and where Windows
    // XP keeps it.
    const std::wstring machineHld = ShellFolder(CSIDL_COMMON_APPDATA) + L"\\Halcyra";
    const std::wstring xpSettings = L"C:\\Documents and Settings";
    const std::wstring xpHld = xpSettings + L"\\All Users\\Application Data\\Halcyra";
    const bool madeXpSettings = IsWindowsXP() && !Exists(xpSettings);
    const std::vector<std::wstring> vendorData = {appData + L"\\Kestrix\\profile.xml",
                                                  appData + L"\\Halcyra\\state.dat"};
    for (const SteerCase& test : cases) {
        SCOPED_TRACE(test.what);
        for (const std::wstring& file : othersData)
            ASSERT_TRUE(MakeFolders(Parent(file)) && WriteTextFile(file, "someone else's")) << Narrow(file);
        for (const auto& link : test.links)
            ASSERT_TRUE(MakeFolders(Parent(link.first)) && MakeDirectoryLink(link.first, link.second))
                << Narrow(link.first);
        for (const std::wstring& file : test.vendorGoes ? vendorData : std::vector<std::wstring>())
            ASSERT_TRUE(MakeFolders(Parent(file)) && WriteTextFile(file, "vendor")) << Narrow(file);
        // The machine's data folder makes the run remove the user's too.
        ASSERT_TRUE(MakeFolders(machineHld));
        if (IsWindowsXP()) {
            ASSERT_TRUE(MakeFolders(xpHld));
        }
        {
            ShellFolderRedirect roamingRedirect(L"AppData", test.appData.empty() ? appData : test.appData);
            ShellFolderRedirect localRedirect(L"Local AppData", test.localAppData.empty() ? local : test.localAppData);
            RunCleanup(*gCleanupDialog);
        }
        for (const std::wstring& file : othersData)
            EXPECT_EQ("someone else's", ReadWholeFile(file)) << Narrow(file);
        if (test.vendorGoes) {
            EXPECT_FALSE(Exists(appData + L"\\Kestrix"));
            EXPECT_FALSE(Exists(appData + L"\\Halcyra"));
        }
        for (const auto& link : test.links)
            RemoveLink(link.first);
        for (const std::wstring& folder : {appData + L"\\Kestrix", appData + L"\\Halcyra", appData + L"\\Mozilla",
                                           local + L"\\Google", machineHld, xpHld, outside})
            RemoveTestTree(folder);
    }
    if (madeXpSettings)
        RemoveTestTree(xpSettings);
    ForgetCleanupState();
}

// Counts the window's turns taken while each subfolder of a tree is held by
// the deletion.
struct FolderTurns {
    std::wstring tree;
    int folders;
    std::vector<int> perFolder;
};
FolderTurns* gFolderTurns = nullptr;

void CountTurnsPerHeldFolder()
{
    FolderTurns& turns = *gFolderTurns;
    for (int i = 0; i < turns.folders; ++i) {
        if (IsHeldForRemoval(turns.tree + L"\\sub" + std::to_wstring(i)))
            ++turns.perFolder[i];
    }
}

// Every folder of a tree holds a name that another program marked for
// deletion and keeps open: the run waits for such names five seconds in
// all, not five seconds a folder, and leaves the folders in place.
TEST(HostileInput, ManyFoldersEachWithANameHeldElsewhere)
{
    const int kFolders = 20;  // five seconds each would be 100 s
    std::wstring base = MakeScratchFolder(L"held-names");
    std::wstring vendor = base + L"\\vendor";
    std::vector<std::wstring> held, others;
    for (int i = 0; i < kFolders; ++i) {
        std::wstring folder = vendor + L"\\sub" + std::to_wstring(i);
        ASSERT_TRUE(MakeFolders(folder));
        held.push_back(folder + L"\\held.dat");
        others.push_back(folder + L"\\other.txt");
        ASSERT_TRUE(WriteTextFile(held.back(), "held"));
        ASSERT_TRUE(WriteTextFile(others.back(), "other"));
    }
    StartPendingWaitBudget();
    int result = 0;
    FolderTurns turns = {vendor, kFolders, std::vector<int>(kFolders, 0)};
    {
        HoldProbe probe(held);
        ASSERT_TRUE(probe.Holding());
        gFolderTurns = &turns;
        SetResponsivenessHook(CountTurnsPerHeldFolder, 0);
        result = DeleteTreeViaShell(vendor.c_str());
        SetResponsivenessHook(nullptr);
        gFolderTurns = nullptr;
        EXPECT_TRUE(probe.StillRunning()) << "the probe let the names go before the deletion ended";
    }
    EXPECT_EQ(kShellFailed, result);
    EXPECT_TRUE(AllGone(others));
    for (int i = 0; i < kFolders; ++i)
        EXPECT_TRUE(IsFolder(vendor + L"\\sub" + std::to_wstring(i)));
    // Emptying a folder's two names gives the window a few turns; a wait
    // gives one at every poll besides. Once the run's wait is spent, no
    // further folder is waited for.
    int waitedFor = 0;
    for (int count : turns.perFolder)
        waitedFor += count >= 10 ? 1 : 0;
    EXPECT_LE(waitedFor, 2) << "waited for every folder's names in turn";
    StartPendingWaitBudget();  // for the tests after this one
    RemoveTestTree(base);
}
