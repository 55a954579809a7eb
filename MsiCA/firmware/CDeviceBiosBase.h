#pragma once
#include "firmware/CDeviceIo.h"
#include <cstddef>

// Connection to the BIOS access device of the board driver, which maps physical memory
// into the calling process. The mapping itself is the derived class's business.
class CDeviceBiosBase : public CDeviceIo
{
  public:
    static constexpr const wchar_t* kDeviceName = L"\\\\.\\Global\\HalbBios";

    CDeviceBiosBase() = default;
    // Never unmaps: the derived class must disconnect while it still is one.
    virtual ~CDeviceBiosBase() = default;
    virtual void* MapPhysicalMemory(DWORD high, DWORD low, size_t length) = 0;
    virtual bool UnmapPhysicalMemory() = 0;

    // Opens the device unless already connected; returns the connected flag.
    bool Connect();
    // Releases the mapping, closes the device. Nothing happens while not connected.
    void Disconnect();

    bool IsConnected() const { return m_connected; }

  private:
    bool m_connected = false;
};
