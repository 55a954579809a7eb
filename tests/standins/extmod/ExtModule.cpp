// Stand-in extension module; the variant is chosen at compile time: EM_RESULT=n returns n,
// EM_FAULT raises an access violation, EM_THROW throws a C++ exception, EM_NO_ENTRY has no
// EM_SetupAction. Appends to "<own file name>.codes" beside itself "+" when loaded, "<code>;"
// per call and "-" when freed: "+1;-" is one call with code 1 (codes below 10) and a free.
#include <windows.h>
#include <stdexcept>

static wchar_t g_record[MAX_PATH + 8];

static void Record(const char* text)
{
    HANDLE file = CreateFileW(g_record, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
    DWORD written;
    WriteFile(file, text, lstrlenA(text), &written, nullptr);
    CloseHandle(file);
}

#ifndef EM_NO_ENTRY
extern "C" __declspec(dllexport) BYTE EM_SetupAction(DWORD code)
{
    const char text[] = {char('0' + code % 10), ';', 0};
    Record(text);
#ifdef EM_FAULT
    *static_cast<volatile int*>(nullptr) = 1;
#elif defined(EM_THROW)
    throw std::runtime_error("stand-in module failure");
#endif
    return EM_RESULT;
}
#endif

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
    {
        lstrcpyW(g_record + GetModuleFileNameW(instance, g_record, MAX_PATH), L".codes");
    }
    Record(reason == DLL_PROCESS_ATTACH ? "+" : reason == DLL_PROCESS_DETACH ? "-" : "");
    return TRUE;
}
