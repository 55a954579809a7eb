#pragma once
#include <windows.h>
#include <msi.h>

// The custom actions the installation package calls (exported undecorated by MsiCA.def): the
// twelve of the product's sequence, the rollback partners that undo them after a failure, and
// the reservation of their progress ticks.
extern "C"
{
    UINT __stdcall vrxCA_StartSentrel(MSIHANDLE install);
    UINT __stdcall vrxCA_StopSentrel(MSIHANDLE install);
    UINT __stdcall vrxCA_FinalConfig(MSIHANDLE install);
    UINT __stdcall vrxCA_RegDriver(MSIHANDLE install);
    UINT __stdcall vrxCA_UnregDriver(MSIHANDLE install);
    UINT __stdcall moraCA_RestartMicrosoftIpmi(MSIHANDLE install);
    UINT __stdcall moraCA_Halb2DriverInstall(MSIHANDLE install);
    UINT __stdcall moraCA_Halb2DriverRemove(MSIHANDLE install);
    UINT __stdcall moraCA_EMDataBackup(MSIHANDLE install);
    UINT __stdcall moraCA_EMDataRestore(MSIHANDLE install);
    UINT __stdcall moraCA_EMDataConvert(MSIHANDLE install);
    UINT __stdcall moraCA_EMDataCleanup(MSIHANDLE install);
    // Rollback of the data actions: the data folder back from the saved copy.
    UINT __stdcall moraCA_EMDataRollback(MSIHANDLE install);
    // Rollback of the driver replacement: each board device present once again.
    UINT __stdcall moraCA_Halb2DriverReinstall(MSIHANDLE install);
    // Immediate, before the script runs: room on the progress bar for the deferred actions.
    UINT __stdcall moraCA_ReserveProgress(MSIHANDLE install);
}
