// Lists the entries of one folder, "." and ".." excepted.
#pragma once

#include <windows.h>

#include "system/bounded_string.h"
#include "system/handles.h"
#include "system/responsiveness.h"

inline bool IsDotEntry(const wchar_t* name)
{
    return lstrcmpiW(name, L".") == 0 || lstrcmpiW(name, L"..") == 0;
}

// Calls visit for every entry of folder that the pattern format ("%s\\*"
// or "%s\\*.*") lists; visit returns false to end the listing early.
// Nothing is listed when the pattern does not fit or the search cannot
// start.
template <typename Visit>
void ForEachEntry(const wchar_t* folder, const wchar_t* format, Visit visit)
{
    wchar_t pattern[kPathUnits];
    if (BoundedFormat(pattern, kPathUnits, format, folder) != kStringOk)
        return;
    WIN32_FIND_DATAW found;
    FindHandle search(FindFirstFileW(pattern, &found));
    if (!search.IsValid())
        return;
    do {
        KeepResponsive();
        if (!IsDotEntry(found.cFileName) && !visit(found))
            return;
    } while (FindNextFileW(search.Get(), &found));
}
