#include "removal/product_removal.h"

#include <msi.h>

#include "removal/installer_api.h"
#include "system/cleanup_state.h"
#include "system/responsiveness.h"

namespace {

// Removed, and Windows must restart: the silent removal has done its work.
bool AsksForRestart(int result)
{
    return result == kRebootRequired || result == kRebootInitiated;
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

namespace {

// An installer call is the one wait in which the window cannot answer; it
// has its turn right before and right after each.
int UninstallBetweenTurns(const ProductQuery& query, int uiLevel)
{
    KeepResponsiveNow();
    int result = UninstallProduct(query, uiLevel);
    KeepResponsiveNow();
    return result;
}

}  // namespace

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
