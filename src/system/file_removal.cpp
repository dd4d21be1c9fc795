#include "system/file_removal.h"

#include "system/bounded_string.h"
#include "system/console_output.h"
#include "system/folder_listing.h"
#include "system/held_folder.h"
#include "system/responsiveness.h"

namespace {

// The entry path names itself, not what a link there points at: a trailing
// backslash would make the file system look through the link. Takes every
// path the shell delete took, 260 units included; a longer one is never
// cut, since the cut one would name something else.
bool CopyEntryPath(const wchar_t* path, wchar_t* entry)
{
    if (path == nullptr || BoundedCopy(entry, kPathUnits + 1, path) != kStringOk)
        return false;
    size_t length = 0;
    BoundedLength(entry, kPathUnits + 1, &length);
    while (length > 3 && entry[length - 1] == L'\\')
        entry[--length] = L'\0';
    return true;
}

bool IsDriveLetter(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

// What a deletion may be aimed at: a full path below a drive or share root,
// naming one entry (no wildcards, no stream), that Windows takes as it is
// (no empty part, and no part ending in a dot or a blank, which Windows
// would drop: "." and ".." among them).
bool IsDeletionTarget(const wchar_t* path, wchar_t* entry)
{
    if (!CopyEntryPath(path, entry))
        return false;
    const wchar_t* part = nullptr;
    int rootParts = 0;  // the server and share of a share's path
    if (IsDriveLetter(entry[0]) && entry[1] == L':' && entry[2] == L'\\') {
        part = entry + 3;
    } else if (entry[0] == L'\\' && entry[1] == L'\\') {
        part = entry + 2;
        rootParts = 2;
    } else {
        return false;
    }
    int parts = 0;
    for (;;) {
        const wchar_t* end = part;
        while (*end != L'\0' && *end != L'\\') {
            if (wcschr(L"*?<>\"/:", *end) != nullptr)
                return false;
            ++end;
        }
        if (end == part || end[-1] == L'.' || end[-1] == L' ')
            return false;
        ++parts;
        if (*end == L'\0')
            return parts > rootParts;
        part = end + 1;
    }
}

// The entry's own attributes, and its reparse tag where it is a reparse
// point. False, with the last error set, when they cannot be read.
bool ReadEntry(const wchar_t* entry, DWORD* attributes, DWORD* reparseTag)
{
    *reparseTag = 0;
    *attributes = GetFileAttributesW(entry);
    if (*attributes == INVALID_FILE_ATTRIBUTES)
        return false;
    if ((*attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        return true;
    WIN32_FIND_DATAW found;
    FindHandle search(FindFirstFileW(entry, &found));
    if (!search.IsValid())
        return false;
    *attributes = found.dwFileAttributes;
    *reparseTag = found.dwReserved0;
    return true;
}

// Walks the folder without entering links; false on a link or on any part
// of the tree that cannot be listed or named within the path limit.
bool FolderIsLinkFree(const wchar_t* folder)
{
    return ForEachEntry(folder, L"%s\\*", [&](const WIN32_FIND_DATAW& found) {
        if (IsLinkEntry(found))
            return false;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            return true;
        wchar_t child[kPathUnits];
        return BoundedFormat(child, kPathUnits, L"%s\\%s", folder, found.cFileName) == kStringOk &&
               FolderIsLinkFree(child);
    });
}

// The held folder's tree holds a link, or cannot be examined in full; the
// scan goes through held handles, so nothing above it can steer it. The
// listing starts over afterwards.
bool HeldTreeHoldsLink(HeldFolder& folder, const wchar_t* path)
{
    bool holdsLink = false;
    HeldEntry entry;
    while (!holdsLink && folder.Next(&entry)) {
        KeepResponsive();
        if (IsLinkEntry(entry.attributes, entry.reparseTag))
            holdsLink = true;
        else if ((entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            wchar_t childPath[kPathUnits];
            HeldFolder child;
            holdsLink = BoundedFormat(childPath, kPathUnits, L"%s\\%s", path, entry.name) != kStringOk ||
                        !child.HoldChild(folder, entry.name, childPath) ||
                        HeldTreeHoldsLink(child, childPath);
        }
    }
    if (!holdsLink && GetLastError() != ERROR_NO_MORE_FILES)
        holdsLink = true;
    folder.Rewind();
    return holdsLink;
}

int DeleteHeldTree(HeldFolder& folder, const wchar_t* path);

int DeleteSubtree(const HeldFolder& parent, const wchar_t* parentPath, const wchar_t* name)
{
    wchar_t path[kPathUnits];
    HeldFolder child;
    if (BoundedFormat(path, kPathUnits, L"%s\\%s", parentPath, name) != kStringOk)
        return kShellFailed;
    if (!child.HoldChild(parent, name, path))
        return GetLastError() == ERROR_DELETE_PENDING ? kShellDeleted : kShellFailed;  // going already
    return DeleteHeldTree(child, path);
}

// Deletes everything in the held folder, bottom-up, then the folder itself.
// A link here means the tree changed since it was scanned: the deletion
// stops at once (aborted).
int DeleteHeldTree(HeldFolder& folder, const wchar_t* path)
{
    int result = kShellDeleted;
    HeldEntry entry;
    while (folder.Next(&entry)) {
        KeepResponsive();
        if (IsLinkEntry(entry.attributes, entry.reparseTag))
            return kShellAborted;
        int outcome = kShellDeleted;
        if ((entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            outcome = DeleteSubtree(folder, path, entry.name);
        else if (!folder.DeleteFile(entry.name, entry.attributes, true))
            outcome = kShellFailed;
        if (outcome == kShellAborted)
            return outcome;
        if (outcome != kShellDeleted)
            result = kShellFailed;
    }
    if (GetLastError() != ERROR_NO_MORE_FILES)
        result = kShellFailed;
    KeepResponsive();
    if (result == kShellDeleted && !folder.Remove(true, true))
        result = kShellFailed;
    return result;
}

// A file given by its path is deleted from its held parent folder.
bool DeleteLoneFile(const wchar_t* entry, DWORD attributes)
{
    wchar_t parent[kPathUnits + 1];
    BoundedCopy(parent, kPathUnits + 1, entry);
    wchar_t* name = wcsrchr(parent, L'\\');
    if (name == nullptr)
        return false;
    *name++ = L'\0';
    wchar_t lastName[kPathUnits];
    if (BoundedCopy(lastName, kPathUnits, name) != kStringOk)
        return false;
    if (parent[2] == L'\0')
        BoundedAppend(parent, kPathUnits + 1, L"\\");  // "C:" alone is the current folder there
    HeldFolder folder;
    return folder.Hold(parent, false) && folder.DeleteFile(lastName, attributes, true);
}

}  // namespace

bool TreeHoldsLink(const wchar_t* path)
{
    wchar_t entry[kPathUnits + 1];
    DWORD attributes = 0;
    DWORD reparseTag = 0;
    if (!CopyEntryPath(path, entry))
        return true;
    if (!ReadEntry(entry, &attributes, &reparseTag))
        return !IsNotFound(GetLastError());
    if (IsLinkEntry(attributes, reparseTag))
        return true;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return false;
    return !FolderIsLinkFree(entry);
}

int DeleteTreeViaShell(const wchar_t* path)
{
    // The tree is scanned first, so that a tree holding a link loses
    // nothing; the deletion itself still holds every folder it works in.
    wchar_t entry[kPathUnits + 1];
    if (!IsDeletionTarget(path, entry) || TreeHoldsLink(entry))
        return kShellFailed;
    DWORD attributes = 0;
    DWORD reparseTag = 0;
    if (!ReadEntry(entry, &attributes, &reparseTag))
        return kShellFailed;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return DeleteLoneFile(entry, attributes) ? kShellDeleted : kShellFailed;
    HeldFolder folder;
    if (!folder.Hold(entry, true))
        return kShellFailed;
    return DeleteHeldTree(folder, entry);
}

void EmptyAndRemoveFolder(const wchar_t* folder)
{
    wchar_t entry[kPathUnits + 1];
    HeldFolder held;
    if (!IsDeletionTarget(folder, entry) || !held.Hold(entry, true))
        return;  // missing, a link or no folder: nothing to empty
    EmptyAndRemoveHeldFolder(held, folder);
}

void EmptyAndRemoveHeldFolder(HeldFolder& held, const wchar_t* folder)
{
    // The listing goes through the held folder; the search pattern only
    // keeps its limit: a folder whose pattern does not fit is not emptied.
    wchar_t pattern[kPathUnits];
    bool everyEntry = BoundedFormat(pattern, kPathUnits, L"%s\\*.*", folder) == kStringOk;
    if (everyEntry) {
        HeldEntry found;
        while (held.Next(&found)) {
            KeepResponsive();
            if (IsLinkEntry(found.attributes, found.reparseTag))
                continue;
            wchar_t path[kPathUnits];
            if (BoundedFormat(path, kPathUnits, L"%s\\%s", folder, found.name) != kStringOk) {
                everyEntry = false;
                break;
            }
            if (!held.DeleteFile(found.name, found.attributes, false)) {
                DWORD error = GetLastError();
                PrintOutput("Failed to delete %S \n", path);
                PrintOutput("Error %d \n", static_cast<int>(error));
            }
        }
    }
    KeepResponsive();
    // Fails while subfolders or resisting files stay. Names still held open
    // elsewhere are waited for only when every entry was tried: the wait
    // deletes again what is still listed.
    held.Remove(false, everyEntry);
}

int DeleteHeldFolderTree(HeldFolder& folder, const wchar_t* path)
{
    if (HeldTreeHoldsLink(folder, path))
        return kShellFailed;
    return DeleteHeldTree(folder, path);
}

HRESULT DeleteMatchingFiles(const wchar_t* folder, const wchar_t* pattern)
{
    wchar_t entry[kPathUnits + 1];
    if (!IsDeletionTarget(folder, entry) || wcspbrk(pattern, L"\\/") != nullptr)
        return kStringOk;  // a pattern is a name: it never reaches another folder
    wchar_t search[kPathUnits];
    HRESULT formed = BoundedFormat(search, kPathUnits, L"%s\\%s", folder, pattern);
    if (formed != kStringOk)
        return formed;  // a cut pattern would search elsewhere
    HeldFolder held;
    if (!held.Hold(entry, false))
        return kStringOk;
    WIN32_FIND_DATAW found;
    FindHandle find(FindFirstFileW(search, &found));
    if (!find.IsValid())
        return kStringOk;
    do {
        KeepResponsive();
        if (IsDotEntry(found.cFileName) || IsLinkEntry(found))
            continue;
        wchar_t path[kPathUnits];
        HRESULT status = BoundedFormat(path, kPathUnits, L"%s\\%s", folder, found.cFileName);
        if (status != kStringOk)
            return status;
        held.DeleteFile(found.cFileName, found.dwFileAttributes, false);
    } while (FindNextFileW(find.Get(), &found));
    return kStringOk;
}
