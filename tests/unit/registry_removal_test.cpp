#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

#include "removal/class_registrations.h"
#include "removal/desktop_components.h"
#include "removal/endpoint_agent.h"
#include "removal/tunnel_client.h"
#include "support/other_user.h"
#include "support/test_support.h"
#include "system/cleanup_state.h"
#include "system/handles.h"
#include "system/platform_probes.h"
#include "system/registry_removal.h"
#include "system/responsiveness.h"
#include "system/what_stays.h"

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

struct UnicodeName {
    USHORT length;
    USHORT maximumLength;
    const wchar_t* buffer;
};
typedef LONG(WINAPI* NtDeleteKeyFn)(HANDLE);
typedef LONG(WINAPI* NtRenameKeyFn)(HANDLE, UnicodeName*);

template <class Fn> Fn FromNtdll(const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll"), name)));
}

// Renames an open key to leaf in its parent.
bool RenameOpenKey(HKEY key, const std::wstring& leaf)
{
    NtRenameKeyFn renameKey = FromNtdll<NtRenameKeyFn>("NtRenameKey");
    const USHORT bytes = static_cast<USHORT>(leaf.size() * sizeof(wchar_t));
    UnicodeName name = {bytes, bytes, leaf.c_str()};
    return renameKey != nullptr && renameKey(key, &name) == 0;
}

// A registry link to target, an NT path such as "\Registry\Machine\...".
bool MakeLink(HKEY root, const std::wstring& path, const std::wstring& target, REGSAM view = 0)
{
    HKEY link = nullptr;
    if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_CREATE_LINK,
                        KEY_ALL_ACCESS | KEY_CREATE_LINK | view, nullptr, &link,
                        nullptr) != ERROR_SUCCESS)
        return false;
    LONG status = RegSetValueExW(link, L"SymbolicLinkValue", 0, REG_LINK,
                                 reinterpret_cast<const BYTE*>(target.c_str()),
                                 static_cast<DWORD>(target.size() * sizeof(wchar_t)));
    RegCloseKey(link);
    return status == ERROR_SUCCESS;
}

// Whether the link itself is there, whatever its target.
bool LinkExists(HKEY root, const std::wstring& path, REGSAM view = 0)
{
    HKEY link = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), REG_OPTION_OPEN_LINK, KEY_QUERY_VALUE | view, &link) !=
        ERROR_SUCCESS)
        return false;
    RegCloseKey(link);
    return true;
}

// Deletes the link, never its target.
void DeleteLink(HKEY root, const std::wstring& path, REGSAM view = 0)
{
    NtDeleteKeyFn deleteKey = FromNtdll<NtDeleteKeyFn>("NtDeleteKey");
    HKEY link = nullptr;
    if (deleteKey == nullptr ||
        RegOpenKeyExW(root, path.c_str(), REG_OPTION_OPEN_LINK, DELETE | view, &link) != ERROR_SUCCESS)
        return;
    deleteKey(link);
    RegCloseKey(link);
}

// This process's user, whose hive HKEY_CURRENT_USER is.
std::wstring OwnSid()
{
    HANDLE token = nullptr;
    std::wstring sid;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        BYTE buffer[256];
        DWORD needed = 0;
        wchar_t* text = nullptr;
        if (GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &needed) &&
            ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) {
            sid = text;
            LocalFree(text);
        }
        CloseHandle(token);
    }
    return sid;
}

// The NT name of a key below HKEY_CURRENT_USER or HKEY_LOCAL_MACHINE.
std::wstring NtKeyPath(HKEY root, const std::wstring& path)
{
    if (root == HKEY_LOCAL_MACHINE)
        return L"\\Registry\\Machine\\" + path;
    return L"\\Registry\\User\\" + OwnSid() + L"\\" + path;
}

