#include "CustomActionFrame.h"
#include "trace/CTrace.h"

// g_Trace is constructed by static initialisation before this sees the attach and
// destroyed after it has seen the detach.
BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
    {
        g_Trace.SetInLoaderLock(true);
        TRACE(2, MSICA_TAG L"DllMain: DLL_PROCESS_ATTACH");
        DisableThreadLibraryCalls(module);
        g_Trace.SetInLoaderLock(false);
    }
    else if (reason == DLL_PROCESS_DETACH)
    {
        g_Trace.SetInLoaderLock(true); // until static termination has destroyed the trace
        TRACE(2, MSICA_TAG L"DllMain: DLL_PROCESS_DETACH");
    }
    return TRUE;
}
