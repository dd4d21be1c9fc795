#include "removal/endpoint_agent.h"

#include "removal/installer_api.h"
#include "removal/installer_contexts.h"
#include "removal/product_account.h"
#include "system/bounded_string.h"
#include "system/handles.h"
#include "system/held_folder.h"
#include "system/platform_probes.h"
#include "system/registry_path.h"
#include "system/registry_roots.h"
#include "system/responsiveness.h"
#include "system/user_folders.h"

const wchar_t kUninstallListKey[] = L"Software\\Kestrix\\XPV\\Uninstall";
// The same key below a user's "Software" key.
const wchar_t kListBelowSoftware[] = L"Kestrix\\XPV\\Uninstall";
const wchar_t kEndpointControlName[] = L"Kestrix QUORVANE End Point Control";
const wchar_t kEndpointControlCode[] = L"{824B7195-5022-D47E-A0EA-69C3CF360213}";

namespace {

const DWORD kMaxNameChars = 260;
const DWORD kDataBytes = 520;
const DWORD kOfferedDataBytes = 518;  // the last unit stays a terminator

LONG OpenUninstallList(RegKey& key, UninstallList& list)
{
    list.owner = ListOwner::kMachine;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallListKey, 0, ReadAccessMask(), key.Receive()) ==
        ERROR_SUCCESS)
        return ERROR_SUCCESS;
    // The hive the run removes the desk's user's keys from. A user's list
    // steers what is removed: no link on the way to it is followed.
    UserRegistries users;
    if (users.Count() == 2 && users.Software(1) != nullptr &&
        OpenKeyWithoutLinks(users.Software(1), kListBelowSoftware, ReadAccessMask(), key) ==
            ERROR_SUCCESS) {
        list.owner = ListOwner::kDeskUser;
        BoundedCopy(list.ownerSid, kSidUnits, users.OtherSid());
        return ERROR_SUCCESS;
    }
    list.owner = ListOwner::kThisUser;
    return OpenKeyWithoutLinks(HKEY_CURRENT_USER, kUninstallListKey, ReadAccessMask(), key);
}

bool IsSeenInstalled(const wchar_t* productCode)
{
    ProductQuery query(productCode);
    QueryProduct(query);
    return query.installed;
}

// The desk's user when they are another account whose hive is loaded: the
// SID into sid; false otherwise.
bool DeskUserIsAnotherAccount(wchar_t* sid)
{
    UserRegistries users;
    if (users.Count() != 2)
        return false;
    BoundedCopy(sid, kSidUnits, users.OtherSid());
    return sid[0] != L'\0';
}

// A list in a user's hive is that user's to write: a product it names is
// theirs only when it is installed for them alone, never for the machine.
// This run's own user's is removed as any product; one installed for the
// desk's user, another account, is out of reach of this account's
// installer (it answers such a product as absent), and so is one it
// cannot tell about. Either is left installed, and the phase fails. So is
// such a product named by the machine's list. why tells what keeps a
// product that stays; otherUser (kSidUnits) the other account it may be
// installed for, empty for none.
int RemoveListedProduct(const ProductEntry& entry, const UninstallList& list,
                        const CleanupState& state, StayReason* why, wchar_t* otherUser)
{
    const wchar_t* code = entry.productCode;
    *why = StayReason::kStillInstalled;
    otherUser[0] = L'\0';
    if (code[0] == L'\0')
        return RemoveProductEntry(entry, state);
    if (list.owner == ListOwner::kMachine) {
        if (DeskUserIsAnotherAccount(otherUser) && !IsSeenInstalled(code) &&
            !IsSurelyNotForUser(code, otherUser)) {
            *why = StayReason::kOtherUser;
            return ERROR_ACCESS_DENIED;
        }
        otherUser[0] = L'\0';
        return RemoveProductEntry(entry, state);
    }
    const bool forMachine = InstalledIn(code, nullptr, kMachine) != ContextAnswer::kNotThere;
    if (list.owner == ListOwner::kThisUser) {
        if ((forMachine || !IsInstalledForUser(code, nullptr)) && IsSeenInstalled(code)) {
            *why = StayReason::kNone;  // the machine's, which a user's list does not name
            return ERROR_ACCESS_DENIED;
        }
        return RemoveProductEntry(entry, state);
    }
    if (forMachine || !IsSurelyNotForUser(code, list.ownerSid) || IsSeenInstalled(code)) {
        *why = forMachine || IsSeenInstalled(code) ? StayReason::kNone : StayReason::kOtherUser;
        BoundedCopy(otherUser, kSidUnits, list.ownerSid);
        return ERROR_ACCESS_DENIED;
    }
    return kNotInstalled;
}