// Keys that cannot be opened for deletion: an empty access list denies
// everything to everybody, the owner aside, who may still change it; no
// list at all (sealed false) lets everybody in again.
bool SealKey(HKEY root, const std::wstring& path, bool sealed)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, WRITE_DAC, &key) != ERROR_SUCCESS)
        return false;
    SECURITY_DESCRIPTOR descriptor;
    ACL empty;
    bool set = InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
               InitializeAcl(&empty, sizeof(empty), ACL_REVISION) &&
               SetSecurityDescriptorDacl(&descriptor, TRUE, sealed ? &empty : nullptr, FALSE) &&
               RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &descriptor) == ERROR_SUCCESS;
    RegCloseKey(key);
    return set;
}

// A second Windows process that keeps adding subkeys to a key while it is
// being deleted, as a user's program could (tests/pc/key_feed_probe.cpp).
class KeyFeedProbe : public ProbeProcess {
public:
    explicit KeyFeedProbe(const std::wstring& key) : ProbeProcess(L"key_feed_probe", L"\"" + key + L"\"") {}
    // Whether the key holds the probe's first five hundred subkeys.
    bool WaitUntilReady() const { return Ready(); }
};

// Swaps each vendor key for a registry link to a key of the machine, as a
// user who owns the parent could, at the window's turn that comes after
// the key's last subkey has gone and before the key itself goes: that
// gap, taken every time, is the one a real user would race for.
struct KeySwapper {
    std::vector<HKEY> keys, stages;
    std::vector<std::wstring> names;
    std::vector<bool> swapped;
    NtDeleteKeyFn deleteKey;
};
KeySwapper* gSwapper = nullptr;

