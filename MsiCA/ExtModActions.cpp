#include "CustomActionFrame.h"
#include "CustomActions.h"
#include "RunMode.h"
#include "trace/CTrace.h"

// The extension-module data actions. Each determines its run mode; the backup, restore and
// module calls arrive with the extension-module support.

namespace
{
UINT EMDataBackup(MSIHANDLE install)
{
    const int runMode = GetRunMode(install);
    TRACE(2, MSICA_TAG L"Setup run mode: %d", runMode);
    return 0;
}

UINT EMDataRestore(MSIHANDLE install)
{
    const int runMode = GetRunMode(install);
    TRACE(2, MSICA_TAG L"Setup run mode: %d", runMode);
    return 0;
}

UINT EMDataConvert(MSIHANDLE install)
{
    GetRunMode(install);
    return 0;
}

UINT EMDataCleanup(MSIHANDLE install)
{
    GetRunMode(install);
    return 0;
}
} // namespace

UINT __stdcall moraCA_EMDataBackup(MSIHANDLE install)
{
    return RunCustomAction(L"moraCA_EMDataBackup", install, EMDataBackup);
}

// The last three entry lines begin with a capital M, unlike their export names.
UINT __stdcall moraCA_EMDataRestore(MSIHANDLE install)
{
    return RunCustomAction(L"MoraCA_EMDataRestore", install, EMDataRestore);
}

UINT __stdcall moraCA_EMDataConvert(MSIHANDLE install)
{
    return RunCustomAction(L"MoraCA_EMDataConvert", install, EMDataConvert);
}

UINT __stdcall moraCA_EMDataCleanup(MSIHANDLE install)
{
    return RunCustomAction(L"MoraCA_EMDataCleanup", install, EMDataCleanup);
}
