#include "system/held_folder.h"

#include "system/folder_listing.h"
#include "system/native_files.h"
#include "system/responsiveness.h"

namespace {

// Listing and holding take part in sharing; without FILE_SHARE_DELETE no
// one else can open the folder to rename or remove it while we hold it.
const DWORD kHoldAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
const DWORD kRemoveAccess = DELETE | FILE_WRITE_ATTRIBUTES;
const DWORD kHoldSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
// Files are shared as DeleteFileW shares them: one open elsewhere without
// FILE_SHARE_DELETE fails with the same sharing violation.
const DWORD kFileSharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// How long folders whose last entries are marked for deletion, but still
// open in another program (a scanner, the indexer), are waited for: in all,
// in one run, since a user can hold such a name in every folder they make.
const DWORD kPendingWaitMs = 5000;
const DWORD kPendingPollMs = 50;
DWORD gPendingWaited = 0;  // in this run

bool IsRealFolder(DWORD attributes)
{
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// A single name inside the folder: never the folder itself, its parent or
// a path that leaves it.
bool IsPlainName(const wchar_t* name)
{
    if (name[0] == L'\0' || IsDotEntry(name))
        return false;
    for (const wchar_t* c = name; *c != L'\0'; ++c) {
        if (*c == L'\\' || *c == L'/')
            return false;
    }
    return true;
}

// A component of a path walked from the root: a plain name that a listing
// pattern takes literally (no wildcard, DOS ones included) and that names
// one entry as it is (no stream, no trailing dot or blank Windows drops).
bool IsLiteralComponent(const wchar_t* name)
{
    if (!IsPlainName(name))
        return false;
    for (const wchar_t* c = name; *c != L'\0'; ++c) {
        if (*c < L' ' || wcschr(L"*?<>\":|", *c) != nullptr)
            return false;
    }
    size_t length = lstrlenW(name);
    return name[length - 1] != L'.' && name[length - 1] != L' ';
}

// Whether the folder's own listing shows name as a real folder. Wine opens
// a link's target even with FILE_OPEN_REPARSE_POINT, but lists the link as
// a reparse point. The handle must not have been listed before: its first
// listing fixes the pattern for good.
bool ListedAsRealFolder(HANDLE folder, const wchar_t* name)
{
    alignas(8) BYTE listed[sizeof(FILE_FULL_DIR_INFORMATION) + kPathUnits * sizeof(wchar_t)];
    UNICODE_STRING pattern;
    pattern.Buffer = const_cast<wchar_t*>(name);
    pattern.Length = static_cast<USHORT>(lstrlenW(name) * sizeof(wchar_t));
    pattern.MaximumLength = pattern.Length;
    IO_STATUS_BLOCK io;
    if (!Succeeded(Native()->queryDirectory(folder, nullptr, nullptr, nullptr, &io, listed,
                                            sizeof(listed), FileFullDirectoryInformation, TRUE,
                                            &pattern, TRUE)))
        return false;
    if (IsRealFolder(reinterpret_cast<const FILE_FULL_DIR_INFORMATION*>(listed)->FileAttributes))
        return true;
    SetLastError(ERROR_DIRECTORY);
    return false;
}

// Opens the folder name of parent to hold it. Someone else's oplock on
// the folder answers at once while it is broken (742); the open is tried
// again, the window answering meanwhile, for what is left of the run's
// waiting time, as a file held so is waited for, and the folder then stays.
NTSTATUS OpenToHold(HANDLE parent, const wchar_t* name, DWORD access, HANDLE* opened)
{
    NTSTATUS status = OpenRelative(parent, name, access, kHoldSharing, FILE_DIRECTORY_FILE, opened);
    if (status != kStatusOplockBreakInProgress)
        return status;
    const DWORD started = GetTickCount();
    const DWORD allowed = kPendingWaitMs - gPendingWaited;
    while (status == kStatusOplockBreakInProgress && GetTickCount() - started < allowed) {
        Sleep(kPendingPollMs);
        KeepResponsive();
        status = OpenRelative(parent, name, access, kHoldSharing, FILE_DIRECTORY_FILE, opened);
    }
    const DWORD elapsed = GetTickCount() - started;
    gPendingWaited += elapsed < allowed ? elapsed : allowed;
    return status;
}

}  // namespace

bool HeldFolder::Hold(const wchar_t* path, bool removable)
{
    handle_.Reset();
    volume_ = nullptr;
    DWORD access = kHoldAccess | (removable ? kRemoveAccess : 0);
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
    HANDLE folder = CreateFileW(path, access, kHoldSharing, nullptr, OPEN_EXISTING, flags, nullptr);
    // Not ours to remove, or open elsewhere (a current folder, say): still
    // held and emptied, as before; only its removal fails.
    if (folder == INVALID_HANDLE_VALUE && removable &&
        (GetLastError() == ERROR_ACCESS_DENIED || GetLastError() == ERROR_SHARING_VIOLATION)) {
        access = kHoldAccess;
        folder = CreateFileW(path, access, kHoldSharing, nullptr, OPEN_EXISTING, flags, nullptr);
    }
    if (folder == INVALID_HANDLE_VALUE)
        return false;
    *handle_.Receive() = folder;
    removable_ = (access & DELETE) != 0;
    Rewind();
    if (!VerifyHandle())
        return false;
    // Wine opens a link's target even with FILE_FLAG_OPEN_REPARSE_POINT,
    // but the path, which no one can rename or replace any more, still
    // shows the link.
    DWORD seen = GetFileAttributesW(path);
    if (IsRealFolder(seen))
        return true;
    DWORD error = seen == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_DIRECTORY;
    handle_.Reset();
    SetLastError(error);
    return false;
}

// Whether the entry is a link is the parent's listing's word, asked
// through a handle of its own (Wine shows a link there, and opens its
// target); Windows opens a link put in the folder's place meanwhile as
// itself, which the handle then shows.
bool HeldFolder::HoldChild(const HeldFolder& parent, const wchar_t* name)
{
    handle_.Reset();
    volume_ = nullptr;
    if (Native() == nullptr)
        return false;
    if (!IsPlainName(name)) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    UniqueHandle listing;
    if (!Succeeded(OpenRelative(parent.handle_.Get(), L"", FILE_LIST_DIRECTORY, kFileSharing,
                                FILE_DIRECTORY_FILE, listing.Receive())) ||
        !ListedAsRealFolder(listing.Get(), name))
        return false;
    DWORD access = kHoldAccess | kRemoveAccess;
    NTSTATUS status = OpenToHold(parent.handle_.Get(), name, access, handle_.Receive());
    if (status == kStatusAccessDenied || status == kStatusSharingViolation) {
        access = kHoldAccess;
        status = OpenToHold(parent.handle_.Get(), name, access, handle_.Receive());
    }
    if (status == kStatusDeletePending) {
        SetLastError(ERROR_DELETE_PENDING);
        return false;
    }
    if (!Succeeded(status))
        return false;
    removable_ = (access & DELETE) != 0;
    Rewind();
    return VerifyHandle();
}

// One step of HoldFromRoot: name in the held folder parent, which is
// listed here for the first and only time.
bool HeldFolder::HoldComponent(HANDLE parent, const wchar_t* name, bool removable)
{
    handle_.Reset();
    if (!IsLiteralComponent(name)) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    if (!ListedAsRealFolder(parent, name))
        return false;
    DWORD access = kHoldAccess | (removable ? kRemoveAccess : 0);
    NTSTATUS status = OpenToHold(parent, name, access, handle_.Receive());
    if (removable && (status == kStatusAccessDenied || status == kStatusSharingViolation)) {
        access = kHoldAccess;
        status = OpenToHold(parent, name, access, handle_.Receive());
    }
    FILE_BASIC_INFORMATION basic;
    IO_STATUS_BLOCK io;
    if (!Succeeded(status) ||
        !Succeeded(Native()->queryInformation(handle_.Get(), &io, &basic, sizeof(basic),
                                              FileBasicInformation))) {
        handle_.Reset();
        return false;
    }
    // Windows opens a reparse point itself here, and shows it as one.
    if (!IsRealFolder(basic.FileAttributes)) {
        handle_.Reset();
        SetLastError(ERROR_DIRECTORY);
        return false;
    }
    removable_ = (access & DELETE) != 0;
    attributes_ = basic.FileAttributes;
    Rewind();
    return true;
}

bool HeldFolder::HoldFromRoot(const wchar_t* path, bool removable)
{
    handle_.Reset();
    for (UniqueHandle& above : above_)
        above.Reset();
    wchar_t rest[kPathUnits];
    if (Native() == nullptr)
        return false;
    if (BoundedCopy(rest, kPathUnits, path) != kStringOk || rest[0] == L'\0' || rest[1] != L':' ||
        rest[2] != L'\\' || rest[3] == L'\0') {
        SetLastError(ERROR_BAD_PATHNAME);
        return false;
    }
    const wchar_t root[] = {rest[0], L':', L'\\', L'\0'};
    bool held = Hold(root, false);
    wchar_t* name = rest + 3;
    for (int depth = 0; held; ++depth) {
        wchar_t* end = wcschr(name, L'\\');
        if (end != nullptr)
            *end = L'\0';
        if (depth == kMaxDepth) {
            SetLastError(ERROR_BAD_PATHNAME);
            break;
        }
        // The folder held so far moves up the chain, and stays held.
        *above_[depth].Receive() = handle_.Release();
        held = HoldComponent(above_[depth].Get(), name, end == nullptr && removable);
        if (held && end == nullptr)
            return true;
        if (end != nullptr)
            name = end + 1;
    }
    DWORD error = GetLastError();
    handle_.Reset();
    for (UniqueHandle& above : above_)
        above.Reset();
    SetLastError(error);
    return false;
}

// A real folder through the handle.
bool HeldFolder::VerifyHandle()
{
    FILE_BASIC_INFORMATION basic;
    IO_STATUS_BLOCK io;
    DWORD error = ERROR_DIRECTORY;
    if (Native() == nullptr) {
        error = GetLastError();
    } else if (!Succeeded(Native()->queryInformation(handle_.Get(), &io, &basic, sizeof(basic),
                                                     FileBasicInformation))) {
        error = GetLastError();
    } else if (IsRealFolder(basic.FileAttributes)) {
        attributes_ = basic.FileAttributes;
        return true;
    }
    handle_.Reset();
    SetLastError(error);
    return false;
}

void HeldFolder::Rewind()
{
    batchValid_ = false;
    started_ = false;
}

bool HeldFolder::Next(HeldEntry* entry)
{
    if (Native() == nullptr)
        return false;
    for (;;) {
        if (!batchValid_) {
            IO_STATUS_BLOCK io;
            NTSTATUS status = Native()->queryDirectory(
                handle_.Get(), nullptr, nullptr, nullptr, &io, batch_, sizeof(batch_),
                FileFullDirectoryInformation, FALSE, nullptr, started_ ? FALSE : TRUE);
            started_ = true;
            if (status == kStatusNoMoreFiles) {
                SetLastError(ERROR_NO_MORE_FILES);
                return false;
            }
            if (!Succeeded(status))
                return false;
            batchValid_ = true;
            next_ = 0;
        }
        const FILE_FULL_DIR_INFORMATION* info =
            reinterpret_cast<const FILE_FULL_DIR_INFORMATION*>(batch_ + next_);
        if (info->NextEntryOffset == 0)
            batchValid_ = false;
        else
            next_ += info->NextEntryOffset;

        size_t units = info->FileNameLength / sizeof(wchar_t);
        if (units >= kPathUnits) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return false;
        }
        CopyMemory(entry->name, info->FileName, units * sizeof(wchar_t));
        entry->name[units] = L'\0';
        if (IsDotEntry(entry->name))
            continue;
        entry->attributes = info->FileAttributes;
        // The listing gives a reparse point's tag where extended attributes'
        // size would be.
        entry->reparseTag = (info->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? info->EaSize : 0;
        return true;
    }
}

// One open and one mark, or with the old disposition one open that deletes
// when it closes, and nothing asked in between. The open itself is what
// keeps the deletion on this entry: it is relative to the held folder, so
// no name above can be swapped; FILE_OPEN_REPARSE_POINT opens a link as
// itself, so what is deleted is the link, never its target (Windows'
// documented contract, which Wine 8 does not keep: see Verify; the tests
// make no file links); FILE_NON_DIRECTORY_FILE fails the open when a
// folder, or a junction, took the name since it was listed. So the
// listing's word is trusted for what it alone decides: whether the file
// was read-only. Whether it has other names the file itself tells.
bool HeldFolder::DeleteFile(const wchar_t* name, DWORD listedAttributes, bool clearReadOnly)
{
    if (Native() == nullptr)
        return false;
    if (!IsPlainName(name)) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    const bool clear = clearReadOnly && (listedAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    // A file is on its folder's volume, asked once: on a server each
    // question is a round trip.
    if (volume_ == nullptr)
        volume_ = AnswerOf(handle_.Get());
    VolumeAnswer* volume = volume_;
    UniqueHandle file;
    // The old disposition set at the open: the create checks what the mark
    // would (read-only, a running program's image) and fails the same way,
    // so nothing is left to fail unseen at the close.
    if (volume->disposition == Disposition::kLegacy && !clear) {
        NTSTATUS status = OpenRelative(handle_.Get(), name, DELETE, kFileSharing,
                                       FILE_NON_DIRECTORY_FILE | FILE_DELETE_ON_CLOSE, file.Receive());
        return IsGoneAlready(status) || Succeeded(status);
    }
    NTSTATUS status = OpenRelative(handle_.Get(), name, DELETE | (clear ? FILE_WRITE_ATTRIBUTES : 0),
                                   kFileSharing, FILE_NON_DIRECTORY_FILE, file.Receive());
    if (IsGoneAlready(status))
        return true;
    if (!Succeeded(status))
        return false;
    // Read-only as the listing showed it: cleared first where the mark
    // cannot ignore it, or once it turns out that it could not; never for
    // a file that another name shares.
    const bool mayClear = clear && !HasOtherNames(file.Get());
    bool cleared = false;
    if (mayClear && volume->disposition == Disposition::kLegacy) {
        if (!ClearReadOnly(file.Get(), listedAttributes))
            return false;
        cleared = true;
    }
    status = MarkForDeletion(file.Get(), clear, volume);
    if (status == kStatusCannotDelete && mayClear && !cleared) {
        if (!ClearReadOnly(file.Get(), listedAttributes))
            return false;
        cleared = true;
        status = MarkForDeletion(file.Get(), false, volume);
    }
    if (Succeeded(status))
        return true;
    // A file that stays keeps its read-only attribute.
    if (cleared)
        PutBackAttributes(file.Get(), listedAttributes);
    return false;
}

bool HeldFolder::DeleteLink(const wchar_t* name)
{
    if (Native() == nullptr)
        return false;
    if (!IsPlainName(name)) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    if (volume_ == nullptr)
        volume_ = AnswerOf(handle_.Get());
    // No type option: a link to a folder opens as a folder, one to a file
    // as a file. Nothing is marked before the handle shows the link itself.
    UniqueHandle link;
    NTSTATUS status = OpenRelative(handle_.Get(), name, DELETE | FILE_READ_ATTRIBUTES, kFileSharing,
                                   0, link.Receive());
    if (IsGoneAlready(status))
        return true;
    if (!Succeeded(status))
        return false;
    if (!IsOpenedLink(link.Get())) {
        SetLastError(ERROR_CANT_ACCESS_FILE);
        return false;
    }
    return Succeeded(MarkForDeletion(link.Get(), false, volume_));
}

// On its way out: marked for deletion (found so, or marked once more here)
// and kept only by a handle open elsewhere, or held by someone else's
// oplock while it is broken. A link or a folder is never marked here; it
// counts only when someone else already marked it.
bool HeldFolder::IsGoing(const HeldEntry& entry, bool clearReadOnly)
{
    if ((entry.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0)
        return DeleteFile(entry.name, entry.attributes, clearReadOnly) ||
               GetLastError() == kErrorOplockBreakInProgress;
    UniqueHandle opened;
    return IsPlainName(entry.name) &&
           IsGoneAlready(OpenRelative(handle_.Get(), entry.name, FILE_READ_ATTRIBUTES, kFileSharing,
                                      0, opened.Receive()));
}

HeldFolder::Leftovers HeldFolder::WhatIsLeft(bool clearReadOnly)
{
    Rewind();
    Leftovers left = Leftovers::kNothing;
    HeldEntry entry;
    while (Next(&entry)) {
        KeepResponsive();
        if (!IsGoing(entry, clearReadOnly))
            return Leftovers::kStaying;
        left = Leftovers::kGoing;
    }
    return GetLastError() == ERROR_NO_MORE_FILES ? left : Leftovers::kStaying;
}

// A name marked for deletion with the old disposition stays until its last
// handle closes, and the folder cannot go before it: while only such names
// are left, the removal waits for them, the window answering meanwhile,
// for what is left of the run's waiting time. It is marked again only once
// the listing shows nothing left: Wine 8 takes a second mark of the same
// handle without looking, and the folder stays.
bool HeldFolder::RemoveOnceEmpty(bool clearReadOnly, bool waitForPending)
{
    if (Succeeded(MarkForDeletion(handle_.Get(), clearReadOnly)))
        return true;
    const DWORD started = GetTickCount();
    const DWORD allowed = kPendingWaitMs - gPendingWaited;
    bool removed = false;
    bool waited = false;  // only waiting takes from the run's time
    DWORD error = GetLastError();
    for (;;) {
        Leftovers left = Leftovers::kStaying;
        if (error == ERROR_DIR_NOT_EMPTY && waitForPending)
            left = WhatIsLeft(clearReadOnly);
        while (left == Leftovers::kGoing && GetTickCount() - started < allowed) {
            waited = true;
            Sleep(kPendingPollMs);
            KeepResponsive();
            left = WhatIsLeft(clearReadOnly);
        }
        if (left != Leftovers::kNothing || GetTickCount() - started >= allowed)
            break;
        // Listed empty yet not removable: marked again at once, the window
        // having its turn, so that this cannot spin unanswering to the bound.
        waited = true;
        KeepResponsive();
        if (Succeeded(MarkForDeletion(handle_.Get(), clearReadOnly))) {
            removed = true;
            break;
        }
        error = GetLastError();
    }
    const DWORD elapsed = GetTickCount() - started;
    if (waited)
        gPendingWaited += elapsed < allowed ? elapsed : allowed;
    SetLastError(error);
    return removed;
}

void StartPendingWaitBudget()
{
    gPendingWaited = 0;
}

bool HeldFolder::Remove(bool clearReadOnly, bool waitForPending)
{
    bool removed = false;
    if (!handle_.IsValid()) {
        SetLastError(ERROR_INVALID_HANDLE);
    } else if (!removable_) {
        SetLastError(ERROR_ACCESS_DENIED);
    } else if (Native() != nullptr) {
        // Read-only as the hold found it; so again when the folder stays.
        const bool clear = clearReadOnly && (attributes_ & FILE_ATTRIBUTE_READONLY) != 0;
        removed = (!clear || ClearReadOnly(handle_.Get(), attributes_)) &&
                  RemoveOnceEmpty(clearReadOnly, waitForPending);
        if (!removed && clear)
            PutBackAttributes(handle_.Get(), attributes_);
    }
    DWORD error = GetLastError();
    handle_.Reset();  // a folder marked for deletion goes when its last handle closes
    SetLastError(error);
    return removed;
}
