// Tells the entries of a folder's listing apart: "." and "..", and links
// from what they hold.
#pragma once

#include <windows.h>

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
