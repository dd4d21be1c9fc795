#include "removal/product_removal.h"

#include <msi.h>

#include "removal/installer_api.h"
#include "removal/installer_contexts.h"
#include "removal/user_product_removal.h"
#include "system/cleanup_state.h"
#include "system/handles.h"
#include "system/responsiveness.h"

namespace {

const DWORD kBusyRetryMs = 2000;
const DWORD kBusyBudgetMs = 5 * 60 * 1000;
const DWORD kTurnMs = 25;  // the window's turns while waiting come this often
// Wall-clock time this run has given other installations: the waits, and
// the installer's own busy answers, each of which may have shown a box.
DWORD gBusySpent = 0;

// Held by the installer while an installation runs ("_MSIExecute Mutex").
const wchar_t kInstallerMutex[] = L"Global\\_MSIExecute";

// Removed, and Windows must restart: the silent removal has done its work.
bool AsksForRestart(int result)
{
    return result == kRebootRequired || result == kRebootInitiated;
}

// Whether another process holds the installer's mutex. One that is free is
// let go at once: a look must not keep an installation from starting.
bool InstallerHeldElsewhere()
{
    UniqueHandle mutex(OpenMutexW(SYNCHRONIZE, FALSE, kInstallerMutex));
    if (!mutex.IsValid())
        return false;  // no installation has run since Windows started
    DWORD state = WaitForSingleObject(mutex.Get(), 0);
    // Releasing needs no right beyond synchronize (the modify right is
    // documented as reserved); abandoned also makes it ours.
    if (state == WAIT_OBJECT_0 || state == WAIT_ABANDONED)
        ReleaseMutex(mutex.Get());
    return state == WAIT_TIMEOUT;
}

// Counts one stretch of waiting for another installation into the run's
// time, from its start (the first sign) up to each Count.
class BusyStretch {
public:
    void Start(DWORD at)
    {
        if (!running_)
            since_ = at;
        running_ = true;
    }
    void Count()
    {
        if (!running_)
            return;
        DWORD now = gBusyWaitClock();
        gBusySpent += now - since_;
        since_ = now;
    }
    void End()
    {
        Count();
        running_ = false;
    }
    bool TimeLeft() const { return gBusySpent < BusyWaitTimes().budgetMs; }

    // One retry interval, or what is left of the run's time, the window
    // answering meanwhile. False when no time was left.
    bool WaitOnce()
    {
        Count();
        if (!TimeLeft())
            return false;
        const InstallerBusyWait& times = BusyWaitTimes();
        DWORD wait = times.budgetMs - gBusySpent;
        if (wait > times.retryMs)
            wait = times.retryMs;
        DWORD start = gBusyWaitClock();
        for (;;) {
            KeepResponsive();
            DWORD elapsed = gBusyWaitClock() - start;
            if (elapsed >= wait)
                break;
            Sleep(wait - elapsed < kTurnMs ? wait - elapsed : kTurnMs);
        }
        Count();
        return true;
    }

private:
    bool running_ = false;
    DWORD since_ = 0;
};

// An installer call is the one wait in which the window cannot answer; it
// has its turn right before and right after each. While another
// installation runs the installer is not called at all: at the basic level
// each call would show its own error box. A busy answer that comes all the
// same is waited out the same way. The run's time spent, a product whose
// installer is still held fails as busy without a call. With an owner's
// token the installer is a child process of that token instead.
int UninstallBetweenTurns(const ProductQuery& query, int uiLevel, HANDLE ownerToken)
{
    KeepResponsiveNow();
    BusyStretch stretch;
    int result = ERROR_INSTALL_ALREADY_RUNNING;
    for (;;) {
        bool held = InstallerHeldElsewhere();
        while (held) {
            stretch.Start(gBusyWaitClock());
            if (!stretch.WaitOnce())
                break;
            held = InstallerHeldElsewhere();
        }
        if (held)
            break;
        stretch.End();
        const DWORD called = gBusyWaitClock();
        result = ownerToken != nullptr ? UninstallAsUser(ownerToken, query.productCode, uiLevel)
                                       : UninstallProduct(query, uiLevel);
        if (result != ERROR_INSTALL_ALREADY_RUNNING)
            break;
        stretch.Start(called);
        if (!stretch.WaitOnce())
            break;
    }
    stretch.End();
    KeepResponsiveNow();
    return result;
}

}  // namespace

DWORD(WINAPI* gBusyWaitClock)() = GetTickCount;

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
    gBusySpent = 0;
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
    // A package of the account's own would run its custom actions with
    // this process's rights, which may be more than the account's.
    UniqueHandle owner;
    if (!IsSurelyNotForUser(query.productCode, nullptr) &&
        ChooseOwnRemoval(owner) == OwnRemoval::kRefused)
        return ERROR_ACCESS_DENIED;
    if (!entry.isPrimary) {
        int silent = UninstallBetweenTurns(query, kUiSilent, owner.Get());
        if (silent == 0 || AsksForRestart(silent))
            return silent;
    }
    return UninstallBetweenTurns(query, kUiBasic, owner.Get());
}
