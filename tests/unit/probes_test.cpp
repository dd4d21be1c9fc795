#include <gtest/gtest.h>

#include "support/test_support.h"
#include "system/platform_probes.h"

TEST(PlatformProbes, AnswerForThisPrefix)
{
    std::wstring kind = PrefixKind();
    ASSERT_TRUE(kind == L"win64" || kind == L"win32" || kind == L"winxp")
        << "HS_PREFIX is '" << Narrow(kind) << "'";

    // This 32-bit process runs on 64-bit Windows only in the win64 prefix.
    EXPECT_EQ(kind == L"win64", IsNative64Bit());
    EXPECT_EQ(kind == L"winxp", IsWindowsXP());
}

// The masks exist to reach keys that a 32-bit process would otherwise see
// redirected: a key made only in the native view must open with them.
TEST(PlatformProbes, MasksReachTheNativeView)
{
    const std::wstring path = L"Software\\HsProbeNativeViewTest";
    REGSAM native = PrefixKind() == L"win64" ? KEY_WOW64_64KEY : 0;
    DeleteKeyForTest(HKEY_LOCAL_MACHINE, path, native);
    ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, path, native));

    HKEY key = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, FullAccessMask(), &key));
    if (key != nullptr)
        RegCloseKey(key);
    key = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, ReadAccessMask(), &key));
    if (key != nullptr)
        RegCloseKey(key);

    if (PrefixKind() == L"win64") {
        // Without the 64-bit view the same name lands in Wow6432Node.
        key = nullptr;
        EXPECT_EQ(ERROR_FILE_NOT_FOUND,
                  RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key));
        if (key != nullptr)
            RegCloseKey(key);
    }

    DeleteKeyForTest(HKEY_LOCAL_MACHINE, path, native);
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, path, native));
}
