// ca_host EXPORT: loads MsiCA.dll and calls the export named on its command line with
// installation handle 0, like a custom-action host whose action needs no installer property.
// Exit code: the export's result, 0xFFFF when something was missing.
#include <windows.h>
#include <msi.h>
#include <string>

int wmain(int argc, wchar_t** argv)
{
    const HMODULE module = LoadLibraryW(L"MsiCA.dll");
    const std::wstring name = argc > 1 ? argv[1] : L"";
    using Export = UINT(__stdcall*)(MSIHANDLE);
    const auto action = reinterpret_cast<Export>(
        reinterpret_cast<void*>(GetProcAddress(module, std::string(name.begin(), name.end()).c_str())));
    const UINT result = action ? action(0) : 0xFFFF;
    FreeLibrary(module);
    return static_cast<int>(result);
}