void SwapEmptiedKeys()
{
    KeySwapper& swap = *gSwapper;
    for (size_t n = 0; n < swap.keys.size(); ++n) {
        DWORD subkeys = 1;
        if (swap.swapped[n] ||
            RegQueryInfoKeyW(swap.keys[n], nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
            subkeys != 0)
            continue;
        swap.swapped[n] = swap.deleteKey(swap.keys[n]) == 0 && RenameOpenKey(swap.stages[n], swap.names[n]);
    }
}

// The key's "Kept" value, or a text no test stores when it cannot be read.
std::wstring Kept(HKEY root, const std::wstring& path, REGSAM view)
{
    std::wstring value;
    return ReadStringValue(root, path, L"Kept", &value, view) ? value : L"(unreadable)";
}

std::wstring Numbered(const wchar_t* stem, DWORD n)
{
    wchar_t name[64];
    swprintf(name, 64, L"%ls%03lu", stem, static_cast<unsigned long>(n));
    return name;
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
};

typedef std::vector<std::wstring> Names;

// Every key below the parent, subtrees included, by its path there.
Names Tree(const std::wstring& below = L"")
{
    Names tree;
    const std::wstring key = below.empty() ? std::wstring(kParent) : Under(below);
    for (const std::wstring& name : Subkeys(HKEY_CURRENT_USER, key.c_str())) {
        tree.push_back(below.empty() ? name : below + L"\\" + name);
        for (const std::wstring& deeper : Tree(tree.back()))
            tree.push_back(deeper);
    }
    return tree;
}

TEST_F(SubkeyRemoval, DeletesMatchingSubkeysWithTheirSubtrees)
{
    // 255 characters do not fit 255 units with the terminator; 254 do.
    const std::wstring tooLong = L"Kestrix" + std::wstring(248, L'a');
    const std::wstring longest = L"Kestrix" + std::wstring(247, L'b');
    const struct {
        const char* what;
        Names made;  // below the parent
        std::vector<const wchar_t*> texts;
        Names left;  // the whole tree below the parent after
        const wchar_t* searched = nullptr;  // below the parent, instead of it
        const wchar_t* valued = nullptr;    // a key given a value
        const wchar_t* sealed = nullptr;    // a key nobody may open
    } rows[] = {
        {"the ActiveX family is spared, whole subtrees go",
         {L"Kestrix", L"Kestrix.QvWinActiveX", L"Kestrix.QvWinActiveX.1\\CLSID",
          L"KestrixUpdate\\Child\\Grandchild", L"Unrelated"},
         {L"Kestrix"},
         {L"Kestrix.QvWinActiveX", L"Kestrix.QvWinActiveX.1", L"Kestrix.QvWinActiveX.1\\CLSID", L"Unrelated"},
         nullptr, L"KestrixUpdate\\Child"},
        {"matched case-sensitively anywhere in the name",
         {L"KESTRIX", L"kestrixupdate", L"AKestrixB", L"Legacy.Kestrix.QvWinActiveX", L"Kestri"},
         {L"Kestrix"},
         {L"KESTRIX", L"Kestri", L"Legacy.Kestrix.QvWinActiveX", L"kestrixupdate"}},
        {"adjacent matches go in one pass",
         {L"Alpha", L"Kestrix.A", L"Kestrix.B", L"Kestrix.C", L"Zed", L"Zed.Kestrix"},
         {L"Kestrix"},
         {L"Alpha", L"Zed"}},
        // A name holding two texts is deleted once and its neighbour still
        // reached; the last text counts as much as the first; the ActiveX
        // family is spared whichever text it holds.
        {"several texts in one pass",
         {L"Kestrix.xpvVersion\\CurVer", L"Kestrix.xpvVersion.2", L"Other",
          L"Other.xpvVersion.Kestrix.QvWinActiveX", L"Zed.{EEF90444}", L"Zed.{eef90444}.2"},
         {L"Kestrix", L"xpvVersion", L"{EEF90444}"},
         {L"Other", L"Other.xpvVersion.Kestrix.QvWinActiveX", L"Zed.{eef90444}.2"}},
        {"a missing parent changes nothing", {L"Kestrix"}, {L"Kestrix"}, {L"Kestrix"}, L"Missing"},
        {"a name too long for the buffer is skipped", {tooLong, longest, L"KestrixZulu"}, {L"Kestrix"},
         {tooLong}},
        {"a key that cannot be deleted leaves the pass to end",
         {L"Kestrix.Alpha", L"Kestrix.Locked\\Sealed", L"Kestrix.Zulu"},
         {L"Kestrix"},
         {L"Kestrix.Locked", L"Kestrix.Locked\\Sealed"},
         nullptr, nullptr, L"Kestrix.Locked\\Sealed"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        for (const std::wstring& name : row.made)
            Make(name);
        if (row.valued != nullptr) {
            ASSERT_TRUE(SetStringValue(HKEY_CURRENT_USER, Under(row.valued), L"Path", L"C:\\x"));
        }
        if (row.sealed != nullptr) {
            ASSERT_TRUE(SealKey(HKEY_CURRENT_USER, Under(row.sealed), true));
        }

        const std::wstring parent = row.searched == nullptr ? std::wstring(kParent) : Under(row.searched);
        if (row.texts.size() == 1)
            DeleteSubkeysContaining(HKEY_CURRENT_USER, parent.c_str(), row.texts[0]);
        else
            DeleteSubkeysContainingAny(HKEY_CURRENT_USER, parent.c_str(), row.texts.data(), row.texts.size());
        EXPECT_EQ(row.left, Tree());

        if (row.sealed != nullptr)
            SealKey(HKEY_CURRENT_USER, Under(row.sealed), false);
        TearDown();
        SetUp();
    }
}

void DeleteFedTree()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kParent, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return;
    DeleteKeyTree(key, L"Kestrix VPN Client", 0);
    RegCloseKey(key);
}

WhatStays gAccount;

void SearchFedParent()
{
    DeleteSubkeysContaining(HKEY_CURRENT_USER, kParent, L"Kestrix", &gAccount);
}

// Another program that keeps adding keys below the key being deleted
// cannot keep the deletion going: it deletes the keys it meets and returns
// while the program still adds them, and the rest stays.
TEST_F(SubkeyRemoval, KeysAddedMeanwhileCannotKeepTheDeletionGoing)
{
    const struct {
        const char* what;
        void (*remove)();
    } cases[] = {
        {"a tree deleted by name", DeleteFedTree},
        {"a tree found in its parent", SearchFedParent},
    };
    const std::wstring fed = L"Kestrix VPN Client";
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        gAccount.Clear();
        Make(L"HsTestOther\\Settings");
        Make(fed + L"\\Profiles\\Default");
        {
            KeyFeedProbe feeder(Under(fed));
            ASSERT_TRUE(feeder.WaitUntilReady());
            test.remove();
            EXPECT_TRUE(feeder.StillRunning()) << "the deletion lasted as long as the feeding";
        }
        // The first key fed, there before the deletion began, went with it.
        EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Under(fed + L"\\Fed00000000")));
        EXPECT_EQ(Names({L"Settings"}), Subkeys(HKEY_CURRENT_USER, Under(L"HsTestOther").c_str()));
        // A found key that stays is named, with why, by its whole path.
        wchar_t line[WhatStays::kLineUnits] = L"";
        if (test.remove == SearchFedParent) {
            ASSERT_EQ(1u, gAccount.Count());
            EXPECT_TRUE(gAccount.LineIfStill(0, line, WhatStays::kLineUnits));
            EXPECT_EQ(L"Not removed: HKEY_CURRENT_USER\\" + Under(fed) +
                          L" (more subkeys than one run deletes)",
                      std::wstring(line));
        }
        DeleteKeyForTest(HKEY_CURRENT_USER, Under(fed));
        if (test.remove == SearchFedParent) {
            EXPECT_FALSE(gAccount.LineIfStill(0, line, WhatStays::kLineUnits)) << "gone: no line";
        }
    }
}

