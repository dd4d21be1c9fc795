// Broken and hostile machine states, each run through the phase that meets
// it: the phase must end normally, report what the state calls for, and
// delete nothing but the vendor's own items.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "removal/class_registrations.h"
#include "removal/endpoint_agent.h"
#include "run/cleanup_state.h"
#include "support/packages.h"
#include "support/test_support.h"

namespace {

struct ListCase {
    const char* what;
    DWORD type;
    std::vector<BYTE> data;
    int expected;  // RemoveEndpointManager's result
};

std::vector<BYTE> Bytes(const std::wstring& text, bool terminated = true)
{
    const BYTE* raw = reinterpret_cast<const BYTE*>(text.c_str());
    size_t size = (text.size() + (terminated ? 1 : 0)) * sizeof(wchar_t);
    return std::vector<BYTE>(raw, raw + size);
}

bool SetListValue(const wchar_t* name, DWORD type, const std::vector<BYTE>& data)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kListKey, 0, nullptr, 0, KEY_ALL_ACCESS | NativeView(),
                        nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    LONG status = RegSetValueExW(key, name, 0, type, data.empty() ? nullptr : data.data(),
                                 static_cast<DWORD>(data.size()));
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

// Points this process's temporary folder elsewhere while it lives.
class TemporaryFolderOverride {
public:
    explicit TemporaryFolderOverride(const std::wstring& folder)
    {
        Save(L"TMP", tmp_);
        Save(L"TEMP", temp_);
        SetEnvironmentVariableW(L"TMP", folder.c_str());
        SetEnvironmentVariableW(L"TEMP", folder.c_str());
    }
    ~TemporaryFolderOverride()
    {
        SetEnvironmentVariableW(L"TMP", tmp_.empty() ? nullptr : tmp_.c_str());
        SetEnvironmentVariableW(L"TEMP", temp_.empty() ? nullptr : temp_.c_str());
    }

private:
    static void Save(const wchar_t* name, std::wstring& value) { value = EnvironmentValue(name); }
    std::wstring tmp_, temp_;
};

// A folder below base whose path is exactly length units long.
std::wstring FolderOfLength(const std::wstring& base, size_t length)
{
    std::wstring folder = base + L"\\";
    while (folder.size() < length)
        folder += (folder.size() % 50 == 0) ? L'\\' : L'd';
    if (folder.back() == L'\\')
        folder.back() = L'e';
    return folder;
}

}  // namespace

TEST(HostileInput, UninstallListOfEveryValueType)
{
    // The product is installed, so a value that were wrongly read as its
    // code would remove it; the last row shows that a proper one does.
    const ListCase cases[] = {
        {"expandable string", REG_EXPAND_SZ, Bytes(kSuiteAgent.productCode), 0},
        {"multi-string", REG_MULTI_SZ, Bytes(std::wstring(kSuiteAgent.productCode) + L'\0'), 0},
        {"binary", REG_BINARY, {1, 2, 3, 4}, 0},
        {"no type, no data", REG_NONE, {}, 0},
        {"64-bit number", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0}, 0},
        {"empty string", REG_SZ, Bytes(L""), 0},
        {"string without terminator", REG_SZ, Bytes(L"{not-a-product}", false), kNotInstalled},
        {"text that is no product code", REG_SZ, Bytes(L"rm -rf C:\\"), kNotInstalled},
        {"odd byte count", REG_SZ, {0x41, 0x00, 0x42}, kNotInstalled},
        {"the product's code as a string", REG_SZ, Bytes(kSuiteAgent.productCode), 0},
    };
    ProductCleanup cleanup{&kSuiteAgent};
    ASSERT_EQ(0u, Install(kSuiteAgent));
    CleanupState state{};
    for (const ListCase& test : cases) {
        SCOPED_TRACE(test.what);
        const bool proper = test.type == REG_SZ && test.data == Bytes(kSuiteAgent.productCode);
        DeleteUninstallLists();
        ASSERT_TRUE(SetListValue(L"Suite Part", test.type, test.data));
        InstallerRecorder recorder;
        EXPECT_EQ(test.expected, RemoveEndpointManager(state));
        EXPECT_EQ(proper ? 1u : 0u, recorder.removals.size());
        EXPECT_EQ(!proper, IsInstalled(kSuiteAgent));
    }
    DeleteUninstallLists();
}

