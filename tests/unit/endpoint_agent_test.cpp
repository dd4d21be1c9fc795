#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "removal/endpoint_agent.h"
#include "removal/installer_api.h"
#include "support/other_user.h"
#include "support/packages.h"
#include "support/test_support.h"
#include "system/cleanup_state.h"
#include "system/platform_probes.h"
#include "system/what_stays.h"

namespace {

// A product code no package uses.
std::wstring UnknownCode(int n)
{
    wchar_t code[40];
    swprintf(code, 40, L"{6F1C0000-0000-4000-8000-0000000000%02d}", n);
    return code;
}

bool SetRawValue(HKEY root, const std::wstring& name, DWORD type, const void* data, DWORD bytes)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(root, kListKey, 0, nullptr, 0, KEY_ALL_ACCESS | NativeView(), nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return false;
    LONG status = RegSetValueExW(key, name.c_str(), 0, type, static_cast<const BYTE*>(data), bytes);
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

class EndpointAgent : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kListKey, NativeView()));
        ASSERT_FALSE(KeyExists(HKEY_CURRENT_USER, kListKey));
        for (const TestPackage* package : {&kSuiteAgent, &kSuiteMonitor, &kSuitePrimary,
                                           &kEndpointControlPackage})
            ASSERT_FALSE(IsInstalled(*package)) << Narrow(package->productCode);
        ASSERT_TRUE(WriteTextFile(msiLeftover, "leftover"));
        ASSERT_TRUE(WriteTextFile(bootstrapLeftover, "leftover"));
    }

    void TearDown() override
    {
        DeleteUninstallLists();
        DeleteFileW(msiLeftover.c_str());
        DeleteFileW(bootstrapLeftover.c_str());
    }

    bool WriteMachineList(const ListValues& values)
    {
        return WriteUninstallList(HKEY_LOCAL_MACHINE, NativeView(), values);
    }

    void ExpectLeftoversDeleted()
    {
        EXPECT_FALSE(Exists(msiLeftover));
        EXPECT_FALSE(Exists(bootstrapLeftover));
    }

    CleanupState state{};
    std::wstring msiLeftover = TempPath(L"xpv.msi");
    std::wstring bootstrapLeftover = TempPath(L"xpvMsiBootstraper.exe");
    ProductCleanup cleanup{&kSuiteAgent, &kSuiteMonitor, &kSuitePrimary, &kEndpointControlPackage};
};

TEST_F(EndpointAgent, ListIsReadFromTheNativeView)
{
    if (!IsNative64Bit())
        GTEST_SKIP() << "one registry view on 32-bit Windows";
    ASSERT_EQ(0u, Install(kSuitePrimary));
    ASSERT_TRUE(WriteUninstallList(HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY,
                                   {{L"XPV", kSuitePrimary.productCode}}));

    EXPECT_EQ(kNotInstalled, RemoveEndpointManager(state));
    EXPECT_TRUE(IsInstalled(kSuitePrimary));
}

