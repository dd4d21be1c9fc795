#include <gtest/gtest.h>

#include <shlobj.h>

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

    std::vector<std::wstring> Log(std::initializer_list<const wchar_t*> lines) const
    {
        std::vector<std::wstring> log = {L""};
        log.insert(log.end(), lines.begin(), lines.end());
        return log;
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

    TestWindow window;
    CleanupState state{};
    std::wstring systemFolder = ShellFolder(CSIDL_SYSTEM);
    std::wstring vendorFolder = ShellFolder(CSIDL_COMMON_APPDATA) + L"\\Kestrix";
    ProductCleanup cleanup{&kTunnelService64, &kTunnelClient64, &kTunnelService32, &kTunnelClient32};
};

TEST_F(TunnelClient, NeitherProductInstalled)
{
    EXPECT_EQ(0, RemoveTunnelClient(state));
    EXPECT_EQ(Log({kStarting, kCleaning, kNotInstalledLine}), window.LogLines());
    EXPECT_TRUE(state.tunnelAbsent);
    EXPECT_TRUE(state.tunnelRemoved);
    ExpectKeys(false);
    EXPECT_EQ(0, ClientFilesLeft());
    EXPECT_FALSE(Exists(vendorFolder));
}

TEST_F(TunnelClient, BothProductsRemoved)
{
    const TestPackage& service = TunnelServicePackage();
    const TestPackage& client = TunnelClientPackage();
    ASSERT_EQ(0u, Install(service));
    ASSERT_EQ(0u, Install(client));

    EXPECT_EQ(0, RemoveTunnelClient(state));
    EXPECT_EQ(Log({kStarting, kServiceRemoved, kClientRemoved, kCleaning}), window.LogLines());
    EXPECT_TRUE(state.tunnelRemoved);
    EXPECT_FALSE(state.tunnelAbsent);
    EXPECT_FALSE(IsInstalled(service));
    EXPECT_FALSE(IsInstalled(client));
    EXPECT_FALSE(Exists(PayloadPath(service)));
    EXPECT_FALSE(Exists(PayloadPath(client)));
    ExpectKeys(false);
    EXPECT_EQ(0, ClientFilesLeft());
    EXPECT_FALSE(Exists(vendorFolder));
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

TEST_F(TunnelClient, ProductsOfTheOtherWindowsAreNotTheClient)
{
    ASSERT_EQ(0u, Install(OtherService()));
    ASSERT_EQ(0u, Install(OtherClient()));

    EXPECT_EQ(0, RemoveTunnelClient(state));
    EXPECT_EQ(Log({kStarting, kCleaning, kNotInstalledLine}), window.LogLines());
    EXPECT_TRUE(IsInstalled(OtherService()));
    EXPECT_TRUE(IsInstalled(OtherClient()));
}

TEST_F(TunnelClient, ServiceFailureKeepsTheVendorFolder)
{
    const TestPackage& service = TunnelServicePackage();
    const TestPackage& client = TunnelClientPackage();
    ASSERT_EQ(0u, InstallDamaged(service, Damage::kPackageLost));
    ASSERT_EQ(0u, Install(client));

    EXPECT_EQ(kTunnelServiceFailed, RemoveTunnelClient(state));
    EXPECT_EQ(Log({kStarting, kClientRemoved, kCleaning, kServiceFailed}), window.LogLines());
    EXPECT_FALSE(state.tunnelRemoved);
    EXPECT_FALSE(state.tunnelAbsent);
    EXPECT_TRUE(IsInstalled(service));
    EXPECT_FALSE(IsInstalled(client));
    ExpectKeys(false);
    EXPECT_EQ(0, ClientFilesLeft());
    EXPECT_TRUE(Exists(vendorFolder + L"\\vpn.cfg"));
}

TEST_F(TunnelClient, ServiceFailureWithTheClientAbsent)
{
    ASSERT_EQ(0u, InstallDamaged(TunnelServicePackage(), Damage::kPackageGarbage));

    EXPECT_EQ(kTunnelServiceFailed, RemoveTunnelClient(state));
    EXPECT_EQ(Log({kStarting, kCleaning, kNotInstalledLine, kServiceFailed}), window.LogLines());
    EXPECT_TRUE(state.tunnelAbsent);
    EXPECT_FALSE(state.tunnelRemoved);
    EXPECT_EQ(0, ClientFilesLeft());
    EXPECT_TRUE(Exists(vendorFolder));
}

TEST_F(TunnelClient, ClientFailureKeepsFilesAndFolder)
{
    const TestPackage& service = TunnelServicePackage();
    const TestPackage& client = TunnelClientPackage();
    ASSERT_EQ(0u, Install(service));
    ASSERT_EQ(0u, InstallDamaged(client, Damage::kPackageGarbage));

    EXPECT_EQ(kTunnelClientFailed, RemoveTunnelClient(state));
    EXPECT_EQ(Log({kStarting, kServiceRemoved, kCleaning, kClientFailed}), window.LogLines());
    EXPECT_FALSE(state.tunnelRemoved);
    EXPECT_FALSE(state.tunnelAbsent);
    EXPECT_FALSE(IsInstalled(service));
    EXPECT_TRUE(IsInstalled(client));
    ExpectKeys(false);
    EXPECT_EQ(10, ClientFilesLeft());
    EXPECT_TRUE(Exists(vendorFolder + L"\\vpn.cfg"));
}

TEST_F(TunnelClient, RestartRequestFromTheClientIsAFailure)
{
    ASSERT_EQ(0u, Install(TunnelClientPackage()));

    InstallerRecorder recorder;
    RestartOnRemoval restart(TunnelClientPackage());
    EXPECT_EQ(kTunnelClientFailed, RemoveTunnelClient(state));
    ASSERT_EQ(1u, recorder.removals.size());
    EXPECT_EQ(UINT(ERROR_SUCCESS_REBOOT_REQUIRED), recorder.removals[0].result);
    EXPECT_EQ(Log({kStarting, kCleaning, kClientFailed}), window.LogLines());
    EXPECT_EQ(10, ClientFilesLeft());
    EXPECT_TRUE(Exists(vendorFolder));
}

// The service's removal comes first: the client still goes, the vendor's
// data folder stays.
TEST_F(TunnelClient, RestartRequestFromTheServiceIsAFailure)
{
    ASSERT_EQ(0u, Install(TunnelServicePackage()));
    ASSERT_EQ(0u, Install(TunnelClientPackage()));

    InstallerRecorder recorder;
    RestartOnRemoval restart(TunnelServicePackage());
    EXPECT_EQ(kTunnelServiceFailed, RemoveTunnelClient(state));
    ASSERT_EQ(2u, recorder.removals.size());
    EXPECT_EQ(UINT(ERROR_SUCCESS_REBOOT_REQUIRED), recorder.removals[0].result);
    EXPECT_EQ(Log({kStarting, kClientRemoved, kCleaning, kServiceFailed}), window.LogLines());
    EXPECT_FALSE(IsInstalled(TunnelClientPackage()));
    EXPECT_EQ(0, ClientFilesLeft());
    EXPECT_TRUE(Exists(vendorFolder + L"\\vpn.cfg"));
}

TEST_F(TunnelClient, SkipOnlyLooksForTheProducts)
{
    state.skipTunnel = true;
    EXPECT_EQ(kNotInstalled, RemoveTunnelClient(state));

    for (const TestPackage* package : {&TunnelServicePackage(), &TunnelClientPackage()}) {
        SCOPED_TRACE(Narrow(package->msiName));
        ASSERT_EQ(0u, Install(*package));
        EXPECT_EQ(kSkipped, RemoveTunnelClient(state));
        EXPECT_TRUE(IsInstalled(*package));
        Uninstall(*package);
    }

    EXPECT_EQ(L"", window.LogText());
    EXPECT_FALSE(state.tunnelAbsent);
    EXPECT_FALSE(state.tunnelRemoved);
    ExpectKeys(true);
    EXPECT_EQ(10, ClientFilesLeft());
    EXPECT_TRUE(Exists(vendorFolder + L"\\vpn.cfg"));
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
