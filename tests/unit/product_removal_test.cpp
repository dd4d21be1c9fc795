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

TEST_F(ProductRemoval, EmptyNameOrCodeNeverReachesTheInstaller)
{
    ASSERT_EQ(0u, Install(kSuiteAgent));
    ProductEntry noName = EntryFor(kSuiteAgent);
    noName.displayName[0] = L'\0';
    ProductEntry noCode = EntryFor(kSuiteAgent);
    noCode.productCode[0] = L'\0';

    InstallerRecorder recorder;
    EXPECT_EQ(0, RemoveProductEntry(noName, state));
    EXPECT_EQ(0, RemoveProductEntry(noCode, state));
    EXPECT_TRUE(recorder.queries.empty());
    EXPECT_TRUE(recorder.removals.empty());
    EXPECT_TRUE(IsInstalled(kSuiteAgent));
}

TEST_F(ProductRemoval, ProductNotInstalledIsTwoWhateverTheSkipFlag)
{
    ProductEntry entry = EntryFor(kSuiteAgent);
    ProductEntry garbled;
    MakeProductEntry(garbled, L"Garbled", L"not a product code", false);

    InstallerRecorder recorder;
    EXPECT_EQ(kNotInstalled, RemoveProductEntry(entry, state));
    EXPECT_EQ(kNotInstalled, RemoveProductEntry(garbled, state));
    state.skipTunnel = true;
    EXPECT_EQ(kNotInstalled, RemoveProductEntry(entry, state));
    EXPECT_EQ(3u, recorder.queries.size());
    EXPECT_TRUE(recorder.removals.empty());
}

TEST_F(ProductRemoval, SkipFlagLeavesAnInstalledProductAlone)
{
    ASSERT_EQ(0u, Install(kSuiteAgent));
    state.skipTunnel = true;

    InstallerRecorder recorder;
    EXPECT_EQ(kSkipped, RemoveProductEntry(EntryFor(kSuiteAgent), state));
    EXPECT_TRUE(recorder.removals.empty());
    EXPECT_TRUE(IsInstalled(kSuiteAgent));
    EXPECT_TRUE(Exists(PayloadPath(kSuiteAgent)));
}

