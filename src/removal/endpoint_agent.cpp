#include "removal/endpoint_agent.h"

#include "system/bounded_string.h"
#include "system/handles.h"
#include "system/platform_probes.h"
#include "system/responsiveness.h"

const wchar_t kUninstallListKey[] = L"Software\\Kestrix\\XPV\\Uninstall";
const wchar_t kEndpointControlName[] = L"Kestrix QUORVANE End Point Control";
const wchar_t kEndpointControlCode[] = L"{824B7195-5022-D47E-A0EA-69C3CF360213}";

namespace {

const DWORD kMaxNameChars = 260;
const DWORD kDataBytes = 520;
const DWORD kOfferedDataBytes = 518;  // the last unit stays a terminator

LONG OpenUninstallList(RegKey& key)
{
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallListKey, 0, ReadAccessMask(), key.Receive()) ==
        ERROR_SUCCESS)
        return ERROR_SUCCESS;
    return RegOpenKeyExW(HKEY_CURRENT_USER, kUninstallListKey, 0, ReadAccessMask(), key.Receive());
}

// Reads one value into the next free slot when it is a string that fits.
// Returns the status of the read: a value of another type reads well.
LONG ReadListedProduct(HKEY key, DWORD index, UninstallList& list)
{
    wchar_t name[kMaxNameChars];
    BYTE data[kDataBytes];
    ZeroMemory(name, sizeof(name));
    ZeroMemory(data, sizeof(data));
    DWORD nameChars = kMaxNameChars;
    DWORD dataBytes = kOfferedDataBytes;
    DWORD type = REG_NONE;
    LONG status = RegEnumValueW(key, index, name, &nameChars, nullptr, &type, data, &dataBytes);
    if (status != ERROR_SUCCESS || type != REG_SZ)
        return status;
    ProductEntry& entry = list.entries[list.count];
    BoundedCopy(entry.displayName, kPathUnits, name);
    BoundedCopy(entry.productCode, kPathUnits, reinterpret_cast<const wchar_t*>(data));
    entry.isPrimary = lstrcmpiW(entry.displayName, L"XPV") == 0;
    ++list.count;
    return ERROR_SUCCESS;
}

void DeleteTempLeftovers()
{
    wchar_t temp[kPathUnits];
    DWORD length = GetTempPathW(kPathUnits, temp);
    // A folder that did not fit is not known, so nothing is deleted in it.
    if (length == 0 || length >= kPathUnits)
        return;
    wchar_t path[kPathUnits];
    if (BoundedFormat(path, kPathUnits, L"%s\\xpv.msi", temp) == kStringOk)
        DeleteFileW(path);
    if (BoundedFormat(path, kPathUnits, L"%s\\xpvMsiBootstraper.exe", temp) == kStringOk)
        DeleteFileW(path);
}

}  // namespace

LONG ReadUninstallList(UninstallList& list)
{
    ZeroMemory(&list, sizeof(list));
    RegKey key;
    LONG status = OpenUninstallList(key);
    if (status != ERROR_SUCCESS)
        return status;

    DWORD valueCount = 0;
    DWORD longestName = 0;
    DWORD longestData = 0;
    status = RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                              &valueCount, &longestName, &longestData, nullptr, nullptr);
    if (status != ERROR_SUCCESS)
        return status;
    if (valueCount == 0)
        return ERROR_SUCCESS;
    // A list beyond the limits is not the suite's; it must not pass for an
    // empty one, which would read as a successful removal.
    if (valueCount > kMaxListedProducts || longestName > kMaxNameChars || longestData > kDataBytes)
        return ERROR_INVALID_DATA;

    // A value that cannot be read takes no slot, wherever it stands; the
    // first such read's error is the list's status, the readable values
    // being listed all the same.
    LONG unreadable = ERROR_SUCCESS;
    for (DWORD index = 0; index < valueCount && list.count < kMaxListedProducts; ++index) {
        LONG read = ReadListedProduct(key.Get(), index, list);
        if (unreadable == ERROR_SUCCESS)
            unreadable = read;
    }
    return unreadable;
}

int RemoveEndpointManager(const CleanupState& state)
{
    UninstallList list;
    LONG status = ReadUninstallList(list);

    int result = 0;
    const ProductEntry* primary = nullptr;
    for (DWORD i = 0; i < list.count; ++i) {
        KeepResponsive();  // between products
        const ProductEntry& entry = list.entries[i];
        if (entry.isPrimary) {
            primary = &entry;
            continue;
        }
        result = RemoveProductEntry(entry, state);
        if (result != 0 && result != kNotInstalled)
            break;
    }
    // The primary product goes last, and only once every listed product has
    // been looked at: a list that could not be read in full keeps it, and
    // fails with the read's error unless a removal failed first.
    if (result == 0 || result == kNotInstalled) {
        if (status != ERROR_SUCCESS)
            result = static_cast<int>(status);
        else if (primary != nullptr)
            result = RemoveProductEntry(*primary, state);
    }

    DeleteTempLeftovers();
    return result;
}

int RemoveEndpointControl(const CleanupState& state)
{
    ProductEntry entry;
    MakeProductEntry(entry, kEndpointControlName, kEndpointControlCode, false);
    return RemoveProductEntry(entry, state);
}
