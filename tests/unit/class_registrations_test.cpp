#include <gtest/gtest.h>

#include <cwctype>
#include <string>
#include <vector>

#include "removal/class_registrations.h"
#include "support/other_user.h"
#include "support/test_support.h"
#include "system/bounded_string.h"
#include "system/cleanup_state.h"
#include "system/platform_probes.h"
#include "system/special_folders.h"

namespace {

const std::wstring kUserClasses = L"Software\\Classes\\";

TEST(ClassRegistrations, ProgIdsInClassesRootAndUserClasses)
{
    REGSAM view = NativeView();
    ASSERT_TRUE(CreateKey(HKEY_CLASSES_ROOT, L"Kestrix.Widget\\CLSID", view));
    ASSERT_TRUE(CreateKey(HKEY_CLASSES_ROOT, L"Kestrix.QvWinActiveX\\CurVer", view));
    ASSERT_TRUE(CreateKey(HKEY_CLASSES_ROOT, L"Kestrix.QvWinActiveX.1\\CLSID", view));
    for (const wchar_t* name : {L"Kestrix.Tool\\CLSID", L"Vendor.xpvVersion.2\\CurVer", L"xpvVersion",
                                L"Vendor.XPVVERSION", L"Kestrix.QvWinActiveX.2"})
        ASSERT_TRUE(CreateKey(HKEY_CURRENT_USER, kUserClasses + name, view));

    CleanupState state{};
    CleanClassRegistrations(state);

    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"Kestrix.Widget", view));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"Kestrix.QvWinActiveX\\CurVer", view));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"Kestrix.QvWinActiveX.1\\CLSID", view));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kUserClasses + L"Kestrix.Tool", view));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kUserClasses + L"Vendor.xpvVersion.2", view));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kUserClasses + L"xpvVersion", view));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kUserClasses + L"Vendor.XPVVERSION", view));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kUserClasses + L"Kestrix.QvWinActiveX.2", view));

    DeleteKeyForTest(HKEY_CLASSES_ROOT, L"Kestrix.QvWinActiveX", view);
    DeleteKeyForTest(HKEY_CLASSES_ROOT, L"Kestrix.QvWinActiveX.1", view);
    DeleteKeyForTest(HKEY_CURRENT_USER, kUserClasses + L"Vendor.XPVVERSION", view);
    DeleteKeyForTest(HKEY_CURRENT_USER, kUserClasses + L"Kestrix.QvWinActiveX.2", view);
}

TEST(ClassRegistrations, ClassIdsPerUserAndMachineWide)
{
    REGSAM view = NativeView();
    bool wow64 = IsNative64Bit();
    const std::wstring user = kUserClasses + L"CLSID\\";
    const std::wstring user32 = kUserClasses + L"Wow6432Node\\CLSID\\";
    const std::wstring machine = L"CLSID\\";
    const std::wstring machine32 = L"Wow6432Node\\CLSID\\";
    // On 64-bit Windows the 32-bit registrations are other keys.
    ASSERT_TRUE(CreateKey(HKEY_CLASSES_ROOT, machine + kVendorClassIds[0], view));
    ASSERT_FALSE(wow64 && KeyExists(HKEY_CLASSES_ROOT, machine32 + kVendorClassIds[0], view));
    for (const wchar_t* id : kVendorClassIds) {
        if (id != kVendorClassIds[2]) {
            ASSERT_TRUE(SetStringValue(HKEY_CURRENT_USER, user + id + L"\\InprocServer32", L"", L"a.dll",
                                       view));
        }
        ASSERT_TRUE(SetStringValue(HKEY_CLASSES_ROOT, machine + id + L"\\InprocServer32", L"", L"b.dll", view));
        if (wow64) {
            ASSERT_TRUE(SetStringValue(HKEY_CLASSES_ROOT, machine32 + id + L"\\InprocServer32", L"",
                                       L"c.dll", view));
            ASSERT_TRUE(CreateKey(HKEY_CURRENT_USER, user32 + id + L"\\InprocServer32", view));
        }
    }
    // The names are compared case-sensitively: a lower-case spelling is
    // not the vendor's (and, the registry being case-blind, is the only one).
    std::wstring lower = kVendorClassIds[2];
    for (wchar_t& c : lower)
        c = static_cast<wchar_t>(towlower(c));
    ASSERT_TRUE(CreateKey(HKEY_CURRENT_USER, user + lower + L"\\InprocServer32", view));
    ASSERT_TRUE(CreateKey(HKEY_CURRENT_USER, user + L"{00000000-0000-0000-0000-0000000A5E57}", view));

    CleanupState state{};
    CleanClassRegistrations(state);
    for (const wchar_t* id : kVendorClassIds) {
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, machine + id, view)) << Narrow(id);
        if (wow64) {
            EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, machine32 + id, view)) << Narrow(id);
            EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, user32 + id, view)) << Narrow(id);
        }
        if (id != kVendorClassIds[2]) {
            EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, user + id, view)) << Narrow(id);
        }
    }
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, user + lower + L"\\InprocServer32", view));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, user + L"{00000000-0000-0000-0000-0000000A5E57}", view));

    DeleteKeyForTest(HKEY_CURRENT_USER, user + lower, view);
    DeleteKeyForTest(HKEY_CURRENT_USER, user + L"{00000000-0000-0000-0000-0000000A5E57}", view);
}

