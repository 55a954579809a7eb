#include "CustomActionFrame.h"
#include "CustomActions.h"

// The core service's start and stop and the final configuration. The frame is in place;
// the steps arrive with the service manager.

namespace
{
UINT StartSentrel(MSIHANDLE)
{
    return 0;
}

UINT StopSentrel(MSIHANDLE)
{
    return 0;
}

UINT FinalConfig(MSIHANDLE)
{
    return 0;
}
} // namespace

UINT __stdcall vrxCA_StartSentrel(MSIHANDLE install)
{
    return RunCustomAction(L"vrxCA_StartSentrel", install, StartSentrel);
}

UINT __stdcall vrxCA_StopSentrel(MSIHANDLE install)
{
    return RunCustomAction(L"vrxCA_StopSentrel", install, StopSentrel);
}

UINT __stdcall vrxCA_FinalConfig(MSIHANDLE install)
{
    return RunCustomAction(L"vrxCA_FinalConfig", install, FinalConfig);
}
