#include "firmware/CDeviceIo.h"
#include "util/GuardedCall.h"
#include "util/Win32Errors.h"

bool CDeviceIo::Open(const wchar_t* deviceName)
{
    m_device.Reset(CreateFileW(deviceName, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return m_device.IsValid();
}

bool CDeviceIo::IoControl(DWORD code, DWORD* bytesReturned, void* input, DWORD inputSize, void* output,
                          DWORD outputSize)
{
    volatile DWORD returned = 0;
    volatile BOOL succeeded = FALSE;
    if (!m_device.IsValid())
    {
        SetLastError(ERROR_INVALID_HANDLE);
    }
    else
    {
        const HANDLE device = m_device.Get();
        const DWORD fault = Guarded([&] {
            DWORD count = 0;
            succeeded = DeviceIoControl(device, code, input, inputSize, output, outputSize, &count, nullptr);
            returned = count;
        });
        if (fault != 0)
        {
            succeeded = FALSE;
            returned = 0;
            SetLastError(ERROR_UNHANDLED_EXCEPTION);
        }
    }
    if (bytesReturned)
    {
        *bytesReturned = returned;
    }
    return succeeded != FALSE;
}

bool CDeviceIo::Close()
{
    if (!m_device.IsValid())
    {
        return true;
    }
    if (!m_device.Reset())
    {
        return false;
    }
    SetLastError(ERROR_SUCCESS);
    return true;
}