// A list is read whole or not at all: missing, empty (the machine's key
// hiding the user's), with no string values, or past the limits of 25
// values, 260-unit names and 520-byte data, it removes nothing; read, its
// one primary product goes. The leftovers go whatever it holds.
TEST_F(EndpointAgent, ListIsReadWithinItsLimits)
{
    using Extra = bool (*)();  // more set-up after the machine's list
    const Extra userList = [] {
        return WriteUninstallList(HKEY_CURRENT_USER, 0, {{L"XPV", kSuitePrimary.productCode}});
    };
    const Extra longData = [] {
        wchar_t data[261] = {};
        return SetRawValue(HKEY_LOCAL_MACHINE, L"Long Data", REG_SZ, data, 521);
    };
    const Extra numbers = [] {
        return SetDwordValue(HKEY_LOCAL_MACHINE, kListKey, L"Build", 7, NativeView()) &&
               SetDwordValue(HKEY_LOCAL_MACHINE, kListKey, L"Zulu", 1, NativeView());
    };
    const ListValues primary = {{L"XPV", kSuitePrimary.productCode}};
    ListValues twentySix = primary;
    for (int n = 1; n <= 25; ++n)
        twentySix.push_back({L"Agent " + std::to_wstring(n), UnknownCode(n)});
    const ListValues twentyFive(twentySix.begin(), twentySix.end() - 1);
    ListValues longName = primary;
    longName.push_back({std::wstring(261, L'N'), UnknownCode(1)});
    const struct {
        const char* what;
        bool installed, machineList;  // the primary product; a list written under HKLM
        ListValues values;
        Extra extra;
        LONG read;
        size_t count;
        int result;
        bool removed;
    } rows[] = {
        {"no list anywhere", false, false, {}, nullptr, ERROR_FILE_NOT_FOUND, 0, kNotInstalled, false},
        {"a machine key without values", true, true, {}, userList, ERROR_SUCCESS, 0, 0, false},
        {"values that are not strings", false, false, {}, numbers, ERROR_SUCCESS, 0, 0, false},
        {"one string among numbers", true, true, primary, numbers, ERROR_SUCCESS, 1, 0, true},
        {"25 values", true, true, twentyFive, nullptr, ERROR_SUCCESS, 25, 0, true},
        {"26 values", true, true, twentySix, nullptr, ERROR_INVALID_DATA, 0, ERROR_INVALID_DATA, false},
        {"261-character name", true, true, longName, nullptr, ERROR_INVALID_DATA, 0, ERROR_INVALID_DATA, false},
        {"521-byte data", true, true, primary, longData, ERROR_INVALID_DATA, 0, ERROR_INVALID_DATA, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        if (row.installed) {
            ASSERT_EQ(0u, Install(kSuitePrimary));
        }
        ASSERT_TRUE(WriteTextFile(msiLeftover, "leftover"));
        ASSERT_TRUE(WriteTextFile(bootstrapLeftover, "leftover"));
        if (row.machineList) {
            ASSERT_TRUE(WriteMachineList(row.values));
        }
        if (row.extra != nullptr) {
            ASSERT_TRUE(row.extra());
        }

        UninstallList list;
        EXPECT_EQ(row.read, ReadUninstallList(list));
        ASSERT_EQ(row.count, list.count);
        std::vector<const ProductEntry*> primaries;
        for (size_t i = 0; i < list.count; ++i)
            if (list.entries[i].isPrimary)
                primaries.push_back(&list.entries[i]);
        if (row.count > 0) {
            ASSERT_EQ(1u, primaries.size());
            EXPECT_STREQ(L"XPV", primaries[0]->displayName);
            EXPECT_STREQ(kSuitePrimary.productCode, primaries[0]->productCode);
        }
        {
            InstallerRecorder recorder;
            EXPECT_EQ(row.result, RemoveEndpointManager(state));
            if (row.count == 0 && row.result == 0) {
                EXPECT_TRUE(recorder.queries.empty());
            }
        }
        EXPECT_EQ(row.installed && !row.removed, IsInstalled(kSuitePrimary));
        ExpectLeftoversDeleted();
        DeleteUninstallLists();
        Uninstall(kSuitePrimary);
    }
}

// The desk's user's own product, installed for them alone, as the
// installer answers an administrator about that account (Wine has one).
const std::wstring kDeskUsersCode = UnknownCode(50);
decltype(InstallerApi::productInfoEx) gRealProductInfo = nullptr;
UINT WINAPI DeskUsersProductInfo(LPCWSTR code, LPCWSTR sid, DWORD context, LPCWSTR property,
                                 LPWSTR value, LPDWORD units)
{
    if (sid == nullptr || lstrcmpiW(sid, kOtherUserSid) != 0 || context != 2 ||  // user-unmanaged
        kDeskUsersCode != code)
        return gRealProductInfo(code, sid, context, property, value, units);
    lstrcpynW(value, L"5", *units);  // installed
    *units = 1;
    return ERROR_SUCCESS;
}

// While it lives, the installer answers as DeskUsersProductInfo does.
struct DeskUsersProduct {
    DeskUsersProduct() : real(Installer())
    {
        gRealProductInfo = real.productInfoEx;
        Installer().productInfoEx = DeskUsersProductInfo;
    }
    ~DeskUsersProduct() { Installer() = real; }
    const InstallerApi real;
};

// A list in a user's hive is that user's to write: what it names is
// removed only when installed for that user alone; a product installed for
// the machine stays, and the phase fails before the primary product. The
// desk's user's list, when this run is another account's, is read from
// their hive; their own products are out of this account's reach, and
// the installer's leftovers go from their temporary folder too.
TEST_F(EndpointAgent, UserKeyRemovesOnlyWhatIsTheUsersAlone)
{
    const struct {
        const char* what;
        ListValues list;
        bool desk;  // in the desk's user's hive, another account's
        int expected;
        bool perUserRemoved, machineRemoved;
        std::vector<std::wstring> stays;  // the account's lines
        bool machineList = false;         // the list is the machine's, the desk another account's
    } cases[] = {
        {"a per-user product", {{L"XPV", kPerUserTool.productCode}}, false, 0, true, false, {}},
        {"a machine-wide product", {{L"XPV", kSuitePrimary.productCode}}, false, ERROR_ACCESS_DENIED,
         false, false, {L"XPV " + std::wstring(kSuitePrimary.productCode)}},
        {"a machine-wide part before a per-user primary",
         {{L"XPV", kPerUserTool.productCode}, {L"Zeta Agent", kSuitePrimary.productCode}}, false,
         ERROR_ACCESS_DENIED, false, false,
         {L"Zeta Agent " + std::wstring(kSuitePrimary.productCode),
          L"XPV " + std::wstring(kPerUserTool.productCode) +
              L" (kept because an earlier removal failed)"}},
        {"the desk's user's own product", {{L"XPV", kDeskUsersCode}}, true, ERROR_ACCESS_DENIED, false,
         false, {L"XPV " + kDeskUsersCode + L" (installed for another user)"}},
        // The installer answers this account that the product is not there.
        {"the desk's user's own product under the machine's list", {{L"XPV", kDeskUsersCode}}, true,
         ERROR_ACCESS_DENIED, false, false,
         {L"XPV " + kDeskUsersCode + L" (installed for another user)"}, true},
        {"a product the desk's user surely has not", {{L"XPV", UnknownCode(51)}}, true, kNotInstalled,
         false, false, {}},
    };
    ProductCleanup perUserCleanup{&kPerUserTool};
    // An elevated run removes the per-user product with its desktop's token.
    TestWindow window;
    ASSERT_FALSE(WaitForInteractiveAppData().empty());
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        ASSERT_EQ(0u, Install(kPerUserTool));
        ASSERT_EQ(0u, Install(kSuitePrimary));
        ASSERT_TRUE(WriteTextFile(msiLeftover, "leftover"));
        ASSERT_TRUE(WriteTextFile(bootstrapLeftover, "leftover"));
        DeleteUninstallLists();
        OtherUserHive hive;
        DesktopUserOverride desktop(test.desk ? kOtherUserSid : nullptr);
        DeskUsersProduct installer;
        const std::wstring deskProfile = test.desk ? MakeScratchFolder(L"desk-profile") : L"";
        OtherUserProfile listed(deskProfile, REG_SZ);
        ASSERT_TRUE(listed.listed);
        const std::wstring deskTemp = deskProfile + L"\\Temp";
        if (test.machineList) {
            ASSERT_TRUE(CreateKey(HKEY_USERS, std::wstring(kOtherUserSid) + L"\\Software"));
            ASSERT_TRUE(WriteMachineList(test.list));
        } else if (test.desk) {
            RegKey deskHive;
            ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_USERS, kOtherUserSid, 0, nullptr, 0,
                                                     KEY_ALL_ACCESS, nullptr, deskHive.Receive(),
                                                     nullptr));
            ASSERT_TRUE(WriteUninstallList(deskHive.Get(), NativeView(), test.list));
            ASSERT_TRUE(SetPathValue(HKEY_USERS, std::wstring(kOtherUserSid) + L"\\Environment",
                                     L"TEMP", REG_EXPAND_SZ, L"%USERPROFILE%\\Temp"));
            ASSERT_TRUE(MakeFolders(deskTemp));
            ASSERT_TRUE(WriteTextFile(deskTemp + L"\\xpv.msi", "leftover"));
            ASSERT_TRUE(WriteTextFile(deskTemp + L"\\xpvMsiBootstraper.exe", "leftover"));
        } else {
            ASSERT_TRUE(WriteUninstallList(HKEY_CURRENT_USER, 0, test.list));
        }

        static WhatStays account;  // large for the stack
        account.Clear();
        state.whatStays = &account;
        EXPECT_EQ(test.expected, RemoveEndpointManager(state));
        state.whatStays = nullptr;
        std::vector<std::wstring> stays;
        for (size_t i = 0; i < account.Count(); ++i) {
            wchar_t line[WhatStays::kLineUnits];
            if (account.LineIfStill(i, line, WhatStays::kLineUnits))
                stays.push_back(std::wstring(line).substr(lstrlenW(L"Not removed: ")));
        }
        EXPECT_EQ(test.stays, stays);
        EXPECT_EQ(test.perUserRemoved, !IsInstalled(kPerUserTool));
        EXPECT_EQ(test.machineRemoved, !IsInstalled(kSuitePrimary));
        EXPECT_TRUE(Exists(PayloadPath(kSuitePrimary)));
        ExpectLeftoversDeleted();
        if (test.desk) {
            EXPECT_FALSE(Exists(deskTemp + L"\\xpv.msi"));
            EXPECT_FALSE(Exists(deskTemp + L"\\xpvMsiBootstraper.exe"));
            RemoveTestTree(deskProfile);
        }
    }
}

