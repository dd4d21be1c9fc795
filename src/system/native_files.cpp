#include "system/native_files.h"

#include "system/system_exports.h"

namespace {

NativeCalls gNative;
bool gNativeLoaded = false;

const size_t kVolumesKept = 16;
VolumeAnswer gVolumes[kVolumesKept];
size_t gVolumeCount = 0;
VolumeAnswer gUnkeptVolume;  // one that cannot be told or kept: asked each time

const FILE_INFORMATION_CLASS kFileDispositionInformationEx = static_cast<FILE_INFORMATION_CLASS>(64);
const ULONG kDispositionDelete = 0x1;
const ULONG kDispositionPosixSemantics = 0x2;
const ULONG kDispositionForceImageSectionCheck = 0x4;
const ULONG kDispositionIgnoreReadOnly = 0x10;

// How a volume says that it lacks the new class or one of its flags: older
// Windows and Wine 8, the network redirector and other file systems,
// some servers.
bool LacksPosixDisposition(NTSTATUS status)
{
    return status == kStatusInvalidInfoClass || status == kStatusNotImplemented ||
           status == kStatusInvalidParameter || status == kStatusNotSupported ||
           status == kStatusInvalidDeviceRequest || status == kStatusInvalidLevel;
}

// Sets the attributes of what handle holds that a program may set, as
// attributes lists them, leaving its times as they are.
bool SetAttributes(HANDLE handle, DWORD attributes)
{
    const DWORD settable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                           FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY |
                           FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    FILE_BASIC_INFORMATION basic;
    ZeroMemory(&basic, sizeof(basic));  // zero times: left as they are
    basic.FileAttributes = attributes & settable;
    if (basic.FileAttributes == 0)
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    return Succeeded(SetInformation(handle, &basic, sizeof(basic), FileBasicInformation));
}

}  // namespace

const NativeCalls* Native()
{
    if (!gNativeLoaded) {
        gNative.openFile = LookUpExport<OpenFileCall>(L"ntdll", "NtOpenFile");
        gNative.queryDirectory = LookUpExport<QueryDirectoryCall>(L"ntdll", "NtQueryDirectoryFile");
        gNative.setInformation = LookUpExport<SetFileInformationCall>(L"ntdll", "NtSetInformationFile");
        gNative.queryInformation =
            LookUpExport<QueryInformationFn>(L"ntdll", "NtQueryInformationFile");
        gNative.queryVolume = LookUpExport<QueryVolumeCall>(L"ntdll", "NtQueryVolumeInformationFile");
        gNative.statusToError = LookUpExport<StatusToErrorFn>(L"ntdll", "RtlNtStatusToDosError");
        gNativeLoaded = true;
    }
    if (gNative.openFile == nullptr || gNative.queryDirectory == nullptr ||
        gNative.setInformation == nullptr || gNative.queryInformation == nullptr ||
        gNative.queryVolume == nullptr || gNative.statusToError == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return &gNative;
}

bool IsGoneAlready(NTSTATUS status)
{
    return status == kStatusDeletePending || status == kStatusNameNotFound;
}

bool Succeeded(NTSTATUS status)
{
    if (status == kStatusOplockBreakInProgress) {
        SetLastError(kErrorOplockBreakInProgress);
        return false;
    }
    if (status >= 0)
        return true;
    SetLastError(Native()->statusToError(status));
    return false;
}

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
    NTSTATUS status = Native()->openFile(opened, access | SYNCHRONIZE, &attributes, &io, sharing,
                                         options | FILE_OPEN_REPARSE_POINT |
                                             FILE_SYNCHRONOUS_IO_NONALERT |
                                             FILE_OPEN_FOR_BACKUP_INTENT | FILE_COMPLETE_IF_OPLOCKED);
    if (status == kStatusOplockBreakInProgress) {
        CloseHandle(*opened);
        *opened = nullptr;
    }
    return status;
}

NTSTATUS SetInformation(HANDLE handle, void* information, ULONG size, FILE_INFORMATION_CLASS kind)
{
    IO_STATUS_BLOCK io;
    return Native()->setInformation(handle, &io, information, size, kind);
}

