#pragma once
#include "util/CUniqueHandle.h"
#include <windows.h>

// Owner of the handle of a device opened by name, with synchronous device I/O control.
class CDeviceIo
{
  public:
    CDeviceIo() = default;
    CDeviceIo(const CDeviceIo&) = delete;
    CDeviceIo& operator=(const CDeviceIo&) = delete;

    // DeviceIoControl on the held handle. False with last error 6 when nothing is open, and
    // with 574 (ERROR_UNHANDLED_EXCEPTION) when the call faults, on one of the buffers for
    // instance. bytesReturned, when given, receives the count (0 when no call completed).
    bool IoControl(DWORD code, DWORD* bytesReturned, void* input, DWORD inputSize, void* output,
                   DWORD outputSize);
    // True when nothing was open or the close succeeded (last error 0); the handle is
    // forgotten either way.
    bool Close();

    bool IsOpen() const { return m_device.IsValid(); }
    HANDLE Handle() const { return m_device.Get(); }

  protected:
    // Opens the device for synchronous reading, shared with other readers and writers.
    bool Open(const wchar_t* deviceName);

  private:
    CFileHandle m_device;
};
