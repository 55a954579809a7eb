#include "CustomActionFrame.h"
#include "CustomActions.h"

// Driver registration and removal. The frame is in place; the steps arrive with the
// driver installers.

namespace
{
UINT RegDriver(MSIHANDLE)
{
    return 0;
}

UINT UnregDriver(MSIHANDLE)
{
    return 0;
}

UINT RestartMicrosoftIpmi(MSIHANDLE)
{
    return 0;
}

UINT Halb2DriverInstall(MSIHANDLE)
{
    return 0;
}

UINT Halb2DriverRemove(MSIHANDLE)
{
    return 0;
}
} // namespace

UINT __stdcall vrxCA_RegDriver(MSIHANDLE install)
{
    return RunCustomAction(L"vrxCA_RegDriver", install, RegDriver);
}

UINT __stdcall vrxCA_UnregDriver(MSIHANDLE install)
{
    return RunCustomAction(L"vrxCA_UnregDriver", install, UnregDriver);
}

UINT __stdcall moraCA_RestartMicrosoftIpmi(MSIHANDLE install)
{
    return RunCustomAction(L"moraCA_RestartMicrosoftIpmi", install, RestartMicrosoftIpmi);
}

UINT __stdcall moraCA_Halb2DriverInstall(MSIHANDLE install)
{
    return RunCustomAction(L"moraCA_Halb2DriverInstall", install, Halb2DriverInstall,
                           ERROR_UNHANDLED_EXCEPTION);
}

UINT __stdcall moraCA_Halb2DriverRemove(MSIHANDLE install)
{
    return RunCustomAction(L"moraCA_Halb2DriverRemove", install, Halb2DriverRemove);
}
