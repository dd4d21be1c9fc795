#include <gtest/gtest.h>

#include "support/test_support.h"
#include "system/system_library.h"

namespace {

// A library named as no Windows library is, copied to path.
bool Plant(const std::wstring& path)
{
    std::wstring built = EnvironmentValue(L"HS_BUILD_DIR");
    return CopyFileW(UnixToWindowsPath(Narrow(built) + "/planted_library.dll").c_str(), path.c_str(),
                     FALSE) != 0;
}

// Found by a plain load, then let go again.
bool LoadsByName(const wchar_t* name)
{
    HMODULE module = LoadLibraryW(name);
    if (module != nullptr)
        FreeLibrary(module);
    return module != nullptr;
}

std::wstring OwnFolder()
{
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring own(path, length);
    return own.substr(0, own.rfind(L'\\'));
}

}  // namespace

// A library planted beside this program, where a plain search looks first:
// each layer of the search keeps it out by itself, on a Windows without
// the search flags (the fallback) and with them. (That the fallback's
// SetDllDirectoryW("") takes the current folder out rests on its
// documentation: Wine leaves the current folder in.)
TEST(LibrarySearch, EachLayerKeepsPlantedLibrariesOut)
{
    const wchar_t* const kPreloaded[] = {L"uxtheme.dll",  L"dwmapi.dll",  L"userenv.dll",
                                         L"propsys.dll",  L"oleacc.dll",  L"apphelp.dll",
                                         L"ntmarta.dll",  L"profapi.dll", L"winsta.dll",
                                         L"wtsapi32.dll", L"sspicli.dll", L"cryptbase.dll"};
    std::wstring beside = OwnFolder() + L"\\hs_beside.dll";
    ASSERT_TRUE(Plant(beside));
    ASSERT_TRUE(LoadsByName(L"hs_beside.dll"));
    std::vector<const wchar_t*> unloaded;
    for (const wchar_t* name : kPreloaded) {
        if (GetModuleHandleW(name) == nullptr)
            unloaded.push_back(name);
    }
    ASSERT_FALSE(unloaded.empty());

    PretendNoSearchFlagsForTest(true);
    EXPECT_EQ(nullptr, LoadSystemLibrary(L"hs_beside.dll"));
    RestrictLibrarySearch();
    // A preloaded name may be missing from this Windows; then it stays out.
    size_t preloaded = 0;
    for (const wchar_t* name : unloaded)
        preloaded += GetModuleHandleW(name) != nullptr ? 1 : 0;
    EXPECT_NE(0u, preloaded);
    SetDllDirectoryW(nullptr);
    PretendNoSearchFlagsForTest(false);

    EXPECT_EQ(nullptr, LoadSystemLibrary(L"hs_beside.dll"));
    RestrictLibrarySearch();
    EXPECT_FALSE(LoadsByName(L"hs_beside.dll"));

    DeleteFileW(beside.c_str());
}
