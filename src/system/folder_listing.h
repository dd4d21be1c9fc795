// Lists the entries of one folder, "." and ".." excepted, and tells links
// from what they hold.
#pragma once

#include <windows.h>

#include "system/bounded_string.h"
#include "system/handles.h"
#include "system/responsiveness.h"

inline bool IsDotEntry(const wchar_t* name)
{
    return lstrcmpiW(name, L".") == 0 || lstrcmpiW(name, L"..") == 0;
}

// A link is a reparse point that names something elsewhere: a symbolic
// link or a junction (a name surrogate), or one of Wine's symbolic links,
// which show no tag at all. Other reparse files (deduplicated, cloud
// placeholders) are ordinary files. A reparse folder is never entered: we
// cannot tell what listing it would do, so it counts as a link too.
inline bool IsLinkEntry(DWORD attributes, DWORD reparseTag)
{
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        return false;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return true;
    return reparseTag == 0 || IsReparseTagNameSurrogate(reparseTag);
}

inline bool IsLinkEntry(const WIN32_FIND_DATAW& found)
{
    return IsLinkEntry(found.dwFileAttributes, found.dwReserved0);
}

// Only these mean "nothing there"; any other failure to look is a failure.
inline bool IsNotFound(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Calls visit for every entry of folder that the pattern format ("%s\\*"
// or "%s\\*.*") lists; visit returns false to end the listing early.
// True when every entry was visited or the folder is not there; false when
// the pattern does not fit, the listing failed or visit ended it.
template <typename Visit>
bool ForEachEntry(const wchar_t* folder, const wchar_t* format, Visit visit)
{
    wchar_t pattern[kPathUnits];
    if (BoundedFormat(pattern, kPathUnits, format, folder) != kStringOk)
        return false;
    WIN32_FIND_DATAW found;
    FindHandle search(FindFirstFileW(pattern, &found));
    if (!search.IsValid())
        return IsNotFound(GetLastError());
    do {
        KeepResponsive();
        if (!IsDotEntry(found.cFileName) && !visit(found))
            return false;
    } while (FindNextFileW(search.Get(), &found));
    return GetLastError() == ERROR_NO_MORE_FILES;
}