TEST(HostileInput, TemporaryFolderPathsAtTheLimit)
{
    std::wstring base = MakeScratchFolder(L"long-temp");
    // The leftover paths are the folder as GetTempPathW gives it (with its
    // backslash), another backslash and the name: 259 units fit, 260 and
    // 261 do not, and nothing may be deleted at a path cut to fit.
    const wchar_t msiName[] = L"xpv.msi";
    for (size_t joined : {259u, 260u, 261u}) {
        SCOPED_TRACE(joined);
        size_t folderUnits = joined - 1 - wcslen(msiName) - 1;  // less both backslashes
        std::wstring folder = FolderOfLength(base, folderUnits);
        ASSERT_EQ(folderUnits, folder.size());
        ASSERT_TRUE(MakeFolders(folder));
        std::wstring leftover = folder + L"\\\\" + msiName;
        ASSERT_EQ(joined, leftover.size());
        ASSERT_TRUE(WriteTextFile(folder + L"\\" + msiName, "leftover"));
        // What a path cut to 259 units would name instead.
        std::wstring cut = leftover.substr(0, 259);
        bool cutIsOther = cut != leftover && cut.back() != L'\\';
        if (cutIsOther) {
            ASSERT_TRUE(WriteTextFile(cut, "someone else's"));
        }

        {
            TemporaryFolderOverride override(folder);
            ASSERT_EQ(folder + L"\\", TempPath(L""));
            CleanupState state{};
            EXPECT_EQ(kNotInstalled, RemoveEndpointManager(state));
        }
        EXPECT_EQ(joined < 260, !Exists(folder + L"\\" + msiName));
        if (cutIsOther) {
            EXPECT_EQ("someone else's", ReadWholeFile(cut));
        }
    }
    RemoveTestTree(base);
}

TEST(HostileInput, TemporaryFolderThatDoesNotExist)
{
    std::wstring base = MakeScratchFolder(L"missing-temp");
    TemporaryFolderOverride override(base + L"\\gone");
    CleanupState state{};
    EXPECT_EQ(kNotInstalled, RemoveEndpointManager(state));
    EXPECT_FALSE(Exists(base + L"\\gone"));
    RemoveTestTree(base);
}

TEST(HostileInput, ClassesRootWithTwentyThousandExtraKeys)
{
    const int kExtra = 20000;
    HKEY classes = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CLASSES_ROOT, nullptr, 0, KEY_ALL_ACCESS | NativeView(),
                                           &classes));
    for (int i = 0; i < kExtra; ++i) {
        wchar_t name[64];
        swprintf(name, 64, L"HsDecoy.Class%05d", i);
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS,
                  RegCreateKeyExW(classes, name, 0, nullptr, 0, KEY_ALL_ACCESS | NativeView(), nullptr,
                                  &key, nullptr));
        RegCloseKey(key);
    }
    ASSERT_TRUE(CreateKey(HKEY_CLASSES_ROOT, L"Kestrix.Widget\\CurVer", NativeView()));
    ASSERT_TRUE(CreateKey(HKEY_CLASSES_ROOT, L"Kestrix.QvWinActiveX", NativeView()));

    CleanupState state{};
    DWORD started = GetTickCount();
    CleanClassRegistrations(state);
    DWORD elapsed = GetTickCount() - started;

    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"Kestrix.Widget", NativeView()));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"Kestrix.QvWinActiveX", NativeView()));
    DWORD subkeys = 0;
    RegQueryInfoKeyW(classes, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr,
                     nullptr, nullptr, nullptr);
    EXPECT_GE(subkeys, static_cast<DWORD>(kExtra));
    EXPECT_LT(elapsed, 30000u) << "the class search took " << elapsed << " ms";

    for (int i = 0; i < kExtra; ++i) {
        wchar_t name[64];
        swprintf(name, 64, L"HsDecoy.Class%05d", i);
        RegDeleteKeyW(classes, name);
    }
    DeleteKeyForTest(HKEY_CLASSES_ROOT, L"Kestrix.QvWinActiveX", NativeView());
    RegCloseKey(classes);
}
