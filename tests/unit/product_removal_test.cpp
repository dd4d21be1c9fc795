#include <gtest/gtest.h>

#include <shlobj.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/resource_ids.h"
#include "removal/product_removal.h"
#include "removal/user_product_removal.h"
#include "support/other_user.h"
#include "support/packages.h"
#include "support/test_support.h"
#include "system/cleanup_state.h"
#include "system/handles.h"
#include "system/responsiveness.h"

namespace {

ProductEntry EntryFor(const TestPackage& package, bool isPrimary = false)
{
    ProductEntry entry;
    MakeProductEntry(entry, L"Kestrix Test Product", package.productCode, isPrimary);
    return entry;
}

void ExpectRemovalCall(const RemovalCall& call, const TestPackage& package, int uiLevel)
{
    EXPECT_EQ(package.productCode, call.productCode);
    EXPECT_EQ(uiLevel, call.uiLevel);
    EXPECT_EQ(nullptr, call.uiWindow);
    EXPECT_TRUE(call.externalUiReset);
    EXPECT_EQ(65535, call.installLevel);
    EXPECT_EQ(INSTALLSTATE_ABSENT, call.state);
    EXPECT_EQ(L"REMOVE=ALL REBOOT=ReallySuppress", call.commandLine);
}

const UINT kBusy = ERROR_INSTALL_ALREADY_RUNNING;

// Short waits for another installation, from a fresh budget, while it
// lives.
class ShortBusyWait {
public:
    ShortBusyWait(DWORD retryMs, DWORD budgetMs) : saved_(BusyWaitTimes())
    {
        BusyWaitTimes() = {retryMs, budgetMs};
        StartBusyWaitBudget();
    }
    ~ShortBusyWait()
    {
        BusyWaitTimes() = saved_;
        StartBusyWaitBudget();
    }

private:
    InstallerBusyWait saved_;
};

// A clock that moves on by a step each time the waits read it, whatever
// the machine's load: the waits' lengths are counted in readings.
class SteppingClock {
public:
    SteppingClock() : saved_(gBusyWaitClock)
    {
        now_ = 0;
        gBusyWaitClock = Read;
    }
    ~SteppingClock() { gBusyWaitClock = saved_; }
    static const DWORD kStepMs = 25;

private:
    static DWORD WINAPI Read() { return now_ += kStepMs; }
    static DWORD now_;
    DWORD(WINAPI* saved_)();
};
DWORD SteppingClock::now_;

// When the window had its turns.
// Each turn the window gets, as the number of removal attempts made by then.
const InstallerRecorder* gTurnRecorder = nullptr;
std::vector<size_t> gTurns;
void RecordTurn()
{
    gTurns.push_back(gTurnRecorder->removals.size());
}

// Lets the holder go at the window's fifth turn, noting how many removals
// had been attempted by then.
InstallerMutexHolder* gHolder = nullptr;
const InstallerRecorder* gRecorder = nullptr;
size_t gRemovalsWhileHeld = 0;
int gTurnsHeld = 0;
void LetGoAtFifthTurn()
{
    if (gHolder == nullptr || ++gTurnsHeld < 5)
        return;
    gRemovalsWhileHeld = gRecorder->removals.size();
    gHolder->LetGo();
    gHolder = nullptr;
}

DWORD WINAPI TryMutex(void* mutex)
{
    return WaitForSingleObject(mutex, 0);
}

// Whether a thread other than this one (which may own it) can take mutex.
bool FreeForOthers(HANDLE mutex)
{
    UniqueHandle thread(CreateThread(nullptr, 0, TryMutex, mutex, 0, nullptr));
    DWORD state = WAIT_FAILED;
    return WaitForSingleObject(thread.Get(), EventWaitMs()) == WAIT_OBJECT_0 &&
           GetExitCodeThread(thread.Get(), &state) && state == WAIT_OBJECT_0;
}

class ProductRemoval : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(IsInstalled(kSuiteAgent));
        ASSERT_FALSE(IsInstalled(kSuitePrimary));
        ASSERT_FALSE(IsInstalled(kPerUserTool));
        ASSERT_FALSE(IsInstalled(kRestartingTool));
    }

    CleanupState state{};
    ProductCleanup cleanup{&kSuiteAgent, &kSuitePrimary, &kPerUserTool, &kRestartingTool};
};