VolumeAnswer* AnswerOf(HANDLE handle)
{
    BYTE buffer[sizeof(FILE_FS_VOLUME_INFORMATION) + 64 * sizeof(wchar_t)];
    FILE_FS_VOLUME_INFORMATION* volume = reinterpret_cast<FILE_FS_VOLUME_INFORMATION*>(buffer);
    IO_STATUS_BLOCK io;
    NTSTATUS status =
        Native()->queryVolume(handle, &io, volume, sizeof(buffer), FileFsVolumeInformation);
    gUnkeptVolume.disposition = Disposition::kUntried;
    // A label too long for the buffer still gives the serial and the time.
    if (status < 0 && status != kStatusBufferOverflow)
        return &gUnkeptVolume;
    for (size_t i = 0; i < gVolumeCount; ++i) {
        if (gVolumes[i].serial == volume->VolumeSerialNumber &&
            gVolumes[i].created.QuadPart == volume->VolumeCreationTime.QuadPart)
            return &gVolumes[i];
    }
    if (gVolumeCount == kVolumesKept)
        return &gUnkeptVolume;
    VolumeAnswer& added = gVolumes[gVolumeCount++];
    added.serial = volume->VolumeSerialNumber;
    added.created = volume->VolumeCreationTime;
    added.disposition = Disposition::kUntried;
    return &added;
}

NTSTATUS MarkForDeletion(HANDLE handle, bool ignoreReadOnly, VolumeAnswer* volume)
{
    if (volume->disposition != Disposition::kLegacy) {
        // The image check, as DeleteFileW asks it: Windows refuses a running
        // program's file (STATUS_CANNOT_DELETE) rather than unlink it.
        ULONG flags = kDispositionDelete | kDispositionPosixSemantics |
                      kDispositionForceImageSectionCheck;
        if (ignoreReadOnly && volume->disposition != Disposition::kPosixKeepingReadOnly)
            flags |= kDispositionIgnoreReadOnly;
        NTSTATUS status = SetInformation(handle, &flags, sizeof(flags), kFileDispositionInformationEx);
        // A flag it does not know is an invalid parameter: asked once more
        // without it, and from then on never with it, before the volume
        // counts as lacking the new class.
        if (status == kStatusInvalidParameter && (flags & kDispositionIgnoreReadOnly) != 0) {
            flags &= ~kDispositionIgnoreReadOnly;
            status = SetInformation(handle, &flags, sizeof(flags), kFileDispositionInformationEx);
            if (!LacksPosixDisposition(status))
                volume->disposition = Disposition::kPosixKeepingReadOnly;
        }
        if (!LacksPosixDisposition(status)) {
            if (volume->disposition == Disposition::kUntried)
                volume->disposition = Disposition::kPosix;
            return status;
        }
        volume->disposition = Disposition::kLegacy;
    }
    FILE_DISPOSITION_INFORMATION disposition;
    disposition.DoDeleteFile = TRUE;
    return SetInformation(handle, &disposition, sizeof(disposition), FileDispositionInformation);
}

NTSTATUS MarkForDeletion(HANDLE handle, bool ignoreReadOnly)
{
    return MarkForDeletion(handle, ignoreReadOnly, AnswerOf(handle));
}

bool ClearReadOnly(HANDLE handle, DWORD attributes)
{
    return SetAttributes(handle, attributes & ~FILE_ATTRIBUTE_READONLY);
}

bool HasOtherNames(HANDLE handle)
{
    FILE_STANDARD_INFORMATION standard;
    IO_STATUS_BLOCK io;
    return !Succeeded(Native()->queryInformation(handle, &io, &standard, sizeof(standard),
                                                 FileStandardInformation)) ||
           standard.NumberOfLinks > 1;
}

bool IsOpenedLink(HANDLE handle)
{
    struct {
        ULONG attributes;
        ULONG reparseTag;
    } tag;
    IO_STATUS_BLOCK io;
    const FILE_INFORMATION_CLASS kFileAttributeTagInformation =
        static_cast<FILE_INFORMATION_CLASS>(35);
    return Succeeded(Native()->queryInformation(handle, &io, &tag, sizeof(tag),
                                                kFileAttributeTagInformation)) &&
           (tag.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
           IsReparseTagNameSurrogate(tag.reparseTag);
}

void PutBackAttributes(HANDLE handle, DWORD attributes)
{
    const DWORD error = GetLastError();
    SetAttributes(handle, attributes);
    SetLastError(error);
}

void ReplaceFileCallsForTest(SetFileInformationCall setInformation, QueryVolumeCall queryVolume,
                             OpenFileCall openFile, QueryDirectoryCall queryDirectory)
{
    gNativeLoaded = false;
    Native();
    if (setInformation != nullptr)
        gNative.setInformation = setInformation;
    if (queryVolume != nullptr)
        gNative.queryVolume = queryVolume;
    if (openFile != nullptr)
        gNative.openFile = openFile;
    if (queryDirectory != nullptr)
        gNative.queryDirectory = queryDirectory;
    gVolumeCount = 0;
}
