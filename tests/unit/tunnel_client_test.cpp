#include <gtest/gtest.h>

#include <shlobj.h>

#include <optional>

#include "app/cleanup_dialog.h"
#include "removal/product_removal.h"
#include "removal/tunnel_client.h"
#include "support/other_user.h"
#include "support/packages.h"
#include "support/test_support.h"
#include "system/cleanup_state.h"
#include "system/platform_probes.h"

namespace {

const wchar_t kStarting[] = L"Starting Brisolt Link Uninstallation Please wait ...";
const wchar_t kServiceRemoved[] = L"Uninstalled Brisolt Link services...";
const wchar_t kClientRemoved[] = L"Uninstalled Brisolt Link ...";
const wchar_t kCleaning[] = L"Cleaning Registry for Brisolt Link......";
const wchar_t kNotInstalledLine[] = L"Brisolt Link not installed";
const wchar_t kClientFailed[] = L"Brisolt Link uninstallation Failed";
const wchar_t kServiceFailed[] = L"Brisolt Link service uninstallation Failed";

const wchar_t kClientKey[] = L"Software\\Kestrix VPN Client";
const wchar_t kDefaultUserKey[] = L".DEFAULT\\Software\\Kestrix VPN Client";

// The tunnel client's products of the other kind of Windows.
const TestPackage& OtherService()
{
    return IsNative64Bit() ? kTunnelService32 : kTunnelService64;
}

const TestPackage& OtherClient()
{
    return IsNative64Bit() ? kTunnelClient32 : kTunnelClient64;
}

class TunnelClient : public testing::Test {
protected:
    void SetUp() override
    {
        for (const TestPackage* package : {&kTunnelService64, &kTunnelClient64, &kTunnelService32,
                                           &kTunnelClient32})
            ASSERT_FALSE(IsInstalled(*package)) << Narrow(package->productCode);
        state.dialog = gCleanupDialog;
        ASSERT_NE(nullptr, state.dialog);

        ASSERT_TRUE(CreateKey(HKEY_CURRENT_USER, std::wstring(kClientKey) + L"\\Profiles"));
        ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, kClientKey, NativeView()));
        ASSERT_TRUE(CreateKey(HKEY_USERS, kDefaultUserKey));
        for (const wchar_t* name : kTunnelClientFiles)
            ASSERT_TRUE(WriteTextFile(systemFolder + name, "client file"));
        ASSERT_TRUE(MakeFolders(vendorFolder));
        ASSERT_TRUE(WriteTextFile(vendorFolder + L"\\vpn.cfg", "settings"));
        // Years of logs, below the first level: the folder goes whole.
        ASSERT_TRUE(MakeFolders(vendorFolder + L"\\logs\\2019"));
        ASSERT_TRUE(WriteTextFile(vendorFolder + L"\\logs\\2019\\vpn.log", "log"));
    }

    void TearDown() override
    {
        DeleteKeyForTest(HKEY_CURRENT_USER, kClientKey);
        DeleteKeyForTest(HKEY_LOCAL_MACHINE, kClientKey, NativeView());
        DeleteKeyForTest(HKEY_USERS, kDefaultUserKey);
        for (const wchar_t* name : kTunnelClientFiles)
            DeleteFileW((systemFolder + name).c_str());
        RemoveTestTree(vendorFolder);
    }

    // A fresh window, state and seeding for the next row; no product left.
    void NextRow()
    {
        for (const TestPackage* package : {&kTunnelService64, &kTunnelClient64, &kTunnelService32,
                                           &kTunnelClient32})
            Uninstall(*package);
        TearDown();
        window.reset();
        window.emplace();
        state = CleanupState{};
        SetUp();
    }

    int ClientFilesLeft() const
    {
        int left = 0;
        for (const wchar_t* name : kTunnelClientFiles)
            left += Exists(systemFolder + name) ? 1 : 0;
        return left;
    }

    void ExpectKeys(bool present) const
    {
        EXPECT_EQ(present, KeyExists(HKEY_CURRENT_USER, kClientKey));
        EXPECT_EQ(present, KeyExists(HKEY_LOCAL_MACHINE, kClientKey, NativeView()));
        EXPECT_EQ(present, KeyExists(HKEY_USERS, kDefaultUserKey));
    }

    std::optional<TestWindow> window{std::in_place};
    CleanupState state{};
    std::wstring systemFolder = ShellFolder(CSIDL_SYSTEM);
    std::wstring vendorFolder = ShellFolder(CSIDL_COMMON_APPDATA) + L"\\Kestrix";
    ProductCleanup cleanup{&kTunnelService64, &kTunnelClient64, &kTunnelService32, &kTunnelClient32};
};

enum class Before { kAbsent, kInstalled, kLost, kGarbage };
enum class Which { kNeither, kService, kClient };