TEST_F(ProductRemoval, OrdinaryProductGoesSilentlyInOneAttempt)
{
    ASSERT_EQ(0u, Install(kSuiteAgent));
    ASSERT_TRUE(Exists(PayloadPath(kSuiteAgent)));

    InstallerRecorder recorder;
    EXPECT_EQ(0, RemoveProductEntry(EntryFor(kSuiteAgent), state));
    ASSERT_EQ(1u, recorder.removals.size());
    ExpectRemovalCall(recorder.removals[0], kSuiteAgent, INSTALLUILEVEL_NONE);
    EXPECT_FALSE(IsInstalled(kSuiteAgent));
    EXPECT_FALSE(Exists(PayloadPath(kSuiteAgent)));
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

TEST_F(ProductRemoval, FailedSilentRemovalIsRetriedWithBasicUi)
{
    const struct {
        Damage damage;
        int error;
    } cases[] = {{Damage::kPackageLost, ERROR_INSTALL_SOURCE_ABSENT},
                 {Damage::kPackageGarbage, ERROR_FUNCTION_FAILED}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        ASSERT_EQ(0u, InstallDamaged(kSuiteAgent, c.damage));

        InstallerRecorder recorder;
        EXPECT_EQ(c.error, RemoveProductEntry(EntryFor(kSuiteAgent), state));
        ASSERT_EQ(2u, recorder.removals.size());
        ExpectRemovalCall(recorder.removals[0], kSuiteAgent, INSTALLUILEVEL_NONE);
        ExpectRemovalCall(recorder.removals[1], kSuiteAgent, INSTALLUILEVEL_BASIC);
        EXPECT_EQ(static_cast<UINT>(c.error), recorder.removals[0].result);
        EXPECT_TRUE(IsInstalled(kSuiteAgent));
        EXPECT_TRUE(Exists(PayloadPath(kSuiteAgent)));

        Uninstall(kSuiteAgent);
        ASSERT_FALSE(IsInstalled(kSuiteAgent));
    }
}

TEST_F(ProductRemoval, BasicUiResultIsReturnedAfterASilentFailure)
{
    ASSERT_EQ(0u, Install(kSuiteAgent));

    InstallerRecorder recorder;
    recorder.ForceResults({ERROR_INSTALL_FAILURE});  // the silent attempt only
    EXPECT_EQ(0, RemoveProductEntry(EntryFor(kSuiteAgent), state));
    ASSERT_EQ(2u, recorder.removals.size());
    EXPECT_EQ(INSTALLUILEVEL_BASIC, recorder.removals[1].uiLevel);
    EXPECT_FALSE(IsInstalled(kSuiteAgent));
}

// A product whose removal asks for a restart is gone: it is not removed a
// second time, and the installer is told never to restart Windows itself.
TEST_F(ProductRemoval, RestartRequestIsNotRetried)
{
    ASSERT_EQ(0u, Install(kRestartingTool));
    {
        InstallerRecorder recorder;
        EXPECT_EQ(kRebootRequired, RemoveProductEntry(EntryFor(kRestartingTool), state));
        ASSERT_EQ(1u, recorder.removals.size());
        ExpectRemovalCall(recorder.removals[0], kRestartingTool, INSTALLUILEVEL_NONE);
        EXPECT_FALSE(IsInstalled(kRestartingTool));
        EXPECT_FALSE(Exists(PayloadPath(kRestartingTool)));
    }

    // An installer that restarts all the same (Wine's never does) is taken
    // at its word like one that asks.
    ASSERT_EQ(0u, Install(kSuiteAgent));
    InstallerRecorder recorder;
    recorder.ForceResults({ERROR_SUCCESS_REBOOT_INITIATED, ERROR_INSTALL_FAILURE});
    EXPECT_EQ(ERROR_SUCCESS_REBOOT_INITIATED, RemoveProductEntry(EntryFor(kSuiteAgent), state));
    ASSERT_EQ(1u, recorder.removals.size());
    EXPECT_EQ(INSTALLUILEVEL_NONE, recorder.removals[0].uiLevel);
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
    InstallerRecorder recorder;
    recorder.ForceResults(std::vector<UINT>(100, kBusy));
    gTurns.clear();
    gTurnRecorder = &recorder;
    SetResponsivenessHook(RecordTurn);
    int result = RemoveProductEntry(EntryFor(kSuiteAgent), state);
    SetResponsivenessHook(nullptr);

    EXPECT_EQ(static_cast<int>(kBusy), result);
    // The silent attempt is tried again after each wait, as many times as
    // the time allows (three waits of 500, 500 and the 200 left, unless a
    // wait wakes late); the basic one has a single try.
    ASSERT_GE(recorder.removals.size(), 3u);
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

TEST_F(ProductRemoval, PrimaryProductGetsOneAttemptWithBasicUi)
{
    ASSERT_EQ(0u, Install(kSuitePrimary));
    {
        InstallerRecorder recorder;
        EXPECT_EQ(0, RemoveProductEntry(EntryFor(kSuitePrimary, true), state));
        ASSERT_EQ(1u, recorder.removals.size());
        ExpectRemovalCall(recorder.removals[0], kSuitePrimary, INSTALLUILEVEL_BASIC);
        EXPECT_FALSE(IsInstalled(kSuitePrimary));
        EXPECT_FALSE(Exists(PayloadPath(kSuitePrimary)));
    }

    ASSERT_EQ(0u, InstallDamaged(kSuitePrimary, Damage::kPackageGarbage));
    InstallerRecorder recorder;
    EXPECT_EQ(ERROR_FUNCTION_FAILED, RemoveProductEntry(EntryFor(kSuitePrimary, true), state));
    ASSERT_EQ(1u, recorder.removals.size());
    EXPECT_EQ(INSTALLUILEVEL_BASIC, recorder.removals[0].uiLevel);
    EXPECT_TRUE(IsInstalled(kSuitePrimary));
}

TEST_F(ProductRemoval, CodeWithoutTerminatorIsCutToTheField)
{
    ProductEntry entry;
    MakeProductEntry(entry, L"Overlong", L"", false);
    for (size_t i = 0; i < kPathUnits; ++i)
        entry.productCode[i] = L'A' + static_cast<wchar_t>(i % 26);

    InstallerRecorder recorder;
    EXPECT_EQ(kNotInstalled, RemoveProductEntry(entry, state));
    ASSERT_EQ(1u, recorder.queries.size());
    EXPECT_EQ(std::wstring(entry.productCode, kPathUnits - 1), recorder.queries[0]);
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
