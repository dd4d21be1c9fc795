#include "support/packages.h"

#include <shlobj.h>

#include <deque>

#include "removal/installer_api.h"
#include "support/test_support.h"
#include "system/platform_probes.h"

const TestPackage kSuiteAgent = {L"suite_agent.msi", L"{3A4CDF74-01B6-4B24-A16C-968AA72CBB61}",
                                 L"SuiteAgent", L"suite_agent.txt"};
const TestPackage kSuiteMonitor = {L"suite_monitor.msi", L"{2026E12B-B7D9-455B-917F-6FD1DD8CA93E}",
                                   L"SuiteMonitor", L"suite_monitor.txt"};
const TestPackage kSuitePrimary = {L"suite_primary.msi", L"{D0E23B25-4356-4F25-A776-3100922C2DA3}",
                                   L"SuitePrimary", L"suite_primary.txt"};
const TestPackage kPerUserTool = {L"per_user.msi", L"{5D200014-1754-4693-8860-DFACDE3EF1CC}",
                                  L"PerUser", L"per_user.txt"};
const TestPackage kRestartingTool = {L"restart_on_removal.msi",
                                     L"{B83F0F69-225D-40E8-885C-513F363D20D3}", L"RestartingTool",
                                     L"restarting_tool.txt"};
const TestPackage kEndpointControlPackage = {L"endpoint_control.msi",
                                             L"{824B7195-5022-D47E-A0EA-69C3CF360213}",
                                             L"EndpointControl", L"endpoint_control.txt"};
const TestPackage kTunnelService64 = {L"tunnel_service64.msi",
                                      L"{9D2EC537-25F8-FA30-03C3-3E32115A6A11}", L"TunnelService64",
                                      L"tunnel_service64.txt"};
const TestPackage kTunnelClient64 = {L"tunnel_client64.msi",
                                     L"{7C49CE0F-93B7-9C7A-015D-A399BEED7B01}", L"TunnelClient64",
                                     L"tunnel_client64.txt"};
const TestPackage kTunnelService32 = {L"tunnel_service32.msi",
                                      L"{83E851E7-8918-AD9B-7810-3F7A2DF0D122}", L"TunnelService32",
                                      L"tunnel_service32.txt"};
const TestPackage kTunnelClient32 = {L"tunnel_client32.msi",
                                     L"{F7ED8174-A132-B393-D519-9BE30C7F3ED7}", L"TunnelClient32",
                                     L"tunnel_client32.txt"};

const TestPackage& TunnelServicePackage()
{
    return IsNative64Bit() ? kTunnelService64 : kTunnelService32;
}

const TestPackage& TunnelClientPackage()
{
    return IsNative64Bit() ? kTunnelClient64 : kTunnelClient32;
}

UINT Install(const TestPackage& package)
{
    return InstallPackage(MsiPath(package.msiName));
}

bool IsInstalled(const TestPackage& package)
{
    return IsProductInstalled(package.productCode);
}

namespace {

// The folder every test package installs below.
std::wstring PackagesFolder()
{
    wchar_t programFiles[MAX_PATH] = L"";
    SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, programFiles);
    return std::wstring(programFiles) + L"\\HsTest";
}

}  // namespace

std::wstring PayloadPath(const TestPackage& package)
{
    return PackagesFolder() + L"\\" + package.folder + L"\\" + package.payloadName;
}

UINT InstallDamaged(const TestPackage& package, Damage damage)
{
    // Installed from a copy, so that the source can go too.
    std::wstring scratch = MakeScratchFolder(L"msi-source");
    std::wstring copy = scratch + L"\\" + package.msiName;
    if (!CopyFileW(MsiPath(package.msiName).c_str(), copy.c_str(), FALSE))
        return GetLastError();
    UINT result = InstallPackage(copy);
    RemoveTestTree(scratch);
    if (result != ERROR_SUCCESS)
        return result;
    std::wstring cache = CachedPackage(package.productCode);
    if (cache.empty())
        return ERROR_FILE_NOT_FOUND;
    SetFileAttributesW(cache.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (damage == Damage::kPackageLost)
        return DeleteFileW(cache.c_str()) ? ERROR_SUCCESS : GetLastError();
    return WriteTextFile(cache, "this is not an installer database\r\n") ? ERROR_SUCCESS
                                                                          : ERROR_WRITE_FAULT;
}

void RepairCache(const TestPackage& package)
{
    std::wstring cache = CachedPackage(package.productCode);
    if (cache.empty() || MsiVerifyPackageW(cache.c_str()) == ERROR_SUCCESS)
        return;
    SetFileAttributesW(cache.c_str(), FILE_ATTRIBUTE_NORMAL);
    CopyFileW(MsiPath(package.msiName).c_str(), cache.c_str(), FALSE);
}

void Uninstall(const TestPackage& package)
{
    if (!IsInstalled(package))
        return;
    RepairCache(package);
    ForgetProduct(package.productCode);
}

ProductCleanup::~ProductCleanup()
{
    for (const TestPackage* package : packages_)
        Uninstall(*package);
    // The installer leaves the packages' common parent behind; it goes
    // once no product is left in it.
    RemoveDirectoryW(PackagesFolder().c_str());
}

// --- the uninstall list ----------------------------------------------------

const wchar_t kListKey[] = L"Software\\Kestrix\\XPV\\Uninstall";

bool WriteUninstallList(HKEY root, REGSAM view, const ListValues& values)
{
    if (!CreateKey(root, kListKey, view))
        return false;
    for (const auto& value : values) {
        if (!SetStringValue(root, kListKey, value.first, value.second, view))
            return false;
    }
    return true;
}

namespace {

// Deletes a key that holds nothing; a key in use by something else stays.
void DeleteIfEmpty(HKEY root, const wchar_t* path, REGSAM view)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path, 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return;
    DWORD subkeys = 1;
    DWORD values = 1;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                     nullptr, nullptr, nullptr);
    RegCloseKey(key);
    if (subkeys == 0 && values == 0)
        DeleteKeyForTest(root, path, view);
}

}  // namespace

