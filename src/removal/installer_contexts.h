// What the installer says of a product in one installation context (the
// machine's, or one account's own), where it can say it at all.
#pragma once

#include <windows.h>

// Where MsiGetProductInfoExW is missing, or gives any other answer than a
// definite one, the answer is unsure.
enum class ContextAnswer { kInstalled, kNotThere, kUnsure };

// The installer's contexts (MSIINSTALLCONTEXT), which msi.h offers only
// to programs for Windows Installer 3.0 and later.
const DWORD kUserManaged = 1;
const DWORD kUserUnmanaged = 2;
const DWORD kMachine = 4;

// The product in context, for the account userSid (null: the user the run
// is); userSid does not count for the machine's context.
ContextAnswer InstalledIn(const wchar_t* productCode, const wchar_t* userSid, DWORD context);

// Installed surely in one of the account's own contexts.
bool IsInstalledForUser(const wchar_t* productCode, const wchar_t* userSid);
// Surely absent from both of the account's own contexts.
bool IsSurelyNotForUser(const wchar_t* productCode, const wchar_t* userSid);
