// Stand-in extension module; the variant is chosen at compile time: EM_RESULT=n returns n,
// EM_FAULT raises an access violation, EM_THROW throws a C++ exception, EM_NO_ENTRY has no
// EM_SetupAction. Each call appends "<code>;" to "<own file name>.codes"
// beside the DLL, so a test copies the DLL under a module's name and reads what it received.
#include <windows.h>
#include <fstream>

extern "C" IMAGE_DOS_HEADER __ImageBase;

#ifndef EM_NO_ENTRY
extern "C" __declspec(dllexport) BYTE EM_SetupAction(DWORD code)
{
    wchar_t path[MAX_PATH + 8];
    lstrcpyW(path + GetModuleFileNameW(reinterpret_cast<HMODULE>(&__ImageBase), path, MAX_PATH), L".codes");
    std::ofstream(path, std::ios::app) << code << ';';
#ifdef EM_FAULT
    *static_cast<volatile int*>(nullptr) = 1;
#elif defined(EM_THROW)
    throw 1;
#endif
    return EM_RESULT;
}
#endif
