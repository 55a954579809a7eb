#include "CustomActionFrame.h"
#include "CustomActions.h"
#include "driver/CHalbDriver.h"
#include "driver/CIpmiDriver.h"
#include "driver/COrbiDriver.h"
#include "util/ProductLocations.h"
#include <string>

// Driver registration and removal: the board driver family, the IPMI driver and the
// obsolete ORBI device. Failures are traced by the steps themselves; only the two
// stand-alone actions pass an outcome on.

namespace
{
UINT RegDriver(MSIHANDLE)
{
    std::wstring folder;
    GetFileRoot(folder);
    CHalbDriver::Install(folder.c_str());
    CIpmiDriver::Install(folder.c_str());
    CIpmiDriver::RestartMicrosoftIpmi();
    return 0;
}

UINT UnregDriver(MSIHANDLE)
{
    CHalbDriver::Remove();
    CIpmiDriver::Uninstall();
    COrbiDriver::Remove();
    return 0;
}

UINT RestartMicrosoftIpmi(MSIHANDLE)
{
    return CIpmiDriver::RestartMicrosoftIpmi() ? 1 : 0;
}

// Installs whichever generation fits the system, despite the name.
UINT Halb2DriverInstall(MSIHANDLE)
{
    std::wstring folder;
    GetFileRoot(folder);
    return CHalbDriver::Install(folder.c_str());
}

// Removes both generations.
UINT Halb2DriverRemove(MSIHANDLE)
{
    return CHalbDriver::Remove();
}
} // namespace

UINT __stdcall vrxCA_RegDriver(MSIHANDLE install)
{
    return RunCustomAction(L"vrxCA_RegDriver", L"Halb, ImbDrvNT", install, RegDriver);
}

UINT __stdcall vrxCA_UnregDriver(MSIHANDLE install)
{
    return RunCustomAction(L"vrxCA_UnregDriver", L"Halb, ImbDrvNT, PlxOrbi", install, UnregDriver);
}

UINT __stdcall moraCA_RestartMicrosoftIpmi(MSIHANDLE install)
{
    return RunCustomAction(L"moraCA_RestartMicrosoftIpmi", L"ACPI\\IPI0001", install, RestartMicrosoftIpmi);
}

UINT __stdcall moraCA_Halb2DriverInstall(MSIHANDLE install)
{
    return RunCustomAction(L"moraCA_Halb2DriverInstall", L"Halb", install, Halb2DriverInstall,
                           ERROR_UNHANDLED_EXCEPTION);
}

UINT __stdcall moraCA_Halb2DriverRemove(MSIHANDLE install)
{
    return RunCustomAction(L"moraCA_Halb2DriverRemove", L"Halb", install, Halb2DriverRemove);
}
