#pragma once
#include <windows.h>

// GetProcAddress typed as the function it finds (null when the module lacks it).
template <class Function>
Function GetProcAddressAs(HMODULE module, const char* name)
{
    if (!module)
    {
        return nullptr;
    }
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}
