// Functions that some Windows versions lack (or that no import library
// offers), looked up at run time in a system DLL every process has loaded.
#pragma once

#include <windows.h>

// The export, or null where the module or the function is missing.
template <typename Fn>
Fn LookUpExport(const wchar_t* module, const char* name)
{
    HMODULE handle = GetModuleHandleW(module);
    if (handle == nullptr)
        return nullptr;
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(handle, name)));
}
