// Silent deletion of folder trees and folder contents. Neither ever
// follows a link: each holds the folder it works in, so that no one can
// swap it for a link meanwhile, and deletes entries through that hold. An
// administrator's deletion must not be steered outside the folder it was
// aimed at. Each refuses an empty or relative path, a drive or share root,
// and a path with wildcards.
#pragma once

#include <windows.h>

class HeldFolder;
struct HeldEntry;
enum class StayReason;

const int kShellAborted = 1002;  // a folder changed under the deletion, and stays
const int kShellFailed = 1003;   // refused, or something could not be deleted
const int kShellDeleted = 1004;

// Deletes a file, or a folder with everything below it, at any depth and
// by every name the file system holds; read-only, hidden and system files
// too. A link inside goes as the link itself, never what it points at; a
// folder that is another kind of reparse point is never entered and stays,
// with the folders above it. path itself must not be a link.
// Where why is given, the first known reason an entry stayed is kept in it
// (left as it is when none is known).
int DeleteTreeViaShell(const wchar_t* path, StayReason* why = nullptr);
void EmptyAndRemoveFolder(const wchar_t* folder, StayReason* why = nullptr);

// The same for a folder the caller holds already: the tree deletion, and
// the emptying, whose diagnostics name the entries below path.
int DeleteHeldFolderTree(HeldFolder& folder, StayReason* why = nullptr);
void EmptyAndRemoveHeldFolder(HeldFolder& folder, const wchar_t* path, StayReason* why = nullptr);

// The work on one folder in one pass is bounded: a program that keeps
// adding entries to a folder being listed (a listing goes on from the last
// name it gave) must not keep the run going. The next entry of folder, as
// HeldFolder::Next gives it, the count taken so far in *taken; false with
// ERROR_MORE_DATA once the bound's worth has been taken, the folder then
// left as it is.
bool NextWithinBound(HeldFolder& folder, size_t* taken, HeldEntry* entry);
// Entries one pass takes from one folder; tests lower it.
size_t& FolderEntryBound();
