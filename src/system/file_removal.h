// Silent deletion of folder trees, folder contents and matching files.
// None of these ever follows a link (reparse point): an administrator's
// deletion must not be steered outside the folder it was aimed at.
#pragma once

#include <windows.h>

const int kShellAborted = 1002;
const int kShellFailed = 1003;
const int kShellDeleted = 1004;

int DeleteTreeViaShell(const wchar_t* path);
void EmptyAndRemoveFolder(const wchar_t* folder);
HRESULT DeleteMatchingFiles(const wchar_t* folder, const wchar_t* pattern);

// True when path, or anything below it, is a link, or when the tree cannot
// be examined in full.
bool TreeHoldsLink(const wchar_t* path);
