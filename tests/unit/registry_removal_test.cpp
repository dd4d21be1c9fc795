#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "system/platform_probes.h"
#include "system/registry_removal.h"

namespace {

const wchar_t kParent[] = L"Software\\HsTestRegistryRemoval";

std::vector<std::wstring> Subkeys(HKEY root, const wchar_t* path, REGSAM view = 0)
{
    std::vector<std::wstring> names;
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path, 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return names;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD units = 256;
        LONG status = RegEnumKeyExW(key, i, name, &units, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        if (status == ERROR_SUCCESS)
            names.push_back(name);
    }
    RegCloseKey(key);
    std::sort(names.begin(), names.end());
    return names;
}

std::wstring Under(const std::wstring& name)
{
    return std::wstring(kParent) + L"\\" + name;
}

// A registry link whose target does not exist: opening it by name fails,
// so it cannot be deleted by name either.
bool MakeDanglingLink(HKEY root, const std::wstring& path)
{
    HKEY link = nullptr;
    if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_CREATE_LINK,
                        KEY_ALL_ACCESS | KEY_CREATE_LINK, nullptr, &link, nullptr) != ERROR_SUCCESS)
        return false;
    const wchar_t target[] = L"\\Registry\\Machine\\Software\\HsTestNoSuchLinkTarget";
    LONG status = RegSetValueExW(link, L"SymbolicLinkValue", 0, REG_LINK,
                                 reinterpret_cast<const BYTE*>(target), sizeof(target) - sizeof(wchar_t));
    RegCloseKey(link);
    return status == ERROR_SUCCESS;
}

void DeleteLink(HKEY root, const std::wstring& path)
{
    typedef LONG(WINAPI * NtDeleteKeyFn)(HANDLE);
    NtDeleteKeyFn deleteKey = reinterpret_cast<NtDeleteKeyFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll"), "NtDeleteKey")));
    HKEY link = nullptr;
    if (deleteKey == nullptr ||
        RegOpenKeyExW(root, path.c_str(), REG_OPTION_OPEN_LINK, DELETE, &link) != ERROR_SUCCESS)
        return;
    deleteKey(link);
    RegCloseKey(link);
}

class SubkeyRemoval : public testing::Test {
protected:
    void SetUp() override
    {
        DeleteKeyForTest(HKEY_CURRENT_USER, kParent);
        ASSERT_TRUE(CreateKey(HKEY_CURRENT_USER, kParent));
    }
    void TearDown() override { DeleteKeyForTest(HKEY_CURRENT_USER, kParent); }

    void Make(const std::wstring& name) const
    {
        ASSERT_TRUE(CreateKey(HKEY_CURRENT_USER, Under(name))) << Narrow(name);
    }
    std::vector<std::wstring> Left() const { return Subkeys(HKEY_CURRENT_USER, kParent); }
};

typedef std::vector<std::wstring> Names;

TEST_F(SubkeyRemoval, SparesActiveXProgIdsAndDeletesWholeSubtrees)
{
    Make(L"Kestrix");
    Make(L"Kestrix.QvWinActiveX");
    Make(L"Kestrix.QvWinActiveX.1\\CLSID");
    Make(L"KestrixUpdate\\Child\\Grandchild");
    ASSERT_TRUE(SetStringValue(HKEY_CURRENT_USER, Under(L"KestrixUpdate\\Child"), L"Path", L"C:\\x"));
    Make(L"Unrelated");

    EXPECT_EQ(0, DeleteSubkeysContaining(HKEY_CURRENT_USER, kParent, L"Kestrix"));
    EXPECT_EQ(Names({L"Kestrix.QvWinActiveX", L"Kestrix.QvWinActiveX.1", L"Unrelated"}), Left());
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, Under(L"Kestrix.QvWinActiveX.1\\CLSID")));
}

TEST_F(SubkeyRemoval, MatchesCaseSensitivelyAnywhereInTheName)
{
    Make(L"KESTRIX");
    Make(L"kestrixupdate");
    Make(L"AKestrixB");
    Make(L"Legacy.Kestrix.QvWinActiveX");
    Make(L"Kestri");

    EXPECT_EQ(0, DeleteSubkeysContaining(HKEY_CURRENT_USER, kParent, L"Kestrix"));
    EXPECT_EQ(Names({L"KESTRIX", L"Kestri", L"Legacy.Kestrix.QvWinActiveX", L"kestrixupdate"}),
              Left());
}

TEST_F(SubkeyRemoval, AdjacentMatchesGoInOnePass)
{
    Make(L"Alpha");
    Make(L"Kestrix.A");
    Make(L"Kestrix.B");
    Make(L"Kestrix.C");
    Make(L"Zed");
    Make(L"Zed.Kestrix");

    EXPECT_EQ(0, DeleteSubkeysContaining(HKEY_CURRENT_USER, kParent, L"Kestrix"));
    EXPECT_EQ(Names({L"Alpha", L"Zed"}), Left());
}