UINT Prepare(const TestPackage& package, Before before)
{
    switch (before) {
    case Before::kInstalled:
        return Install(package);
    case Before::kLost:
        return InstallDamaged(package, Damage::kPackageLost);
    case Before::kGarbage:
        return InstallDamaged(package, Damage::kPackageGarbage);
    default:
        return 0;
    }
}

// The service's removal comes first; a failure or a restart request of
// either is the phase's failure, and only a removal of both takes the
// vendor's data folder. Skipped, the phase only looks for the products.
TEST_F(TunnelClient, OutcomesOfTheProducts)
{
    using B = Before;
    // What a row gives beside the products, and what it finds after.
    enum : unsigned {
        kSkip = 1,    // the phase is skipped
        kOthers = 2,  // the other Windows' products are installed
    };
    enum : unsigned {
        kAbsent = 1,       // state.tunnelAbsent
        kRemoved = 2,      // state.tunnelRemoved
        kServiceLeft = 4,  // still installed
        kClientLeft = 8,
        kKeysLeft = 16,
        kFolderLeft = 32,  // the vendor's data folder with its file
    };
    const struct {
        const char* what;
        Before service, client;
        Which restarting;
        unsigned given;
        std::vector<const wchar_t*> log;
        int result;
        unsigned after;
        int filesLeft;
    } rows[] = {
        {"neither product installed", B::kAbsent, B::kAbsent, Which::kNeither, 0,
         {kStarting, kCleaning, kNotInstalledLine}, 0, kAbsent | kRemoved, 0},
        {"both products removed", B::kInstalled, B::kInstalled, Which::kNeither, 0,
         {kStarting, kServiceRemoved, kClientRemoved, kCleaning}, 0, kRemoved, 0},
        {"the other Windows' products are not the client", B::kAbsent, B::kAbsent, Which::kNeither,
         kOthers, {kStarting, kCleaning, kNotInstalledLine}, 0, kAbsent | kRemoved, 0},
        {"a service failure keeps the vendor folder", B::kLost, B::kInstalled, Which::kNeither, 0,
         {kStarting, kClientRemoved, kCleaning, kServiceFailed}, kTunnelServiceFailed,
         kServiceLeft | kFolderLeft, 0},
        {"a service failure with the client absent", B::kGarbage, B::kAbsent, Which::kNeither, 0,
         {kStarting, kCleaning, kNotInstalledLine, kServiceFailed}, kTunnelServiceFailed,
         kAbsent | kServiceLeft | kFolderLeft, 0},
        {"a client failure keeps files and folder", B::kInstalled, B::kGarbage, Which::kNeither, 0,
         {kStarting, kServiceRemoved, kCleaning, kClientFailed}, kTunnelClientFailed,
         kClientLeft | kFolderLeft, 10},
        {"a restart request from the client is a failure", B::kAbsent, B::kInstalled, Which::kClient, 0,
         {kStarting, kCleaning, kClientFailed}, kTunnelClientFailed, kFolderLeft, 10},
        {"a restart request from the service is a failure", B::kInstalled, B::kInstalled, Which::kService, 0,
         {kStarting, kClientRemoved, kCleaning, kServiceFailed}, kTunnelServiceFailed, kFolderLeft, 0},
        {"skipped, neither installed", B::kAbsent, B::kAbsent, Which::kNeither, kSkip, {}, kNotInstalled,
         kKeysLeft | kFolderLeft, 10},
        {"skipped, the service installed", B::kInstalled, B::kAbsent, Which::kNeither, kSkip, {}, kSkipped,
         kServiceLeft | kKeysLeft | kFolderLeft, 10},
        {"skipped, the client installed", B::kAbsent, B::kInstalled, Which::kNeither, kSkip, {}, kSkipped,
         kClientLeft | kKeysLeft | kFolderLeft, 10},
    };
    const TestPackage& service = TunnelServicePackage();
    const TestPackage& client = TunnelClientPackage();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(0u, Prepare(service, row.service));
        ASSERT_EQ(0u, Prepare(client, row.client));
        if ((row.given & kOthers) != 0) {
            ASSERT_EQ(0u, Install(OtherService()));
            ASSERT_EQ(0u, Install(OtherClient()));
        }
        state.skipTunnel = (row.given & kSkip) != 0;

        InstallerRecorder recorder;
        {
            std::optional<RestartOnRemoval> restart;
            if (row.restarting != Which::kNeither)
                restart.emplace(row.restarting == Which::kService ? service : client);
            EXPECT_EQ(row.result, RemoveTunnelClient(state));
        }
        std::vector<std::wstring> log = {L""};
        log.insert(log.end(), row.log.begin(), row.log.end());
        EXPECT_EQ(log, window->LogLines());
        EXPECT_EQ((row.after & kAbsent) != 0, state.tunnelAbsent);
        EXPECT_EQ((row.after & kRemoved) != 0, state.tunnelRemoved);
        EXPECT_EQ((row.after & kServiceLeft) != 0, IsInstalled(service));
        EXPECT_EQ((row.after & kClientLeft) != 0, IsInstalled(client));
        for (const TestPackage* package : {&service, &client})
            EXPECT_EQ(IsInstalled(*package), Exists(PayloadPath(*package))) << Narrow(package->msiName);
        if ((row.given & kOthers) != 0) {
            EXPECT_TRUE(IsInstalled(OtherService()));
            EXPECT_TRUE(IsInstalled(OtherClient()));
        }
        if (row.restarting != Which::kNeither) {
            // The restart request is the package's own answer.
            ASSERT_FALSE(recorder.removals.empty());
            EXPECT_EQ(UINT(ERROR_SUCCESS_REBOOT_REQUIRED), recorder.removals[0].result);
        }
        ExpectKeys((row.after & kKeysLeft) != 0);
        EXPECT_EQ(row.filesLeft, ClientFilesLeft());
        EXPECT_EQ((row.after & kFolderLeft) != 0, Exists(vendorFolder + L"\\vpn.cfg"));
        EXPECT_EQ((row.after & kFolderLeft) != 0, Exists(vendorFolder));
        NextRow();
    }
}

