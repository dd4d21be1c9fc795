#include <gtest/gtest.h>

#include <shlobj.h>

#include <string>
#include <vector>

#include "app/cleanup_dialog.h"
#include "app/resource_ids.h"
#include "removal/desktop_components.h"
#include "support/other_user.h"
#include "support/test_support.h"
#include "system/bounded_string.h"
#include "system/cleanup_state.h"
#include "system/handles.h"
#include "system/platform_probes.h"
#include "system/special_folders.h"

namespace {

typedef std::vector<std::wstring> Lines;

// The log of a run that removes both components, folders only or fully
// (the full removal of the cache cleaner says "PW"), of one that removes
// the first alone, and of one that finds neither.
const Lines kBothGo = {L"", L"Uninstalling HLD... ", L"HLD Uninstallation Successful",
                       L"Uninstalling Pyrewick... ", L"Pyrewick Uninstallation Successful"};
const Lines kBothGoFully = {L"", L"Uninstalling HLD... ", L"HLD Uninstallation Successful",
                            L"Uninstalling Pyrewick... ", L"PW Uninstallation Successful"};
const Lines kHldGoes = {L"", L"Uninstalling HLD... ", L"HLD Uninstallation Successful", L"Pyrewick not installed"};
const Lines kNeither = {L"", L"HLD not installed", L"Pyrewick not installed"};

const std::wstring kLowRegistry = L"SOFTWARE\\LowRegistry\\";
const wchar_t* const kPolicyIds[3] = {L"{8970B2CF-5421-019c-F069-0878C09D6FEE}",
                                      L"{0BCAFBB1-EDA2-14d1-6151-29023E4881F6}",
                                      L"{68B7402F-CCA1-69F5-5754-82F7B727DBA5}"};
const wchar_t kOtherPolicyId[] = L"{00000000-0000-0000-0000-00000000A5E5}";
const std::wstring kPolicyKey64 = L"SOFTWARE\\Microsoft\\Internet Explorer\\Low Rights\\ElevationPolicy\\";

// The class key the program probes (below Wow6432Node in a 64-bit
// prefix), and the one of the other view, which it must leave alone.
std::wstring ClassKey(DesktopComponent component, bool otherView = false)
{
    static const wchar_t* const keys[2][2] = {
        {L"CLSID\\{51BA3E78-ECB2-16F4-A22E-A41505A64625}",
         L"Wow6432Node\\CLSID\\{51BA3E78-ECB2-16F4-A22E-A41505A64625}"},
        {L"CLSID\\{0D8708AD-A9F4-C810-A862-5D84D75FBB4D}",
         L"Wow6432Node\\CLSID\\{0D8708AD-A9F4-C810-A862-5D84D75FBB4D}"}};
    return keys[component == kHld ? 0 : 1][(PrefixKind() == L"win64") != otherView];
}

std::wstring PolicyKey()
{
    return PrefixKind() == L"win64"
               ? L"SOFTWARE\\Wow6432Node\\Microsoft\\Internet Explorer\\Low Rights\\ElevationPolicy\\"
               : kPolicyKey64;
}

std::wstring DataFolder(DesktopComponent component)
{
    return ShellFolder(CSIDL_COMMON_APPDATA) + (component == kHld ? L"\\Halcyra" : L"\\Pyrewick");
}

// Opened as a running program holds a file: no sharing at all.
HANDLE HoldFile(const std::wstring& path)
{
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// One window for the suite: its log pane takes the lines, and it keeps
// explorer.exe, through which the per-user folder is found, in reach.
class DesktopComponents : public testing::Test {
protected:
    static void SetUpTestSuite() { window_ = new TestWindow(); }
    static void TearDownTestSuite()
    {
        delete window_;
        window_ = nullptr;
    }

    void SetUp() override
    {
        ASSERT_NE(nullptr, gCleanupDialog);
        ClearLog();
        state_.dialog = gCleanupDialog;
        std::wstring appData = WaitForInteractiveAppData();
        ASSERT_FALSE(appData.empty()) << "no explorer.exe";
        perUser_ = appData + L"\\Halcyra";
        for (const std::wstring& folder : {DataFolder(kHld), DataFolder(kPw), perUser_})
            RemoveTestTree(folder);
    }

    void TearDown() override
    {
        // Links by name first: one whose target went is invisible to a walk.
        for (const std::wstring& link : links_)
            RemoveLink(link);
        for (auto it = keys_.rbegin(); it != keys_.rend(); ++it)
            DeleteKeyForTest(it->root, it->path, it->view);
        for (const std::wstring& folder : {DataFolder(kHld), DataFolder(kPw), perUser_, scratch_})
            RemoveTestTree(folder);
        for (auto it = folders_.rbegin(); it != folders_.rend(); ++it)
            RemoveTestTree(*it);
    }

    // Creates a key, remembering the outermost key it had to make, so that
    // the clean-up removes exactly what the test added.
    void MakeKey(HKEY root, const std::wstring& path, REGSAM view)
    {
        size_t at = 0;
        do {
            at = path.find(L'\\', at + 1);
            if (!KeyExists(root, path.substr(0, at), view)) {
                keys_.push_back({root, path.substr(0, at), view});
                break;
            }
        } while (at != std::wstring::npos);
        ASSERT_TRUE(CreateKey(root, path, view)) << Narrow(path);
    }

    // The same for folders (Wine keeps no XP-style folders in XP mode).
    void MakeFolder(const std::wstring& folder)
    {
        std::wstring outermost;
        for (std::wstring at = folder; !IsFolder(at); at = at.substr(0, at.find_last_of(L'\\')))
            outermost = at;
        if (!outermost.empty())
            folders_.push_back(outermost);
        ASSERT_TRUE(MakeFolders(folder)) << Narrow(folder);
    }

    void FillFolder(const std::wstring& folder)
    {
        MakeFolder(folder + L"\\cache");
        ASSERT_TRUE(WriteTextFile(folder + L"\\settings.ini", "[vendor]"));
        ASSERT_TRUE(WriteTextFile(folder + L"\\cache\\entry.bin", "data"));
    }

    void Register(DesktopComponent component, bool otherView = false)
    {
        MakeKey(HKEY_CLASSES_ROOT, ClassKey(component, otherView) + L"\\InprocServer32", NativeView());
    }

    void InstallFolders()
    {
        FillFolder(DataFolder(kHld));
        FillFolder(DataFolder(kPw));
        FillFolder(perUser_);
    }

    // Both components with the keys they leave, registered in this view
    // or the other; with their folders unless told otherwise.
    void InstallBoth(bool otherView, bool folders = true)
    {
        Register(kHld, otherView);
        Register(kPw, otherView);
        if (folders)
            InstallFolders();
        InstallRegistryLeftovers();
    }

    void InstallRegistryLeftovers()
    {
        for (const wchar_t* name : {L"Alpha", L"Pyrewick", L"tarn-checkstate.exe", L"tarn.exe\\Child",
                                    L"tarn.exe.bak"})
            MakeKey(HKEY_CURRENT_USER, kLowRegistry + name, 0);
        for (const wchar_t* id : kPolicyIds) {
            MakeKey(HKEY_LOCAL_MACHINE, PolicyKey() + id, NativeView());
            if (IsNative64Bit())
                MakeKey(HKEY_LOCAL_MACHINE, kPolicyKey64 + id, KEY_WOW64_64KEY);
        }
        MakeKey(HKEY_LOCAL_MACHINE, PolicyKey() + kOtherPolicyId, NativeView());
    }

    bool Has(HKEY root, const std::wstring& path, REGSAM view = 0) const
    {
        return KeyExists(root, path, view);
    }

    void ExpectRegistryLeftovers(bool removed) const
    {
        EXPECT_EQ(!removed, Has(HKEY_CURRENT_USER, kLowRegistry + L"Pyrewick"));
        EXPECT_EQ(!removed, Has(HKEY_CURRENT_USER, kLowRegistry + L"tarn-checkstate.exe"));
        EXPECT_EQ(!removed, Has(HKEY_CURRENT_USER, kLowRegistry + L"tarn.exe"));
        EXPECT_TRUE(Has(HKEY_CURRENT_USER, kLowRegistry + L"Alpha"));
        EXPECT_TRUE(Has(HKEY_CURRENT_USER, kLowRegistry + L"tarn.exe.bak"));
        for (const wchar_t* id : kPolicyIds) {
            EXPECT_EQ(!removed, Has(HKEY_LOCAL_MACHINE, PolicyKey() + id, NativeView())) << Narrow(id);
            // Only the 32-bit policy is the vendor's on 64-bit Windows.
            if (IsNative64Bit()) {
                EXPECT_TRUE(Has(HKEY_LOCAL_MACHINE, kPolicyKey64 + id, KEY_WOW64_64KEY));
            }
        }
        EXPECT_TRUE(Has(HKEY_LOCAL_MACHINE, PolicyKey() + kOtherPolicyId, NativeView()));
    }

    void ExpectFoldersGone() const
    {
        for (const std::wstring& folder : {DataFolder(kHld), DataFolder(kPw), perUser_})
            EXPECT_FALSE(Exists(folder)) << Narrow(folder);
    }

    bool Registered(DesktopComponent component, bool otherView = false) const
    {
        return Has(HKEY_CLASSES_ROOT, ClassKey(component, otherView), NativeView());
    }

    // Links may point only at a folder of the test's own.
    bool LinkToScratch(const std::wstring& link)
    {
        if (scratch_.empty()) {
            scratch_ = MakeScratchFolder(L"desktop-link-target");
            WriteTextFile(scratch_ + L"\\keep.txt", "target file");
        }
        links_.push_back(link);
        return MakeDirectoryLink(link, scratch_);
    }

    void ClearLog() const { SetWindowTextW(GetDlgItem(window_->Window(), IDC_LOG_PANE), L""); }
    void Run() { RemoveDesktopComponents(*gCleanupDialog, state_); }
    Lines Log() const { return window_->LogLines(); }

    struct Key {
        HKEY root;
        std::wstring path;
        REGSAM view;
    };
    static TestWindow* window_;
    CleanupState state_{};
    std::wstring perUser_;
    std::wstring scratch_;
    std::vector<Key> keys_;
    std::vector<std::wstring> folders_;
    std::vector<std::wstring> links_;
};

TestWindow* DesktopComponents::window_ = nullptr;

TEST_F(DesktopComponents, BothFullyInstalledAreRemovedThenNotInstalled)
{
    InstallBoth(false);
    Run();
    EXPECT_EQ(kBothGoFully, Log());
    EXPECT_FALSE(Registered(kHld));
    EXPECT_FALSE(Registered(kPw));
    ExpectFoldersGone();
    ExpectRegistryLeftovers(true);

    ClearLog();
    Run();
    EXPECT_EQ(kNeither, Log());
}

// Windows on another drive, or an XP whose all-users folder has another
// name: the data folders are where the shell says, and the usual place is
// left alone.
TEST_F(DesktopComponents, DataFoldersFollowTheAllUsersFolder)
{
    FillFolder(DataFolder(kPw));
    const std::wstring allUsers = MakeScratchFolder(L"all-users");
    folders_.push_back(allUsers);
    {
        ShellFolderRedirect machine(L"Common AppData", allUsers, HKEY_LOCAL_MACHINE);
        ASSERT_EQ(allUsers, ShellFolder(CSIDL_COMMON_APPDATA));
        FillFolder(allUsers + L"\\Halcyra");
        FillFolder(allUsers + L"\\Pyrewick");
        Run();
    }
    EXPECT_EQ(kBothGo, Log());
    EXPECT_FALSE(Exists(allUsers + L"\\Halcyra"));
    EXPECT_FALSE(Exists(allUsers + L"\\Pyrewick"));
    EXPECT_TRUE(Exists(DataFolder(kPw) + L"\\settings.ini"));
}

TEST_F(DesktopComponents, ClassKeyInTheOtherViewIsNeitherProbedNorDeleted)
{
    InstallBoth(true);
    Run();
    // Folder-only removals: the cache cleaner's line tells, and neither
    // touches the registry.
    EXPECT_EQ(kBothGo, Log());
    EXPECT_TRUE(Registered(kHld, true));
    EXPECT_TRUE(Registered(kPw, true));
    ExpectRegistryLeftovers(false);
    ExpectFoldersGone();

    // The per-user folder may be missing already.
    FillFolder(DataFolder(kHld));
    ClearLog();
    Run();
    EXPECT_EQ(kHldGoes, Log());
    EXPECT_FALSE(Exists(DataFolder(kHld)));
}

TEST_F(DesktopComponents, AnotherDesktopUsersKeysGoToo)
{
    const std::wstring lowRegistry = OtherUserSoftware() + L"LowRegistry\\";
    const std::wstring classKey = OtherUserClasses() + ClassKey(kHld);
    for (const wchar_t* name : {L"Alpha", L"Pyrewick", L"tarn.exe\\Child", L"tarn.exe.bak"})
        MakeKey(HKEY_USERS, lowRegistry + name, 0);
    MakeKey(HKEY_USERS, classKey + L"\\InprocServer32", NativeView());
    Register(kHld);
    FillFolder(DataFolder(kHld));
    InstallRegistryLeftovers();

    // The desktop is this process's user's: the other hive is not touched.
    Run();
    EXPECT_EQ(kHldGoes, Log());
    EXPECT_FALSE(Registered(kHld));
    EXPECT_FALSE(Exists(DataFolder(kHld)));
    ExpectRegistryLeftovers(true);
    EXPECT_TRUE(Has(HKEY_USERS, lowRegistry + L"Pyrewick"));
    EXPECT_TRUE(Has(HKEY_USERS, classKey, NativeView()));

    // The other account's class key alone registers the component now.
    FillFolder(DataFolder(kHld));
    MakeKey(HKEY_CURRENT_USER, kLowRegistry + L"tarn.exe", 0);
    DesktopUserOverride desktop;
    ClearLog();
    Run();
    EXPECT_EQ(kHldGoes, Log());
    EXPECT_FALSE(Exists(DataFolder(kHld)));
    EXPECT_FALSE(Has(HKEY_USERS, classKey, NativeView()));
    EXPECT_FALSE(Has(HKEY_USERS, lowRegistry + L"Pyrewick"));
    EXPECT_FALSE(Has(HKEY_USERS, lowRegistry + L"tarn.exe"));
    EXPECT_TRUE(Has(HKEY_USERS, lowRegistry + L"Alpha"));
    EXPECT_TRUE(Has(HKEY_USERS, lowRegistry + L"tarn.exe.bak"));
    EXPECT_FALSE(Has(HKEY_CURRENT_USER, kLowRegistry + L"tarn.exe"));
    EXPECT_TRUE(Has(HKEY_CURRENT_USER, kLowRegistry + L"Alpha"));
}

TEST_F(DesktopComponents, ClassKeyWithoutDataFolderIsNotInstalled)
{
    InstallBoth(false, false);
    FillFolder(perUser_);
    Run();
    EXPECT_EQ(kNeither, Log());
    EXPECT_TRUE(Registered(kHld));
    EXPECT_TRUE(Registered(kPw));
    EXPECT_TRUE(Exists(perUser_ + L"\\settings.ini"));
    ExpectRegistryLeftovers(false);
}

TEST_F(DesktopComponents, FullRemovalOutcomeRestsOnTheDataFolder)
{
    InstallBoth(false);
    UniqueHandle heldUser(HoldFile(perUser_ + L"\\in-use.dat"));
    UniqueHandle heldData(HoldFile(DataFolder(kPw) + L"\\cache\\in-use.dat"));
    ASSERT_TRUE(heldUser.IsValid());
    ASSERT_TRUE(heldData.IsValid());

    Run();
    EXPECT_EQ(Lines({L"", L"Uninstalling HLD... ", L"HLD Uninstallation Successful",
                     L"Uninstalling Pyrewick... ", L"Uninstallation Failed"}),
              Log());
    EXPECT_FALSE(Registered(kHld));
    EXPECT_FALSE(Exists(DataFolder(kHld)));
    EXPECT_TRUE(Exists(perUser_ + L"\\in-use.dat"));
    // The failed removal has made its registry changes all the same.
    EXPECT_FALSE(Registered(kPw));
    ExpectRegistryLeftovers(true);
    EXPECT_TRUE(Exists(DataFolder(kPw) + L"\\cache\\in-use.dat"));
}

TEST_F(DesktopComponents, FolderOnlyFailuresAreReported)
{
    // The per-user folder resists; the data folder goes all the same.
    InstallFolders();
    UniqueHandle heldUser(HoldFile(perUser_ + L"\\in-use.dat"));
    UniqueHandle heldData(HoldFile(DataFolder(kPw) + L"\\in-use.dat"));
    ASSERT_TRUE(heldUser.IsValid());
    ASSERT_TRUE(heldData.IsValid());

    Run();
    EXPECT_EQ(Lines({L"", L"Uninstalling HLD... ", L"HLD Uninstallation Failed", L"Uninstalling Pyrewick... ",
                     L"Pyrewick Uninstallation Failed"}),
              Log());
    EXPECT_FALSE(Exists(DataFolder(kHld)));
    EXPECT_TRUE(Exists(perUser_ + L"\\in-use.dat"));
    EXPECT_TRUE(Exists(DataFolder(kPw) + L"\\in-use.dat"));
}

TEST_F(DesktopComponents, FullRemovalCalledDirectly)
{
    // Registered, data folder already gone: a success.
    Register(kPw);
    InstallRegistryLeftovers();
    RemoveDesktopComponent(state_, kPw);
    EXPECT_EQ(Lines({L"", L"PW Uninstallation Successful"}), Log());
    EXPECT_FALSE(Registered(kPw));
    ExpectRegistryLeftovers(true);

    // Not registered: nothing is removed and nothing is said.
    ClearLog();
    MakeKey(HKEY_CURRENT_USER, kLowRegistry + L"tarn.exe", 0);
    FillFolder(DataFolder(kHld));
    RemoveDesktopComponent(state_, kHld);
    EXPECT_EQ(Lines({L""}), Log());
    EXPECT_TRUE(Has(HKEY_CURRENT_USER, kLowRegistry + L"tarn.exe"));
    EXPECT_TRUE(Exists(DataFolder(kHld) + L"\\settings.ini"));
}

TEST_F(DesktopComponents, LinkedFoldersAreLeftInPlace)
{
    Register(kHld);
    std::wstring hld = DataFolder(kHld);
    MakeFolder(hld.substr(0, hld.find_last_of(L'\\')));
    ASSERT_TRUE(LinkToScratch(hld));
    FillFolder(DataFolder(kPw));
    ASSERT_TRUE(LinkToScratch(DataFolder(kPw) + L"\\cache\\linked"));

    Run();
    EXPECT_EQ(Lines({L"", L"Uninstalling HLD... ", L"Uninstallation Failed", L"Uninstalling Pyrewick... ",
                     L"Pyrewick Uninstallation Failed"}),
              Log());
    EXPECT_TRUE(Exists(hld));
    // A link inside stays where it cannot go as itself (Wine), and the rest goes.
    EXPECT_TRUE(Exists(DataFolder(kPw) + L"\\cache\\linked"));
    EXPECT_FALSE(Exists(DataFolder(kPw) + L"\\settings.ini"));
    EXPECT_EQ("target file", ReadWholeFile(scratch_ + L"\\keep.txt"));

    // A linked per-user folder is passed over as a missing one (the class
    // key went in the first run).
    RemoveLink(hld);
    FillFolder(hld);
    RemoveTestTree(DataFolder(kPw));
    ASSERT_TRUE(LinkToScratch(perUser_));
    ClearLog();
    Run();
    EXPECT_EQ(kHldGoes, Log());
    EXPECT_FALSE(Exists(hld));
    EXPECT_EQ("target file", ReadWholeFile(scratch_ + L"\\keep.txt"));
}

class LowRegistryCleaning : public testing::Test {
protected:
    const std::wstring parent_ = L"Software\\HsTestLowRegistry\\";
    void TearDown() override { DeleteKeyForTest(HKEY_CURRENT_USER, L"Software\\HsTestLowRegistry"); }

    void Make(const std::wstring& name) const
    {
        ASSERT_TRUE(CreateKey(HKEY_CURRENT_USER, parent_ + name));
    }
    bool Has(const std::wstring& name) const { return KeyExists(HKEY_CURRENT_USER, parent_ + name); }
};

TEST_F(LowRegistryCleaning, WholeNamesCaseSensitivelyAndAdjacentMatchesInOnePass)
{
    std::wstring tooLong(255, L'A');
    for (const std::wstring& name : {tooLong, std::wstring(L"Pyrewick\\Sub\\Deeper"),
                                     std::wstring(L"tarn-checkstate.exe"), std::wstring(L"tarn.exe"),
                                     std::wstring(L"tarn.exe.bak"), std::wstring(L"xtarn.exe")})
        Make(name);
    RegKey key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\HsTestLowRegistry", 0,
                                           KEY_ALL_ACCESS, key.Receive()));
    CleanLowRegistry(key.Get());
    EXPECT_FALSE(Has(L"Pyrewick"));
    EXPECT_FALSE(Has(L"tarn-checkstate.exe"));
    EXPECT_FALSE(Has(L"tarn.exe"));
    EXPECT_TRUE(Has(tooLong));
    EXPECT_TRUE(Has(L"tarn.exe.bak"));
    EXPECT_TRUE(Has(L"xtarn.exe"));

    // The registry is case-blind, so the other spellings go in a second pass.
    for (const wchar_t* name : {L"PYREWICK", L"TARN.EXE", L"Tarn-CheckState.exe"})
        Make(name);
    CleanLowRegistry(key.Get());
    EXPECT_TRUE(Has(L"PYREWICK"));
    EXPECT_TRUE(Has(L"TARN.EXE"));
    EXPECT_TRUE(Has(L"Tarn-CheckState.exe"));
}

}  // namespace
