// ca_host: loads MsiCA.dll and calls the exports named on its command line with installation
// handle 0, like a custom-action host whose actions need no installer property. Exit code:
// the last export's result, 0xFFFF when something was missing.
#include <windows.h>
#include <msi.h>
#include <string>

int wmain(int argc, wchar_t** argv)
{
    const HMODULE module = LoadLibraryW(L"MsiCA.dll");
    UINT result = module ? 0 : 0xFFFF;
    for (int i = 1; i < argc && result != 0xFFFF; ++i)
    {
        const std::wstring wide = argv[i];
        using Export = UINT(__stdcall*)(MSIHANDLE);
        auto action = reinterpret_cast<Export>(
            reinterpret_cast<void*>(GetProcAddress(module, std::string(wide.begin(), wide.end()).c_str())));
        result = action ? action(0) : 0xFFFF;
    }
    FreeLibrary(module);
    return static_cast<int>(result);
}
