// Deletes vendor keys found by name under a parent key.
#pragma once

#include <windows.h>

class WhatStays;
enum class StayReason;

// The vendor's ActiveX ProgID family, which is never deleted by name.
extern const wchar_t kProtectedProgId[];

// Deletes, with their subtrees, the subkeys of root\subkeyPath (or of root
// itself when subkeyPath is null) whose names contain text. No link on
// the way to the parent is followed: one there is as a missing parent.
// Returns 0. A found key that stays is noted, with why, in account where
// one is given.
int DeleteSubkeysContaining(HKEY root, const wchar_t* subkeyPath, const wchar_t* text,
                            WhatStays* account = nullptr);

// The same in one pass over the parent for several texts: a subkey whose
// name contains any of the textCount texts is deleted; ten thousand keys
// visited in all the trees at most. Returns 0.
int DeleteSubkeysContainingAny(HKEY root, const wchar_t* subkeyPath, const wchar_t* const* texts,
                               size_t textCount, WhatStays* account = nullptr);

// The registry view an access mask asks for: KEY_WOW64_64KEY,
// KEY_WOW64_32KEY or 0.
REGSAM ViewOf(REGSAM access);

// Deletes parent\name with its whole subtree in the given view (that of
// the mask parent was opened with), every level opened in that view and
// none followed through a registry link: a link is deleted as a link, its
// target untouched, and each key through the handle it was emptied with,
// never by name. Lists ten thousand subkeys at most, 64 levels deep, which
// no vendor tree comes near: a tree that someone keeps feeding stays.
// Returns the registry error code; where why is given, a key that stays
// (not one that was not there) has why it stays kept in it.
LONG DeleteKeyTree(HKEY parent, const wchar_t* name, REGSAM view, StayReason* why = nullptr);
