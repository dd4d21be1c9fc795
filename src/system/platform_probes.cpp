#include "system/platform_probes.h"

#include "system/system_exports.h"

namespace {
typedef void(WINAPI* GetNativeSystemInfoFn)(LPSYSTEM_INFO);
}

bool IsNative64Bit()
{
    // Looked up at run time: Windows before XP lacks the export.
    GetNativeSystemInfoFn getNativeSystemInfo =
        LookUpExport<GetNativeSystemInfoFn>(L"kernel32", "GetNativeSystemInfo");
    if (getNativeSystemInfo == nullptr)
        return false;
    SYSTEM_INFO info;
    ZeroMemory(&info, sizeof(info));
    getNativeSystemInfo(&info);
    return info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64;
}

bool IsWindowsXP()
{
    OSVERSIONINFOW version;
    ZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);  // 276
    if (!GetVersionExW(&version))
        return false;
    return version.dwMajorVersion == 5 && version.dwMinorVersion == 1;
}

REGSAM FullAccessMask()
{
    return IsNative64Bit() ? (KEY_ALL_ACCESS | KEY_WOW64_64KEY) : KEY_ALL_ACCESS;
}

REGSAM ReadAccessMask()
{
    return IsNative64Bit() ? (KEY_READ | KEY_WOW64_64KEY) : KEY_READ;
}
