// The endpoint agent suite (listed in its uninstall key) and the separate
// endpoint-control product.
#pragma once

#include <windows.h>

#include "removal/product_removal.h"
#include "system/interactive_user.h"

struct CleanupState;

const DWORD kMaxListedProducts = 25;

// Whose list was read: the machine's, or where it has none, a user's.
enum class ListOwner { kMachine, kDeskUser, kThisUser };

struct UninstallList {
    ProductEntry entries[kMaxListedProducts];
    DWORD count;
    ListOwner owner;
    // The desk's user, another account, whose hive held the list.
    wchar_t ownerSid[kSidUnits];
};

extern const wchar_t kUninstallListKey[];
extern const wchar_t kEndpointControlName[];
extern const wchar_t kEndpointControlCode[];

// The list's string values in enumeration order, from the machine's key,
// else from the desk's user's hive when this process is another account,
// else from HKEY_CURRENT_USER. Returns the first error met: the key
// missing everywhere, a key beyond the limits, or a value that could not
// be read (the readable ones are listed all the same).
LONG ReadUninstallList(UninstallList& list);
int RemoveEndpointManager(const CleanupState& state);
int RemoveEndpointControl(const CleanupState& state);
