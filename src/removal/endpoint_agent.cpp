#include "removal/endpoint_agent.h"

#include "removal/installer_api.h"
#include "system/bounded_string.h"
#include "system/handles.h"
#include "system/held_folder.h"
#include "system/platform_probes.h"
#include "system/responsiveness.h"

const wchar_t kUninstallListKey[] = L"Software\\Kestrix\\XPV\\Uninstall";
const wchar_t kEndpointControlName[] = L"Kestrix QUORVANE End Point Control";
const wchar_t kEndpointControlCode[] = L"{824B7195-5022-D47E-A0EA-69C3CF360213}";

namespace {

const DWORD kMaxNameChars = 260;
const DWORD kDataBytes = 520;
const DWORD kOfferedDataBytes = 518;  // the last unit stays a terminator

LONG OpenUninstallList(RegKey& key, bool* userList)
{
    *userList = false;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallListKey, 0, ReadAccessMask(), key.Receive()) ==
        ERROR_SUCCESS)
        return ERROR_SUCCESS;
    *userList = true;
    return RegOpenKeyExW(HKEY_CURRENT_USER, kUninstallListKey, 0, ReadAccessMask(), key.Receive());
}

// Whether the installer has the product installed in this context of the
// user the run is. MsiGetProductInfoExW came with Windows Installer 3.0
// (XP SP2); where it is missing, or gives any other answer than a definite
// one, the product counts as installed for the machine, not for the user.
enum class ContextAnswer { kInstalled, kNotThere, kUnsure };
// The installer's contexts (MSIINSTALLCONTEXT), which msi.h offers only
// to programs for Windows Installer 3.0 and later.
const DWORD kUserManaged = 1;
const DWORD kUserUnmanaged = 2;
const DWORD kMachine = 4;

ContextAnswer InstalledIn(const wchar_t* productCode, DWORD context)
{
    auto productInfo = Installer().productInfoEx;
    if (productInfo == nullptr)
        return ContextAnswer::kUnsure;
    wchar_t state[8];
    DWORD units = 8;
    UINT status = productInfo(productCode, nullptr, context, L"State", state, &units);
    if (status == ERROR_UNKNOWN_PRODUCT)
        return ContextAnswer::kNotThere;
    if (status == ERROR_SUCCESS && lstrcmpW(state, L"5") == 0)  // INSTALLSTATE_DEFAULT
        return ContextAnswer::kInstalled;
    return ContextAnswer::kUnsure;
}

// A list under HKEY_CURRENT_USER is the user's to write: a product it names
// is theirs only when it is installed for them alone, never for the machine.
bool IsThisUsersAlone(const wchar_t* productCode)
{
    return InstalledIn(productCode, kMachine) == ContextAnswer::kNotThere &&
           (InstalledIn(productCode, kUserUnmanaged) == ContextAnswer::kInstalled ||
            InstalledIn(productCode, kUserManaged) == ContextAnswer::kInstalled);
}

// A product the user's own list names but that is installed for more than
// them is left installed, and the phase fails.
int RemoveListedProduct(const ProductEntry& entry, bool userList, const CleanupState& state)
{
    if (userList && !IsThisUsersAlone(entry.productCode)) {
        ProductQuery query(entry.productCode);
        QueryProduct(query);
        if (query.installed)
            return ERROR_ACCESS_DENIED;
    }
    return RemoveProductEntry(entry, state);
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

// The suite installer's leftovers, deleted from the held temporary folder:
// a link there, or put in its place, leads nowhere else.
void DeleteTempLeftovers()
{
    wchar_t temp[kPathUnits];
    DWORD length = GetTempPathW(kPathUnits, temp);
    // A folder that did not fit is not known, so nothing is deleted in it.
    if (length == 0 || length >= kPathUnits)
        return;
    if (length > 3 && temp[length - 1] == L'\\')
        temp[length - 1] = L'\0';  // held by its own name; a root keeps its backslash
    HeldFolder folder;
    if (!folder.Hold(temp, false))
        return;
    folder.DeleteFile(L"xpv.msi", 0, false);
    folder.DeleteFile(L"xpvMsiBootstraper.exe", 0, false);
}

}  // namespace

LONG ReadUninstallList(UninstallList& list)
{
    ZeroMemory(&list, sizeof(list));
    RegKey key;
    LONG status = OpenUninstallList(key, &list.userList);
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
        result = RemoveListedProduct(entry, list.userList, state);
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
            result = RemoveListedProduct(*primary, list.userList, state);
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
