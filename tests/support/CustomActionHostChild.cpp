// ca_host: loads MsiCA.dll (or the DLL named by --dll) and calls the exports named on its
// command line with installation handle 0, like a custom-action host whose actions need
// no installer property. Exit code: the last export's result, 0xFFFF when something was
// missing.
#include <windows.h>
#include <msi.h>
#include <string>

int wmain(int argc, wchar_t** argv)
{
    std::wstring dll = L"MsiCA.dll";
    int first = 1;
    if (argc > 2 && std::wstring(argv[1]) == L"--dll")
    {
        dll = argv[2];
        first = 3;
    }
    HMODULE module = LoadLibraryW(dll.c_str());
    if (!module)
        return 0xFFFF;
    UINT result = 0;
    for (int i = first; i < argc; ++i)
    {
        const std::wstring wide = argv[i];
        const std::string name(wide.begin(), wide.end());
        using Export = UINT(__stdcall*)(MSIHANDLE);
        auto action = reinterpret_cast<Export>(reinterpret_cast<void*>(GetProcAddress(module, name.c_str())));
        if (!action)
        {
            FreeLibrary(module);
            return 0xFFFF;
        }
        result = action(0);
    }
    FreeLibrary(module);
    return static_cast<int>(result);
}
