// The native file calls that work relative to a handle, their statuses,
// the deletion marks and what each volume answers about them. Listing,
// opening and deleting relative to a handle take the native calls: their
// Win32 wrappers (GetFileInformationByHandleEx and
// SetFileInformationByHandle) arrived with Vista, the native calls are in
// every ntdll from Windows NT on. ntdll is in every process; no import.
#pragma once

#include <windows.h>
#include <winternl.h>

typedef NTSTATUS(NTAPI* SetFileInformationCall)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG,
                                                FILE_INFORMATION_CLASS);
typedef NTSTATUS(NTAPI* QueryVolumeCall)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG,
                                         FS_INFORMATION_CLASS);
typedef NTSTATUS(NTAPI* OpenFileCall)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                      ULONG, ULONG);
typedef NTSTATUS(NTAPI* QueryDirectoryCall)(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID,
                                            PIO_STATUS_BLOCK, PVOID, ULONG,
                                            FILE_INFORMATION_CLASS, BOOLEAN, PUNICODE_STRING,
                                            BOOLEAN);
typedef NTSTATUS(NTAPI* QueryInformationFn)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG,
                                            FILE_INFORMATION_CLASS);
typedef ULONG(NTAPI* StatusToErrorFn)(NTSTATUS);

struct NativeCalls {
    OpenFileCall openFile;
    QueryDirectoryCall queryDirectory;
    SetFileInformationCall setInformation;
    QueryInformationFn queryInformation;
    QueryVolumeCall queryVolume;
    StatusToErrorFn statusToError;
};

// The calls, looked up once; null, with ERROR_PROC_NOT_FOUND, where ntdll
// lacks one.
const NativeCalls* Native();

// The native calls a test may stand in for: Wine answers the POSIX
// disposition with "not implemented" alone, has no oplocks and makes no
// reparse tags, so tests play volumes that answer otherwise. Null puts
// ntdll's back; either way every volume's answer is forgotten.
void ReplaceFileCallsForTest(SetFileInformationCall setInformation, QueryVolumeCall queryVolume,
                             OpenFileCall openFile = nullptr,
                             QueryDirectoryCall queryDirectory = nullptr);

const NTSTATUS kStatusOplockBreakInProgress = static_cast<NTSTATUS>(0x00000108L);
const NTSTATUS kStatusBufferOverflow = static_cast<NTSTATUS>(0x80000005L);
const NTSTATUS kStatusNoMoreFiles = static_cast<NTSTATUS>(0x80000006L);
const NTSTATUS kStatusNotImplemented = static_cast<NTSTATUS>(0xC0000002L);
const NTSTATUS kStatusInvalidInfoClass = static_cast<NTSTATUS>(0xC0000003L);
const NTSTATUS kStatusInvalidParameter = static_cast<NTSTATUS>(0xC000000DL);
const NTSTATUS kStatusAccessDenied = static_cast<NTSTATUS>(0xC0000022L);
const NTSTATUS kStatusSharingViolation = static_cast<NTSTATUS>(0xC0000043L);
const NTSTATUS kStatusDeletePending = static_cast<NTSTATUS>(0xC0000056L);
const NTSTATUS kStatusNameNotFound = static_cast<NTSTATUS>(0xC0000034L);
const NTSTATUS kStatusCannotDelete = static_cast<NTSTATUS>(0xC0000121L);
const NTSTATUS kStatusInvalidDeviceRequest = static_cast<NTSTATUS>(0xC0000010L);
const NTSTATUS kStatusNotSupported = static_cast<NTSTATUS>(0xC00000BBL);
const NTSTATUS kStatusInvalidLevel = static_cast<NTSTATUS>(0xC0000148L);

// ERROR_OPLOCK_BREAK_IN_PROGRESS, which the headers lack.
const DWORD kErrorOplockBreakInProgress = 742;

// Marked for deletion elsewhere, or gone since it was listed: another
// program let a name marked for deletion go in between.
bool IsGoneAlready(NTSTATUS status);

// Sets the last error from a native status; false unless it is a success.
// An open that completed while someone else's oplock is broken is none:
// OpenRelative has closed it.
bool Succeeded(NTSTATUS status);

// Opens name relative to the folder handle root; the entry itself, even
// when it is a reparse point. An open that would break someone else's
// oplock waits, unbounded, for its holder to let go unless it asks to
// complete at once; it then answers STATUS_OPLOCK_BREAK_IN_PROGRESS, and
// the handle is closed here, doing nothing (the documented contract of
// FILE_COMPLETE_IF_OPLOCKED; Wine has no oplocks).
NTSTATUS OpenRelative(HANDLE root, const wchar_t* name, DWORD access, DWORD sharing, ULONG options,
                      HANDLE* opened);

NTSTATUS SetInformation(HANDLE handle, void* information, ULONG size, FILE_INFORMATION_CLASS kind);

// Which disposition a volume takes. The answer is the file system's (and
// the system's), so each volume is asked once per run: a run works on
// several, the system drive, a redirected folder on a server, another disk.
// kPosixKeepingReadOnly: the POSIX one, without the flag that ignores
// read-only (Windows 10 1607 to 1803).
enum class Disposition { kUntried, kPosix, kPosixKeepingReadOnly, kLegacy };

struct VolumeAnswer {
    ULONG serial;
    LARGE_INTEGER created;  // with the serial, tells volumes apart
    Disposition disposition;
};

// The answer slot of the volume handle is on.
VolumeAnswer* AnswerOf(HANDLE handle);

// Marks what handle holds for deletion. The POSIX disposition (Windows 10
// 1607 on, NTFS) takes the name away at once, even while another program
// holds the file open with FILE_SHARE_DELETE; the old one leaves the name,
// and so a folder that cannot go, until the last handle closes. Volumes
// that lack the new class get the old one from then on.
// ignoreReadOnly lets a read-only file go too, where Windows can (1809 on).
NTSTATUS MarkForDeletion(HANDLE handle, bool ignoreReadOnly, VolumeAnswer* volume);
NTSTATUS MarkForDeletion(HANDLE handle, bool ignoreReadOnly);

// Clears the read-only attribute, as the shell does before it deletes,
// keeping the others (as attributes tells them).
bool ClearReadOnly(HANDLE handle, DWORD attributes);

// Puts back the attributes a failed deletion cleared, keeping its error.
void PutBackAttributes(HANDLE handle, DWORD attributes);

// Another name may lead to the same file: a hard link a user made to
// something they may not change. Unknown counts as yes.
bool HasOtherNames(HANDLE handle);

// What handle holds is a link itself: a reparse point with a name
// surrogate's tag.
bool IsOpenedLink(HANDLE handle);
