#pragma once
#include "util/CUniqueHandle.h"
#include <setupapi.h>

struct DeviceInfoListTraits
{
    using Handle = HDEVINFO;
    static Handle Empty() { return INVALID_HANDLE_VALUE; }
    static bool Close(Handle h) { return SetupDiDestroyDeviceInfoList(h) != FALSE; }
};

// A Setup API device information list, destroyed when the holder goes.
using CDeviceInfoList = CUniqueHandle<DeviceInfoListTraits>;
