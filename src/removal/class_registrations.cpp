#include "removal/class_registrations.h"

#include <windows.h>

#include "run/cleanup_state.h"
#include "system/bounded_string.h"
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

// The machine-wide class keys: "CLSID" in the native view, and the 32-bit
// registrations below "Wow6432Node" on 64-bit Windows.
void DeleteMachineClassId(const wchar_t* classId)
{
    DeleteSubkeysContaining(HKEY_CLASSES_ROOT, L"CLSID", classId);
    if (IsNative64Bit())
        DeleteSubkeysContaining(HKEY_CLASSES_ROOT, L"Wow6432Node\\CLSID", classId);
}

void EmptyUserVendorFolder()
{
    wchar_t folder[kPathUnits];
    if (InteractiveUserAppDataPath(folder, L"\\Kestrix\\"))
        EmptyAndRemoveFolder(folder);
}

}  // namespace

void CleanClassRegistrations(const CleanupState& state)
{
    DeleteSubkeysContaining(HKEY_CLASSES_ROOT, nullptr, L"Kestrix");
    DeleteSubkeysContaining(HKEY_CURRENT_USER, L"Software\\Classes", L"Kestrix");
    DeleteSubkeysContaining(HKEY_CURRENT_USER, L"Software\\Classes", L"xpvVersion");
    for (const wchar_t* classId : kVendorClassIds) {
        DeleteMachineClassId(classId);
        DeleteSubkeysContaining(HKEY_CURRENT_USER, L"Software\\Classes\\CLSID", classId);
    }
    if (!state.tunnelRemoved && !state.tunnelAbsent)
        return;
    EmptyUserVendorFolder();
}
