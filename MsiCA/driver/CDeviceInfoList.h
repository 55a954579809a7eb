#pragma once
#include "util/CUniqueHandle.h"
#include <setupapi.h>

struct DeviceInfoListTraits
{
    using Handle = HDEVINFO;
    static Handle Empty() { return INVALID_HANDLE_VALUE; }
    // Callers read the last error of the step before; the destruction leaves it alone.
    static bool Close(Handle h)
    {
        const DWORD error = GetLastError();
        const bool destroyed = SetupDiDestroyDeviceInfoList(h) != FALSE;
        SetLastError(error);
        return destroyed;
    }
};

// A Setup API device information list, destroyed when the holder goes.
using CDeviceInfoList = CUniqueHandle<DeviceInfoListTraits>;

// An empty device record with its size set, as every Setup API call that fills one needs.
inline SP_DEVINFO_DATA EmptyDeviceInfoData()
{
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data);
    return data;
}
