#include "removal/class_registrations.h"

#include <windows.h>

#include <shlobj.h>

#include "system/bounded_string.h"
#include "system/cleanup_state.h"
#include "system/file_removal.h"
#include "system/platform_probes.h"
#include "system/registry_removal.h"
#include "system/registry_roots.h"
#include "system/user_folders.h"
#include "system/what_stays.h"

const wchar_t* const kVendorClassIds[6] = {
    L"{EEF90444-7203-CA1F-B072-9A3D5354BC0E}", L"{46A2591E-E875-F365-3921-60BB374BE058}",
    L"{ABD65AEF-F006-4E7A-580E-9CE7DCF75952}", L"{52A45655-7BDB-1C48-5892-A3440DE1069A}",
    L"{195ACC28-8CC7-34E1-1711-DBE164305F54}", L"{32666F9A-C2D3-DBC2-A850-7D530EAE01D8}",
};

namespace {

const wchar_t* const kUserClassTexts[2] = {L"Kestrix", L"xpvVersion"};

// The identifiers' keys below a classes root: the native CLSID and, on
// 64-bit Windows, the 32-bit registrations below "Wow6432Node".
void DeleteVendorClassIds(HKEY classes, WhatStays* account)
{
    DeleteSubkeysContainingAny(classes, L"CLSID", kVendorClassIds, 6, account);
    if (IsNative64Bit())
        DeleteSubkeysContainingAny(classes, L"Wow6432Node\\CLSID", kVendorClassIds, 6, account);
}

// One user's classes root: the ProgIDs by both texts, then the identifiers.
void CleanUserClasses(HKEY classes, WhatStays* account)
{
    if (classes == nullptr)
        return;
    DeleteSubkeysContainingAny(classes, nullptr, kUserClassTexts, 2, account);
    DeleteVendorClassIds(classes, account);
}

void EmptyUserVendorFolder(WhatStays* account)
{
    wchar_t folder[kPathUnits];
    HeldFolder held;
    StayReason why = StayReason::kNone;
    // The entries' paths, which only the diagnostics show, keep the
    // backslash the folder's path always had after it.
    if (!HoldInteractiveUserFolder(CSIDL_APPDATA, L"\\Kestrix", true, held, folder) ||
        BoundedAppend(folder, kPathUnits, L"\\") != kStringOk)
        return;
    EmptyAndRemoveHeldFolder(held, folder, &why);
    if (account != nullptr)
        account->NotePath(folder, why);
}

}  // namespace

void CleanClassRegistrations(const CleanupState& state)
{
    // Each parent is read once, for every text looked for in it: on a PC in
    // use the classes root and CLSID hold tens of thousands of keys. The
    // machine's keys go before the users' ones. The real roots, not
    // HKEY_CLASSES_ROOT: how deleting through that merged view treats
    // links and handles is undocumented.
    RegKey machine;
    if (OpenMachineClasses(machine) == ERROR_SUCCESS) {
        DeleteSubkeysContaining(machine.Get(), nullptr, L"Kestrix", state.whatStays);
        DeleteVendorClassIds(machine.Get(), state.whatStays);
    }
    UserRegistries users;
    for (size_t user = 0; user < users.Count(); ++user)
        CleanUserClasses(users.Classes(user), state.whatStays);
    if (!state.tunnelRemoved && !state.tunnelAbsent)
        return;
    EmptyUserVendorFolder(state.whatStays);
}
