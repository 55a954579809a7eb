#include "CustomActionFrame.h"
#include "CInstallerProgress.h"
#include "trace/CTrace.h"
#include "util/CProgressReport.h"
#include "util/GuardedCall.h"
#include <optional>

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

UINT RunGuarded(const wchar_t* entryText, MSIHANDLE install, ActionBody body, UINT resultOnFault)
{
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
} // namespace

UINT RunCustomAction(const wchar_t* entryText, const wchar_t* subject, MSIHANDLE install, ActionBody body,
                     UINT resultOnFault)
{
    InstallHandleScope installLog(install);
    TRACE(2, MSICA_TAG L"%s", entryText);
    // Without an installer (the tool, a test's host) nothing is sent.
    std::optional<CInstallerProgress> progress;
    if (install != 0)
    {
        progress.emplace(install, subject);
    }
    const CProgressReport::Scope reporting(progress ? &*progress : nullptr);
    const UINT result = RunGuarded(entryText, install, body, resultOnFault);
    if (!progress)
    {
        return result;
    }
    progress->Finish();
    if (progress->StopRequested())
    {
        TRACE(1, MSICA_TAG L"WARNING! %s cancelled by the user (result %u)", entryText,
              ERROR_INSTALL_USEREXIT);
        return ERROR_INSTALL_USEREXIT;
    }
    return result;
}
