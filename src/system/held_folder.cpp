#include "system/held_folder.h"

#include <winternl.h>

#include "system/folder_listing.h"
#include "system/responsiveness.h"
#include "system/system_exports.h"

namespace {

// Listing, opening and deleting relative to a handle take the native calls:
// their Win32 wrappers (GetFileInformationByHandleEx and
// SetFileInformationByHandle) arrived with Vista, the native calls are in
// every ntdll from Windows NT on. ntdll is in every process; no import.
typedef NTSTATUS(NTAPI* OpenFileFn)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                    ULONG, ULONG);
typedef NTSTATUS(NTAPI* QueryDirectoryFn)(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK,
                                          PVOID, ULONG, FILE_INFORMATION_CLASS, BOOLEAN,
                                          PUNICODE_STRING, BOOLEAN);
typedef NTSTATUS(NTAPI* SetInformationFn)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG,
                                          FILE_INFORMATION_CLASS);
typedef NTSTATUS(NTAPI* QueryInformationFn)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG,
                                            FILE_INFORMATION_CLASS);
typedef ULONG(NTAPI* StatusToErrorFn)(NTSTATUS);

struct NativeCalls {
    OpenFileFn openFile;
    QueryDirectoryFn queryDirectory;
    SetInformationFn setInformation;
    QueryInformationFn queryInformation;
    StatusToErrorFn statusToError;
};

const NativeCalls* Native()
{
    static NativeCalls calls;
    static bool loaded = false;
    if (!loaded) {
        calls.openFile = LookUpExport<OpenFileFn>(L"ntdll", "NtOpenFile");
        calls.queryDirectory = LookUpExport<QueryDirectoryFn>(L"ntdll", "NtQueryDirectoryFile");
        calls.setInformation = LookUpExport<SetInformationFn>(L"ntdll", "NtSetInformationFile");
        calls.queryInformation =
            LookUpExport<QueryInformationFn>(L"ntdll", "NtQueryInformationFile");
        calls.statusToError = LookUpExport<StatusToErrorFn>(L"ntdll", "RtlNtStatusToDosError");
        loaded = true;
    }
    if (calls.openFile == nullptr || calls.queryDirectory == nullptr ||
        calls.setInformation == nullptr || calls.queryInformation == nullptr ||
        calls.statusToError == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return &calls;
}

const NTSTATUS kStatusNoMoreFiles = static_cast<NTSTATUS>(0x80000006L);
const NTSTATUS kStatusNotImplemented = static_cast<NTSTATUS>(0xC0000002L);
const NTSTATUS kStatusInvalidInfoClass = static_cast<NTSTATUS>(0xC0000003L);
const NTSTATUS kStatusInvalidParameter = static_cast<NTSTATUS>(0xC000000DL);
const NTSTATUS kStatusAccessDenied = static_cast<NTSTATUS>(0xC0000022L);
const NTSTATUS kStatusSharingViolation = static_cast<NTSTATUS>(0xC0000043L);
const NTSTATUS kStatusDeletePending = static_cast<NTSTATUS>(0xC0000056L);
const NTSTATUS kStatusCannotDelete = static_cast<NTSTATUS>(0xC0000121L);

// Sets the last error from a native status; false unless it is a success.
bool Succeeded(NTSTATUS status)
{
    if (status >= 0)
        return true;
    SetLastError(Native()->statusToError(status));
    return false;
}

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

// Opens name relative to the folder handle root; the entry itself, even
// when it is a reparse point.
NTSTATUS OpenRelative(HANDLE root, const wchar_t* name, DWORD access, DWORD sharing, ULONG options,
                      HANDLE* opened)
{
    UNICODE_STRING text;
    text.Buffer = const_cast<wchar_t*>(name);
    text.Length = static_cast<USHORT>(lstrlenW(name) * sizeof(wchar_t));
    text.MaximumLength = text.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, root, nullptr);
    IO_STATUS_BLOCK io;
    return Native()->openFile(opened, access | SYNCHRONIZE, &attributes, &io, sharing,
                              options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT |
                                  FILE_OPEN_FOR_BACKUP_INTENT);
}

NTSTATUS SetInformation(HANDLE handle, void* information, ULONG size, FILE_INFORMATION_CLASS kind)
{
    IO_STATUS_BLOCK io;
    return Native()->setInformation(handle, &io, information, size, kind);
}

// Which disposition this Windows takes. The answer is the system's and the
// volume's, the same for the whole run, so it is asked once.
enum class Disposition { kUntried, kPosix, kLegacy };
Disposition gDisposition = Disposition::kUntried;

const FILE_INFORMATION_CLASS kFileDispositionInformationEx = static_cast<FILE_INFORMATION_CLASS>(64);
const ULONG kDispositionDelete = 0x1;
const ULONG kDispositionPosixSemantics = 0x2;
const ULONG kDispositionIgnoreReadOnly = 0x10;

// Marks what handle holds for deletion. The POSIX disposition (Windows 10
// 1607 on, NTFS) takes the name away at once, even while another program
// holds the file open with FILE_SHARE_DELETE; the old one leaves the name,
// and so a folder that cannot go, until the last handle closes. Older
// Windows, other file systems and Wine 8 refuse the new class.
// ignoreReadOnly lets a read-only file go too, where Windows can (1809 on).
NTSTATUS MarkForDeletion(HANDLE handle, bool ignoreReadOnly)
{
    if (gDisposition != Disposition::kLegacy) {
        ULONG flags = kDispositionDelete | kDispositionPosixSemantics |
                      (ignoreReadOnly ? kDispositionIgnoreReadOnly : 0);
        NTSTATUS status = SetInformation(handle, &flags, sizeof(flags), kFileDispositionInformationEx);
        if (status != kStatusInvalidInfoClass && status != kStatusNotImplemented &&
            status != kStatusInvalidParameter) {
            gDisposition = Disposition::kPosix;
            return status;
        }
        gDisposition = Disposition::kLegacy;
    }
    FILE_DISPOSITION_INFORMATION disposition;
    disposition.DoDeleteFile = TRUE;
    return SetInformation(handle, &disposition, sizeof(disposition), FileDispositionInformation);
}

