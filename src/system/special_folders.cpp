#include "system/special_folders.h"

#include <shlobj.h>
#include <tlhelp32.h>

#include "system/bounded_string.h"
#include "system/handles.h"
#include "system/heap_buffer.h"

namespace {

const DWORD kOwnerBufferBytes = 16 * 1024;

// SHGetFolderPathW impersonates the token and reads its profile's
// environment: it needs query, impersonate and duplicate rights.
const DWORD kUserTokenAccess = TOKEN_QUERY | TOKEN_IMPERSONATE | TOKEN_DUPLICATE;

// Reads the token's owner; tells whether the token could be queried.
bool ReadTokenOwner(HANDLE token)
{
    HeapBuffer<BYTE> owner(kOwnerBufferBytes);
    DWORD needed = 0;
    return owner.Get() != nullptr &&
           GetTokenInformation(token, TokenOwner, owner.Get(), kOwnerBufferBytes, &needed) != 0;
}

// Resolves the folder through the token of one explorer.exe process.
bool FolderOfProcess(DWORD processId, int csidl, wchar_t* buffer)
{
    UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId));
    if (!process.IsValid())
        return false;
    UniqueHandle token;
    if (!OpenProcessToken(process.Get(), kUserTokenAccess, token.Receive()))
        return false;
    if (!ReadTokenOwner(token.Get()))
        return false;
    wchar_t path[kPathUnits] = L"";
    if (SUCCEEDED(SHGetFolderPathW(nullptr, csidl, token.Get(), SHGFP_TYPE_CURRENT, path)))
        BoundedFormat(buffer, kPathUnits, L"%s", path);
    return true;
}

DWORD GetInteractiveUserFolder(wchar_t* buffer, int csidl)
{
    buffer[0] = L'\0';
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.IsValid())
        return GetLastError();

    // Only a token of our own that cannot be opened stops the search.
    UniqueHandle ownToken;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, ownToken.Receive()))
        return 0;

    PROCESSENTRY32W entry;
    ZeroMemory(&entry, sizeof(entry));
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more;
         more = Process32NextW(snapshot.Get(), &entry)) {
        if (lstrcmpiW(entry.szExeFile, L"explorer.exe") != 0)
            continue;
        if (FolderOfProcess(entry.th32ProcessID, csidl, buffer))
            break;
    }
    return 0;
}

}  // namespace

DWORD GetSpecialFolderPath(wchar_t* buffer, int csidl)
{
    SetLastError(0);
    if (!SHGetSpecialFolderPathW(nullptr, buffer, csidl, FALSE)) {
        // The shell does not always set an error; a failure must not read
        // as success.
        DWORD error = GetLastError();
        return error != 0 ? error : ERROR_PATH_NOT_FOUND;
    }
    size_t length = 0;
    BoundedLength(buffer, kPathUnits, &length);
    if (length > 0 && buffer[length - 1] == L'\\')
        return 0;
    // A folder cut short of its backslash would join into the wrong path.
    if (BoundedAppend(buffer, kPathUnits, L"\\") != kStringOk)
        return ERROR_INSUFFICIENT_BUFFER;
    return 0;
}

DWORD GetInteractiveUserAppData(wchar_t* buffer)
{
    return GetInteractiveUserFolder(buffer, CSIDL_APPDATA);
}

DWORD GetInteractiveUserLocalAppData(wchar_t* buffer)
{
    return GetInteractiveUserFolder(buffer, CSIDL_LOCAL_APPDATA);
}

namespace {

bool WithSuffix(wchar_t* folder, const wchar_t* suffix)
{
    return folder[0] != L'\0' && BoundedAppend(folder, kPathUnits, suffix) == kStringOk;
}

}  // namespace

bool InteractiveUserAppDataPath(wchar_t* folder, const wchar_t* suffix)
{
    GetInteractiveUserAppData(folder);
    return WithSuffix(folder, suffix);
}

bool InteractiveUserLocalAppDataPath(wchar_t* folder, const wchar_t* suffix)
{
    GetInteractiveUserLocalAppData(folder);
    return WithSuffix(folder, suffix);
}
