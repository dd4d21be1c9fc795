#include "removal/desktop_components.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <cwchar>

#include "system/bounded_string.h"
#include "system/cleanup_state.h"
#include "system/file_removal.h"
#include "system/handles.h"
#include "system/held_folder.h"
#include "system/phase_log.h"
#include "system/platform_probes.h"
#include "system/registry_path.h"
#include "system/registry_removal.h"
#include "system/registry_roots.h"
#include "system/responsiveness.h"
#include "system/special_folders.h"
#include "system/user_folders.h"
#include "system/what_stays.h"

namespace {

struct ComponentInfo {
    const wchar_t* classId;
    const wchar_t* classKey32;
    const wchar_t* classKey64;
    const wchar_t* dataFolderName;  // in the all-users application data
    const wchar_t* progressLine;
    const wchar_t* notInstalledLine;
    const wchar_t* folderOnlySuccessLine;
    const wchar_t* folderOnlyFailureLine;
    const wchar_t* fullSuccessLine;
};

const ComponentInfo kComponents[2] = {
    {L"{51BA3E78-ECB2-16F4-A22E-A41505A64625}", L"CLSID\\{51BA3E78-ECB2-16F4-A22E-A41505A64625}",
     L"Wow6432Node\\CLSID\\{51BA3E78-ECB2-16F4-A22E-A41505A64625}",
     L"Halcyra", L"Uninstalling HLD... ", L"HLD not installed", L"HLD Uninstallation Successful",
     L"HLD Uninstallation Failed", L"HLD Uninstallation Successful"},
    {L"{0D8708AD-A9F4-C810-A862-5D84D75FBB4D}", L"CLSID\\{0D8708AD-A9F4-C810-A862-5D84D75FBB4D}",
     L"Wow6432Node\\CLSID\\{0D8708AD-A9F4-C810-A862-5D84D75FBB4D}",
     L"Pyrewick", L"Uninstalling Pyrewick... ", L"Pyrewick not installed",
     L"Pyrewick Uninstallation Successful", L"Pyrewick Uninstallation Failed",
     L"PW Uninstallation Successful"},
};

const wchar_t kFullRemovalFailedLine[] = L"Uninstallation Failed";

const wchar_t kLowRegistryKey[] = L"LowRegistry";  // below a user's "Software"
const wchar_t kLowRegistryNames[3][255] = {L"Pyrewick", L"tarn.exe", L"tarn-checkstate.exe"};

const wchar_t kElevationPolicy32[] =
    L"SOFTWARE\\Microsoft\\Internet Explorer\\Low Rights\\ElevationPolicy";
const wchar_t kElevationPolicy64[] =
    L"SOFTWARE\\Wow6432Node\\Microsoft\\Internet Explorer\\Low Rights\\ElevationPolicy";
const wchar_t* const kElevationPolicyIds[3] = {
    L"{8970B2CF-5421-019c-F069-0878C09D6FEE}",
    L"{0BCAFBB1-EDA2-14d1-6151-29023E4881F6}",
    L"{68B7402F-CCA1-69F5-5754-82F7B727DBA5}",
};

const REGSAM kLowRegistryAccess = KEY_ALL_ACCESS;                     // 0xF003F
const REGSAM kElevationPolicyAccess = KEY_ALL_ACCESS | KEY_WOW64_64KEY;  // 0xF013F

const ComponentInfo& Info(DesktopComponent component)
{
    return kComponents[component == kHld ? 0 : 1];
}

// Deletes parent\\name with its tree; a key that stays is noted.
LONG DeleteNamedKey(HKEY parent, const wchar_t* name, REGSAM view, WhatStays* account)
{
    StayReason why = StayReason::kNone;
    LONG status = DeleteKeyTree(parent, name, view, &why);
    if (account != nullptr && status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
        account->NoteKey(parent, name, why);
    return status;
}

// The component's folder in the all-users application data, wherever
// Windows keeps that and whatever its language names it; empty (no
// folder, so nothing installed) when the shell cannot tell.
void DataFolder(DesktopComponent component, wchar_t* folder)
{
    if (GetSpecialFolderPath(folder, CSIDL_COMMON_APPDATA) != 0 ||
        BoundedAppend(folder, kPathUnits, Info(component).dataFolderName) != kStringOk)
        folder[0] = L'\0';
}

// Whether the component's class key is below classes, a classes root.
bool HasClassKey(HKEY classes, DesktopComponent component)
{
    const ComponentInfo& info = Info(component);
    RegKey key;
    const wchar_t* path = IsNative64Bit() ? info.classKey64 : info.classKey32;
    return classes != nullptr && OpenKeyWithoutLinks(classes, path, FullAccessMask(), key) == ERROR_SUCCESS;
}

// Registered for the machine (machine, its classes root) or for one of the
// users the run cleans.
bool IsRegistered(HKEY machine, const UserRegistries& users, DesktopComponent component)
{
    if (HasClassKey(machine, component))
        return true;
    for (size_t user = 0; user < users.Count(); ++user) {
        if (HasClassKey(users.Classes(user), component))
            return true;
    }
    return false;
}

// One user's keys of the component: its class key among the user's
// classes, and the LowRegistry entries; no link on the way is followed.
void RemoveUserKeys(HKEY software, HKEY classes, DesktopComponent component, WhatStays* account)
{
    DeleteComponentClassKey(classes, component, account);
    RegKey lowRegistry;
    if (software != nullptr &&
        OpenKeyWithoutLinks(software, kLowRegistryKey, kLowRegistryAccess, lowRegistry) == ERROR_SUCCESS)
        CleanLowRegistry(lowRegistry.Get(), account);
}

// Deletes the interactive user's "\Halcyra" folder; a folder that is not
// there, or may not be used (see HoldInteractiveUserFolder), counts as
// removed.
bool RemovePerUserFolder(WhatStays* account)
{
    wchar_t folder[kPathUnits];
    HeldFolder held;
    if (!HoldInteractiveUserFolder(CSIDL_APPDATA, L"\\Halcyra", true, held, folder))
        return true;
    StayReason why = StayReason::kNone;
    if (DeleteHeldFolderTree(held, &why) == kShellDeleted)
        return true;
    if (account != nullptr)
        account->NotePath(folder, why);
    return false;
}

// Deletes a component's data folder tree; what stays is noted.
bool DeleteDataTree(const wchar_t* folder, WhatStays* account)
{
    StayReason why = StayReason::kNone;
    if (DeleteTreeViaShell(folder, &why) == kShellDeleted)
        return true;
    if (account != nullptr)
        account->NotePath(folder, why);
    return false;
}

void DeleteElevationPolicyKeys(WhatStays* account)
{
    const wchar_t* path = IsNative64Bit() ? kElevationPolicy64 : kElevationPolicy32;
    for (const wchar_t* id : kElevationPolicyIds) {
        RegKey policy;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, kElevationPolicyAccess, policy.Receive()) !=
            ERROR_SUCCESS)
            continue;
        DeleteNamedKey(policy.Get(), id, ViewOf(kElevationPolicyAccess), account);
    }
}

