#include "removal/tunnel_client.h"

#include <shlobj.h>

#include "removal/product_account.h"
#include "removal/product_removal.h"
#include "system/bounded_string.h"
#include "system/cleanup_state.h"
#include "system/file_removal.h"
#include "system/phase_log.h"
#include "system/platform_probes.h"
#include "system/registry_removal.h"
#include "system/registry_roots.h"
#include "system/special_folders.h"
#include "system/what_stays.h"

const wchar_t* const kTunnelClientFiles[10] = {
    L"\\qvclient.dll", L"\\qvcommon.dll", L"\\qvhelp.chm",   L"\\qvlogon.dll",  L"\\qvupdate.exe",
    L"\\qvdial.exe",   L"\\qvlocenu.dll", L"\\qvmonitor.exe", L"\\qvras.dll",   L"\\qvvpnmgr.exe",
};

namespace {

const wchar_t kClientKeyText[] = L"Kestrix VPN Client";

void BuildServiceEntry(ProductEntry& entry)
{
    MakeProductEntry(entry, L"Kestrix VPN Service",
                     IsNative64Bit() ? L"{9D2EC537-25F8-FA30-03C3-3E32115A6A11}"
                                     : L"{83E851E7-8918-AD9B-7810-3F7A2DF0D122}",
                     false);
}

void BuildClientEntry(ProductEntry& entry)
{
    MakeProductEntry(entry, L"Kestrix Access Client",
                     IsNative64Bit() ? L"{7C49CE0F-93B7-9C7A-015D-A399BEED7B01}"
                                     : L"{F7ED8174-A132-B393-D519-9BE30C7F3ED7}",
                     false);
}

void DeleteClientKeys(WhatStays* account)
{
    UserRegistries users;
    for (size_t user = 0; user < users.Count(); ++user) {
        if (users.Software(user) != nullptr)
            DeleteSubkeysContaining(users.Software(user), nullptr, kClientKeyText, account);
    }
    DeleteSubkeysContaining(HKEY_LOCAL_MACHINE, L"Software", kClientKeyText, account);
    DeleteSubkeysContaining(HKEY_USERS, L".DEFAULT\\Software", kClientKeyText, account);
}

void DeleteClientFiles(WhatStays* account)
{
    wchar_t system[kPathUnits];
    if (GetSpecialFolderPath(system, CSIDL_SYSTEM) != 0)
        return;
    for (const wchar_t* name : kTunnelClientFiles) {
        wchar_t path[kPathUnits];
        BoundedCopy(path, kPathUnits, system);
        // A cut path would name some other file.
        if (BoundedAppend(path, kPathUnits, name) != kStringOk || DeleteFileW(path))
            continue;
        // A file that was never there takes no place in the account.
        DWORD error = GetLastError();
        if (account != nullptr && error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
            account->NotePath(path, StayReasonOfError(error));
    }
}

// The vendor's folder in the all-users application data; false when it
// has no path.
bool VendorDataFolder(wchar_t* folder)
{
    return GetSpecialFolderPath(folder, CSIDL_COMMON_APPDATA) == 0 &&
           BoundedAppend(folder, kPathUnits, L"Kestrix\\") == kStringOk;
}

// Its whole tree, however deep: a client updated over years leaves caches
// and logs in subfolders, and they are its traces too. What stays is noted
// with the first reason an entry in it stayed.
void RemoveVendorDataFolder(WhatStays* account)
{
    wchar_t folder[kPathUnits];
    StayReason why = StayReason::kNone;
    if (VendorDataFolder(folder) && DeleteTreeViaShell(folder, &why) != kShellDeleted &&
        account != nullptr)
        account->NotePath(folder, why);
}

// The folder the phase leaves because the client or its service stayed.
void KeepVendorDataFolder(WhatStays* account)
{
    wchar_t folder[kPathUnits];
    if (account != nullptr && VendorDataFolder(folder))
        account->NotePath(folder, StayReason::kEarlierFailure);
}

}  // namespace

int RemoveTunnelClient(CleanupState& state)
{
    if (!state.skipTunnel)
        LogLine(state, L"Starting Brisolt Link Uninstallation Please wait ...");

    ProductEntry entry;
    BuildServiceEntry(entry);
    int serviceResult = RemoveProductEntry(entry, state);
    if (MayLeaveProduct(serviceResult))
        NoteProductStays(state, entry, StayReason::kStillInstalled);
    if (serviceResult == 0)
        LogLine(state, L"Uninstalled Brisolt Link services...");
    else if (serviceResult == kNotInstalled)
        serviceResult = 0;

    BuildClientEntry(entry);
    int clientResult = RemoveProductEntry(entry, state);
    if (MayLeaveProduct(clientResult))
        NoteProductStays(state, entry, StayReason::kStillInstalled);

    if (state.skipTunnel)
        return (clientResult == kSkipped || serviceResult == kSkipped) ? kSkipped : clientResult;

    if (clientResult == 0)
        LogLine(state, L"Uninstalled Brisolt Link ...");
    LogLine(state, L"Cleaning Registry for Brisolt Link......");
    DeleteClientKeys(state.whatStays);

    if (clientResult == kNotInstalled) {
        state.tunnelAbsent = true;
        LogLine(state, L"Brisolt Link not installed");
    } else if (clientResult != 0) {
        LogLine(state, L"Brisolt Link uninstallation Failed");
        KeepVendorDataFolder(state.whatStays);
        return kTunnelClientFailed;
    }

    DeleteClientFiles(state.whatStays);
    if (serviceResult != 0) {
        LogLine(state, L"Brisolt Link service uninstallation Failed");
        KeepVendorDataFolder(state.whatStays);
        return kTunnelServiceFailed;
    }
    RemoveVendorDataFolder(state.whatStays);
    state.tunnelRemoved = true;
    return 0;
}
