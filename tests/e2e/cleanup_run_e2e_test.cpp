#include <gtest/gtest.h>

#include <shlobj.h>

#include <algorithm>

#include "app/resource_ids.h"
#include "removal/tunnel_client.h"
#include "support/packages.h"
#include "support/test_support.h"
#include "support/window_driver.h"

namespace {

const wchar_t kManagerStarting[] = L"Starting Tessaline Manager Uninstallation Please wait .... ";
const wchar_t kManagerRemoved[] = L"Tessaline Manager Uninstallation Successful";
const wchar_t kManagerAbsent[] = L"Tessaline Manager not installed";
const wchar_t kManagerFailed[] = L"Tessaline Manager Uninstallation Failed";
const wchar_t kTunnelStarting[] = L"Starting Brisolt Link Uninstallation Please wait ...";
const wchar_t kServiceRemoved[] = L"Uninstalled Brisolt Link services...";
const wchar_t kClientRemoved[] = L"Uninstalled Brisolt Link ...";
const wchar_t kTunnelCleaning[] = L"Cleaning Registry for Brisolt Link......";
const wchar_t kTunnelAbsent[] = L"Brisolt Link not installed";
const wchar_t kClientFailed[] = L"Brisolt Link uninstallation Failed";

const wchar_t kClientKey[] = L"Software\\Kestrix VPN Client";

// The lines of one run of an administrator with the browser cache option
// on, around the product phases' own lines, and the account of what stays
// at its end.
std::vector<std::wstring> RunLog(const std::vector<const wchar_t*>& productLines,
                                 const std::vector<std::wstring>& stays = {})
{
    std::vector<std::wstring> log = {L"", kManagerStarting};
    log.insert(log.end(), productLines.begin(), productLines.end());
    for (const wchar_t* line :
         {L"Cleaning Registry... ", L"Registry Cleanup Successful", L"HLD not installed",
          L"Pyrewick not installed", L"Clearing the Browser(IE/FireFox/Chrome) Cache ....",
          L"The Browsers Cache is Cleared"})
        log.push_back(line);
    for (const std::wstring& stay : stays)
        log.push_back(L"Not removed: " + stay);
    return log;
}

const wchar_t kEarlierFailure[] = L" (kept because an earlier removal failed)";
const wchar_t kStillInstalled[] = L" (still installed after the installer's answer)";

std::wstring Named(const wchar_t* name, const TestPackage& package)
{
    return std::wstring(name) + L" " + package.productCode;
}

class CleanupRun : public testing::Test {
protected:
    void SetUp() override
    {
        for (const TestPackage* package : kPackages)
            ASSERT_FALSE(IsInstalled(*package)) << Narrow(package->productCode);
        ASSERT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kListKey, NativeView()));
        ASSERT_FALSE(KeyExists(HKEY_CURRENT_USER, kListKey));
        ASSERT_FALSE(Exists(userFolder));
    }

    void TearDown() override
    {
        DeleteUninstallLists();
        DeleteFileW(msiLeftover.c_str());
        DeleteFileW(bootstrapLeftover.c_str());
        RemoveTestTree(userFolder);
        RemoveTestTree(vendorFolder);
        DeleteKeyForTest(HKEY_CURRENT_USER, kClientKey);
        DeleteKeyForTest(HKEY_LOCAL_MACHINE, kClientKey, NativeView());
        for (const wchar_t* name : kTunnelClientFiles)
            DeleteFileW((systemFolder + name).c_str());
    }

    // The suite as its installer leaves it: three products in the list,
    // the endpoint-control product beside them, the installer's files in
    // the temporary folder. The broken product's removal fails.
    void SeedSuite(const TestPackage* broken = nullptr)
    {
        for (const TestPackage* package :
             {&kSuiteAgent, &kSuiteMonitor, &kSuitePrimary, &kEndpointControlPackage}) {
            ASSERT_EQ(0u, package == broken ? InstallDamaged(*package, Damage::kPackageLost)
                                            : Install(*package));
        }
        ASSERT_TRUE(WriteUninstallList(HKEY_LOCAL_MACHINE, NativeView(),
                                       {{L"XPV", kSuitePrimary.productCode},
                                        {L"Zeta Agent", kSuiteAgent.productCode},
                                        {L"Zeta Monitor", kSuiteMonitor.productCode}}));
        ASSERT_TRUE(WriteTextFile(msiLeftover, "package"));
        ASSERT_TRUE(WriteTextFile(bootstrapLeftover, "bootstrapper"));
    }

    // The user's vendor folder; with a subfolder only a whole-tree
    // deletion removes it.
    void SeedUserFolder(bool withSubfolder)
    {
        ASSERT_TRUE(MakeFolders(userFolder));
        ASSERT_TRUE(WriteTextFile(userFolder + L"\\agent.log", "log"));
        if (withSubfolder) {
            ASSERT_TRUE(MakeFolders(userFolder + L"\\Profiles"));
            ASSERT_TRUE(WriteTextFile(userFolder + L"\\Profiles\\default.ini", "profile"));
        }
    }

    void SeedTunnelLeftovers()
    {
        ASSERT_TRUE(CreateKey(HKEY_CURRENT_USER, kClientKey));
        ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, kClientKey, NativeView()));
        for (const wchar_t* name : kTunnelClientFiles)
            ASSERT_TRUE(WriteTextFile(systemFolder + name, "client file"));
        ASSERT_TRUE(MakeFolders(vendorFolder));
        ASSERT_TRUE(WriteTextFile(vendorFolder + L"\\vpn.cfg", "settings"));
    }

    void RunCleanup(ProgramUnderTest& program)
    {
        program.Click(IDC_START_CLEANUP);
        ASSERT_TRUE(program.WaitForControls());
        for (int id : {IDC_CLEAR_CACHE, IDC_RESTART, IDC_SKIP_TUNNEL, IDC_START_CLEANUP, IDC_EXIT,
                       IDC_SAVE_LOGS, IDC_SKIP_DESKTOP})
            EXPECT_TRUE(program.IsEnabled(id)) << id;
    }

    const TestPackage* const kPackages[8] = {&kSuiteAgent,      &kSuiteMonitor,   &kSuitePrimary,
                                             &kEndpointControlPackage, &kTunnelService64,
                                             &kTunnelClient64,  &kTunnelService32, &kTunnelClient32};
    std::wstring msiLeftover = TempPath(L"xpv.msi");
    std::wstring bootstrapLeftover = TempPath(L"xpvMsiBootstraper.exe");
    std::wstring userFolder = ShellFolder(CSIDL_APPDATA) + L"\\Kestrix";
    std::wstring vendorFolder = ShellFolder(CSIDL_COMMON_APPDATA) + L"\\Kestrix";
    std::wstring systemFolder = ShellFolder(CSIDL_SYSTEM);
    ProductCleanup cleanup{&kSuiteAgent,      &kSuiteMonitor,   &kSuitePrimary,
                           &kEndpointControlPackage, &kTunnelService64,
                           &kTunnelClient64,  &kTunnelService32, &kTunnelClient32};
};

