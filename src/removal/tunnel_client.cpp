#include "removal/tunnel_client.h"

#include <shlobj.h>

#include "removal/product_removal.h"
#include "system/bounded_string.h"
#include "system/cleanup_state.h"
#include "system/file_removal.h"
#include "system/phase_log.h"
#include "system/platform_probes.h"
#include "system/registry_removal.h"
#include "system/registry_roots.h"
#include "system/special_folders.h"

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

void DeleteClientKeys()
{
    UserRegistries users;
    for (size_t user = 0; user < users.Count(); ++user) {
        if (users.Software(user) != nullptr)
            DeleteSubkeysContaining(users.Software(user), nullptr, kClientKeyText);
    }
    DeleteSubkeysContaining(HKEY_LOCAL_MACHINE, L"Software", kClientKeyText);
    DeleteSubkeysContaining(HKEY_USERS, L".DEFAULT\\Software", kClientKeyText);
}

void DeleteClientFiles()
{
    wchar_t system[kPathUnits];
    if (GetSpecialFolderPath(system, CSIDL_SYSTEM) != 0)
        return;
    for (const wchar_t* name : kTunnelClientFiles) {
        wchar_t path[kPathUnits];
        BoundedCopy(path, kPathUnits, system);
        // A cut path would name some other file.
        if (BoundedAppend(path, kPathUnits, name) == kStringOk)
            DeleteFileW(path);
    }
}

void RemoveVendorDataFolder()
{
    wchar_t folder[kPathUnits];
    if (GetSpecialFolderPath(folder, CSIDL_COMMON_APPDATA) != 0)
        return;
    // Its whole tree, however deep: a client updated over years leaves
    // caches and logs in subfolders, and they are its traces too.
    if (BoundedAppend(folder, kPathUnits, L"Kestrix\\") == kStringOk)
        DeleteTreeViaShell(folder);
}

}  // namespace

int RemoveTunnelClient(CleanupState& state)
{
    if (!state.skipTunnel)
        LogLine(state, L"Starting Brisolt Link Uninstallation Please wait ...");

    ProductEntry entry;
    BuildServiceEntry(entry);
    int serviceResult = RemoveProductEntry(entry, state);
    if (serviceResult == 0)
        LogLine(state, L"Uninstalled Brisolt Link services...");
    else if (serviceResult == kNotInstalled)
        serviceResult = 0;

    BuildClientEntry(entry);
    int clientResult = RemoveProductEntry(entry, state);

    if (state.skipTunnel)
        return (clientResult == kSkipped || serviceResult == kSkipped) ? kSkipped : clientResult;

    if (clientResult == 0)
        LogLine(state, L"Uninstalled Brisolt Link ...");
    LogLine(state, L"Cleaning Registry for Brisolt Link......");
    DeleteClientKeys();

    if (clientResult == kNotInstalled) {
        state.tunnelAbsent = true;
        LogLine(state, L"Brisolt Link not installed");
    } else if (clientResult != 0) {
        LogLine(state, L"Brisolt Link uninstallation Failed");
        return kTunnelClientFailed;
    }

    DeleteClientFiles();
    if (serviceResult != 0) {
        LogLine(state, L"Brisolt Link service uninstallation Failed");
        return kTunnelServiceFailed;
    }
    RemoveVendorDataFolder();
    state.tunnelRemoved = true;
    return 0;
}
