#include "CustomActionFrame.h"
#include "trace/CTrace.h"

// g_Trace is constructed by static initialisation before this sees the attach and
// destroyed after it has seen the detach.
BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
    {
        TRACE(2, MSICA_TAG L"DllMain: DLL_PROCESS_ATTACH");
        DisableThreadLibraryCalls(module);
    }
    else if (reason == DLL_PROCESS_DETACH)
    {
        TRACE(2, MSICA_TAG L"DllMain: DLL_PROCESS_DETACH");
    }
    return TRUE;
}
