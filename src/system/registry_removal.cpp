#include "system/registry_removal.h"

#include <cwchar>

#include "system/handles.h"
#include "system/platform_probes.h"
#include "system/registry_path.h"
#include "system/responsiveness.h"
#include "system/system_exports.h"
#include "system/what_stays.h"

const wchar_t kProtectedProgId[] = L"Kestrix.QvWinActiveX";

namespace {

const DWORD kSubkeyNameUnits = 255;   // the search's buffer: a 255-character name is skipped
const DWORD kTreeNameUnits = 256;     // any key name below a found key fits
const REGSAM kTreeAccess = KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | DELETE;

// What one deletion call may visit: keys enumerated, in all its trees, and
// levels below a found key. The vendor's trees hold tens of keys a few
// levels deep; another program that keeps adding keys below one being
// deleted would otherwise keep the deletion going for as long as it liked.
const DWORD kTreeVisitLimit = 10000;
const int kTreeDepthLimit = 64;

struct TreeBudget {
    DWORD visitsLeft = kTreeVisitLimit;
    bool tooDeep = false;  // a key below the depth limit stayed
};

// Why a found key's deletion failed with status.
StayReason WhyKeyStays(const TreeBudget& budget, LONG status)
{
    if (budget.visitsLeft == 0)
        return StayReason::kTooManySubkeys;
    if (budget.tooDeep)
        return StayReason::kTooDeep;
    return StayReasonOfError(static_cast<DWORD>(status));
}

typedef LONG(WINAPI* NtDeleteKeyFn)(HANDLE);
typedef ULONG(WINAPI* RtlNtStatusToDosErrorFn)(LONG);

// Deletes the key the handle names; it must have no subkeys left. Opened
// with REG_OPTION_OPEN_LINK, the handle names a link itself, and the key
// that was checked and emptied even if a user has since put a link in its
// place; by name, the deletion would follow such a link to its target.
LONG DeleteKeyThroughHandle(HKEY key)
{
    NtDeleteKeyFn deleteKey = LookUpExport<NtDeleteKeyFn>(L"ntdll", "NtDeleteKey");
    RtlNtStatusToDosErrorFn toError =
        LookUpExport<RtlNtStatusToDosErrorFn>(L"ntdll", "RtlNtStatusToDosError");
    if (deleteKey == nullptr || toError == nullptr)
        return ERROR_CALL_NOT_IMPLEMENTED;
    return static_cast<LONG>(toError(deleteKey(key)));
}

LONG DeleteTreeWithin(HKEY parent, const wchar_t* name, REGSAM view, TreeBudget& budget, int depth);

// Deletes every subkey of key; a subkey that resists is passed over. Ends
// when the budget does: the key then keeps subkeys and stays.
void DeleteSubtrees(HKEY key, REGSAM view, TreeBudget& budget, int depth)
{
    DWORD index = 0;
    while (budget.visitsLeft > 0) {
        --budget.visitsLeft;
        KeepResponsive();
        wchar_t name[kTreeNameUnits];
        DWORD nameUnits = kTreeNameUnits;
        // Every key name fits the buffer, so a failure is the end of the
        // list, or a key deleted meanwhile, where every later index fails.
        if (RegEnumKeyExW(key, index, name, &nameUnits, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            return;
        // A deleted subkey's successor moves into its index.
        if (DeleteTreeWithin(key, name, view, budget, depth + 1) != ERROR_SUCCESS)
            ++index;
    }
}

// Every level is opened with the view flag: Windows XP x64 and Server 2003
// x64 do not carry a handle's view over to opens relative to it.
LONG DeleteTreeWithin(HKEY parent, const wchar_t* name, REGSAM view, TreeBudget& budget, int depth)
{
    if (depth > kTreeDepthLimit) {
        budget.tooDeep = true;
        return ERROR_CANTOPEN;
    }
    RegKey key;
    LONG status = RegOpenKeyExW(parent, name, REG_OPTION_OPEN_LINK, kTreeAccess | view, key.Receive());
    if (status != ERROR_SUCCESS)
        return status;
    if (!IsRegistryLink(key.Get()))
        DeleteSubtrees(key.Get(), view, budget, depth);
    return DeleteKeyThroughHandle(key.Get());
}

// Whether a found name is to be deleted: it holds one of the texts and is
// not of the protected family.
bool IsWanted(const wchar_t* name, const wchar_t* const* texts, size_t textCount)
{
    if (wcsstr(name, kProtectedProgId) != nullptr)
        return false;
    for (size_t t = 0; t < textCount; ++t) {
        if (wcsstr(name, texts[t]) != nullptr)
            return true;
    }
    return false;
}

}  // namespace

REGSAM ViewOf(REGSAM access)
{
    return access & (KEY_WOW64_64KEY | KEY_WOW64_32KEY);
}

LONG DeleteKeyTree(HKEY parent, const wchar_t* name, REGSAM view, StayReason* why)
{
    TreeBudget budget;
    LONG status = DeleteTreeWithin(parent, name, view, budget, 0);
    if (why != nullptr && status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
        *why = WhyKeyStays(budget, status);
    return status;
}

int DeleteSubkeysContaining(HKEY root, const wchar_t* subkeyPath, const wchar_t* text,
                            WhatStays* account)
{
    return DeleteSubkeysContainingAny(root, subkeyPath, &text, 1, account);
}

int DeleteSubkeysContainingAny(HKEY root, const wchar_t* subkeyPath, const wchar_t* const* texts,
                               size_t textCount, WhatStays* account)
{
    // The parents lie below roots a user can write: no link on the way is
    // followed.
    RegKey parent;
    REGSAM access = FullAccessMask();
    if (OpenKeyWithoutLinks(root, subkeyPath, access, parent) != ERROR_SUCCESS)
        return 0;
    DWORD subkeyCount = 0;
    if (RegQueryInfoKeyW(parent.Get(), nullptr, nullptr, nullptr, &subkeyCount, nullptr, nullptr,
                         nullptr, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return 0;

    // The count is read once; a successful deletion re-examines the same
    // index, since the next subkey has moved into it, until more keys have
    // gone than there were: someone else is adding them.
    TreeBudget budget;
    DWORD deleted = 0;
    for (DWORD i = 0; i < subkeyCount; ++i) {
        KeepResponsive();
        wchar_t name[kSubkeyNameUnits];
        DWORD nameUnits = kSubkeyNameUnits;
        if (RegEnumKeyExW(parent.Get(), i, name, &nameUnits, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            continue;
        if (!IsWanted(name, texts, textCount))
            continue;
        LONG status = DeleteTreeWithin(parent.Get(), name, ViewOf(access), budget, 0);
        if (status != ERROR_SUCCESS) {
            if (account != nullptr)
                account->NoteKey(parent.Get(), name, WhyKeyStays(budget, status));
        } else if (++deleted <= subkeyCount) {
            --i;
        }
    }
    return 0;
}
