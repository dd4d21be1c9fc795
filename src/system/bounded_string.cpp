#include "system/bounded_string.h"

#include <climits>
#include <cstdarg>
#include <cstdio>

namespace {

bool IsValidCapacity(size_t capacity)
{
    return capacity != 0 && capacity <= static_cast<size_t>(INT_MAX);
}

// Copies up to the room left and always terminates.
HRESULT CopyInto(wchar_t* dest, size_t room, const wchar_t* source)
{
    size_t i = 0;
    if (source != nullptr) {
        for (; i + 1 < room && source[i] != L'\0'; ++i)
            dest[i] = source[i];
    }
    dest[i] = L'\0';
    bool cut = source != nullptr && source[i] != L'\0';
    return cut ? kStringTruncated : kStringOk;
}

}  // namespace

HRESULT BoundedCopy(wchar_t* dest, size_t capacity, const wchar_t* source)
{
    if (dest == nullptr || !IsValidCapacity(capacity))
        return kStringInvalidArg;
    return CopyInto(dest, capacity, source);
}

HRESULT BoundedAppend(wchar_t* dest, size_t capacity, const wchar_t* source)
{
    if (dest == nullptr || !IsValidCapacity(capacity))
        return kStringInvalidArg;
    size_t used = 0;
    while (used < capacity && dest[used] != L'\0')
        ++used;
    if (used == capacity)
        return kStringInvalidArg;  // no terminator: append nothing
    return CopyInto(dest + used, capacity - used, source);
}

HRESULT BoundedFormat(wchar_t* dest, size_t capacity, const wchar_t* format, ...)
{
    if (dest == nullptr || !IsValidCapacity(capacity))
        return kStringInvalidArg;
    va_list args;
    va_start(args, format);
    // The C runtime's own _vsnwprintf: %s takes a wide string here.
    int written = _vsnwprintf(dest, capacity - 1, format, args);
    va_end(args);
    if (written < 0 || static_cast<size_t>(written) >= capacity - 1) {
        dest[capacity - 1] = L'\0';
        return (written >= 0 && static_cast<size_t>(written) == capacity - 1) ? kStringOk
                                                                              : kStringTruncated;
    }
    dest[written] = L'\0';
    return kStringOk;
}

HRESULT BoundedLength(const wchar_t* text, size_t bound, size_t* length)
{
    if (length != nullptr)
        *length = 0;
    if (text == nullptr || !IsValidCapacity(bound))
        return kStringInvalidArg;
    for (size_t i = 0; i < bound; ++i) {
        if (text[i] == L'\0') {
            if (length != nullptr)
                *length = i;
            return kStringOk;
        }
    }
    return kStringInvalidArg;
}

void TrimTrailingBackslashes(wchar_t* path)
{
    size_t length = lstrlenW(path);
    while (length > 3 && path[length - 1] == L'\\')
        path[--length] = L'\0';
}
