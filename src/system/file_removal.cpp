#include "system/file_removal.h"

#include <new>

#include "system/bounded_string.h"
#include "system/console_output.h"
#include "system/folder_listing.h"
#include "system/heap_buffer.h"
#include "system/held_folder.h"
#include "system/native_files.h"
#include "system/responsiveness.h"
#include "system/what_stays.h"

namespace {

// The entry path names itself, not what a link there points at: a trailing
// backslash would make the file system look through the link. Takes every
// path the shell delete took, 260 units included; a longer one is never
// cut, since the cut one would name something else.
bool CopyEntryPath(const wchar_t* path, wchar_t* entry)
{
    if (path == nullptr || BoundedCopy(entry, kPathUnits + 1, path) != kStringOk)
        return false;
    TrimTrailingBackslashes(entry);
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

// What a tree deletion does with an entry its folder's listing shows.
enum class EntryKind { kFile, kFolder, kLink, kOtherReparseFolder };

EntryKind KindOf(const HeldEntry& entry)
{
    const bool folder = (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if ((entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        return folder ? EntryKind::kFolder : EntryKind::kFile;
    // A name surrogate names something elsewhere; Wine's links show no tag.
    if (entry.reparseTag == 0 || IsReparseTagNameSurrogate(entry.reparseTag))
        return EntryKind::kLink;
    // A placeholder or deduplicated file is a file; such a folder's listing
    // is the file system filter's, so it is never entered.
    return folder ? EntryKind::kOtherReparseFolder : EntryKind::kFile;
}

// How deep a tree deletion goes; below that the tree stays.
const size_t kMaxTreeDepth = 1000;

// The folders a tree deletion is in, from the top down, each held and
// listed relative to the one above: on the heap, since each holds a
// listing batch, and a deep tree would take megabytes of stack.
class FolderStack {
public:
    explicit FolderStack(HeldFolder& top) : levels_(kMaxTreeDepth)
    {
        if (levels_.Get() != nullptr) {
            levels_.Get()[0].folder = &top;
            levels_.Get()[0].whole = true;
            levels_.Get()[0].taken = 0;
            depth_ = 1;
        }
    }
    ~FolderStack()
    {
        while (depth_ > 1)
            Pop();
    }
    FolderStack(const FolderStack&) = delete;
    FolderStack& operator=(const FolderStack&) = delete;

    struct Level {
        HeldFolder* folder;
        bool whole;    // everything in it went so far
        size_t taken;  // entries its listing gave so far
    };
    size_t Depth() const { return depth_; }
    Level& Top() { return levels_.Get()[depth_ - 1]; }

    // Holds name in the top folder as the new top. False, with the last
    // error set, when it cannot be held, or past the bound.
    bool Push(const wchar_t* name)
    {
        if (depth_ == levels_.Count()) {
            SetLastError(ERROR_BAD_PATHNAME);
            return false;
        }
        void* memory = HeapAlloc(GetProcessHeap(), 0, sizeof(HeldFolder));
        if (memory == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return false;
        }
        HeldFolder* child = new (memory) HeldFolder();
        levels_.Get()[depth_] = {child, true, 0};
        ++depth_;
        if (child->HoldChild(*levels_.Get()[depth_ - 2].folder, name))
            return true;
        const DWORD error = GetLastError();
        Pop();
        SetLastError(error);
        return false;
    }

    // Ends the top folder's hold; the caller's own folder stays its own.
    void Pop()
    {
        --depth_;
        if (depth_ == 0)
            return;
        HeldFolder* folder = levels_.Get()[depth_].folder;
        folder->~HeldFolder();
        HeapFree(GetProcessHeap(), 0, folder);
    }

private:
    HeapBuffer<Level> levels_;
    size_t depth_ = 0;
};

// Deletes one entry of the top folder, or holds a subfolder as the new
// top. False when the entry stays, with why it stays kept in why; aborted
// is set when a listed folder turned out to be something else by the time
// it was opened.
bool TakeEntry(FolderStack& stack, const HeldEntry& entry, bool* aborted, StayReason* why)
{
    HeldFolder& folder = *stack.Top().folder;
    switch (KindOf(entry)) {
    case EntryKind::kFile:
        if (folder.DeleteFile(entry.name, entry.attributes, true))
            return true;
        KeepFirstReason(why, StayReasonOfError(GetLastError()));
        // Held elsewhere under an oplock: the folder's removal waits for it.
        return GetLastError() == kErrorOplockBreakInProgress;
    case EntryKind::kLink:
        if (folder.DeleteLink(entry.name))
            return true;
        KeepFirstReason(why, StayReason::kLinkInside);
        return false;
    case EntryKind::kOtherReparseFolder:
        return false;
    case EntryKind::kFolder:
        break;
    }
    const bool deepest = stack.Depth() == kMaxTreeDepth;
    if (stack.Push(entry.name) || GetLastError() == ERROR_DELETE_PENDING)  // going already
        return true;
    if (GetLastError() == ERROR_DIRECTORY)
        *aborted = true;
    KeepFirstReason(why, deepest ? StayReason::kTooDeep : StayReasonOfError(GetLastError()));
    return false;
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

int DeleteTreeViaShell(const wchar_t* path, StayReason* why)
{
    // The path itself is the program's: a link there is refused. Inside,
    // every folder is held before anything in it is deleted.
    wchar_t entry[kPathUnits + 1];
    DWORD attributes = 0;
    DWORD reparseTag = 0;
    if (!IsDeletionTarget(path, entry) || !ReadEntry(entry, &attributes, &reparseTag) ||
        IsLinkEntry(attributes, reparseTag))
        return kShellFailed;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        if (DeleteLoneFile(entry, attributes))
            return kShellDeleted;
        KeepFirstReason(why, StayReasonOfError(GetLastError()));
        return kShellFailed;
    }
    HeldFolder folder;
    if (!folder.Hold(entry, true)) {
        KeepFirstReason(why, StayReasonOfError(GetLastError()));
        return kShellFailed;
    }
    return DeleteHeldFolderTree(folder, why);
}

void EmptyAndRemoveFolder(const wchar_t* folder, StayReason* why)
{
    wchar_t entry[kPathUnits + 1];
    HeldFolder held;
    if (!IsDeletionTarget(folder, entry) || !held.Hold(entry, true))
        return;  // missing, a link or no folder: nothing to empty
    EmptyAndRemoveHeldFolder(held, folder, why);
}

namespace {
// Far more than a vendor folder, or one folder of a browser's cache, holds.
size_t gFolderEntryBound = 100000;
}  // namespace

size_t& FolderEntryBound()
{
    return gFolderEntryBound;
}

bool NextWithinBound(HeldFolder& folder, size_t* taken, HeldEntry* entry)
{
    if (*taken >= gFolderEntryBound) {
        SetLastError(ERROR_MORE_DATA);
        return false;
    }
    if (!folder.Next(entry))
        return false;
    ++*taken;
    return true;
}

void EmptyAndRemoveHeldFolder(HeldFolder& held, const wchar_t* folder, StayReason* why)
{
    // The listing goes through the held folder; the search pattern only
    // keeps its limit: a folder whose pattern does not fit is not emptied.
    wchar_t pattern[kPathUnits];
    bool everyEntry = BoundedFormat(pattern, kPathUnits, L"%s\\*.*", folder) == kStringOk;
    if (everyEntry) {
        HeldEntry found;
        size_t taken = 0;
        while (NextWithinBound(held, &taken, &found)) {
            KeepResponsive();
            if (IsLinkEntry(found.attributes, found.reparseTag))
                continue;
            wchar_t path[kPathUnits];
            if (BoundedFormat(path, kPathUnits, L"%s\\%s", folder, found.name) != kStringOk) {
                everyEntry = false;
                break;
            }
            // Held under an oplock: waited for as a name held elsewhere.
            if (!held.DeleteFile(found.name, found.attributes, false) &&
                GetLastError() != kErrorOplockBreakInProgress) {
                DWORD error = GetLastError();
                // A subfolder is no file: its failure tells nothing.
                if ((found.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
                    KeepFirstReason(why, StayReasonOfError(error));
                PrintOutput("Failed to delete %S \n", path);
                PrintOutput("Error %d \n", static_cast<int>(error));
            }
        }
        // Left as it is, as the tree deletion leaves such a folder.
        if (everyEntry && GetLastError() == ERROR_MORE_DATA) {
            KeepFirstReason(why, StayReason::kKeptFilling);
            return;
        }
    }
    KeepResponsive();
    // Fails while subfolders or resisting files stay. Names still held open
    // elsewhere are waited for only when every entry was tried: the wait
    // deletes again what is still listed.
    if (!held.Remove(false, everyEntry))
        KeepFirstReason(why, StayReasonOfError(GetLastError()));
}

// Deletes everything in the held folder, each folder's entries before the
// folder itself, and the folder last. What cannot go stays, with the
// folders above it; the rest goes.
int DeleteHeldFolderTree(HeldFolder& top, StayReason* why)
{
    FolderStack stack(top);
    if (stack.Depth() == 0)
        return kShellFailed;
    bool aborted = false;
    bool whole = false;
    while (stack.Depth() > 0) {
        FolderStack::Level& level = stack.Top();
        HeldEntry entry;
        if (NextWithinBound(*level.folder, &level.taken, &entry)) {
            KeepResponsive();
            if (!TakeEntry(stack, entry, &aborted, why))
                stack.Top().whole = false;
            continue;
        }
        const DWORD ended = GetLastError();
        whole = level.whole && ended == ERROR_NO_MORE_FILES;
        if (ended == ERROR_MORE_DATA)
            KeepFirstReason(why, StayReason::kKeptFilling);
        else if (ended != ERROR_NO_MORE_FILES)
            KeepFirstReason(why, StayReasonOfError(ended));
        KeepResponsive();
        if (whole && !level.folder->Remove(true, true)) {
            KeepFirstReason(why, StayReasonOfError(GetLastError()));
            whole = false;
        }
        stack.Pop();
        if (stack.Depth() > 0 && !whole)
            stack.Top().whole = false;
    }
    if (aborted)
        return kShellAborted;
    return whole ? kShellDeleted : kShellFailed;
}
