#include "system/registry_removal.h"

#include <shlwapi.h>

#include <cwchar>

#include "system/handles.h"
#include "system/platform_probes.h"
#include "system/responsiveness.h"

const wchar_t kProtectedProgId[] = L"Kestrix.QvWinActiveX";

namespace {
const DWORD kSubkeyNameUnits = 255;
}

LONG DeleteKeyTree(HKEY parent, const wchar_t* name)
{
    return static_cast<LONG>(SHDeleteKeyW(parent, name));
}

int DeleteSubkeysContaining(HKEY root, const wchar_t* subkeyPath, const wchar_t* text)
{
    RegKey parent;
    if (RegOpenKeyExW(root, subkeyPath, 0, FullAccessMask(), parent.Receive()) != ERROR_SUCCESS)
        return 0;
    DWORD subkeyCount = 0;
    if (RegQueryInfoKeyW(parent.Get(), nullptr, nullptr, nullptr, &subkeyCount, nullptr, nullptr,
                         nullptr, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return 0;

    // The count is read once; a successful deletion re-examines the same
    // index, since the next subkey has moved into it.
    for (DWORD i = 0; i < subkeyCount; ++i) {
        KeepResponsive();
        wchar_t name[kSubkeyNameUnits];
        DWORD nameUnits = kSubkeyNameUnits;
        if (RegEnumKeyExW(parent.Get(), i, name, &nameUnits, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            continue;
        if (wcsstr(name, text) == nullptr || wcsstr(name, kProtectedProgId) != nullptr)
            continue;
        if (DeleteKeyTree(parent.Get(), name) == ERROR_SUCCESS)
            --i;
    }
    return 0;
}
