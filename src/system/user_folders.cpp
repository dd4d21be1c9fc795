#include "system/user_folders.h"

#include <shlobj.h>

#include "system/special_folders.h"

bool HoldInteractiveUserFolder(int csidl, const wchar_t* suffix, bool removable, HeldFolder& held,
                               wchar_t* path)
{
    bool found = csidl == CSIDL_LOCAL_APPDATA ? InteractiveUserLocalAppDataPath(path, suffix)
                                               : InteractiveUserAppDataPath(path, suffix);
    return found && held.Hold(path, removable);
}