// Clears the read-only attribute of what handle holds, as the shell does
// before it deletes, keeping the attributes it has (as attributes tells).
bool ClearReadOnly(HANDLE handle, DWORD attributes)
{
    const DWORD settable = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                           FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    FILE_BASIC_INFORMATION basic;
    ZeroMemory(&basic, sizeof(basic));  // zero times: left as they are
    basic.FileAttributes = attributes & settable;
    if (basic.FileAttributes == 0)
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    return Succeeded(SetInformation(handle, &basic, sizeof(basic), FileBasicInformation));
}

}  // namespace

bool HeldFolder::Hold(const wchar_t* path, bool removable)
{
    handle_.Reset();
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
    return Verify(path);
}

bool HeldFolder::HoldChild(const HeldFolder& parent, const wchar_t* name, const wchar_t* path)
{
    handle_.Reset();
    if (Native() == nullptr)
        return false;
    if (!IsPlainName(name)) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    DWORD access = kHoldAccess | kRemoveAccess;
    NTSTATUS status = OpenRelative(parent.handle_.Get(), name, access, kHoldSharing,
                                   FILE_DIRECTORY_FILE, handle_.Receive());
    if (status == kStatusAccessDenied || status == kStatusSharingViolation) {
        access = kHoldAccess;
        status = OpenRelative(parent.handle_.Get(), name, access, kHoldSharing, FILE_DIRECTORY_FILE,
                              handle_.Receive());
    }
    if (status == kStatusDeletePending) {
        SetLastError(ERROR_DELETE_PENDING);
        return false;
    }
    if (!Succeeded(status))
        return false;
    removable_ = (access & DELETE) != 0;
    Rewind();
    return Verify(path);
}

// A real folder through the handle, and through the path too: Wine opens a
// link's target even with FILE_FLAG_OPEN_REPARSE_POINT, but the path, which
// no one can rename or replace any more, still shows the link.
bool HeldFolder::Verify(const wchar_t* path)
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
        DWORD seen = GetFileAttributesW(path);
        if (IsRealFolder(seen)) {
            attributes_ = basic.FileAttributes;
            return true;
        }
        if (seen == INVALID_FILE_ATTRIBUTES)
            error = GetLastError();
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
// was read-only.
bool HeldFolder::DeleteFile(const wchar_t* name, DWORD listedAttributes, bool clearReadOnly)
{
    if (Native() == nullptr)
        return false;
    if (!IsPlainName(name)) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    const bool clear = clearReadOnly && (listedAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    UniqueHandle file;
    // The old disposition set at the open: the create checks what the mark
    // would (read-only, a running program's image) and fails the same way,
    // so nothing is left to fail unseen at the close.
    if (gDisposition == Disposition::kLegacy && !clear) {
        NTSTATUS status = OpenRelative(handle_.Get(), name, DELETE, kFileSharing,
                                       FILE_NON_DIRECTORY_FILE | FILE_DELETE_ON_CLOSE, file.Receive());
        return status == kStatusDeletePending || Succeeded(status);  // already going
    }
    NTSTATUS status = OpenRelative(handle_.Get(), name, DELETE | (clear ? FILE_WRITE_ATTRIBUTES : 0),
                                   kFileSharing, FILE_NON_DIRECTORY_FILE, file.Receive());
    if (status == kStatusDeletePending)
        return true;
    if (!Succeeded(status))
        return false;
    // Read-only as the listing showed it: cleared first where the mark
    // cannot ignore it, or once it turns out that it could not.
    bool cleared = false;
    if (clear && gDisposition == Disposition::kLegacy) {
        if (!ClearReadOnly(file.Get(), listedAttributes))
            return false;
        cleared = true;
    }
    status = MarkForDeletion(file.Get(), clear);
    if (status == kStatusCannotDelete && clear && !cleared) {
        if (!ClearReadOnly(file.Get(), listedAttributes))
            return false;
        status = MarkForDeletion(file.Get(), false);
    }
    return Succeeded(status);
}

// On its way out: marked for deletion (found so, or marked once more here)
// and kept only by a handle open elsewhere. A link or a folder is never
// marked here; it counts only when someone else already marked it.
bool HeldFolder::IsGoing(const HeldEntry& entry, bool clearReadOnly)
{
    if ((entry.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0)
        return DeleteFile(entry.name, entry.attributes, clearReadOnly);
    UniqueHandle opened;
    return IsPlainName(entry.name) &&
           OpenRelative(handle_.Get(), entry.name, FILE_READ_ATTRIBUTES, kFileSharing, 0,
                        opened.Receive()) == kStatusDeletePending;
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
        // Read-only as the hold found it.
        removed = (!clearReadOnly || (attributes_ & FILE_ATTRIBUTE_READONLY) == 0 ||
                   ClearReadOnly(handle_.Get(), attributes_)) &&
                  RemoveOnceEmpty(clearReadOnly, waitForPending);
    }
    DWORD error = GetLastError();
    handle_.Reset();  // a folder marked for deletion goes when its last handle closes
    SetLastError(error);
    return removed;
}
