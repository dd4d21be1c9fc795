#include "system/special_folders.h"

#include <shlobj.h>

#include "system/bounded_string.h"
#include "system/handles.h"
#include "system/interactive_user.h"

namespace {

DWORD GetInteractiveUserFolder(wchar_t* buffer, int csidl)
{
    buffer[0] = L'\0';
    UniqueHandle token;
    DWORD status = OpenInteractiveUserToken(token);
    if (!token.IsValid())
        return status;
    wchar_t path[kPathUnits] = L"";
    if (SUCCEEDED(SHGetFolderPathW(nullptr, csidl, token.Get(), SHGFP_TYPE_CURRENT, path)))
        BoundedFormat(buffer, kPathUnits, L"%s", path);
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
