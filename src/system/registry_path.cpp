#include "system/registry_path.h"

#include "system/registry_removal.h"

namespace {

const size_t kComponentUnits = 256;  // a key name has 255 characters at most

// Copies the component path starts with into name; returns where the next
// one starts, or null when the component is empty or too long.
const wchar_t* TakeComponent(const wchar_t* path, wchar_t* name)
{
    size_t units = 0;
    while (path[units] != L'\0' && path[units] != L'\\') {
        if (units + 1 == kComponentUnits)
            return nullptr;
        name[units] = path[units];
        ++units;
    }
    name[units] = L'\0';
    if (units == 0)
        return nullptr;
    return path[units] == L'\\' ? path + units + 1 : path + units;
}

}  // namespace

bool IsRegistryLink(HKEY key)
{
    // The link's target is its REG_LINK "SymbolicLinkValue".
    DWORD type = REG_NONE;
    LONG status = RegQueryValueExW(key, L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr);
    return (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) && type == REG_LINK;
}

LONG OpenKeyWithoutLinks(HKEY parent, const wchar_t* path, REGSAM access, RegKey& key)
{
    key.Reset();
    if (path == nullptr || path[0] == L'\0')
        return RegOpenKeyExW(parent, nullptr, 0, access, key.Receive());
    // Every level in the caller's view: Windows XP x64 and Server 2003 x64
    // do not carry a handle's view over to opens relative to it.
    const REGSAM wayAccess = KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | ViewOf(access);
    RegKey levels[2];  // the level opened last and the one before it
    HKEY from = parent;
    const wchar_t* rest = path;
    for (int turn = 0;; turn = 1 - turn) {
        wchar_t name[kComponentUnits];
        rest = TakeComponent(rest, name);
        if (rest == nullptr)
            return ERROR_INVALID_PARAMETER;
        const bool last = rest[0] == L'\0';
        RegKey& next = last ? key : levels[turn];
        LONG status = RegOpenKeyExW(from, name, REG_OPTION_OPEN_LINK,
                                    last ? (access | KEY_QUERY_VALUE) : wayAccess, next.Receive());
        if (status != ERROR_SUCCESS)
            return status;
        if (IsRegistryLink(next.Get())) {
            next.Reset();
            return ERROR_FILE_NOT_FOUND;
        }
        if (last)
            return ERROR_SUCCESS;
        from = next.Get();
    }
}
