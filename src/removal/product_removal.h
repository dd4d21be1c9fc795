// Removal of one Windows Installer product, the one policy every installer
// product of the vendor is removed with.
#pragma once

#include <windows.h>

#include "system/bounded_string.h"

struct CleanupState;

const int kNotInstalled = 2;
const int kSkipped = 2000;
const int kRebootRequired = 3010;
// The installer started a restart itself; treated like kRebootRequired.
const int kRebootInitiated = 1641;

struct ProductEntry {
    wchar_t displayName[kPathUnits];
    wchar_t productCode[kPathUnits];
    bool isPrimary;
};

struct ProductQuery {
    explicit ProductQuery(const wchar_t* code);

    wchar_t productCode[kPathUnits];
    bool installed;
};

// Installer user-interface levels used for removals.
const int kUiSilent = 2;  // INSTALLUILEVEL_NONE
const int kUiBasic = 3;   // INSTALLUILEVEL_BASIC

void QueryProduct(ProductQuery& query);
int UninstallProduct(const ProductQuery& query, int uiLevel);
int RemoveProductEntry(const ProductEntry& entry, const CleanupState& state);

// While another installation runs (another process holds the installer's
// mutex, or the installer answers 1618, ERROR_INSTALL_ALREADY_RUNNING), a
// removal looks again every retryMs before it calls the installer, for at
// most budgetMs of wall-clock time in all in one run. Tests shorten both.
struct InstallerBusyWait {
    DWORD retryMs;
    DWORD budgetMs;
};
InstallerBusyWait& BusyWaitTimes();
// The waits' clock, in ms; tests put in one they drive.
extern DWORD(WINAPI* gBusyWaitClock)();
// Gives a new run the whole waiting time again.
void StartBusyWaitBudget();

// Fills entry with a name and code, both cut to 259 units.
void MakeProductEntry(ProductEntry& entry, const wchar_t* displayName, const wchar_t* productCode,
                      bool isPrimary);
