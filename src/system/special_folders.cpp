#include "system/special_folders.h"

#include <shlobj.h>

#include "system/bounded_string.h"
#include "system/handles.h"

namespace {

// The folder csidl of user's token, no trailing backslash; empty when
// there is none.
void GetUserFolder(const InteractiveUser& user, int csidl, wchar_t* buffer)
{
    buffer[0] = L'\0';
    if (!user.token.IsValid())
        return;
    wchar_t path[kPathUnits] = L"";
    if (SUCCEEDED(SHGetFolderPathW(nullptr, csidl, user.token.Get(), SHGFP_TYPE_CURRENT, path)))
        BoundedFormat(buffer, kPathUnits, L"%s", path);
}

DWORD GetInteractiveUserFolder(wchar_t* buffer, int csidl)
{
    InteractiveUser user;
    DWORD status = OpenInteractiveUserToken(user.token);
    GetUserFolder(user, csidl, buffer);
    return status;
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

bool UserFolderPath(const InteractiveUser& user, int csidl, const wchar_t* suffix, wchar_t* folder)
{
    GetUserFolder(user, csidl, folder);
    return folder[0] != L'\0' && BoundedAppend(folder, kPathUnits, suffix) == kStringOk;
}
