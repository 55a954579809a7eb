#include "driver/CPnpDevice.h"

bool CPnpDevice::CreateFromHardwareId(const wchar_t*, const wchar_t*)
{
    return false;
}

bool CPnpDevice::Remove()
{
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
}

bool CPnpDevice::Restart()
{
    return false;
}

DWORD CPnpDevice::FindByHardwareId(std::wstring&, const wchar_t*, const GUID*)
{
    return ERROR_NO_DATA;
}

DWORD CPnpDevice::GetInstanceClassGuid(const wchar_t*, GUID&)
{
    return ERROR_INVALID_PARAMETER;
}

bool RemoveDeviceByHardwareId(const wchar_t*, const wchar_t*)
{
    return false;
}
