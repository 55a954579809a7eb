#include "driver/CHalbDriver.h"

int CHalbDriver::GetDriverGeneration()
{
    return 0;
}

bool CHalbDriver::GetDriverIds(HalbDriverIds&)
{
    return false;
}

DWORD CHalbDriver::UninstallLegacy()
{
    return 0;
}

DWORD CHalbDriver::Install(const wchar_t*)
{
    return kNotInstalled;
}

DWORD CHalbDriver::Remove()
{
    return 0;
}