// The listed products go in the order listed, silently, the primary one
// ("XPV" in any case) last with the basic interface wherever it is
// listed; a product that fails, or asks for a restart, stops the list and
// keeps the primary one.
TEST_F(EndpointAgent, ListedProductsGoPrimaryLast)
{
    const TestPackage* const kNone = nullptr;
    const ListValues kThree = {{L"XPV", kSuitePrimary.productCode},
                               {L"Zeta Agent", kSuiteAgent.productCode},
                               {L"Zeta Monitor", kSuiteMonitor.productCode}};
    const struct {
        const char* what;
        std::vector<const TestPackage*> installed;
        const TestPackage* broken;  // installed without what its removal needs
        ListValues list;            // in the order the registry enumerates it
        int result;
        bool recorded;  // the removals are checked, in order, at these levels
        std::vector<std::pair<const TestPackage*, int>> removals;
        std::vector<const TestPackage*> kept;
    } rows[] = {
        {"lower-case xpv", {&kSuiteAgent, &kSuitePrimary}, kNone,
         {{L"xpv", kSuitePrimary.productCode}, {L"Zeta Agent", kSuiteAgent.productCode}}, 0, true,
         {{&kSuiteAgent, INSTALLUILEVEL_NONE}, {&kSuitePrimary, INSTALLUILEVEL_BASIC}}, {}},
        {"the primary listed first", {&kSuitePrimary, &kSuiteAgent, &kSuiteMonitor}, kNone, kThree, 0, true,
         {{&kSuiteAgent, INSTALLUILEVEL_NONE}, {&kSuiteMonitor, INSTALLUILEVEL_NONE},
          {&kSuitePrimary, INSTALLUILEVEL_BASIC}},
         {}},
        {"a failing product", {&kSuitePrimary, &kSuiteMonitor}, &kSuiteAgent, kThree, ERROR_INSTALL_SOURCE_ABSENT,
         false, {}, {&kSuitePrimary, &kSuiteAgent, &kSuiteMonitor}},
        {"a restart request", {&kSuitePrimary, &kRestartingTool}, kNone,
         {{L"XPV", kSuitePrimary.productCode}, {L"Zeta Agent", kRestartingTool.productCode}}, kRebootRequired,
         true, {{&kRestartingTool, INSTALLUILEVEL_NONE}}, {&kSuitePrimary}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ProductCleanup rowCleanup{&kSuiteAgent, &kSuiteMonitor, &kSuitePrimary, &kRestartingTool};
        for (const TestPackage* package : row.installed)
            ASSERT_EQ(0u, Install(*package)) << Narrow(package->productCode);
        if (row.broken != nullptr) {
            ASSERT_EQ(0u, InstallDamaged(*row.broken, Damage::kPackageLost));
        }
        ASSERT_TRUE(WriteTextFile(msiLeftover, "leftover"));
        ASSERT_TRUE(WriteTextFile(bootstrapLeftover, "leftover"));
        ASSERT_TRUE(WriteMachineList(row.list));
        std::vector<std::wstring> names;
        for (const auto& value : row.list)
            names.push_back(value.first);
        ASSERT_EQ(names, EnumeratedValueNames(HKEY_LOCAL_MACHINE, kListKey, NativeView()));

        InstallerRecorder recorder;
        EXPECT_EQ(row.result, RemoveEndpointManager(state));
        if (row.recorded) {
            ASSERT_EQ(row.removals.size(), recorder.removals.size());
            for (size_t i = 0; i < row.removals.size(); ++i) {
                EXPECT_EQ(row.removals[i].first->productCode, recorder.removals[i].productCode) << i;
                EXPECT_EQ(row.removals[i].second, recorder.removals[i].uiLevel) << i;
            }
        }
        std::vector<const TestPackage*> all = row.installed;
        if (row.broken != nullptr)
            all.push_back(row.broken);
        for (const TestPackage* package : all) {
            const bool kept = std::find(row.kept.begin(), row.kept.end(), package) != row.kept.end();
            EXPECT_EQ(kept, IsInstalled(*package)) << Narrow(package->productCode);
            EXPECT_EQ(kept, Exists(PayloadPath(*package))) << Narrow(package->productCode);
        }
        ExpectLeftoversDeleted();
        DeleteUninstallLists();
    }
}

// A value that cannot be read takes no slot wherever it stands, and a list
// not read in full keeps the primary product: the ordinary ones readable
// are still removed, and the read's error is the result unless a removal
// failed first.
TEST_F(EndpointAgent, UnreadableValueKeepsThePrimaryWhereverItStands)
{
    enum class Agent { kNone, kInstalled, kBroken };
    const struct {
        const wchar_t* label;
        std::wstring name;  // sorts into its place under Wine as on Windows
        DWORD dataBytes;    // 0: a short product code
        Agent agent;
        int result;
    } cases[] = {
        {L"260-character name first", std::wstring(260, L'A'), 0, Agent::kNone, ERROR_MORE_DATA},
        {L"519-byte data last", L"Zz Long Data", 519, Agent::kNone, ERROR_MORE_DATA},
        {L"260-character name between", std::wstring(260, L'Y'), 0, Agent::kNone, ERROR_MORE_DATA},
        {L"520-byte data last after a product", L"Zz Long Data", 520, Agent::kInstalled,
         ERROR_MORE_DATA},
        {L"519-byte data between products", L"Y Long Data", 519, Agent::kInstalled,
         ERROR_MORE_DATA},
        {L"520-byte data first, failing product", L"AAA Long Data", 520, Agent::kBroken,
         ERROR_INSTALL_SOURCE_ABSENT},
    };
    ASSERT_EQ(0u, Install(kSuitePrimary));
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.label));
        ASSERT_TRUE(WriteTextFile(msiLeftover, "leftover"));
        ASSERT_TRUE(WriteTextFile(bootstrapLeftover, "leftover"));
        if (c.agent != Agent::kNone) {
            ASSERT_EQ(0u, c.agent == Agent::kBroken ? InstallDamaged(kSuiteAgent, Damage::kPackageLost)
                                                    : Install(kSuiteAgent));
        }
        std::vector<std::wstring> expected = {L"XPV", L"Zeta Agent"};
        if (c.agent == Agent::kNone)
            expected.back() = L"Zulu";  // not a string: no product
        expected.insert(c.name[0] == L'A'   ? expected.begin()
                        : c.name[0] == L'Y' ? expected.begin() + 1
                                            : expected.end(),
                        c.name);
        for (const std::wstring& name : expected) {
            if (name == c.name && c.dataBytes == 0) {
                ASSERT_TRUE(SetStringValue(HKEY_LOCAL_MACHINE, kListKey, name, UnknownCode(1),
                                           NativeView()));
            } else if (name == c.name) {
                // A unit past the data, not a terminator: a string whose count
                // leaves out the terminator that follows it is stored with it.
                std::wstring data(261, L'7');
                ASSERT_TRUE(SetRawValue(HKEY_LOCAL_MACHINE, name, REG_SZ, data.c_str(), c.dataBytes));
            } else if (name == L"Zulu") {
                ASSERT_TRUE(SetDwordValue(HKEY_LOCAL_MACHINE, kListKey, name, 1, NativeView()));
            } else {
                ASSERT_TRUE(SetStringValue(HKEY_LOCAL_MACHINE, kListKey, name,
                                           name == L"XPV" ? kSuitePrimary.productCode
                                                          : kSuiteAgent.productCode,
                                           NativeView()));
            }
        }
        ASSERT_EQ(expected, EnumeratedValueNames(HKEY_LOCAL_MACHINE, kListKey, NativeView()));

        UninstallList list;
        EXPECT_EQ(ERROR_MORE_DATA, ReadUninstallList(list));
        ASSERT_EQ(c.agent == Agent::kNone ? 1u : 2u, list.count);
        EXPECT_STREQ(L"XPV", list.entries[0].displayName);
        {
            InstallerRecorder recorder;
            EXPECT_EQ(c.result, RemoveEndpointManager(state));
            for (const RemovalCall& call : recorder.removals)
                EXPECT_NE(kSuitePrimary.productCode, call.productCode);
        }
        EXPECT_TRUE(IsInstalled(kSuitePrimary));
        EXPECT_EQ(c.agent == Agent::kBroken, IsInstalled(kSuiteAgent));
        ExpectLeftoversDeleted();
        Uninstall(kSuiteAgent);
        DeleteUninstallLists();
    }
}