// Removes one listed product, noting it in the account when it may stay.
int RemoveAndNote(const ProductEntry& entry, const UninstallList& list, const CleanupState& state)
{
    StayReason why = StayReason::kNone;
    wchar_t otherUser[kSidUnits];
    int result = RemoveListedProduct(entry, list, state, &why, otherUser);
    if (MayLeaveProduct(result))
        NoteProductStays(state, entry, why, otherUser);
    return result;
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

// The products after a failed one are not tried: each that is there stays
// because of the failure (the primary is noted by its caller).
void NoteUntried(const UninstallList& list, DWORD from, const CleanupState& state)
{
    for (DWORD i = from; i < list.count; ++i) {
        if (!list.entries[i].isPrimary)
            NoteProductStays(state, list.entries[i], StayReason::kEarlierFailure,
                             list.owner == ListOwner::kDeskUser ? list.ownerSid : nullptr);
    }
}

void DeleteLeftoversIn(HeldFolder& folder)
{
    folder.DeleteFile(L"xpv.msi", 0, false);
    folder.DeleteFile(L"xpvMsiBootstraper.exe", 0, false);
}

// The suite installer's leftovers, deleted from the held temporary folder
// (a link there, or put in its place, leads nowhere else): this process's,
// and the desk's user's own when they are another account.
void DeleteTempLeftovers()
{
    wchar_t temp[kPathUnits];
    DWORD length = GetTempPathW(kPathUnits, temp);
    // A folder that did not fit is not known, so nothing is deleted in it.
    if (length != 0 && length < kPathUnits) {
        if (length > 3 && temp[length - 1] == L'\\')
            temp[length - 1] = L'\0';  // held by its own name; a root keeps its backslash
        HeldFolder folder;
        if (folder.Hold(temp, false))
            DeleteLeftoversIn(folder);
    }
    HeldFolder desk;
    if (HoldOtherInteractiveUserTemp(desk, temp))
        DeleteLeftoversIn(desk);
}

}  // namespace

LONG ReadUninstallList(UninstallList& list)
{
    ZeroMemory(&list, sizeof(list));
    RegKey key;
    LONG status = OpenUninstallList(key, list);
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
        if (list.entries[i].isPrimary)
            primary = &list.entries[i];
    }
    for (DWORD i = 0; i < list.count; ++i) {
        KeepResponsive();  // between products
        const ProductEntry& entry = list.entries[i];
        if (entry.isPrimary)
            continue;
        result = RemoveAndNote(entry, list, state);
        if (result != 0 && result != kNotInstalled) {
            NoteUntried(list, i + 1, state);
            break;
        }
    }
    // The primary product goes last, and only once every listed product has
    // been looked at: a list that could not be read in full keeps it, and
    // fails with the read's error unless a removal failed first.
    bool primaryTried = false;
    if (result == 0 || result == kNotInstalled) {
        if (status != ERROR_SUCCESS) {
            result = static_cast<int>(status);
        } else if (primary != nullptr) {
            primaryTried = true;
            result = RemoveAndNote(*primary, list, state);
        }
    }
    if (primary != nullptr && !primaryTried)
        NoteProductStays(state, *primary, StayReason::kEarlierFailure,
                         list.owner == ListOwner::kDeskUser ? list.ownerSid : nullptr);

    DeleteTempLeftovers();
    return result;
}

int RemoveEndpointControl(const CleanupState& state)
{
    ProductEntry entry;
    MakeProductEntry(entry, kEndpointControlName, kEndpointControlCode, false);
    int result = RemoveProductEntry(entry, state);
    if (MayLeaveProduct(result))
        NoteProductStays(state, entry, StayReason::kStillInstalled);
    return result;
}
