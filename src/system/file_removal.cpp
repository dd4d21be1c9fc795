#include "system/file_removal.h"

#include <shellapi.h>

#include <cstdio>

#include "system/bounded_string.h"
#include "system/folder_listing.h"
#include "system/handles.h"
#include "system/responsiveness.h"

namespace {

bool IsLink(DWORD attributes)
{
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// The attributes of the entry itself: a trailing backslash would make the
// file system look through a link to its target.
// Takes every path the shell delete accepts, 260 units included.
DWORD EntryAttributes(const wchar_t* path)
{
    wchar_t entry[kPathUnits + 1];
    if (BoundedCopy(entry, kPathUnits + 1, path) != kStringOk)
        return INVALID_FILE_ATTRIBUTES;
    size_t length = 0;
    BoundedLength(entry, kPathUnits + 1, &length);
    while (length > 3 && entry[length - 1] == L'\\')
        entry[--length] = L'\0';
    return GetFileAttributesW(entry);
}

bool IsLinkPath(const wchar_t* path)
{
    DWORD attributes = EntryAttributes(path);
    return attributes != INVALID_FILE_ATTRIBUTES && IsLink(attributes);
}

// Walks the folder without entering links; false on a link or on any part
// of the tree that cannot be listed or named within the path limit.
bool FolderIsLinkFree(const wchar_t* folder)
{
    wchar_t pattern[kPathUnits];
    if (BoundedFormat(pattern, kPathUnits, L"%s\\*", folder) != kStringOk)
        return false;
    WIN32_FIND_DATAW found;
    FindHandle search(FindFirstFileW(pattern, &found));
    if (!search.IsValid())
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    do {
        KeepResponsive();
        if (IsDotEntry(found.cFileName))
            continue;
        if (IsLink(found.dwFileAttributes))
            return false;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            continue;
        wchar_t child[kPathUnits];
        if (BoundedFormat(child, kPathUnits, L"%s\\%s", folder, found.cFileName) != kStringOk)
            return false;
        if (!FolderIsLinkFree(child))
            return false;
    } while (FindNextFileW(search.Get(), &found));
    return GetLastError() == ERROR_NO_MORE_FILES;
}

}  // namespace

bool TreeHoldsLink(const wchar_t* path)
{
    DWORD attributes = EntryAttributes(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return false;  // nothing there to follow
    if (IsLink(attributes))
        return true;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return false;
    return !FolderIsLinkFree(path);
}

int DeleteTreeViaShell(const wchar_t* path)
{
    // Up to 260 units and two terminators: the shell takes a list of paths.
    // A longer path is never cut: the cut one would name something else.
    wchar_t list[kPathUnits + 2];
    ZeroMemory(list, sizeof(list));
    if (BoundedCopy(list, kPathUnits + 1, path) != kStringOk)
        return kShellFailed;

    if (TreeHoldsLink(list))
        return kShellFailed;

    SHFILEOPSTRUCTW operation;
    ZeroMemory(&operation, sizeof(operation));
    operation.hwnd = nullptr;
    operation.wFunc = FO_DELETE;
    operation.pFrom = list;
    operation.pTo = L"";
    operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
    operation.fAnyOperationsAborted = FALSE;
    operation.hNameMappings = nullptr;
    operation.lpszProgressTitle = L"";
    if (SHFileOperationW(&operation) == 0)
        return kShellDeleted;
    return operation.fAnyOperationsAborted ? kShellAborted : kShellFailed;
}

void EmptyAndRemoveFolder(const wchar_t* folder)
{
    if (IsLinkPath(folder))
        return;  // emptying it would empty the link's target
    ForEachEntry(folder, L"%s\\*.*", [&](const WIN32_FIND_DATAW& found) {
        if (IsLink(found.dwFileAttributes))
            return true;
        wchar_t path[kPathUnits];
        if (BoundedFormat(path, kPathUnits, L"%s\\%s", folder, found.cFileName) != kStringOk)
            return false;
        if (!DeleteFileW(path)) {
            DWORD error = GetLastError();
            printf("Failed to delete %S \n", path);
            printf("Error %d \n", static_cast<int>(error));
        }
        return true;
    });
    RemoveDirectoryW(folder);
}

HRESULT DeleteMatchingFiles(const wchar_t* folder, const wchar_t* pattern)
{
    if (IsLinkPath(folder))
        return kStringOk;
    wchar_t search[kPathUnits];
    HRESULT formed = BoundedFormat(search, kPathUnits, L"%s\\%s", folder, pattern);
    if (formed != kStringOk)
        return formed;  // a cut pattern would search elsewhere
    WIN32_FIND_DATAW found;
    FindHandle find(FindFirstFileW(search, &found));
    if (!find.IsValid())
        return kStringOk;
    do {
        KeepResponsive();
        if (IsLink(found.dwFileAttributes))
            continue;
        wchar_t path[kPathUnits];
        HRESULT status = BoundedFormat(path, kPathUnits, L"%s\\%s", folder, found.cFileName);
        if (status != kStringOk)
            return status;
        DeleteFileW(path);
    } while (FindNextFileW(find.Get(), &found));
    return kStringOk;
}