TEST_F(TunnelClient, AnotherDesktopUsersKeysGoToo)
{
    OtherUserHive hive;
    const std::wstring vendor = OtherUserSoftware() + L"Kestrix VPN Client";
    const std::wstring unrelated = OtherUserSoftware() + L"Kestrix Notes";
    ASSERT_TRUE(CreateKey(HKEY_USERS, vendor + L"\\Profiles"));
    ASSERT_TRUE(CreateKey(HKEY_USERS, unrelated));
    ASSERT_TRUE(CreateKey(HKEY_CURRENT_USER, L"Software\\Kestrix Notes"));

    // The desktop is this process's user's; then an account without a
    // loaded hive: this user's keys go, nothing else is touched.
    EXPECT_EQ(0, RemoveTunnelClient(state));
    ExpectKeys(false);
    EXPECT_TRUE(KeyExists(HKEY_USERS, vendor));
    ASSERT_TRUE(CreateKey(HKEY_CURRENT_USER, kClientKey));
    {
        DesktopUserOverride desktop(kUnloadedUserSid);
        EXPECT_EQ(0, RemoveTunnelClient(state));
    }
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kClientKey));
    EXPECT_TRUE(KeyExists(HKEY_USERS, vendor));
    EXPECT_FALSE(KeyExists(HKEY_USERS, kUnloadedUserSid));

    ASSERT_TRUE(CreateKey(HKEY_CURRENT_USER, kClientKey));
    {
        DesktopUserOverride desktop;
        EXPECT_EQ(0, RemoveTunnelClient(state));
    }
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kClientKey));
    EXPECT_FALSE(KeyExists(HKEY_USERS, vendor));
    EXPECT_TRUE(KeyExists(HKEY_USERS, unrelated));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, L"Software\\Kestrix Notes"));
    DeleteKeyForTest(HKEY_CURRENT_USER, L"Software\\Kestrix Notes");
}

TEST_F(TunnelClient, Win64UsesTheNativeKeyAndThe32BitSystemFolder)
{
    if (!IsNative64Bit())
        GTEST_SKIP() << "no registry or file-system redirection on 32-bit Windows";
    // A key below Wow6432Node, and a client file in the 64-bit system folder.
    ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, kClientKey, KEY_WOW64_32KEY));
    PVOID redirection = nullptr;
    ASSERT_TRUE(Wow64DisableWow64FsRedirection(&redirection));
    std::wstring nativeFile = systemFolder + kTunnelClientFiles[0];
    bool made = WriteTextFile(nativeFile, "64-bit file");
    Wow64RevertWow64FsRedirection(redirection);
    ASSERT_TRUE(made);
    EXPECT_EQ("client file", ReadWholeFile(nativeFile));  // this process sees syswow64

    EXPECT_EQ(0, RemoveTunnelClient(state));
    ExpectKeys(false);
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kClientKey, KEY_WOW64_32KEY));
    EXPECT_EQ(0, ClientFilesLeft());
    EXPECT_NE(std::string::npos, WindowsToUnixPath(nativeFile).find("syswow64"));

    ASSERT_TRUE(Wow64DisableWow64FsRedirection(&redirection));
    std::string native = ReadWholeFile(nativeFile);
    DeleteFileW(nativeFile.c_str());
    Wow64RevertWow64FsRedirection(redirection);
    EXPECT_EQ("64-bit file", native);
    DeleteKeyForTest(HKEY_LOCAL_MACHINE, kClientKey, KEY_WOW64_32KEY);
}

}  // namespace