TEST_F(EndpointAgent, EndpointControlProduct)
{
    EXPECT_EQ(kNotInstalled, RemoveEndpointControl(state));

    ASSERT_EQ(0u, Install(kEndpointControlPackage));
    state.skipTunnel = true;
    EXPECT_EQ(kSkipped, RemoveEndpointControl(state));
    EXPECT_TRUE(IsInstalled(kEndpointControlPackage));
    state.skipTunnel = false;
    {
        InstallerRecorder recorder;
        EXPECT_EQ(0, RemoveEndpointControl(state));
        ASSERT_EQ(1u, recorder.removals.size());
        EXPECT_EQ(INSTALLUILEVEL_NONE, recorder.removals[0].uiLevel);
        EXPECT_FALSE(IsInstalled(kEndpointControlPackage));
        EXPECT_FALSE(Exists(PayloadPath(kEndpointControlPackage)));
    }

    ASSERT_EQ(0u, InstallDamaged(kEndpointControlPackage, Damage::kPackageGarbage));
    InstallerRecorder recorder;
    EXPECT_EQ(ERROR_FUNCTION_FAILED, RemoveEndpointControl(state));
    ASSERT_EQ(2u, recorder.removals.size());
    EXPECT_EQ(INSTALLUILEVEL_NONE, recorder.removals[0].uiLevel);
    EXPECT_EQ(INSTALLUILEVEL_BASIC, recorder.removals[1].uiLevel);
    EXPECT_TRUE(IsInstalled(kEndpointControlPackage));
}

}  // namespace
