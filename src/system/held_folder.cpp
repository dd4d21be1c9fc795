#include "system/held_folder.h"

#include <winternl.h>

#include "system/folder_listing.h"
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
typedef ULONG(NTAPI* StatusToErrorFn)(NTSTATUS);

struct NativeCalls {
    OpenFileFn openFile;
    QueryDirectoryFn queryDirectory;
    SetInformationFn setInformation;
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
        calls.statusToError = LookUpExport<StatusToErrorFn>(L"ntdll", "RtlNtStatusToDosError");
        loaded = true;
    }
    if (calls.openFile == nullptr || calls.queryDirectory == nullptr ||
        calls.setInformation == nullptr || calls.statusToError == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return &calls;
}

const NTSTATUS kStatusNoMoreFiles = static_cast<NTSTATUS>(0x80000006L);
const NTSTATUS kStatusAccessDenied = static_cast<NTSTATUS>(0xC0000022L);
const NTSTATUS kStatusSharingViolation = static_cast<NTSTATUS>(0xC0000043L);

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

bool SetInformation(HANDLE handle, void* information, ULONG size, FILE_INFORMATION_CLASS kind)
{
    IO_STATUS_BLOCK io;
    return Succeeded(Native()->setInformation(handle, &io, information, size, kind));
}

bool MarkForDeletion(HANDLE handle)
{
    FILE_DISPOSITION_INFORMATION disposition;
    disposition.DoDeleteFile = TRUE;
    return SetInformation(handle, &disposition, sizeof(disposition), FileDispositionInformation);
}

// Clears the read-only attribute of what handle holds, as the shell does
// before it deletes.
bool ClearReadOnly(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info))
        return false;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) == 0)
        return true;
    const DWORD settable = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                           FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    FILE_BASIC_INFORMATION basic;
    ZeroMemory(&basic, sizeof(basic));  // zero times: left as they are
    basic.FileAttributes = info.dwFileAttributes & settable;
    if (basic.FileAttributes == 0)
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    return SetInformation(handle, &basic, sizeof(basic), FileBasicInformation);
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
    if (!Succeeded(status))
        return false;
    removable_ = (access & DELETE) != 0;
    return Verify(path);
}

// A real folder through the handle, and through the path too: Wine opens a
// link's target even with FILE_FLAG_OPEN_REPARSE_POINT, but the path, which
// no one can rename or replace any more, still shows the link.
bool HeldFolder::Verify(const wchar_t* path)
{
    BY_HANDLE_FILE_INFORMATION info;
    DWORD error = ERROR_DIRECTORY;
    if (!GetFileInformationByHandle(handle_.Get(), &info)) {
        error = GetLastError();
    } else if (IsRealFolder(info.dwFileAttributes)) {
        DWORD seen = GetFileAttributesW(path);
        if (IsRealFolder(seen))
            return true;
        if (seen == INVALID_FILE_ATTRIBUTES)
            error = GetLastError();
    }
    handle_.Reset();
    SetLastError(error);
    return false;
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

bool HeldFolder::DeleteFile(const wchar_t* name, DWORD listedAttributes, bool clearReadOnly)
{
    if (Native() == nullptr)
        return false;
    if (!IsPlainName(name)) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    bool clear = clearReadOnly && (listedAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    DWORD access = DELETE | FILE_READ_ATTRIBUTES | (clear ? FILE_WRITE_ATTRIBUTES : 0);
    UniqueHandle file;
    // Shared as DeleteFileW shares it: a file open elsewhere without
    // FILE_SHARE_DELETE fails with the same sharing violation.
    if (!Succeeded(OpenRelative(handle_.Get(), name, access,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                FILE_NON_DIRECTORY_FILE, file.Receive())))
        return false;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file.Get(), &info))
        return false;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
        (listedAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        SetLastError(ERROR_CANT_ACCESS_FILE);  // replaced since it was listed
        return false;
    }
    if (clear && !ClearReadOnly(file.Get()))
        return false;
    return MarkForDeletion(file.Get());
}

bool HeldFolder::Remove(bool clearReadOnly)
{
    bool removed = false;
    if (!handle_.IsValid()) {
        SetLastError(ERROR_INVALID_HANDLE);
    } else if (!removable_) {
        SetLastError(ERROR_ACCESS_DENIED);
    } else if (Native() != nullptr) {
        removed = (!clearReadOnly || ClearReadOnly(handle_.Get())) && MarkForDeletion(handle_.Get());
    }
    DWORD error = GetLastError();
    handle_.Reset();  // a folder marked for deletion goes when its last handle closes
    SetLastError(error);
    return removed;
}