TEST(ClassRegistrations, AnotherDesktopUsersClassesToo)
{
    REGSAM view = NativeView();
    OtherUserHive hive;
    const std::wstring other = OtherUserClasses();
    std::vector<std::wstring> vendor = {L"Kestrix.Tool\\CLSID", L"Vendor.xpvVersion.2",
                                        std::wstring(L"CLSID\\") + kVendorClassIds[0] + L"\\InprocServer32"};
    if (IsNative64Bit())
        vendor.push_back(std::wstring(L"Wow6432Node\\CLSID\\") + kVendorClassIds[1]);
    const std::wstring unrelated[] = {L"Kestrix.QvWinActiveX.2", L"Vendor.Widget",
                                      L"CLSID\\{00000000-0000-0000-0000-0000000A5E57}"};
    for (const std::wstring& name : vendor)
        ASSERT_TRUE(CreateKey(HKEY_USERS, other + name, view));
    for (const std::wstring& name : unrelated)
        ASSERT_TRUE(CreateKey(HKEY_USERS, other + name, view));
    ASSERT_TRUE(CreateKey(HKEY_CURRENT_USER, kUserClasses + L"Vendor.Widget", view));

    // The desktop is this process's user's: the other hive is not touched.
    CleanupState state{};
    CleanClassRegistrations(state);
    for (const std::wstring& name : vendor)
        EXPECT_TRUE(KeyExists(HKEY_USERS, other + name, view)) << Narrow(name);
    {
        DesktopUserOverride desktop;
        CleanClassRegistrations(state);
    }
    for (const std::wstring& name : vendor)
        EXPECT_FALSE(KeyExists(HKEY_USERS, other + name, view)) << Narrow(name);
    for (const std::wstring& name : unrelated)
        EXPECT_TRUE(KeyExists(HKEY_USERS, other + name, view)) << Narrow(name);
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kUserClasses + L"Vendor.Widget", view));
    DeleteKeyForTest(HKEY_CURRENT_USER, kUserClasses + L"Vendor.Widget", view);
}

struct TunnelFlags {
    bool tunnelRemoved;
    bool tunnelAbsent;
};

void PrintTo(const TunnelFlags& flags, std::ostream* out)
{
    *out << "tunnelRemoved=" << flags.tunnelRemoved << " tunnelAbsent=" << flags.tunnelAbsent;
}

// The user's "\Kestrix" folder, found through explorer.exe, which starts
// with the first window under the display: the suite keeps one open.
class UserVendorFolder : public testing::TestWithParam<TunnelFlags> {
protected:
    static void SetUpTestSuite() { window_ = new TestWindow(); }
    static void TearDownTestSuite()
    {
        delete window_;
        window_ = nullptr;
    }

    void SetUp() override
    {
        std::wstring appData = WaitForInteractiveAppData();
        ASSERT_FALSE(appData.empty()) << "no explorer.exe";
        folder_ = appData + L"\\Kestrix";
        RemoveTestTree(folder_);
        ASSERT_TRUE(MakeFolders(folder_));
        ASSERT_TRUE(WriteTextFile(folder_ + L"\\profile.xml", "<profile/>"));
        ASSERT_TRUE(WriteTextFile(folder_ + L"\\trace.log", "log"));
    }
    void TearDown() override { RemoveTestTree(folder_); }

    static TestWindow* window_;
    std::wstring folder_;
};

TestWindow* UserVendorFolder::window_ = nullptr;

TEST_P(UserVendorFolder, EmptiedOnlyOnceTheTunnelClientIsGone)
{
    CleanupState state{};
    state.tunnelRemoved = GetParam().tunnelRemoved;
    state.tunnelAbsent = GetParam().tunnelAbsent;
    CleanClassRegistrations(state);
    bool emptied = state.tunnelRemoved || state.tunnelAbsent;
    EXPECT_EQ(!emptied, Exists(folder_ + L"\\profile.xml"));
    EXPECT_EQ(!emptied, Exists(folder_ + L"\\trace.log"));
    EXPECT_EQ(!emptied, Exists(folder_));

    // A subfolder, which is not descended into, keeps the folder.
    ASSERT_TRUE(MakeFolders(folder_ + L"\\Certificates"));
    ASSERT_TRUE(WriteTextFile(folder_ + L"\\Certificates\\user.pem", "pem"));
    ASSERT_TRUE(WriteTextFile(folder_ + L"\\profile.xml", "<profile/>"));
    CleanClassRegistrations(state);
    EXPECT_EQ(!emptied, Exists(folder_ + L"\\profile.xml"));
    EXPECT_TRUE(Exists(folder_ + L"\\Certificates\\user.pem"));
}

INSTANTIATE_TEST_SUITE_P(TunnelStates, UserVendorFolder,
                         testing::Values(TunnelFlags{false, false}, TunnelFlags{true, false},
                                         TunnelFlags{false, true}, TunnelFlags{true, true}));

}  // namespace