// A link found by name, or met below a found key, is deleted as a link:
// its target and everything below it stay.
TEST(SubkeyRemovalLinks, LinksGoAndTheirTargetsStay)
{
    const struct {
        HKEY root;
        const wchar_t* parent;
    } parents[] = {{HKEY_CURRENT_USER, L"Software\\Classes"}, {HKEY_LOCAL_MACHINE, L"Software"}};
    for (const auto& where : parents) {
        SCOPED_TRACE(Narrow(where.parent));
        const HKEY root = where.root;
        const REGSAM view = NativeView();
        const std::wstring parent = where.parent;
        const std::wstring victim = L"Software\\HsTestLinkVictim";
        const std::wstring link = parent + L"\\HsTestKestrix.Link";
        const std::wstring dangling = parent + L"\\HsTestKestrix.Dangling";
        const std::wstring tree = parent + L"\\HsTestKestrix.Tree";
        const std::wstring inner = tree + L"\\Inner\\Through";
        DeleteKeyForTest(root, victim, view);
        ASSERT_TRUE(SetStringValue(root, victim, L"Kept", L"yes", view));
        ASSERT_TRUE(SetStringValue(root, victim + L"\\Sub\\Deeper", L"Kept", L"deep", view));
        ASSERT_TRUE(MakeLink(root, link, NtKeyPath(root, victim), view));
        ASSERT_TRUE(MakeLink(root, dangling, NtKeyPath(root, L"Software\\HsTestNoSuchTarget"), view));
        ASSERT_TRUE(SetStringValue(root, tree + L"\\Inner", L"Gone", L"yes", view));
        ASSERT_TRUE(MakeLink(root, inner, NtKeyPath(root, victim), view));
        // Reached through the link, the victim is there.
        ASSERT_TRUE(KeyExists(root, link + L"\\Sub\\Deeper", view));

        DeleteSubkeysContaining(root, where.parent, L"HsTestKestrix.");
        EXPECT_FALSE(LinkExists(root, link, view));
        EXPECT_FALSE(LinkExists(root, dangling, view));
        EXPECT_FALSE(LinkExists(root, tree, view));
        EXPECT_EQ(L"yes", Kept(root, victim, view));
        EXPECT_EQ(L"deep", Kept(root, victim + L"\\Sub\\Deeper", view));
        EXPECT_FALSE(KeyExists(root, L"Software\\HsTestNoSuchTarget", view));

        // Links first: the test clean-up deletes through them.
        DeleteLink(root, inner, view);
        DeleteLink(root, link, view);
        DeleteLink(root, dangling, view);
        DeleteKeyForTest(root, tree, view);
        DeleteKeyForTest(root, victim, view);
    }
}