// An entry without a name or a code never reaches the installer (the
// product installed, so that a call would show); one the installer does
// not have is asked about once (a code without its terminator cut to the
// field), whatever the skip flag, and is left.
TEST_F(ProductRemoval, EntriesTheInstallerCannotRemove)
{
    const std::wstring cut(kPathUnits - 1, L'A');
    const wchar_t* const agent = kSuiteAgent.productCode;
    const struct {
        const char* what;
        const wchar_t *name, *code;  // null code: kPathUnits units, no terminator
        bool skip;
        int result;
        const wchar_t* queried;  // null: not asked, and installed
    } rows[] = {
        {"no name", L"", agent, false, 0, nullptr},
        {"no code", L"Agent", L"", false, 0, nullptr},
        {"not installed", L"Agent", agent, false, kNotInstalled, agent},
        {"not installed, skipped", L"Agent", agent, true, kNotInstalled, agent},
        {"garbled", L"Garbled", L"not a product code", false, kNotInstalled, L"not a product code"},
        {"no terminator", L"Overlong", nullptr, false, kNotInstalled, cut.c_str()},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const bool installed = row.queried == nullptr;
        if (installed) {
            ASSERT_EQ(0u, Install(kSuiteAgent));
        }
        ProductEntry entry;
        MakeProductEntry(entry, row.name, row.code != nullptr ? row.code : L"", false);
        for (size_t i = 0; row.code == nullptr && i < kPathUnits; ++i)
            entry.productCode[i] = L'A';
        state.skipTunnel = row.skip;

        InstallerRecorder recorder;
        EXPECT_EQ(row.result, RemoveProductEntry(entry, state));
        state.skipTunnel = false;
        EXPECT_EQ(installed ? std::vector<std::wstring>() : std::vector<std::wstring>{row.queried},
                  recorder.queries);
        EXPECT_TRUE(recorder.removals.empty());
        EXPECT_EQ(installed, IsInstalled(kSuiteAgent));
        Uninstall(kSuiteAgent);
    }
}

// Tokens as Wine cannot have them: this process's and the desktop's with
// or without an administrator's rights.
bool gRunIsAdmin, gDeskIsAdmin;
BOOL WINAPI FakeAdminMember(HANDLE token, BOOL* member)
{
    *member = token == nullptr ? gRunIsAdmin : gDeskIsAdmin;
    return TRUE;
}