void DeleteUninstallLists()
{
    struct Place {
        HKEY root;
        REGSAM view;
    };
    std::vector<Place> places = {{HKEY_LOCAL_MACHINE, NativeView()}, {HKEY_CURRENT_USER, 0}};
    if (IsNative64Bit())
        places.push_back({HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY});
    for (const Place& place : places) {
        DeleteKeyForTest(place.root, L"Software\\Kestrix\\XPV", place.view);
        DeleteIfEmpty(place.root, L"Software\\Kestrix", place.view);
    }
}

std::vector<std::wstring> EnumeratedValueNames(HKEY root, const std::wstring& path, REGSAM view)
{
    std::vector<std::wstring> names;
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return names;
    for (DWORD index = 0;; ++index) {
        wchar_t name[16384];
        DWORD units = 16384;
        if (RegEnumValueW(key, index, name, &units, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        names.push_back(name);
    }
    RegCloseKey(key);
    return names;
}

// --- the recorder ----------------------------------------------------------

namespace {

InstallerRecorder* gRecorder = nullptr;
InstallerApi gRealInstaller;
std::deque<UINT> gForcedResults;
int gUiLevel = -1;
HWND* gUiWindow = nullptr;
bool gExternalUiReset = false;

INSTALLSTATE WINAPI RecordQuery(LPCWSTR productCode)
{
    gRecorder->queries.push_back(productCode);
    return gRealInstaller.queryProductState(productCode);
}

INSTALLUILEVEL WINAPI RecordInternalUI(INSTALLUILEVEL level, HWND* window)
{
    gUiLevel = level;
    gUiWindow = window;
    gExternalUiReset = false;
    return gRealInstaller.setInternalUI(level, window);
}

INSTALLUI_HANDLERW WINAPI RecordExternalUI(INSTALLUI_HANDLERW handler, DWORD messageFilter,
                                           LPVOID context)
{
    gExternalUiReset = handler == nullptr && messageFilter == 0 && context == nullptr;
    return gRealInstaller.setExternalUI(handler, messageFilter, context);
}

UINT WINAPI RecordConfigure(LPCWSTR productCode, int installLevel, INSTALLSTATE state,
                            LPCWSTR commandLine)
{
    RemovalCall call = {productCode, gUiLevel, gUiWindow, gExternalUiReset, installLevel, state,
                        commandLine != nullptr ? commandLine : L"<null>", 0};
    if (!gForcedResults.empty()) {
        call.result = gForcedResults.front();
        gForcedResults.pop_front();
    } else {
        call.result = gRealInstaller.configureProduct(productCode, installLevel, state, commandLine);
    }
    gExternalUiReset = false;
    gRecorder->removals.push_back(call);
    return call.result;
}

}  // namespace

InstallerRecorder::InstallerRecorder()
{
    gRecorder = this;
    gRealInstaller = Installer();
    gForcedResults.clear();
    gUiLevel = -1;
    gUiWindow = nullptr;
    gExternalUiReset = false;
    Installer() = {RecordQuery, RecordInternalUI, RecordExternalUI, RecordConfigure,
                   gRealInstaller.productInfoEx};
}

InstallerRecorder::~InstallerRecorder()
{
    Installer() = gRealInstaller;
    gForcedResults.clear();
    gRecorder = nullptr;
}

void InstallerRecorder::ForceResults(std::initializer_list<UINT> results)
{
    gForcedResults.assign(results.begin(), results.end());
}

void InstallerRecorder::ForceResults(const std::vector<UINT>& results)
{
    gForcedResults.assign(results.begin(), results.end());
}
