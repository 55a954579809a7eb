// Stand-in extension module. The variant is chosen at compile time:
//   EM_RESULT=n   EM_SetupAction returns n
//   EM_FAULT      it raises an access violation
//   EM_THROW      it throws a C++ exception
//   EM_NO_ENTRY   the DLL has no EM_SetupAction
// Every variant appends to "<its own file name without .dll>.codes" beside itself: "+" when
// loaded, the code of each call followed by ";", "-" when freed. A test copies the DLL under
// a module's name and reads that record: "+1;-" is one call with code 1, freed afterwards.
#include <windows.h>
#include <stdexcept>

namespace
{
wchar_t g_recordPath[MAX_PATH];

void Record(const char* text)
{
    HANDLE file = CreateFileW(g_recordPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
    {
        return;
    }
    DWORD written = 0;
    WriteFile(file, text, lstrlenA(text), &written, nullptr);
    CloseHandle(file);
}

void SetRecordPath(HINSTANCE instance)
{
    DWORD length = GetModuleFileNameW(instance, g_recordPath, MAX_PATH - 8);
    wchar_t* dot = wcsrchr(g_recordPath, L'.');
    if (length == 0 || !dot)
    {
        g_recordPath[0] = L'\0';
        return;
    }
    lstrcpyW(dot, L".codes");
}
} // namespace

#ifndef EM_NO_ENTRY
extern "C" __declspec(dllexport) BYTE EM_SetupAction(DWORD code)
{
    char text[16];
    char* end = text + sizeof text - 1;
    *end = '\0';
    *--end = ';';
    do
    {
        *--end = static_cast<char>('0' + code % 10);
        code /= 10;
    } while (code);
    Record(end);
#if defined(EM_FAULT)
    *static_cast<volatile int*>(nullptr) = 1;
    return 1;
#elif defined(EM_THROW)
    throw std::runtime_error("stand-in module failure");
#else
    return EM_RESULT;
#endif
}
#endif

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
    {
        SetRecordPath(instance);
        Record("+");
    }
    else if (reason == DLL_PROCESS_DETACH)
    {
        Record("-");
    }
    return TRUE;
}