// The per-user package's removal runs a custom action that writes, in a
// common file, "ran:" and HS_TEST_MARK as the process it runs in has it:
// this one's, or none in a child with the account's own environment. A
// run with an administrator's rights removes it by msiexec with the
// desktop's token, or, without a way to, leaves it and fails.
TEST_F(ProductRemoval, PerUserProductRunsNoCodeWithTheRunsRights)
{
    TestWindow window;  // explorer.exe starts with the first window
    ASSERT_FALSE(WaitForInteractiveAppData().empty());
    const std::wstring mark = ShellFolder(CSIDL_COMMON_APPDATA) + L"\\hs-per-user-action.txt";
    const std::string ours = "test-" + std::to_string(GetCurrentProcessId());
    SetEnvironmentVariableW(L"HS_TEST_MARK", Widen(ours).c_str());
    const std::string here = "ran:" + ours + "\r\n";
    const struct {
        const char* what;
        bool runAdmin, deskAdmin;  // Wine: both
        bool withStart;            // CreateProcessWithTokenW (not XP)
        const wchar_t* deskSid;    // null: this account's desktop
        bool damaged;              // installed, then its package lost
        int expected;
        std::string marked;  // "": the action never ran
        size_t removalsHere;
    } cases[] = {
        {"elevated: by the desktop's token", true, true, true, nullptr, false, 0, "ran:\r\n", 0},
        {"elevated, the package lost: the child's code", true, true, true, nullptr, true,
         ERROR_INSTALL_SOURCE_ABSENT, "", 0},
        {"without an administrator's rights: here", false, true, true, nullptr, false, 0, here, 1},
        {"the desktop another account's: here", true, true, true, kOtherUserSid, false, 0, here, 1},
        {"no start with a token, a limited desktop", true, false, false, nullptr, false,
         ERROR_ACCESS_DENIED, "", 0},
        {"no start with a token, an administrator's desktop: here", true, true, false, nullptr, false,
         0, here, 1},
    };
    const UserTokenCalls real = UserTokens();
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        DeleteFileW(mark.c_str());
        ASSERT_EQ(0u, test.damaged ? InstallDamaged(kPerUserTool, Damage::kPackageLost)
                                   : Install(kPerUserTool));
        gRunIsAdmin = test.runAdmin;
        gDeskIsAdmin = test.deskAdmin;
        if (!test.runAdmin || !test.deskAdmin)
            UserTokens().adminMember = FakeAdminMember;
        if (!test.withStart)
            UserTokens().startWithToken = nullptr;
        DesktopUserOverride desktop(test.deskSid);
        InstallerRecorder recorder;
        int result = RemoveProductEntry(EntryFor(kPerUserTool), state);
        UserTokens() = real;

        EXPECT_EQ(test.expected, result);
        EXPECT_EQ(test.removalsHere, recorder.removals.size());
        EXPECT_EQ(test.expected != 0, IsInstalled(kPerUserTool));
        EXPECT_EQ(test.expected != 0, Exists(PayloadPath(kPerUserTool)));
        EXPECT_EQ(test.marked, Exists(mark) ? ReadWholeFile(mark) : "");
        Uninstall(kPerUserTool);
    }
    DeleteFileW(mark.c_str());
    SetEnvironmentVariableW(L"HS_TEST_MARK", nullptr);
}

