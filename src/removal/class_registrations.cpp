#include "removal/class_registrations.h"

#include <windows.h>

#include "system/bounded_string.h"
#include "system/cleanup_state.h"
#include "system/file_removal.h"
#include "system/platform_probes.h"
#include "system/registry_removal.h"
#include "system/special_folders.h"

const wchar_t* const kVendorClassIds[6] = {
    L"{EEF90444-7203-CA1F-B072-9A3D5354BC0E}", L"{46A2591E-E875-F365-3921-60BB374BE058}",
    L"{ABD65AEF-F006-4E7A-580E-9CE7DCF75952}", L"{52A45655-7BDB-1C48-5892-A3440DE1069A}",
    L"{195ACC28-8CC7-34E1-1711-DBE164305F54}", L"{32666F9A-C2D3-DBC2-A850-7D530EAE01D8}",
};

namespace {

const wchar_t* const kUserClassTexts[2] = {L"Kestrix", L"xpvVersion"};

void EmptyUserVendorFolder()
{
    wchar_t folder[kPathUnits];
    if (InteractiveUserAppDataPath(folder, L"\\Kestrix\\"))
        EmptyAndRemoveFolder(folder);
}

}  // namespace

void CleanClassRegistrations(const CleanupState& state)
{
    // Each parent is read once, for every text looked for in it: on a PC in
    // use the classes root and CLSID hold tens of thousands of keys.
    DeleteSubkeysContaining(HKEY_CLASSES_ROOT, nullptr, L"Kestrix");
    DeleteSubkeysContainingAny(HKEY_CURRENT_USER, L"Software\\Classes", kUserClassTexts, 2);
    // An identifier's machine-wide keys go before its per-user ones: the
    // native CLSID, on 64-bit Windows the 32-bit registrations below
    // "Wow6432Node", then the user's own.
    DeleteSubkeysContainingAny(HKEY_CLASSES_ROOT, L"CLSID", kVendorClassIds, 6);
    if (IsNative64Bit())
        DeleteSubkeysContainingAny(HKEY_CLASSES_ROOT, L"Wow6432Node\\CLSID", kVendorClassIds, 6);
    DeleteSubkeysContainingAny(HKEY_CURRENT_USER, L"Software\\Classes\\CLSID", kVendorClassIds, 6);
    if (!state.tunnelRemoved && !state.tunnelAbsent)
        return;
    EmptyUserVendorFolder();
}
