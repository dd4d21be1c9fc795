// Bounded UTF-16 (and one 8-bit) string operations. Every path in the
// program is built with these: they truncate, never overrun.
#pragma once

#include <windows.h>

// Status values, as the Windows safe-string functions report them.
const HRESULT kStringOk = 0;
const HRESULT kStringInvalidArg = static_cast<HRESULT>(0x80070057);        // E_INVALIDARG
const HRESULT kStringTruncated = static_cast<HRESULT>(0x8007007A);        // insufficient buffer

const size_t kPathUnits = 260;  // MAX_PATH, terminator included

HRESULT BoundedCopy(wchar_t* dest, size_t capacity, const wchar_t* source);
HRESULT BoundedAppend(wchar_t* dest, size_t capacity, const wchar_t* source);
HRESULT BoundedFormat(wchar_t* dest, size_t capacity, const wchar_t* format, ...);
// Counts units before the terminator, looking no further than bound.
HRESULT BoundedLength(const wchar_t* text, size_t bound, size_t* length);
// Cuts the backslashes a folder path ends in, a drive root's own ("C:\")
// excepted.
void TrimTrailingBackslashes(wchar_t* path);
