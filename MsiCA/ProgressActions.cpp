#include "CInstallerProgress.h"
#include "CustomActionFrame.h"
#include "CustomActions.h"
#include "trace/CTrace.h"

// The immediate action that makes room on the installer's progress bar for the deferred
// actions of the library before the script runs.

namespace
{
UINT ReserveProgress(MSIHANDLE install)
{
    const int actions = CInstallerProgress::ReserveTicks(install);
    if (actions < 0)
    {
        TRACE(1,
              MSICA_TAG L"ERROR! The installation's sequence could not be read: no progress ticks reserved");
        return 0;
    }
    TRACE(2, MSICA_TAG L"Progress ticks reserved for %d deferred actions", actions);
    return 0;
}
} // namespace

UINT __stdcall moraCA_ReserveProgress(MSIHANDLE install)
{
    return RunCustomAction(L"moraCA_ReserveProgress", L"", install, ReserveProgress);
}
