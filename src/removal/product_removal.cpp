#include "removal/product_removal.h"

#include <msi.h>

#include "removal/installer_api.h"
#include "system/cleanup_state.h"
#include "system/responsiveness.h"

namespace {

const DWORD kBusyRetryMs = 2000;
const DWORD kBusyBudgetMs = 5 * 60 * 1000;
const DWORD kTurnMs = 25;  // the window's turns while waiting come this often
DWORD gBusyWaited = 0;     // in this run

// Removed, and Windows must restart: the silent removal has done its work.
bool AsksForRestart(int result)
{
    return result == kRebootRequired || result == kRebootInitiated;
}

// Waits one retry interval, or what is left of the run's waiting time,
// the window answering meanwhile. False when no time is left.
bool WaitForOtherInstallation()
{
    const InstallerBusyWait& times = BusyWaitTimes();
    if (gBusyWaited >= times.budgetMs)
        return false;
    DWORD wait = times.budgetMs - gBusyWaited;
    if (wait > times.retryMs)
        wait = times.retryMs;
    DWORD start = GetTickCount();
    for (;;) {
        KeepResponsive();
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= wait)
            break;
        Sleep(wait - elapsed < kTurnMs ? wait - elapsed : kTurnMs);
    }
    gBusyWaited += wait;
    return true;
}

// An installer call is the one wait in which the window cannot answer; it
// has its turn right before and right after each. While another
// installation holds the installer, the call is made again once it may
// have ended.
int UninstallBetweenTurns(const ProductQuery& query, int uiLevel)
{
    KeepResponsiveNow();
    int result = UninstallProduct(query, uiLevel);
    while (result == ERROR_INSTALL_ALREADY_RUNNING && WaitForOtherInstallation())
        result = UninstallProduct(query, uiLevel);
    KeepResponsiveNow();
    return result;
}

}  // namespace

ProductQuery::ProductQuery(const wchar_t* code) : installed(false)
{
    ZeroMemory(productCode, sizeof(productCode));
    if (code != nullptr && code[0] != L'\0')
        BoundedCopy(productCode, kPathUnits, code);
}

void MakeProductEntry(ProductEntry& entry, const wchar_t* displayName, const wchar_t* productCode,
                      bool isPrimary)
{
    ZeroMemory(&entry, sizeof(entry));
    BoundedCopy(entry.displayName, kPathUnits, displayName);
    BoundedCopy(entry.productCode, kPathUnits, productCode);
    entry.isPrimary = isPrimary;
}

InstallerBusyWait& BusyWaitTimes()
{
    static InstallerBusyWait times = {kBusyRetryMs, kBusyBudgetMs};
    return times;
}

void StartBusyWaitBudget()
{
    gBusyWaited = 0;
}

void QueryProduct(ProductQuery& query)
{
    query.installed = Installer().queryProductState(query.productCode) == INSTALLSTATE_DEFAULT;
}

int UninstallProduct(const ProductQuery& query, int uiLevel)
{
    Installer().setInternalUI(static_cast<INSTALLUILEVEL>(uiLevel), nullptr);
    Installer().setExternalUI(nullptr, 0, nullptr);
    wchar_t commandLine[kPathUnits];
    ZeroMemory(commandLine, sizeof(commandLine));
    // Restarting is the technician's option, at the end of the run: the
    // installer must never restart Windows in the middle of it.
    BoundedAppend(commandLine, kPathUnits, L"REMOVE=ALL REBOOT=ReallySuppress");
    return static_cast<int>(Installer().configureProduct(query.productCode, INSTALLLEVEL_MAXIMUM,
                                                         INSTALLSTATE_ABSENT, commandLine));
}

int RemoveProductEntry(const ProductEntry& entry, const CleanupState& state)
{
    if (entry.displayName[0] == L'\0' || entry.productCode[0] == L'\0')
        return 0;
    ProductQuery query(entry.productCode);
    QueryProduct(query);
    if (!query.installed)
        return kNotInstalled;
    if (state.skipTunnel)
        return kSkipped;
    if (!entry.isPrimary) {
        int silent = UninstallBetweenTurns(query, kUiSilent);
        if (silent == 0 || AsksForRestart(silent))
            return silent;
    }
    return UninstallBetweenTurns(query, kUiBasic);
}
