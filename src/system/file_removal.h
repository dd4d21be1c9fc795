// Silent deletion of folder trees, folder contents and matching files.
// None of these ever follows a link: each holds the folder it works in, so
// that no one can swap it for a link meanwhile, and deletes entries through
// that hold. An administrator's deletion must not be steered outside the
// folder it was aimed at. Each refuses an empty or relative path, a drive or
// share root, and a path with wildcards.
#pragma once

#include <windows.h>

class HeldFolder;

const int kShellAborted = 1002;  // stopped: the tree changed under the deletion
const int kShellFailed = 1003;   // refused, or something could not be deleted
const int kShellDeleted = 1004;

// Deletes a file, or a folder with everything below it; read-only, hidden
// and system files too. A tree that holds a link is refused whole.
int DeleteTreeViaShell(const wchar_t* path);
void EmptyAndRemoveFolder(const wchar_t* folder);
HRESULT DeleteMatchingFiles(const wchar_t* folder, const wchar_t* pattern);

// The same for a folder the caller holds already, whose path is path: the
// tree deletion (which refuses a tree holding a link, found through held
// handles) and the emptying.
int DeleteHeldFolderTree(HeldFolder& folder, const wchar_t* path);
void EmptyAndRemoveHeldFolder(HeldFolder& folder, const wchar_t* path);

// True when path, or anything below it, is a link, or when the tree cannot
// be examined in full. Only a path that is not there holds nothing.
bool TreeHoldsLink(const wchar_t* path);
