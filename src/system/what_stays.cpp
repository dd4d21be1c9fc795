#include "system/what_stays.h"

#include <cwchar>

#include "system/handles.h"
#include "system/native_files.h"
#include "system/registry_path.h"
#include "system/system_exports.h"

namespace {

const wchar_t* ReasonText(StayReason why)
{
    switch (why) {
    case StayReason::kNone:
        break;
    case StayReason::kInUse:
        return L"in use by another program";
    case StayReason::kAccessDenied:
        return L"access denied";
    case StayReason::kTooDeep:
        return L"too deep";
    case StayReason::kTooManySubkeys:
        return L"more subkeys than one run deletes";
    case StayReason::kLinkInside:
        return L"a link inside that could not be deleted";
    case StayReason::kKeptFilling:
        return L"another program kept adding to it";
    case StayReason::kOtherUser:
        return L"installed for another user";
    case StayReason::kEarlierFailure:
        return L"kept because an earlier removal failed";
    case StayReason::kStillInstalled:
        return L"still installed after the installer's answer";
    }
    return nullptr;
}

bool PathStillThere(const wchar_t* path, const wchar_t*)
{
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

const wchar_t kMachinePrefix[] = L"HKEY_LOCAL_MACHINE\\";
const wchar_t kUsersPrefix[] = L"HKEY_USERS\\";

// A key by the full path NoteKey gave it, in the native view: the path is
// the key's real one, past any redirection.
bool KeyStillThere(const wchar_t* path, const wchar_t*)
{
    HKEY root = HKEY_LOCAL_MACHINE;
    const wchar_t* rest = path + lstrlenW(kMachinePrefix);
    if (wcsncmp(path, kUsersPrefix, lstrlenW(kUsersPrefix)) == 0) {
        root = HKEY_USERS;
        rest = path + lstrlenW(kUsersPrefix);
    }
    RegKey key;
    return OpenKeyWithoutLinks(root, rest, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key) == ERROR_SUCCESS;
}

typedef LONG(NTAPI* QueryKeyFn)(HANDLE, int, PVOID, ULONG, PULONG);
const int kKeyNameInformation = 3;

// The key's name as the system holds it ("\REGISTRY\MACHINE\SOFTWARE\..."),
// written with the root spelled out; false when it cannot be told.
bool KernelKeyName(HKEY key, wchar_t* name, size_t units)
{
    QueryKeyFn queryKey = LookUpExport<QueryKeyFn>(L"ntdll", "NtQueryKey");
    alignas(8) BYTE buffer[sizeof(ULONG) + 2 * kPathUnits * sizeof(wchar_t)];
    ULONG length = 0;
    if (queryKey == nullptr || queryKey(key, kKeyNameInformation, buffer, sizeof(buffer), &length) < 0)
        return false;
    const ULONG bytes = *reinterpret_cast<const ULONG*>(buffer);
    const wchar_t* text = reinterpret_cast<const wchar_t*>(buffer + sizeof(ULONG));
    const size_t textUnits = bytes / sizeof(wchar_t);
    const struct {
        const wchar_t* kernel;
        const wchar_t* root;
    } roots[] = {{L"\\REGISTRY\\MACHINE\\", kMachinePrefix}, {L"\\REGISTRY\\USER\\", kUsersPrefix}};
    for (const auto& root : roots) {
        const size_t prefix = lstrlenW(root.kernel);
        if (textUnits < prefix || _wcsnicmp(text, root.kernel, prefix) != 0)
            continue;
        size_t rootUnits = lstrlenW(root.root);
        if (rootUnits + textUnits - prefix >= units)
            return false;
        lstrcpyW(name, root.root);
        CopyMemory(name + rootUnits, text + prefix, (textUnits - prefix) * sizeof(wchar_t));
        name[rootUnits + textUnits - prefix] = L'\0';
        return true;
    }
    return false;
}

// The run's own user's keys are written as HKEY_CURRENT_USER, their
// classes as HKEY_CURRENT_USER\Software\Classes (a hive of its own).
void WriteAsCurrentUser(const wchar_t* full, wchar_t* what, size_t units)
{
    BoundedCopy(what, units, full);
    RegKey current;
    wchar_t user[2 * kPathUnits];
    if (RegOpenCurrentUser(KEY_QUERY_VALUE, current.Receive()) != ERROR_SUCCESS ||
        !KernelKeyName(current.Get(), user, 2 * kPathUnits))
        return;
    const size_t length = lstrlenW(user);
    if (_wcsnicmp(full, user, length) != 0)
        return;
    const wchar_t* rest = full + length;
    const wchar_t* root = L"HKEY_CURRENT_USER";
    if (_wcsnicmp(rest, L"_Classes", 8) == 0) {
        root = L"HKEY_CURRENT_USER\\Software\\Classes";
        rest += 8;
    }
    if (*rest == L'\0' || *rest == L'\\')
        BoundedFormat(what, units, L"%s%s", root, rest);
}

}  // namespace

StayReason StayReasonOfError(DWORD error)
{
    switch (error) {
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case kErrorOplockBreakInProgress:
        return StayReason::kInUse;
    case ERROR_ACCESS_DENIED:
        return StayReason::kAccessDenied;
    default:
        return StayReason::kNone;
    }
}

void KeepFirstReason(StayReason* kept, StayReason why)
{
    if (kept != nullptr && *kept == StayReason::kNone)
        *kept = why;
}

void WhatStays::Note(const wchar_t* what, StayReason why, StillThereProbe probe,
                     const wchar_t* target, const wchar_t* extra)
{
    for (size_t i = 0; i < count_; ++i) {
        if (lstrcmpiW(traces_[i].what, what) == 0) {
            KeepFirstReason(&traces_[i].why, why);
            return;
        }
    }
    if (count_ == kMaxTraces)
        return;
    Trace& trace = traces_[count_++];
    BoundedCopy(trace.what, 2 * kPathUnits, what);
    BoundedCopy(trace.target, 2 * kPathUnits, target);
    BoundedCopy(trace.extra, kPathUnits, extra != nullptr ? extra : L"");
    trace.why = why;
    trace.probe = probe;
}

void WhatStays::NotePath(const wchar_t* path, StayReason why)
{
    wchar_t trimmed[kPathUnits + 1];
    if (BoundedCopy(trimmed, kPathUnits + 1, path) != kStringOk)
        return;
    TrimTrailingBackslashes(trimmed);
    Note(trimmed, why, PathStillThere, trimmed);
}

void WhatStays::NoteKey(HKEY parent, const wchar_t* name, StayReason why)
{
    wchar_t full[2 * kPathUnits];
    if (!KernelKeyName(parent, full, 2 * kPathUnits) ||
        BoundedAppend(full, 2 * kPathUnits, L"\\") != kStringOk ||
        BoundedAppend(full, 2 * kPathUnits, name) != kStringOk)
        return;
    wchar_t what[2 * kPathUnits];
    WriteAsCurrentUser(full, what, 2 * kPathUnits);
    Note(what, why, KeyStillThere, full);
}

bool WhatStays::LineIfStill(size_t i, wchar_t* line, size_t units) const
{
    const Trace& trace = traces_[i];
    if (!trace.probe(trace.target, trace.extra))
        return false;
    const wchar_t* reason = ReasonText(trace.why);
    if (reason == nullptr)
        BoundedFormat(line, units, L"Not removed: %s", trace.what);
    else
        BoundedFormat(line, units, L"Not removed: %s (%s)", trace.what, reason);
    return true;
}