// An emptied key is deleted through the handle it was checked with: a user
// who swaps it for a link between its last subkey going and its own
// deletion never has the link followed to its target.
TEST(SubkeyRemovalLinks, KeySwappedForALinkOnceEmptiedIsNotFollowed)
{
    const DWORD kKeys = 3;
    const std::wstring parent = L"Software\\HsTestKeySwap", targets = L"Software\\HsTestKeySwapTargets";
    const std::wstring below = parent + L"\\";
    const REGSAM view = NativeView();
    DeleteKeyForTest(HKEY_CURRENT_USER, parent);
    DeleteKeyForTest(HKEY_LOCAL_MACHINE, targets, view);
    KeySwapper swap;
    swap.deleteKey = FromNtdll<NtDeleteKeyFn>("NtDeleteKey");
    ASSERT_TRUE(swap.deleteKey != nullptr);
    for (DWORD n = 0; n < kKeys; ++n) {
        const std::wstring target = targets + L"\\" + Numbered(L"Target", n);
        swap.names.push_back(Numbered(L"HsTestKestrix.Swap", n));
        ASSERT_TRUE(CreateKey(HKEY_CURRENT_USER, below + swap.names[n] + L"\\Last"));
        ASSERT_TRUE(SetStringValue(HKEY_LOCAL_MACHINE, target, L"Kept", L"yes", view));
        ASSERT_TRUE(MakeLink(HKEY_CURRENT_USER, below + Numbered(L"HsTestStage", n),
                             NtKeyPath(HKEY_LOCAL_MACHINE, target)));
        HKEY key = nullptr, stage = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, (below + swap.names[n]).c_str(), 0,
                                               KEY_QUERY_VALUE | DELETE, &key));
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, (below + Numbered(L"HsTestStage", n)).c_str(),
                                               REG_OPTION_OPEN_LINK, KEY_WRITE | DELETE, &stage));
        swap.keys.push_back(key);
        swap.stages.push_back(stage);
        swap.swapped.push_back(false);
    }
    gSwapper = &swap;
    SetResponsivenessHook(SwapEmptiedKeys, 0);
    DeleteSubkeysContaining(HKEY_CURRENT_USER, parent.c_str(), L"HsTestKestrix.");
    SetResponsivenessHook(nullptr);
    gSwapper = nullptr;
    for (DWORD n = 0; n < kKeys; ++n) {
        RegCloseKey(swap.keys[n]);
        RegCloseKey(swap.stages[n]);
        EXPECT_EQ(L"yes", Kept(HKEY_LOCAL_MACHINE, targets + L"\\" + Numbered(L"Target", n), view)) << n;
    }
    // Otherwise the swap never got into the gap and the test showed nothing.
    EXPECT_EQ(std::vector<bool>(kKeys, true), swap.swapped);

    for (DWORD n = 0; n < kKeys; ++n) {
        DeleteLink(HKEY_CURRENT_USER, below + swap.names[n]);
        DeleteLink(HKEY_CURRENT_USER, below + Numbered(L"HsTestStage", n));
    }
    DeleteKeyForTest(HKEY_CURRENT_USER, parent);
    DeleteKeyForTest(HKEY_LOCAL_MACHINE, targets, view);
}

const wchar_t kLinkTarget[] = L"Software\\HsTestLinkTarget";

// Renames root\path, a key of the native view, to leaf in its parent.
bool RenameKey(HKEY root, const std::wstring& path, const std::wstring& leaf)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_WRITE | NativeView(), &key) != ERROR_SUCCESS)
        return false;
    bool renamed = RenameOpenKey(key, leaf);
    RegCloseKey(key);
    return renamed;
}

std::wstring Leaf(const std::wstring& path)
{
    return path.substr(path.rfind(L'\\') + 1);
}