// An ordinary product goes silently in one attempt; a
// failed silent attempt is tried once more with the basic interface, whose
// result counts; the primary product gets that one attempt alone. A
// removal that asks for a restart, or an installer that restarts all the
// same (Wine's never does), is not tried again; the installer is told never
// to restart Windows itself. The skip flag leaves the product alone.
TEST_F(ProductRemoval, AttemptsFollowTheInstallersAnswers)
{
    enum class Made { kInstalled, kPackageLost, kPackageGarbage };
    const struct {
        const char* what;
        const TestPackage& package;
        Made made;
        bool primary, skip;
        std::vector<UINT> forced;  // the installer's first answers
        int result;
        std::vector<int> levels;  // of the attempts, in order
        bool kept;
    } rows[] = {
        {"skipped", kSuiteAgent, Made::kInstalled, false, true, {}, kSkipped, {}, true},
        {"ordinary", kSuiteAgent, Made::kInstalled, false, false, {}, 0, {INSTALLUILEVEL_NONE}, false},
        {"package lost", kSuiteAgent, Made::kPackageLost, false, false, {}, ERROR_INSTALL_SOURCE_ABSENT,
         {INSTALLUILEVEL_NONE, INSTALLUILEVEL_BASIC}, true},
        {"package garbled", kSuiteAgent, Made::kPackageGarbage, false, false, {}, ERROR_FUNCTION_FAILED,
         {INSTALLUILEVEL_NONE, INSTALLUILEVEL_BASIC}, true},
        {"silent attempt fails", kSuiteAgent, Made::kInstalled, false, false, {ERROR_INSTALL_FAILURE}, 0,
         {INSTALLUILEVEL_NONE, INSTALLUILEVEL_BASIC}, false},
        {"asks for a restart", kRestartingTool, Made::kInstalled, false, false, {}, kRebootRequired,
         {INSTALLUILEVEL_NONE}, false},
        {"restarts all the same", kSuiteAgent, Made::kInstalled, false, false,
         {ERROR_SUCCESS_REBOOT_INITIATED, ERROR_INSTALL_FAILURE}, ERROR_SUCCESS_REBOOT_INITIATED,
         {INSTALLUILEVEL_NONE}, true},
        {"primary", kSuitePrimary, Made::kInstalled, true, false, {}, 0, {INSTALLUILEVEL_BASIC}, false},
        {"primary, package garbled", kSuitePrimary, Made::kPackageGarbage, true, false, {},
         ERROR_FUNCTION_FAILED, {INSTALLUILEVEL_BASIC}, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(0u, row.made == Made::kInstalled     ? Install(row.package)
                      : row.made == Made::kPackageLost ? InstallDamaged(row.package, Damage::kPackageLost)
                                                       : InstallDamaged(row.package, Damage::kPackageGarbage));
        ASSERT_TRUE(Exists(PayloadPath(row.package)));
        state.skipTunnel = row.skip;
        {
            InstallerRecorder recorder;
            recorder.ForceResults(row.forced);
            EXPECT_EQ(row.result, RemoveProductEntry(EntryFor(row.package, row.primary), state));
            ASSERT_EQ(row.levels.size(), recorder.removals.size());
            for (size_t i = 0; i < row.levels.size(); ++i)
                ExpectRemovalCall(recorder.removals[i], row.package, row.levels[i]);
            if (row.made != Made::kInstalled && !row.primary) {
                EXPECT_EQ(static_cast<UINT>(row.result), recorder.removals[0].result);
            }
        }
        EXPECT_EQ(row.kept, IsInstalled(row.package));
        if (row.forced.empty()) {
            EXPECT_EQ(row.kept, Exists(PayloadPath(row.package)));
        }
        state.skipTunnel = false;
        Uninstall(row.package);
        ASSERT_FALSE(IsInstalled(row.package));
    }
}

// While another installation runs, the removal is tried again after each
// interval until the installer is free, at the same level.
TEST_F(ProductRemoval, AnotherInstallationIsWaitedFor)
{
    for (bool primary : {false, true}) {
        SCOPED_TRACE(primary ? "primary" : "ordinary");
        const TestPackage& package = primary ? kSuitePrimary : kSuiteAgent;
        ASSERT_EQ(0u, Install(package));
        ShortBusyWait wait(200, 5000);

        InstallerRecorder recorder;
        recorder.ForceResults({kBusy, kBusy, kBusy});
        EXPECT_EQ(0, RemoveProductEntry(EntryFor(package, primary), state));
        ASSERT_EQ(4u, recorder.removals.size());
        for (const RemovalCall& call : recorder.removals)
            ExpectRemovalCall(call, package, primary ? INSTALLUILEVEL_BASIC : INSTALLUILEVEL_NONE);
        EXPECT_FALSE(IsInstalled(package));
    }
}

// While another process holds the installer's mutex the installer is not
// called at all; once it is let go the removal goes ahead, and held
// throughout, the product fails as busy when the run's time is spent. One
// left behind by a process that ended holding it is free.
TEST_F(ProductRemoval, HeldInstallerIsNeverCalled)
{
    const struct {
        const char* what;
        const TestPackage& package;
        bool primary;
        bool letGo;
        bool abandoned;
    } cases[] = {{"ordinary, let go", kSuiteAgent, false, true, false},
                 {"primary, held throughout", kSuitePrimary, true, false, false},
                 {"ordinary, abandoned", kSuiteAgent, false, false, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(0u, Install(c.package));
        ShortBusyWait wait(50, c.letGo ? 60000 : 500);
        InstallerMutexHolder holder(c.abandoned);
        ASSERT_TRUE(holder.Holding());
        // An abandoned mutex lasts only while some process has it open.
        UniqueHandle kept(c.abandoned ? OpenMutexW(SYNCHRONIZE, FALSE, L"Global\\_MSIExecute") : nullptr);
        if (c.abandoned) {
            ASSERT_TRUE(kept.IsValid());
            holder.LetGo();
        }
        InstallerRecorder recorder;
        gHolder = c.letGo ? &holder : nullptr;
        gRecorder = &recorder;
        gRemovalsWhileHeld = 99;
        gTurnsHeld = 0;
        SetResponsivenessHook(LetGoAtFifthTurn);
        int result = RemoveProductEntry(EntryFor(c.package, c.primary), state);
        SetResponsivenessHook(nullptr);

        if (c.letGo) {
            EXPECT_EQ(0u, gRemovalsWhileHeld);
        }
        if (c.letGo || c.abandoned) {
            EXPECT_EQ(0, result);
            ASSERT_EQ(1u, recorder.removals.size());
            ExpectRemovalCall(recorder.removals[0], c.package, INSTALLUILEVEL_NONE);
            EXPECT_FALSE(IsInstalled(c.package));
            if (c.abandoned) {
                EXPECT_TRUE(FreeForOthers(kept.Get()));  // not kept from the next installation
            }
        } else {
            EXPECT_EQ(static_cast<int>(kBusy), result);
            EXPECT_TRUE(recorder.removals.empty());
            EXPECT_TRUE(IsInstalled(c.package));
        }
    }
}

// An installer busy throughout costs the run its waiting time once, the
// window answering meanwhile; then an attempt fails at once as before.
TEST_F(ProductRemoval, InstallerBusyThroughoutEndsWithinTheRunsWait)
{
    ASSERT_EQ(0u, Install(kSuiteAgent));
    ShortBusyWait wait(500, 1200);
    SteppingClock clock;
    InstallerRecorder recorder;
    recorder.ForceResults(std::vector<UINT>(100, kBusy));
    gTurns.clear();
    gTurnRecorder = &recorder;
    SetResponsivenessHook(RecordTurn);
    int result = RemoveProductEntry(EntryFor(kSuiteAgent), state);
    SetResponsivenessHook(nullptr);

    EXPECT_EQ(static_cast<int>(kBusy), result);
    // The silent attempt is tried again after each wait, as many times as
    // the time allows (three waits of 500, 500 and what is left); the basic
    // one has a single try.
    ASSERT_EQ(4u, recorder.removals.size());
    const size_t silent = recorder.removals.size() - 1;
    for (size_t i = 0; i < silent; ++i)
        EXPECT_EQ(INSTALLUILEVEL_NONE, recorder.removals[i].uiLevel) << i;
    EXPECT_EQ(INSTALLUILEVEL_BASIC, recorder.removals[silent].uiLevel);
    // The window had its turns in each wait, not only between the attempts.
    for (size_t attempts = 1; attempts < silent; ++attempts)
        EXPECT_NE(gTurns.end(), std::find(gTurns.begin(), gTurns.end(), attempts)) << attempts;
    EXPECT_TRUE(IsInstalled(kSuiteAgent));
}

// Each run starts with the whole waiting time, whatever an earlier one
// spent.
TEST_F(ProductRemoval, EachRunWaitsAfresh)
{
    struct ListCleanup {
        ~ListCleanup() { DeleteUninstallLists(); }
    } lists;
    ShortBusyWait wait(10, 300);
    ASSERT_EQ(0u, Install(kSuiteAgent));
    ASSERT_TRUE(WriteUninstallList(HKEY_LOCAL_MACHINE, NativeView(),
                                   {{L"Zeta Agent", kSuiteAgent.productCode}}));
    {
        InstallerRecorder spent;
        spent.ForceResults(std::vector<UINT>(100, kBusy));
        ASSERT_EQ(static_cast<int>(kBusy), RemoveProductEntry(EntryFor(kSuiteAgent), state));
    }

    TestWindow window;
    InstallerRecorder recorder;
    recorder.ForceResults({kBusy});
    SendMessageW(GetDlgItem(window.Window(), IDC_START_CLEANUP), BM_CLICK, 0, 0);
    window.Pump();
    // Tried again silently: with no time left it would have gone on to
    // the single basic attempt.
    ASSERT_EQ(2u, recorder.removals.size());
    for (size_t i = 0; i < 2; ++i)
        ExpectRemovalCall(recorder.removals[i], kSuiteAgent, INSTALLUILEVEL_NONE);
    EXPECT_EQ(0u, recorder.removals[1].result);
    EXPECT_FALSE(IsInstalled(kSuiteAgent));
}

TEST_F(ProductRemoval, UnknownProductIsRefusedByTheInstaller)
{
    ProductQuery query(kSuiteAgent.productCode);
    QueryProduct(query);
    EXPECT_FALSE(query.installed);
    EXPECT_EQ(ERROR_UNKNOWN_PRODUCT, UninstallProduct(query, INSTALLUILEVEL_NONE));

    ASSERT_EQ(0u, Install(kSuiteAgent));
    QueryProduct(query);
    EXPECT_TRUE(query.installed);
}

}  // namespace
