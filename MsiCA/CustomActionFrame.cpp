#include "CustomActionFrame.h"
#include "trace/CTrace.h"
#include "util/GuardedCall.h"

namespace
{
// The trace may send lines into the installer's log only while the action runs.
struct InstallHandleScope
{
    explicit InstallHandleScope(MSIHANDLE install) { g_Trace.SetInstallHandle(install); }
    ~InstallHandleScope() { g_Trace.SetInstallHandle(0); }
    InstallHandleScope(const InstallHandleScope&) = delete;
    InstallHandleScope& operator=(const InstallHandleScope&) = delete;
};
} // namespace

UINT RunCustomAction(const wchar_t* entryText, MSIHANDLE install, ActionBody body, UINT resultOnFault)
{
    InstallHandleScope installLog(install);
    TRACE(2, MSICA_TAG L"%s", entryText);
    volatile UINT result = resultOnFault;
    const DWORD fault = Guarded([&] { result = body(install); });
    if (fault != 0)
    {
        TRACE(1, MSICA_TAG L"## ERROR 0x%X! Exception in %s - action abandoned (result %u)!\n", fault,
              entryText, resultOnFault);
        return resultOnFault;
    }
    return result;
}