void RemoveHldFolderOnly(CleanupDialog* window, const wchar_t* dataFolder, WhatStays* account)
{
    bool perUserRemoved = RemovePerUserFolder(account);
    bool dataRemoved = DeleteDataTree(dataFolder, account);
    LogLine(window, perUserRemoved && dataRemoved ? Info(kHld).folderOnlySuccessLine
                                                 : Info(kHld).folderOnlyFailureLine);
}

void RemovePwFolderOnly(CleanupDialog* window, const wchar_t* dataFolder, WhatStays* account)
{
    bool dataRemoved = DeleteDataTree(dataFolder, account);
    LogLine(window, dataRemoved ? Info(kPw).folderOnlySuccessLine : Info(kPw).folderOnlyFailureLine);
}

}  // namespace

void RemoveDesktopComponents(CleanupDialog& dialog, CleanupState& state)
{
    // The decision lines go to this window's pane, the full removal's
    // lines to the run's.
    bool hldRegistered = false;
    bool pwRegistered = false;
    {
        // Finding the users walks the processes: once for both components.
        RegKey machine;
        OpenMachineClasses(machine);
        UserRegistries users;
        hldRegistered = IsRegistered(machine.Get(), users, kHld);
        pwRegistered = IsRegistered(machine.Get(), users, kPw);
    }
    wchar_t hldFolder[kPathUnits];
    wchar_t pwFolder[kPathUnits];
    DataFolder(kHld, hldFolder);
    DataFolder(kPw, pwFolder);
    bool hldPresent = hldFolder[0] != L'\0' && PathFileExistsW(hldFolder) != FALSE;
    bool pwPresent = pwFolder[0] != L'\0' && PathFileExistsW(pwFolder) != FALSE;

    if (!hldPresent) {
        LogLine(&dialog, Info(kHld).notInstalledLine);
    } else {
        LogLine(&dialog, Info(kHld).progressLine);
        if (hldRegistered)
            RemoveDesktopComponent(state, kHld);
        else
            RemoveHldFolderOnly(&dialog, hldFolder, state.whatStays);
    }

    if (!pwPresent) {
        LogLine(&dialog, Info(kPw).notInstalledLine);
    } else {
        LogLine(&dialog, Info(kPw).progressLine);
        if (pwRegistered)
            RemoveDesktopComponent(state, kPw);
        else
            RemovePwFolderOnly(&dialog, pwFolder, state.whatStays);
    }
}

