// Windows' own libraries, loaded from the system folder alone: a library
// of the same name beside the program (in Downloads, on a share) never
// runs inside it.
#pragma once

#include <windows.h>

// Takes the program's folder and the current folder out of the process's
// library search; the first thing the program does. Where Windows cannot
// narrow it to the system folder, the libraries Windows' own load by name
// later are loaded from the system folder right away.
void RestrictLibrarySearch();

// A library of Windows' own from the system folder, kept loaded for the
// life of the process; null when it cannot be loaded from there.
HMODULE LoadSystemLibrary(const wchar_t* name);

// Looks a function of library up into *function; false when it is missing.
template <typename Fn>
bool LookUpFunction(HMODULE library, const char* name, Fn* function)
{
    *function = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(library, name)));
    return *function != nullptr;
}

// Makes SetDefaultDllDirectories look missing, as on Windows XP, Vista and
// 7 without the update that brought it; Wine always has it.
void PretendNoSearchFlagsForTest(bool pretend);