// Makes root\path, in the native view, a registry link to a scratch key of
// the machine holding the keys targets, each with a string value (which
// an uninstall list read through the link would name), and a temporary
// folder in the user's profile as their environment names it. A key
// already at path is moved aside while it lives, a missing parent made.
class LinkOnThePath {
public:
    LinkOnThePath(HKEY root, const std::wstring& path, const Names& targets)
        : root_(root), path_(path), parent_(path.substr(0, path.rfind(L'\\')))
    {
        const REGSAM view = NativeView();
        DeleteKeyForTest(HKEY_LOCAL_MACHINE, kLinkTarget, view);
        if (!SetPathValue(HKEY_LOCAL_MACHINE, kLinkTarget, L"TMP", REG_EXPAND_SZ, L"%USERPROFILE%\\Temp"))
            return;
        for (const std::wstring& target : targets) {
            if (!SetStringValue(HKEY_LOCAL_MACHINE, std::wstring(kLinkTarget) + L"\\" + target, L"Kept",
                                L"yes", view))
                return;
        }
        madeParent_ = parent_ != path_ && !KeyExists(root, parent_, view) && CreateKey(root, parent_, view);
        movedAside_ = KeyExists(root, path, view);
        if (movedAside_ && !RenameKey(root, path, Leaf(path) + L".hs-aside"))
            return;
        made = MakeLink(root, path, NtKeyPath(HKEY_LOCAL_MACHINE, kLinkTarget), view);
    }
    ~LinkOnThePath()
    {
        const REGSAM view = NativeView();
        DeleteLink(root_, path_, view);
        if (movedAside_)
            RenameKey(root_, path_ + L".hs-aside", Leaf(path_));
        if (madeParent_)
            DeleteKeyForTest(root_, parent_, view);
        DeleteKeyForTest(HKEY_LOCAL_MACHINE, kLinkTarget, view);
    }
    LinkOnThePath(const LinkOnThePath&) = delete;
    LinkOnThePath& operator=(const LinkOnThePath&) = delete;
    bool made = false;

private:
    HKEY root_;
    std::wstring path_, parent_;
    bool madeParent_ = false, movedAside_ = false;
};

// The phases of a run with the default options that open keys below a
// user's roots; returns how many products the uninstall list they read
// names.
DWORD RunKeyPhases()
{
    CleanupState state{};
    RemoveEndpointManager(state);
    RemoveTunnelClient(state);
    RemoveDesktopComponent(state, kPw);
    CleanClassRegistrations(state);
    static UninstallList list;
    ReadUninstallList(list);
    return list.count;
}

const wchar_t kPwClassId[] = L"{0D8708AD-A9F4-C810-A862-5D84D75FBB4D}";

// Keys named as the run's targets below a classes root.
Names ClassTargets()
{
    const std::wstring id = kVendorClassIds[0];
    Names names = {L"Kestrix.Widget", L"xpvVersion.1", L"CLSID\\" + id, L"CLSID\\backup-" + id,
                   L"CLSID\\" + std::wstring(kPwClassId)};
    if (IsNative64Bit()) {
        names.push_back(L"Wow6432Node\\CLSID\\" + id);
        names.push_back(L"Wow6432Node\\CLSID\\" + std::wstring(kPwClassId));
    }
    return names;
}

// Those of names below prefix, by their path there.
Names Below(const Names& names, const std::wstring& prefix)
{
    Names below;
    for (const std::wstring& name : names) {
        if (name.compare(0, prefix.size(), prefix) == 0)
            below.push_back(name.substr(prefix.size()));
    }
    return below;
}

