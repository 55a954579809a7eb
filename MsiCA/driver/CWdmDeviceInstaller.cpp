#include "driver/CWdmDeviceInstaller.h"

bool CWdmDeviceInstaller::InstallOrUpdate(const wchar_t*, const wchar_t*)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return false;
}