TEST_F(SubkeyRemoval, MissingParentChangesNothing)
{
    Make(L"Kestrix");
    EXPECT_EQ(0, DeleteSubkeysContaining(HKEY_CURRENT_USER, Under(L"Missing").c_str(), L"Kestrix"));
    EXPECT_EQ(Names({L"Kestrix"}), Left());
}

TEST_F(SubkeyRemoval, NameTooLongForTheBufferIsSkipped)
{
    // 255 characters do not fit 255 units with the terminator; 254 do.
    std::wstring tooLong = L"Kestrix" + std::wstring(248, L'a');
    std::wstring longest = L"Kestrix" + std::wstring(247, L'b');
    Make(tooLong);
    Make(longest);
    Make(L"KestrixZulu");
    ASSERT_EQ(3u, Left().size());

    EXPECT_EQ(0, DeleteSubkeysContaining(HKEY_CURRENT_USER, kParent, L"Kestrix"));
    EXPECT_EQ(Names({tooLong}), Left());
}

TEST_F(SubkeyRemoval, KeyThatCannotBeDeletedLeavesThePassToEnd)
{
    Make(L"Kestrix.Alpha");
    ASSERT_TRUE(MakeDanglingLink(HKEY_CURRENT_USER, Under(L"Kestrix.Dangling")));
    Make(L"Kestrix.Zulu");
    ASSERT_EQ(3u, Left().size());

    EXPECT_EQ(0, DeleteSubkeysContaining(HKEY_CURRENT_USER, kParent, L"Kestrix"));
    EXPECT_EQ(Names({L"Kestrix.Dangling"}), Left());
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"Software\\HsTestNoSuchLinkTarget"));
    DeleteLink(HKEY_CURRENT_USER, Under(L"Kestrix.Dangling"));
    EXPECT_TRUE(Left().empty());
}

TEST(SubkeyRemovalRoots, ClassesRootItselfIsSearched)
{
    REGSAM view = NativeView();
    const wchar_t* made[] = {L"Kestrix", L"Kestrix.QvWinActiveX", L"Kestrix.QvWinActiveX.1",
                             L"KestrixUpdate"};
    for (const wchar_t* name : made)
        ASSERT_TRUE(CreateKey(HKEY_CLASSES_ROOT, name, view));
    ASSERT_TRUE(CreateKey(HKEY_CLASSES_ROOT, L"KestrixUpdate\\CurVer", view));
    size_t before = Subkeys(HKEY_CLASSES_ROOT, nullptr, view).size();

    EXPECT_EQ(0, DeleteSubkeysContaining(HKEY_CLASSES_ROOT, nullptr, L"Kestrix"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"Kestrix", view));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"KestrixUpdate", view));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"Kestrix.QvWinActiveX", view));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"Kestrix.QvWinActiveX.1", view));
    EXPECT_EQ(before - 2, Subkeys(HKEY_CLASSES_ROOT, nullptr, view).size());  // nothing else

    for (const wchar_t* name : made)
        DeleteKeyForTest(HKEY_CLASSES_ROOT, name, view);
}

TEST(SubkeyRemovalRoots, DeletesInTheViewTheParentWasOpenedIn)
{
    if (!IsNative64Bit())
        GTEST_SKIP() << "one registry view on 32-bit Windows";
    const std::wstring name = L"HsTestKestrixView";
    const std::wstring native = L"Software\\" + name;
    const std::wstring redirected = L"Software\\Wow6432Node\\" + name;
    ASSERT_TRUE(SetStringValue(HKEY_LOCAL_MACHINE, native + L"\\Inner\\Deeper", L"v", L"64",
                               KEY_WOW64_64KEY));
    ASSERT_TRUE(SetStringValue(HKEY_LOCAL_MACHINE, redirected + L"\\Inner\\Deeper", L"v", L"32",
                               KEY_WOW64_64KEY));
    // The 32-bit view of "Software" is "Software\Wow6432Node".
    ASSERT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, native + L"\\Inner", KEY_WOW64_32KEY));

    EXPECT_EQ(0, DeleteSubkeysContaining(HKEY_LOCAL_MACHINE, L"Software", name.c_str()));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, native, KEY_WOW64_64KEY));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, redirected + L"\\Inner\\Deeper", KEY_WOW64_64KEY));

    // Named explicitly, the 32-bit parent is searched as itself.
    ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, native + L"\\Inner", KEY_WOW64_64KEY));
    EXPECT_EQ(0, DeleteSubkeysContaining(HKEY_LOCAL_MACHINE, L"Software\\Wow6432Node", name.c_str()));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, redirected, KEY_WOW64_64KEY));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, native + L"\\Inner", KEY_WOW64_64KEY));

    DeleteKeyForTest(HKEY_LOCAL_MACHINE, native, KEY_WOW64_64KEY);
    DeleteKeyForTest(HKEY_LOCAL_MACHINE, redirected, KEY_WOW64_64KEY);
}

}  // namespace