void RemoveDesktopComponent(CleanupState& state, DesktopComponent component)
{
    wchar_t folder[kPathUnits];
    DataFolder(component, folder);
    RegKey machine;
    OpenMachineClasses(machine);
    UserRegistries users;
    if (!IsRegistered(machine.Get(), users, component))
        return;
    DeleteComponentClassKey(machine.Get(), component, state.whatStays);
    for (size_t user = 0; user < users.Count(); ++user)
        RemoveUserKeys(users.Software(user), users.Classes(user), component, state.whatStays);

    DeleteElevationPolicyKeys(state.whatStays);

    if (PathFileExistsW(folder) && !DeleteDataTree(folder, state.whatStays)) {
        LogLine(state, kFullRemovalFailedLine);
        return;
    }
    // The component is gone with its data folder; a per-user folder that
    // resists does not turn that into a failure.
    if (component == kHld)
        RemovePerUserFolder(state.whatStays);
    LogLine(state, Info(component).fullSuccessLine);
}

void DeleteComponentClassKey(HKEY classes, DesktopComponent component, WhatStays* account)
{
    RegKey parent;
    const wchar_t* path = IsNative64Bit() ? L"Wow6432Node\\CLSID" : L"CLSID";
    REGSAM access = FullAccessMask();
    if (classes == nullptr || OpenKeyWithoutLinks(classes, path, access, parent) != ERROR_SUCCESS)
        return;
    DeleteNamedKey(parent.Get(), Info(component).classId, ViewOf(access), account);
}

void CleanLowRegistry(HKEY key, WhatStays* account)
{
    DWORD subkeyCount = 0;
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeyCount, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        subkeyCount = 0;
    DWORD deleted = 0;
    for (DWORD i = 0; i < subkeyCount; ++i) {
        KeepResponsive();
        wchar_t name[255];
        DWORD nameUnits = 255;
        if (RegEnumKeyExW(key, i, name, &nameUnits, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            continue;
        for (const wchar_t* vendorName : kLowRegistryNames) {
            if (wcscmp(name, vendorName) == 0 &&
                DeleteNamedKey(key, name, ViewOf(kLowRegistryAccess), account) == ERROR_SUCCESS) {
                // The next subkey moved into this index; more deletions
                // than there were keys mean someone is adding them.
                if (++deleted <= subkeyCount)
                    --i;
                break;
            }
        }
    }
}

int RemoveDataFolder(const wchar_t* folder)
{
    wchar_t path[kPathUnits];
    BoundedCopy(path, kPathUnits, folder);
    if (!PathFileExistsW(path))
        return 0;
    int result = DeleteTreeViaShell(path);
    return result == kShellDeleted ? 0 : result;
}
