// The endpoint agent suite (listed in its uninstall key) and the separate
// endpoint-control product.
#pragma once

#include <windows.h>

#include "removal/product_removal.h"

struct CleanupState;

const DWORD kMaxListedProducts = 25;

struct UninstallList {
    ProductEntry entries[kMaxListedProducts];
    DWORD count;
    bool userList;  // read under HKEY_CURRENT_USER, the machine having none
};

extern const wchar_t kUninstallListKey[];
extern const wchar_t kEndpointControlName[];
extern const wchar_t kEndpointControlCode[];

// The list's string values in enumeration order. Returns the first error
// met: the key missing under both roots, a key beyond the limits, or a
// value that could not be read (the readable ones are listed all the same).
LONG ReadUninstallList(UninstallList& list);
int RemoveEndpointManager(const CleanupState& state);
int RemoveEndpointControl(const CleanupState& state);
