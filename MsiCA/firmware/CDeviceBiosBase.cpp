#include "firmware/CDeviceBiosBase.h"
#include "trace/CTrace.h"

#define BIOS_BASE_TAG L"\nCDeviceBiosBase     : "

bool CDeviceBiosBase::Connect()
{
    TRACE(4, BIOS_BASE_TAG L"  connect to BIOS device...");
    if (m_connected)
    {
        return true;
    }
    if (!IsOpen())
    {
        Open(kDeviceName);
    }
    m_connected = IsOpen();
    if (m_connected)
    {
        TRACE(4, BIOS_BASE_TAG L"  BIOS device connected");
    }
    else
    {
        TRACE(4, BIOS_BASE_TAG L"  BIOS device could not be connected (lastError = 0x%08X)", GetLastError());
    }
    return m_connected;
}

void CDeviceBiosBase::Disconnect()
{
    if (!m_connected)
    {
        return;
    }
    TRACE(4, BIOS_BASE_TAG L"  disconnect from BIOS device");
    UnmapPhysicalMemory();
    Close();
    m_connected = false;
}
