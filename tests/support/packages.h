// The installer packages built from tests/msi, the uninstall list of the
// endpoint suite, and ways to put products into states that make their
// removal fail for real.
#pragma once

#include <windows.h>
#include <msi.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "support/test_support.h"
#include "system/handles.h"

struct TestPackage {
    const wchar_t* msiName;      // file name in HS_MSI_DIR
    const wchar_t* productCode;
    const wchar_t* folder;       // below "Program Files\HsTest"
    const wchar_t* payloadName;  // the one file the package installs there
};

extern const TestPackage kSuiteAgent;
extern const TestPackage kSuiteMonitor;
extern const TestPackage kSuitePrimary;
extern const TestPackage kPerUserTool;  // installed per user, not per machine
extern const TestPackage kRestartingTool;  // its removal schedules a restart
extern const TestPackage kEndpointControlPackage;
extern const TestPackage kTunnelService64;
extern const TestPackage kTunnelClient64;
extern const TestPackage kTunnelService32;
extern const TestPackage kTunnelClient32;

// The tunnel packages whose product codes this Windows is removed by.
const TestPackage& TunnelServicePackage();
const TestPackage& TunnelClientPackage();

UINT Install(const TestPackage& package);
bool IsInstalled(const TestPackage& package);
// The installed file, as this process sees Program Files.
std::wstring PayloadPath(const TestPackage& package);

enum class Damage {
    kPackageLost,     // cached package and source both gone: removal fails with 1612
    kPackageGarbage,  // cached package overwritten: removal fails with 1627
};
// Installs the product, then takes away what its removal needs.
UINT InstallDamaged(const TestPackage& package, Damage damage);
// Puts the original package back into the installer's cache.
void RepairCache(const TestPackage& package);
// Repairs the cache and removes the product, when installed (test clean-up).
void Uninstall(const TestPackage& package);

// Removes the listed products when it goes out of scope, however the test
// ended.
class ProductCleanup {
public:
    ProductCleanup(std::initializer_list<const TestPackage*> packages) : packages_(packages) {}
    ~ProductCleanup();
    ProductCleanup(const ProductCleanup&) = delete;
    ProductCleanup& operator=(const ProductCleanup&) = delete;

private:
    std::vector<const TestPackage*> packages_;
};

// While it lives, the removal of the tunnel package asks for a restart of
// Windows (the package schedules one when the test names it).
class RestartOnRemoval {
public:
    explicit RestartOnRemoval(const TestPackage& package)
    {
        SetEnvironmentVariableW(L"HS_TEST_RESTART_ON_REMOVAL", package.folder);
    }
    ~RestartOnRemoval() { SetEnvironmentVariableW(L"HS_TEST_RESTART_ON_REMOVAL", nullptr); }
    RestartOnRemoval(const RestartOnRemoval&) = delete;
    RestartOnRemoval& operator=(const RestartOnRemoval&) = delete;
};

// --- the endpoint suite's uninstall list -----------------------------------
extern const wchar_t kListKey[];  // "Software\Kestrix\XPV\Uninstall"
typedef std::vector<std::pair<std::wstring, std::wstring>> ListValues;  // name, product code
// Writes the key with these string values, in this order.
bool WriteUninstallList(HKEY root, REGSAM view, const ListValues& values);
// Deletes the key and the parents it was made with, under both roots and
// in both views.
void DeleteUninstallLists();
// Value names in the order the registry enumerates them.
std::vector<std::wstring> EnumeratedValueNames(HKEY root, const std::wstring& path, REGSAM view);

// --- another installation running --------------------------------------
// A second process holding the installer's mutex, as an installation
// running elsewhere does, until it is let go (or for a minute at most).
class InstallerMutexHolder {
public:
    // abandon: at LetGo it ends still holding it, as a crashed installation.
    explicit InstallerMutexHolder(bool abandon = false)
        : probe_(L"hold_probe",
                 std::wstring(L"mutex Global\\_MSIExecute") + (abandon ? L" abandon" : L""))
    {
    }
    // Waits until it holds the mutex; false when it could not take it.
    bool Holding() { return probe_.Ready(); }
    // Whether it holds it still: not yet told to let go, nor timed out.
    bool StillHolding() const { return probe_.StillRunning(); }
    void LetGo() { probe_.LetGo(); }

private:
    ProbeProcess probe_;
};

// --- watching the installer ------------------------------------------------
// One removal as the installer was asked for it.
struct RemovalCall {
    std::wstring productCode;
    int uiLevel;           // the internal UI level in force
    HWND* uiWindow;        // the owner window argument given with it
    bool externalUiReset;  // the (null, 0, null) setting call came right before
    int installLevel;
    INSTALLSTATE state;
    std::wstring commandLine;
    UINT result;
};

// While it lives, every installer call the program makes is recorded and
// passed on to msi.dll, except that the next removals may be answered with
// forced results instead.
class InstallerRecorder {
public:
    InstallerRecorder();
    ~InstallerRecorder();
    InstallerRecorder(const InstallerRecorder&) = delete;
    InstallerRecorder& operator=(const InstallerRecorder&) = delete;

    void ForceResults(std::initializer_list<UINT> results);
    void ForceResults(const std::vector<UINT>& results);

    std::vector<std::wstring> queries;
    std::vector<RemovalCall> removals;
};