// A key on the way to one the run deletes in or reads, below a root a
// user can write, made a link to a key of the machine holding keys named
// as the run's targets: the run goes no further, and they all stay.
TEST(SubkeyRemovalLinks, NoLinkOnTheWayBelowAUsersRootIsFollowed)
{
    const std::wstring desk = kOtherUserSid;
    const Names classes = ClassTargets();
    const struct {
        HKEY root;
        std::wstring link;
        Names targets;
    } rows[] = {
        {HKEY_CURRENT_USER, L"Software\\LowRegistry", {L"Pyrewick", L"tarn.exe", L"tarn-checkstate.exe"}},
        {HKEY_CURRENT_USER, L"Software\\Kestrix", {L"XPV\\Uninstall"}},
        {HKEY_CURRENT_USER, L"Software\\Classes", classes},
        {HKEY_CURRENT_USER, L"Software\\Classes\\CLSID", Below(classes, L"CLSID\\")},
        {HKEY_CURRENT_USER, L"Software\\Classes\\Wow6432Node", Below(classes, L"Wow6432Node\\")},
        {HKEY_USERS, OwnSid() + L"_Classes", classes},
        {HKEY_USERS, L".DEFAULT\\Software", {L"Kestrix VPN Client"}},
        {HKEY_USERS, desk + L"\\Software",
         {L"Kestrix VPN Client", L"LowRegistry\\tarn.exe", L"Kestrix\\XPV\\Uninstall",
          L"Classes\\Kestrix.Widget"}},
        {HKEY_USERS, desk + L"\\Software\\Classes", classes},
        {HKEY_USERS, desk + L"_Classes", classes},
        {HKEY_USERS, desk + L"\\Software\\Kestrix\\XPV", {L"Uninstall"}},
        {HKEY_USERS, desk + L"\\Environment", {}},
    };
    const REGSAM view = NativeView();
    const std::wstring machineClass = std::wstring(L"Software\\Classes\\") +
                                      (IsNative64Bit() ? L"Wow6432Node\\" : L"") + L"CLSID\\" + kPwClassId;
    OtherUserHive hive;
    DesktopUserOverride deskUser;
    const std::wstring profile = MakeScratchFolder(L"desk-profile");
    OtherUserProfile listed(profile, REG_SZ);
    ASSERT_TRUE(listed.listed);
    for (const auto& row : rows) {
        SCOPED_TRACE(Narrow(row.link));
        if (row.link.find(L"Wow6432Node") != std::wstring::npos && !IsNative64Bit())
            continue;  // a 32-bit Windows has no other view on the way
        // Registered for the machine, the cache cleaner's keys are removed.
        ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, machineClass, view));
        ASSERT_TRUE(MakeFolders(profile + L"\\Temp"));
        ASSERT_TRUE(WriteTextFile(profile + L"\\Temp\\xpv.msi", "someone else's"));
        {
            LinkOnThePath link(row.root, row.link, row.targets);
            ASSERT_TRUE(link.made);
            // Followed, the link leads to its target.
            std::wstring temp;
            ASSERT_TRUE(ReadStringValue(row.root, row.link, L"TMP", &temp, view));

            EXPECT_EQ(0u, RunKeyPhases()) << "an uninstall list was read through the link";
            EXPECT_TRUE(Exists(profile + L"\\Temp\\xpv.msi")) << "a temporary folder named through the link";
            for (const std::wstring& target : row.targets)
                EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(kLinkTarget) + L"\\" + target, view))
                    << Narrow(target);
            EXPECT_TRUE(LinkExists(row.root, row.link, view));
        }
        DeleteKeyForTest(HKEY_USERS, desk, view);
        DeleteKeyForTest(HKEY_LOCAL_MACHINE, machineClass, view);
    }
    RemoveTestTree(profile);
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

    DeleteSubkeysContaining(HKEY_CLASSES_ROOT, nullptr, L"Kestrix");
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

    DeleteSubkeysContaining(HKEY_LOCAL_MACHINE, L"Software", name.c_str());
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, native, KEY_WOW64_64KEY));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, redirected + L"\\Inner\\Deeper", KEY_WOW64_64KEY));

    // Named explicitly, the 32-bit parent is searched as itself.
    ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, native + L"\\Inner", KEY_WOW64_64KEY));
    DeleteSubkeysContaining(HKEY_LOCAL_MACHINE, L"Software\\Wow6432Node", name.c_str());
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, redirected, KEY_WOW64_64KEY));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, native + L"\\Inner", KEY_WOW64_64KEY));

    DeleteKeyForTest(HKEY_LOCAL_MACHINE, native, KEY_WOW64_64KEY);
    DeleteKeyForTest(HKEY_LOCAL_MACHINE, redirected, KEY_WOW64_64KEY);
}

}  // namespace