// A product phase that fails keeps the user's vendor folder; skipped, yet
// with no tunnel product to keep it, the folder goes.
TEST_F(CleanupRun, UserFolderGoesOnlyWhenEveryProductDid)
{
    const struct {
        const char* what;
        bool suite;
        const TestPackage* broken;  // of the suite
        bool skipTunnel;
        std::vector<const wchar_t*> productLines;
        std::vector<std::wstring> stays;  // the run's account of what stays
        std::vector<const TestPackage*> kept;
    } rows[] = {
        {"a suite product fails", true, &kSuiteAgent, false,
         {kManagerFailed, kTunnelStarting, kTunnelCleaning, kTunnelAbsent},
         {Named(L"Zeta Agent", kSuiteAgent) + kStillInstalled,
          Named(L"Zeta Monitor", kSuiteMonitor) + kEarlierFailure,
          Named(L"XPV", kSuitePrimary) + kEarlierFailure, userFolder + kEarlierFailure},
         {&kSuiteAgent, &kSuiteMonitor, &kSuitePrimary}},
        {"the endpoint-control product fails", true, &kEndpointControlPackage, false,
         {kManagerRemoved, kTunnelStarting, kTunnelCleaning, kTunnelAbsent},
         {Named(L"Kestrix QUORVANE End Point Control", kEndpointControlPackage) + kStillInstalled,
          userFolder + kEarlierFailure},
         {&kEndpointControlPackage}},
        {"the tunnel skipped, with no tunnel product", false, nullptr, true, {kManagerAbsent}, {}, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ProductCleanup rowCleanup{&kSuiteAgent, &kSuiteMonitor, &kSuitePrimary, &kEndpointControlPackage};
        if (row.suite) {
            ASSERT_NO_FATAL_FAILURE(SeedSuite(row.broken));
        }
        ASSERT_NO_FATAL_FAILURE(SeedUserFolder(true));

        ProgramUnderTest program;
        ASSERT_TRUE(program.Start());
        if (row.skipTunnel)
            program.Click(IDC_SKIP_TUNNEL);
        RunCleanup(program);
        EXPECT_EQ(RunLog(row.productLines, row.stays), program.LogLines());
        for (const TestPackage* package :
             {&kSuiteAgent, &kSuiteMonitor, &kSuitePrimary, &kEndpointControlPackage}) {
            const bool kept = std::find(row.kept.begin(), row.kept.end(), package) != row.kept.end();
            EXPECT_EQ(kept, IsInstalled(*package)) << Narrow(package->productCode);
        }
        EXPECT_FALSE(Exists(msiLeftover));
        EXPECT_EQ(row.suite, Exists(userFolder + L"\\Profiles\\default.ini"));
        EXPECT_EQ(row.suite, Exists(userFolder));
        TearDown();
    }
}

// What Skip leaves on purpose is no trace the run could not remove.
TEST_F(CleanupRun, SkippedTunnelClientIsNotInTheAccount)
{
    ASSERT_EQ(0u, Install(TunnelServicePackage()));
    ASSERT_EQ(0u, Install(TunnelClientPackage()));
    SeedTunnelLeftovers();
    SeedUserFolder(true);
    ProgramUnderTest program;
    ASSERT_TRUE(program.Start());
    program.Click(IDC_SKIP_TUNNEL);
    RunCleanup(program);
    EXPECT_EQ(RunLog({kManagerAbsent}), program.LogLines());
    EXPECT_TRUE(IsInstalled(TunnelClientPackage()));
    EXPECT_TRUE(Exists(userFolder + L"\\Profiles\\default.ini"));
}

TEST_F(CleanupRun, ClientFailingInASecondRunKeepsTheUserFolderTree)
{
    const TestPackage& service = TunnelServicePackage();
    const TestPackage& client = TunnelClientPackage();
    ASSERT_EQ(0u, Install(service));
    ASSERT_EQ(0u, Install(client));
    SeedTunnelLeftovers();
    SeedUserFolder(true);

    // A first run removes everything (what it removes is the whole PC's
    // to show).
    ProgramUnderTest program;
    ASSERT_TRUE(program.Start());
    RunCleanup(program);
    ASSERT_EQ(RunLog({kManagerAbsent, kTunnelStarting, kServiceRemoved, kClientRemoved,
                      kTunnelCleaning}),
              program.LogLines());

    // This time the client cannot be removed, so the run leaves the user's
    // folder tree alone; the flags of the first run still let the
    // class-registration step delete the files lying in it.
    ASSERT_EQ(0u, InstallDamaged(client, Damage::kPackageGarbage));
    SeedUserFolder(true);
    RunCleanup(program);
    EXPECT_EQ(RunLog({kManagerAbsent, kTunnelStarting, kTunnelCleaning, kClientFailed},
                     {Named(L"Kestrix Access Client", client) + kStillInstalled,
                      userFolder + kEarlierFailure}),
              program.LogLines());
    EXPECT_TRUE(IsInstalled(client));
    EXPECT_FALSE(Exists(userFolder + L"\\agent.log"));
    EXPECT_TRUE(Exists(userFolder + L"\\Profiles\\default.ini"));
}

}  // namespace
