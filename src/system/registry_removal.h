// Deletes vendor keys found by name under a parent key.
#pragma once

#include <windows.h>

// The vendor's ActiveX ProgID family, which is never deleted by name.
extern const wchar_t kProtectedProgId[];

// Deletes, with their subtrees, the subkeys of root\subkeyPath (or of root
// itself when subkeyPath is null) whose names contain text. Returns 0.
int DeleteSubkeysContaining(HKEY root, const wchar_t* subkeyPath, const wchar_t* text);

// Deletes parent\name with its whole subtree in the view that parent was
// opened in. Returns the registry error code.
LONG DeleteKeyTree(HKEY parent, const wchar_t* name);
