#include "CustomActionFrame.h"
#include "CustomActions.h"
#include "driver/CHalbDriver.h"
#include "util/ProductLocations.h"
#include <string>

// Rollback partners that no action of the product's sequence can stand in for.

namespace
{
// Undoes an upgrade's or repair's driver steps, wherever they stopped: the board devices of
// both generations go, and the fitting generation is installed once more, so that each
// device is present exactly once.
UINT Halb2DriverReinstall(MSIHANDLE)
{
    CHalbDriver::Remove();
    std::wstring folder;
    GetFileRoot(folder);
    CHalbDriver::Install(folder.c_str());
    return 0;
}
} // namespace

UINT __stdcall moraCA_Halb2DriverReinstall(MSIHANDLE install)
{
    return RunCustomAction(L"moraCA_Halb2DriverReinstall", L"Halb", install, Halb2DriverReinstall);
}
